// The bundled sample holds packets of every unit and APID: every instrument
// word of the command line, without "-apid" and with each kind it has, turns
// it into its output, and each EDR holds exactly the products selected.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "harness.h"
#include "products.h"

namespace {

const std::string kSample = std::string(HLC_SOURCE_DIR) + "/samples/sample.tlm";

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

TEST(Sample, EveryInstrumentAndKindGivesItsOutput) {
  harness::TempDir dir;
  const std::vector<products::Product> all = products::all_products();
  int runs = 0;
  for (int inst = 1; inst <= 4; ++inst) {
    const std::string word = harness::kInstWords[inst];
    std::vector<std::string> unit;
    for (const products::Product &p : all) {
      if (p.inst != inst) continue;
      unit.push_back(p.vgroup);
      SCOPED_TRACE(word + " -apid " + p.kind);
      const std::string edr = dir / (p.module + ".hdf");
      const harness::Run r =
          harness::run_edr({"-inst", word, "-apid", p.kind, "-tlm", kSample, "-edr", edr});
      EXPECT_EQ(r.status, 0) << r.out;
      EXPECT_EQ(products::product_vgroups(edr), std::vector<std::string>{p.vgroup});
      ++runs;
    }
    SCOPED_TRACE(word);
    const std::string edr = dir / (word + ".hdf");
    const harness::Run r = harness::run_edr({"-inst", word, "-tlm", kSample, "-edr", edr});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(sorted(products::product_vgroups(edr)), sorted(unit));
    ++runs;
  }
  for (const std::vector<std::string> &kind :
       {std::vector<std::string>{}, std::vector<std::string>{"-apid", "quats"}}) {
    const std::string text = dir / ("quats" + std::to_string(kind.size()) + ".txt");
    std::vector<std::string> args{"-inst", "acs"};
    args.insert(args.end(), kind.begin(), kind.end());
    args.insert(args.end(), {"-tlm", kSample, "-edr", text});
    const harness::Run r = harness::run_edr(args);
    EXPECT_EQ(r.status, 0) << r.out;
    const std::string lines = harness::slurp(text);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 6);
    ++runs;
  }
  EXPECT_EQ(runs, 4 + 12 + 2);  // every instrument word, all thirteen APIDs
}

}  // namespace
