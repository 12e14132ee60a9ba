// hlc_edr_dump end to end: EDRs written by the real hlc_edr from builder TLM
// files, one per unit with every product of the unit, are listed, printed as
// CSV and JSON Lines, described and exported to netCDF-4 by the real dump;
// check_dump.py parses all of it back (csv, json, xarray) and compares every
// field of every record with the values this test put into the packets, by
// the offset tables of products.h. Also: the dump's error messages, its
// refusal of damaged table headers, and its memory at ten times the records.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "harness.h"
#include "hdf.h"
#include "products.h"
#include "tlm_builder.h"

using products::Product;

namespace {

using products::Record;

harness::Run run_dump(const std::vector<std::string> &args) {
  std::vector<std::string> argv{HLC_EDR_DUMP_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  return harness::run(argv);
}

// The dimensions of every array of every product, by the names of their
// constants; every other field is a scalar.
struct Dims {
  const char *module;
  std::vector<std::string> fields;
  std::vector<std::string> dims;
};
const Dims kDims[] = {
    {"gem_hk", {"set", "level"}, {"GEM_SPIN_LEVELS"}},
    {"gem_mancal", {"counts"}, {"GEM_CEMS", "GEM_SPIN_LEVELS"}},
    {"gem_normal",
     {"sclk_seconds", "sclk_subseconds", "step_time", "level", "step_size"},
     {"GEM_SPINS"}},
    {"gem_normal", {"ESA_level"}, {"GEM_CYCLE_LEVELS"}},
    {"gem_normal", {"counts"}, {"GEM_AZIMUTH_SECTORS", "GEM_CEMS", "GEM_CYCLE_LEVELS"}},
    {"gem_raw", {"start_req", "step_size", "step_time", "angle"}, {"GEM_AZIMUTH_SECTORS"}},
    {"gem_raw", {"ESA_set", "ESA_level"}, {"GEM_AZIMUTH_SECTORS", "GEM_SPIN_LEVELS"}},
    {"gem_raw", {"counts"}, {"GEM_AZIMUTH_SECTORS", "GEM_SPIN_LEVELS", "GEM_CEMS"}},
    {"gim_hk", {"set", "level"}, {"GIM_SPIN_LEVELS"}},
    {"gim_mancal", {"counts"}, {"GIM_CEMS", "GIM_SPIN_LEVELS"}},
    {"gim_normal",
     {"sclk_seconds", "sclk_subseconds", "step_time", "level", "step_size"},
     {"GIM_SPINS"}},
    {"gim_normal", {"ESA_level"}, {"GIM_CYCLE_LEVELS"}},
    {"gim_normal", {"counts"}, {"GIM_MASK_ELEMENTS", "GIM_CYCLE_LEVELS"}},
    {"gim_raw", {"start_req", "step_size", "step_time", "angle"}, {"GIM_AZIMUTH_SECTORS"}},
    {"gim_raw", {"ESA_set", "ESA_level"}, {"GIM_AZIMUTH_SECTORS", "GIM_SPIN_LEVELS"}},
    {"gim_raw", {"counts"}, {"GIM_AZIMUTH_SECTORS", "GIM_SPIN_LEVELS", "GIM_CEMS"}},
    {"gim_diag",
     {"sclk_seconds", "sclk_subseconds", "step_time", "level", "step_size"},
     {"GIM_SPINS"}},
    {"gim_diag", {"ESA_level"}, {"GIM_CYCLE_LEVELS"}},
    {"gim_diag", {"counts"}, {"GIM_AZIMUTH_SECTORS", "GIM_CEMS", "GIM_CYCLE_LEVELS"}},
    {"mec_f1d", {"f1d_ion_distr"}, {"MEC_F1D_ELEMENTS"}},
};

std::vector<std::string> dims_of(const std::string &module, const std::string &field) {
  for (const Dims &d : kDims) {
    if (d.module == module &&
        std::find(d.fields.begin(), d.fields.end(), field) != d.fields.end()) {
      return d.dims;
    }
  }
  return {};
}

std::string json_string(const std::string &s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += harness::format("\\u%04x", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

const char *type_name(int32 type) {
  switch (type) {
    case DFNT_UINT8:
      return "uint8";
    case DFNT_UINT16:
      return "uint16";
    case DFNT_UINT32:
      return "uint32";
  }
  return "float32";
}

std::string description(const Product &p) {
  return "The file '" + p.module +
         ".h' is shown below, it was used to create the data in the Vgroup named '" + p.vgroup +
         "'.\n\n\n" + harness::slurp(std::string(HLC_ETC_DIR) + "/" + p.module + ".h");
}

// The statement check_dump.py reads: per product its fields in the record's
// order (Vdata fields and SDS by their place in the record structure), with
// their types, dimensions and the values of every record, each taken from
// the record's packet bytes where products.h says.
std::string statement(const std::string &edr, const std::vector<Product> &ps,
                      const std::vector<std::vector<Record>> &recs) {
  std::string out = "{\"edr\": " + json_string(edr) + ", \"products\": [";
  for (size_t k = 0; k < ps.size(); ++k) {
    const Product &p = ps[k];
    struct Item {
      std::string name;
      int32 type;
      std::vector<int32> shape;
      size_t member;
      products::Source source;
    };
    std::vector<Item> items;
    for (const products::Field &f : p.fields) {
      items.push_back({f.name, f.type,
                       f.order > 1 ? std::vector<int32>{f.order} : std::vector<int32>{}, f.member,
                       f.source});
    }
    for (const products::Sds &s : p.sds) {
      items.push_back({s.name.substr(p.vdata.size() + 1), s.type, s.dims, s.member, s.source});
    }
    std::sort(items.begin(), items.end(),
              [](const Item &a, const Item &b) { return a.member < b.member; });
    int spins = 1;
    std::string spin_dim;
    for (const Item &it : items) {
      if (it.name == "sclk_seconds" && !it.shape.empty()) {
        spins = it.shape[0];
        spin_dim = dims_of(p.module, it.name).at(0);
      }
    }
    out += std::string(k ? ", " : "") + "{\"module\": " + json_string(p.module) +
           ", \"records\": " + std::to_string(recs[k].size()) +
           ", \"spins\": " + std::to_string(spins) + ", \"spin_dim\": " + json_string(spin_dim) +
           ", \"description\": " + json_string(description(p)) + ", \"fields\": [";
    for (size_t i = 0; i < items.size(); ++i) {
      const Item &it = items[i];
      const std::vector<std::string> dims = dims_of(p.module, it.name);
      EXPECT_EQ(dims.size(), it.shape.size()) << p.module << " " << it.name;
      out += std::string(i ? ", " : "") + "{\"name\": " + json_string(it.name) +
             ", \"type\": " + json_string(type_name(it.type)) + ", \"dims\": [";
      for (size_t d = 0; d < dims.size(); ++d) {
        if (d) out += ", ";
        out += json_string(dims[d]);
      }
      out += "], \"shape\": [";
      size_t values = 1;
      for (size_t d = 0; d < it.shape.size(); ++d) {
        if (d) out += ", ";
        out += std::to_string(it.shape[d]);
        values *= static_cast<size_t>(it.shape[d]);
      }
      out += "], \"values\": [";
      const size_t size = products::type_size(it.type);
      for (size_t r = 0; r < recs[k].size(); ++r) {
        out += r ? ", [" : "[";
        for (size_t v = 0; v < values; ++v) {
          const uint8_t *b = recs[k][r].data() + it.source(v);
          uint64_t value = 0;
          for (size_t j = 0; j < size; ++j) value = value << 8 | b[j];
          if (v) out += ',';
          out += std::to_string(value);
        }
        out += "]";
      }
      out += "]}";
    }
    out += "]}";
  }
  return out + "]}\n";
}

// An EDR of every product of a unit, written by hlc_edr.
struct UnitEdr {
  std::vector<Product> products;
  std::vector<std::vector<Record>> records;
  std::string edr;
};

UnitEdr write_unit_edr(const harness::TempDir &dir, int inst) {
  UnitEdr u;
  harness::Script s(dir, "unit", inst);
  products::Feeder feed(s);
  uint32_t t0 = 1000;
  for (Product &p : products::all_products()) {
    if (p.inst != inst) continue;
    u.records.push_back(products::records_of(p, 2));
    feed.add(p, u.records.back(), t0);
    t0 += 100;
    u.products.push_back(std::move(p));
  }
  u.edr = s.edr;
  const harness::Run r = s.run();
  EXPECT_EQ(r.status, 0) << r.out.substr(r.out.size() > 400 ? r.out.size() - 400 : 0);
  EXPECT_EQ(r.out.find("WARNING"), std::string::npos) << "a record was dropped";
  return u;
}

class DumpUnitTest : public ::testing::TestWithParam<int> {
 protected:
  harness::TempDir dir;
};

// Listing, CSV, JSON Lines, description and netCDF-4 of every product of the
// unit, every field of every record.
TEST_P(DumpUnitTest, EveryOutputHoldsEveryValueOfEveryProduct) {
  const UnitEdr u = write_unit_edr(dir, GetParam());
  ASSERT_FALSE(u.products.empty());
  const std::string expected = dir / "expected.json";
  harness::write_file(expected, statement(u.edr, u.products, u.records));
  const harness::Run r = harness::run(
      {"/usr/bin/python3", HLC_CHECK_DUMP, HLC_EDR_DUMP_PROGRAM, expected, dir.path()});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_NE(r.out.find(harness::format("%zu products checked, 0 problems", u.products.size())),
            std::string::npos)
      << r.out << r.err;
}

INSTANTIATE_TEST_SUITE_P(Units, DumpUnitTest, ::testing::Values(1, 2, 3, 4),
                         [](const testing::TestParamInfo<int> &info) {
                           return std::string(harness::kInstWords[info.param]);
                         });

// ---- messages -----------------------------------------------------------------

// One "ERROR: " line on standard error, nothing on standard output, status 1.
void expect_error(const harness::Run &r, const std::string &message) {
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "ERROR: " + message + "\n");
}

class DumpMessages : public ::testing::Test {
 protected:
  void SetUp() override { u = write_unit_edr(dir, 3); }  // con_hk only
  harness::TempDir dir;
  UnitEdr u;
};

TEST_F(DumpMessages, MissingFileNotHdf4UnknownAndAbsentProducts) {
  expect_error(run_dump({dir / "none.hdf"}),
               "cannot open " + dir / "none.hdf" + ": No such file or directory");
  expect_error(run_dump({dir / "unit.tlm"}), dir / "unit.tlm" + " is not an HDF4 file");
  expect_error(run_dump({dir.path()}), dir.path() + " is not a regular file");
  expect_error(run_dump({u.edr, "gem_norm"}),
               "unknown product gem_norm (one of gem_hk gem_mancal gem_normal gem_raw gim_hk "
               "gim_mancal gim_normal gim_raw gim_diag con_hk mec_hk mec_f1d)");
  // The module's own report of the missing table is not passed on.
  expect_error(run_dump({u.edr, "mec_hk"}), u.edr + " has no product mec_hk");
  expect_error(run_dump({u.edr, "gim_raw", "--format", "jsonl"}),
               u.edr + " has no product gim_raw, or its tables cannot be opened");
  expect_error(run_dump({u.edr, "gem_hk", "--describe"}), u.edr + " has no product gem_hk");
  expect_error(run_dump({u.edr, "gem_hk", "--netcdf", dir / "out.nc"}),
               u.edr + " has no product gem_hk");
  EXPECT_FALSE(harness::exists(dir / "out.nc"));
  EXPECT_FALSE(harness::exists(dir / "out.nc.tmp"));
  // A product that is there exports alone; the work name is gone after.
  const harness::Run one = run_dump({u.edr, "con_hk", "--netcdf", dir / "out.nc"});
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(one.out + one.err, "");
  EXPECT_TRUE(harness::exists(dir / "out.nc"));
  EXPECT_FALSE(harness::exists(dir / "out.nc.tmp"));
}

TEST_F(DumpMessages, CommandLineMistakes) {
  expect_error(run_dump({u.edr, "con_hk", "--format", "xml"}), "unknown format xml (csv or jsonl)");
  expect_error(run_dump({u.edr, "--describe"}), "--describe needs a PRODUCT");
  expect_error(run_dump({u.edr, "con_hk", "--describe", "--netcdf", "x.nc"}),
               "--describe and --netcdf do not go together");
  expect_error(run_dump({u.edr, "--netcdf", u.edr}),
               "the netCDF output " + u.edr + " would replace the EDR itself");
  for (const std::vector<std::string> &args : {std::vector<std::string>{},
                                               {u.edr, "con_hk", "x"},
                                               {u.edr, "--bogus"},
                                               {u.edr, "--format"}}) {
    const harness::Run r = run_dump(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("ERROR: "), std::string::npos) << r.err;
  }
  const harness::Run help = run_dump({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  for (const char *word : {"usage: hlc_edr_dump EDR", "--format csv|jsonl", "--describe",
                           "--netcdf OUT.nc", "NaN, Infinity and -Infinity", "sclk", "mec_f1d"}) {
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  }
}

// Damaged table headers that would make a record or a slab larger than the
// module's buffers (files of tools/fuzz/dump_corpus): nothing is read.
TEST(DumpDamaged, TableHeadersOfAnotherLayoutAreRefused) {
  const std::string dir = HLC_DUMP_CORPUS;
  // The order of sclk_seconds is 256: 4 * 256 + the other 48 bytes.
  expect_error(run_dump({dir + "/con-vdata-order", "con_hk"}),
               dir +
                   "/con-vdata-order: product con_hk cannot be read: its Vdata records are 1072 "
                   "bytes, not 52");
  // WIND_MEC_FLAGS declared uint32; the F1D table of the same file is sound.
  expect_error(run_dump({dir + "/mec-vdata-type"}),
               dir +
                   "/mec-vdata-type: product mec_hk cannot be read: its Vdata records are 146 "
                   "bytes, not 144");
  const harness::Run f1d = run_dump({dir + "/mec-vdata-type", "mec_f1d"});
  EXPECT_EQ(f1d.status, 0) << f1d.err;
  EXPECT_EQ(std::count(f1d.out.begin(), f1d.out.end(), '\n'), 2);  // header and one record
  expect_error(run_dump({dir + "/gem_mancal-sds-type", "gem_mancal", "--format", "jsonl"}),
               dir +
                   "/gem_mancal-sds-type: product gem_mancal cannot be read: its SDS "
                   "GEM_ManCal_counts has another number type or shape");
}

// ---- memory -------------------------------------------------------------------

// Peak resident memory (KiB) of one dump run, its output thrown away.
long peak_kib(const std::vector<std::string> &args) {
  std::vector<std::string> argv{"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/null",
                                HLC_EDR_DUMP_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  const harness::Run r = harness::run(argv);
  EXPECT_EQ(r.status, 0) << r.err;
  return r.peak_kib;
}

// Concentrator housekeeping EDR of n records, 600 to a packet.
std::string con_edr(const harness::TempDir &dir, size_t n) {
  tlm::Builder b;
  std::mt19937 rng(static_cast<unsigned>(n));
  for (size_t done = 0; done < n;) {
    const size_t k = std::min<size_t>(600, n - done);
    tlm::Packet pkt;
    pkt.apid = 25;
    pkt.count = static_cast<uint16_t>(done / 600 % 16384);
    pkt.seconds = static_cast<uint32_t>(done);
    pkt.data.resize(52 * k);
    for (uint8_t &byte : pkt.data) byte = static_cast<uint8_t>(rng());
    b.add(pkt);
    done += k;
  }
  const std::string tlm = dir / harness::format("con%zu.tlm", n);
  const std::string edr = dir / harness::format("con%zu.hdf", n);
  b.write(tlm);
  const harness::Run r = harness::run_edr({"-inst", "con", "-tlm", tlm, "-edr", edr});
  EXPECT_EQ(r.status, 0);
  return edr;
}

// Ten times the records, the same peak memory (within 1 MiB) for CSV, JSON
// Lines and the netCDF-4 export: records stream through. (40000 records
// already fill the netCDF library's fixed buffers of every variable.) Not in
// a sanitizer build, whose allocator keeps freed memory for a while.
TEST(DumpMemory, PeakDoesNotGrowWithTheRecordCount) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "peak memory under AddressSanitizer says nothing";
#endif
  harness::TempDir dir;
  const std::string small = con_edr(dir, 40000), large = con_edr(dir, 400000);
  for (const std::vector<std::string> &mode : {std::vector<std::string>{"con_hk"},
                                               {"con_hk", "--format", "jsonl"},
                                               {"--netcdf", dir / "out.nc"}}) {
    std::vector<std::string> a{small}, b{large};
    a.insert(a.end(), mode.begin(), mode.end());
    b.insert(b.end(), mode.begin(), mode.end());
    const long s = peak_kib(a), l = peak_kib(b);
    EXPECT_LT(l, s + 1024) << mode[0] << ": " << s << " KiB for 40000 records, " << l
                           << " KiB for 400000";
  }
}

}  // namespace
