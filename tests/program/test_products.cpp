// Every product end to end, one test per concern over all products: records
// spread over packets (fixed records several to a packet, segmented records
// from first, middle and last segments) go through the real program, and the
// EDR is read back twice: with the HDF4 API alone, against the layouts and
// offset tables of products.h, and through the module's own reading
// operations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <regex>

#include "harness.h"
#include "mfhdf.h"
#include "products.h"
#include "tlm_builder.h"

using harness::format;
using harness::Script;
using products::Feeder;
using products::Product;
using products::records_of;

namespace {

using products::Record;

uint64_t be(const uint8_t *p, size_t n) {
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// A value in the host's representation, as HDF4 and the record structure hold it.
uint64_t native(const uint8_t *p, size_t n) {
  uint8_t v8;
  uint16_t v16;
  uint32_t v32;
  switch (n) {
    case 1:
      memcpy(&v8, p, 1);
      return v8;
    case 2:
      memcpy(&v16, p, 2);
      return v16;
    default:
      memcpy(&v32, p, 4);
      return v32;
  }
}

std::string header_text(const Product &p) {
  return harness::slurp(std::string(HLC_ETC_DIR) + "/" + p.module + ".h");
}

std::string description(const Product &p) {
  return "The file '" + p.module +
         ".h' is shown below, it was used to create the data in the Vgroup named '" + p.vgroup +
         "'.\n\n\n" + header_text(p);
}

// Compares the values of one record, `got` in the host's representation at
// `offset(i)`, with the big-endian bytes of the record where `source(i)`
// says. Reports the first few differences.
void expect_values(const std::string &what, const Record &rec, int32 type, size_t count,
                   const products::Source &source,
                   const std::function<const uint8_t *(size_t)> &got) {
  const size_t size = products::type_size(type);
  int bad = 0;
  for (size_t i = 0; i < count && bad < 5; ++i) {
    const size_t from = source(i);
    ASSERT_LE(from + size, rec.size()) << what << " element " << i;
    const uint64_t want = be(rec.data() + from, size);
    const uint64_t have = native(got(i), size);
    if (want != have) {
      ++bad;
      ADD_FAILURE() << what << " element " << i << ": " << have << ", expected " << want
                    << " from bytes " << from << "-" << from + size - 1;
    }
  }
}

// The product's Vgroup, Vdata, SDS and description in the EDR, read with the
// HDF4 API alone.
void check_file(const Product &p, const std::string &path, const std::vector<Record> &recs) {
  SCOPED_TRACE(p.module + " read with the HDF4 API");
  const int32 n = static_cast<int32>(recs.size());
  int32 f = Hopen(path.c_str(), DFACC_READ, 0);
  ASSERT_NE(f, -1);
  ASSERT_EQ(Vstart(f), 0);
  int32 sd = SDstart(path.c_str(), DFACC_READ);
  ASSERT_NE(sd, -1);

  const int32 vg_ref = Vfind(f, p.vgroup.c_str());
  ASSERT_GT(vg_ref, 0);
  int32 vg = Vattach(f, vg_ref, "r");
  char name[256] = "", cls[256] = "";
  Vgetname(vg, name);
  Vgetclass(vg, cls);
  EXPECT_EQ(name, p.vgroup);
  EXPECT_EQ(cls, p.vgroup_class);
  ASSERT_EQ(Vntagrefs(vg), 1 + static_cast<int32>(p.sds.size()));
  int32 tag = 0, ref = 0;
  Vgettagref(vg, 0, &tag, &ref);
  EXPECT_EQ(tag, DFTAG_VH);

  // The Vdata.
  int32 vs = VSattach(f, ref, "r");
  ASSERT_NE(vs, -1);
  VSgetname(vs, name);
  VSgetclass(vs, cls);
  EXPECT_EQ(name, p.vdata);
  EXPECT_STREQ(cls, "tlm_edr_data");
  ASSERT_EQ(VFnfields(vs), static_cast<int32>(p.fields.size()));
  std::string list;
  for (size_t i = 0; i < p.fields.size(); ++i) {
    const products::Field &fd = p.fields[i];
    EXPECT_EQ(VFfieldname(vs, static_cast<int32>(i)), fd.name) << "field " << i;
    EXPECT_EQ(VFfieldtype(vs, static_cast<int32>(i)), fd.type) << fd.name;
    EXPECT_EQ(VFfieldorder(vs, static_cast<int32>(i)), fd.order) << fd.name;
    if (i > 0) list += ',';
    list += fd.name;
  }
  ASSERT_EQ(VSelts(vs), n);
  EXPECT_EQ(VSsizeof(vs, list.data()), static_cast<int32>(p.packed_size()));
  ASSERT_EQ(VSsetfields(vs, list.c_str()), 0);
  std::vector<uint8_t> table(p.packed_size() * recs.size());
  ASSERT_EQ(VSread(vs, table.data(), n, FULL_INTERLACE), n);
  for (int32 r = 0; r < n; ++r) {
    const uint8_t *packed = table.data() + p.packed_size() * static_cast<size_t>(r);
    for (const products::Field &fd : p.fields) {
      const size_t size = products::type_size(fd.type);
      expect_values(format("record %d %s", r, fd.name.c_str()), recs[static_cast<size_t>(r)],
                    fd.type, static_cast<size_t>(fd.order), fd.source,
                    [&](size_t i) { return packed + size * i; });
      packed += size * static_cast<size_t>(fd.order);
    }
  }
  VSdetach(vs);

  // The SDS, in the module's order after the Vdata.
  for (size_t k = 0; k < p.sds.size(); ++k) {
    const products::Sds &s = p.sds[k];
    SCOPED_TRACE(s.name);
    Vgettagref(vg, static_cast<int32>(k + 1), &tag, &ref);
    EXPECT_EQ(tag, DFTAG_NDG);
    int32 id = SDselect(sd, SDnametoindex(sd, s.name.c_str()));
    ASSERT_NE(id, -1);
    EXPECT_EQ(SDidtoref(id), ref);
    int32 rank = 0, dims[8] = {}, type = 0, nattr = -1;
    ASSERT_EQ(SDgetinfo(id, name, &rank, dims, &type, &nattr), 0);
    EXPECT_EQ(type, s.type);
    EXPECT_EQ(nattr, 0);
    EXPECT_TRUE(SDisrecord(id));
    ASSERT_EQ(rank, 1 + static_cast<int32>(s.dims.size()));
    EXPECT_EQ(dims[0], n);
    for (size_t d = 0; d < s.dims.size(); ++d) EXPECT_EQ(dims[d + 1], s.dims[d]) << "dim " << d + 1;
    const size_t size = products::type_size(s.type);
    std::vector<uint8_t> slab(s.values() * size);
    for (int32 r = 0; r < n; ++r) {
      int32 start[8] = {r}, edges[8] = {1};
      for (size_t d = 0; d < s.dims.size(); ++d) edges[d + 1] = s.dims[d];
      ASSERT_EQ(SDreaddata(id, start, nullptr, edges, slab.data()), 0);
      expect_values(format("slab %d", r), recs[static_cast<size_t>(r)], s.type, s.values(),
                    s.source, [&](size_t i) { return slab.data() + size * i; });
    }
    SDendaccess(id);
  }
  Vdetach(vg);

  // One data description of the whole buffer: the text, then NUL bytes.
  int32 an = ANstart(f);
  ASSERT_EQ(ANnumann(an, AN_DATA_DESC, DFTAG_VG, static_cast<uint16>(vg_ref)), 1);
  EXPECT_EQ(ANnumann(an, AN_DATA_LABEL, DFTAG_VG, static_cast<uint16>(vg_ref)), 0);
  int32 ann = -1;
  ASSERT_EQ(ANannlist(an, AN_DATA_DESC, DFTAG_VG, static_cast<uint16>(vg_ref), &ann), 1);
  EXPECT_EQ(ANannlen(ann), p.desc_size);
  std::vector<char> text(static_cast<size_t>(p.desc_size) + 16, 'x');
  ASSERT_EQ(ANreadann(ann, text.data(), p.desc_size + 16), 0);
  std::string expected = description(p);
  expected.resize(static_cast<size_t>(p.desc_size), '\0');
  EXPECT_EQ(std::string(text.data(), static_cast<size_t>(p.desc_size)), expected);
  ANendaccess(ann);
  ANend(an);
  SDend(sd);
  Vend(f);
  Hclose(f);
}

// The same records through the module's reading operations, into the record
// structure of the module's header.
void check_module(const Product &p, const std::string &path, const std::vector<Record> &recs) {
  SCOPED_TRACE(p.module + " read through the module");
  const int32 n = static_cast<int32>(recs.size());
  int32 f = Hopen(path.c_str(), DFACC_READ, 0);
  ASSERT_NE(f, -1);
  ASSERT_EQ(Vstart(f), 0);
  int32 sd = SDstart(path.c_str(), DFACC_READ);
  ASSERT_EQ(p.ops.init_rd(f, sd, "r"), n);
  std::vector<uint8_t> rec(p.ops.record_size);
  for (int32 r = 0; r < n; ++r) {
    std::fill(rec.begin(), rec.end(), 0xA5);
    ASSERT_EQ(p.ops.read(rec.data(), r), 0) << "record " << r;
    const Record &want = recs[static_cast<size_t>(r)];
    for (const products::Field &fd : p.fields) {
      const size_t size = products::type_size(fd.type);
      expect_values(format("record %d %s", r, fd.name.c_str()), want, fd.type,
                    static_cast<size_t>(fd.order), fd.source,
                    [&](size_t i) { return rec.data() + fd.member + size * i; });
    }
    for (const products::Sds &s : p.sds) {
      const size_t size = products::type_size(s.type);
      expect_values(format("record %d %s", r, s.name.c_str()), want, s.type, s.values(), s.source,
                    [&](size_t i) { return rec.data() + s.member + size * i; });
    }
  }
  EXPECT_EQ(p.ops.read(rec.data(), n), -1);  // past the end: nothing read
  p.ops.close_rd();

  int32 an = ANstart(f);
  testing::internal::CaptureStdout();
  p.ops.rd_desc(f, an);  // ends the AN interface
  const std::string out = testing::internal::GetCapturedStdout();
  const std::regex lists("1numann= 1 \n1ann_list= ([0-9]+) \n2numann= 1 \n2ann_list= \\1 \nAN: ");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, lists)) << out.substr(0, 200);
  EXPECT_EQ(m.position(0), 0);
  EXPECT_EQ(out.substr(static_cast<size_t>(m.length(0))), description(p) + "\n");
  SDend(sd);
  Vend(f);
  Hclose(f);
}

std::string product_name(const testing::TestParamInfo<Product> &info) {
  return info.param.module;
}

class ProductTest : public ::testing::TestWithParam<Product> {
 protected:
  harness::TempDir dir;

  // Writes the TLM file of a run of n records of p of random bytes, and an
  // earlier run's EDR at the run's EDR path.
  static void random_records(Script &s, const Product &p, size_t n, unsigned seed) {
    std::vector<Record> recs;
    std::mt19937 rng(seed);
    while (recs.size() < n) {
      Record rec(p.record_size);
      for (uint8_t &b : rec) b = static_cast<uint8_t>(rng());
      recs.push_back(rec);
    }
    Feeder feed(s);
    feed.add(p, recs, 1);
    s.run();  // writes the TLM file
    harness::write_file(s.edr, "an EDR of an earlier run");
  }
};

// A run that selects the product's kind writes every record of its packets.
TEST_P(ProductTest, SelectedKindWritesEveryRecord) {
  const Product &p = GetParam();
  const std::vector<Record> recs = records_of(p);
  Script s(dir, p.module, p.inst, p.kind, p.apid);
  Feeder feed(s);
  feed.add(p, recs, 1000000);
  const harness::Run r = s.run();
  EXPECT_EQ(r.out, s.expected("Program run completed successfully.\n"));
  EXPECT_EQ(r.err, "");
  ASSERT_EQ(r.status, 0);
  EXPECT_FALSE(harness::exists(s.tmp()));
  EXPECT_EQ(static_cast<int32>(products::product_vgroups(s.edr).size()), 1);
  check_file(p, s.edr, recs);
  check_module(p, s.edr, recs);
}

// The description the module builds is the opening line and its header file.
TEST_P(ProductTest, DescriptionIsTheOpeningLineAndTheHeader) {
  const Product &p = GetParam();
  std::vector<char> buffer(static_cast<size_t>(p.desc_size), '\0');
  EXPECT_EQ(p.ops.wr_desc(buffer.data()), 0);
  const std::string text(buffer.data());
  EXPECT_EQ(text, description(p));
  EXPECT_LT(text.size(), static_cast<size_t>(p.desc_size));  // room for the NUL
  if (p.text_size) {
    EXPECT_EQ(text.size(), *p.text_size);
  }
  // The header declares the record in "struct <name> {" and closes it at
  // the end of the text.
  EXPECT_NE(text.find("\nstruct " + p.vdata + " {\n"), std::string::npos);
}

// A write that fails for real (a file-size limit reached, in a child shell,
// with standard output through a pipe out of the limit's reach) ends the run
// with the module's write message; nothing appears under the final name.
TEST_P(ProductTest, FailedWriteEndsTheRun) {
  const Product &p = GetParam();
  Script s(dir, p.module, p.inst);
  random_records(s, p, std::max<size_t>(4, (200000 + p.record_size - 1) / p.record_size), 7);
  const harness::Run r = harness::run(
      {"/bin/bash", "-c", "set -o pipefail; (ulimit -f 32; exec \"$0\" \"$@\") | cat",
       HLC_EDR_PROGRAM, "-inst", harness::kInstWords[p.inst], "-tlm", s.tlm(), "-edr", s.edr});
  const std::string last = "ERROR: write_" + p.module + "() failed\n";
  EXPECT_TRUE(r.out.ends_with(last)) << r.out.substr(r.out.size() > 300 ? r.out.size() - 300 : 0);
  EXPECT_NE(r.err.find("\nERROR in  " + p.module + ".cpp -> write_" + p.module + " -> "),
            std::string::npos)
      << r.err.substr(0, 300);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(harness::slurp(s.edr), "an EDR of an earlier run");
}

// Records are written behind, blocks of 64 KiB at a time (a block holds at
// least two records; larger records are written one by one). A block write
// that fails, the first, the second or the last one at the end of the run,
// from the table's VSwrite or an SDS's SDwritedata, ends the run with the
// module's write message after the records before that block; nothing
// appears under the final name.
TEST_P(ProductTest, FailedBlockWriteEndsTheRun) {
  const Product &p = GetParam();
  size_t bytes = p.packed_size();
  for (const products::Sds &a : p.sds) bytes += a.values() * products::type_size(a.type);
  const size_t fit = 65536 / bytes;
  const int block = fit < 2 ? 1 : static_cast<int>(fit);
  Script s(dir, p.module, p.inst);
  random_records(s, p, static_cast<size_t>(2 * block + 3), 11);
  for (const char *call : {"VSwrite", "SDwritedata"}) {
    if (std::string(call) == "SDwritedata" && p.sds.empty()) continue;
    for (int k = 0; k < 3; ++k) {
      SCOPED_TRACE(std::string(call) + " of block " + std::to_string(k));
      const int after = std::string(call) == "VSwrite" ? k : k * static_cast<int>(p.sds.size());
      const harness::Run r = harness::run_edr(
          {"-inst", harness::kInstWords[p.inst], "-tlm", s.tlm(), "-edr", s.edr},
          {"LD_PRELOAD=" HLC_FAULT_LIBRARY, std::string("HLC_FAIL=") + call,
           "HLC_FAIL_AFTER=" + std::to_string(after), "ASAN_OPTIONS=verify_asan_link_order=0"});
      // The last block is written by the flush at the end of the run, after
      // every record's line and the byte count.
      const bool last = block > 1 && k == 2;
      const int written = last ? 2 * block + 3 : (k + 1) * block - 1;
      size_t lines = 0;
      for (size_t at = r.out.find(p.wrote); at != std::string::npos;
           at = r.out.find(p.wrote, at + 1)) {
        ++lines;
      }
      EXPECT_EQ(lines, static_cast<size_t>(written));
      EXPECT_TRUE(r.out.ends_with("ERROR: write_" + p.module + "() failed\n"))
          << r.out.substr(r.out.size() > 300 ? r.out.size() - 300 : 0);
      EXPECT_EQ(r.out.find("Accumulated processed byte count") != std::string::npos, last);
      const std::string op = (last ? "flush_wr_" : "write_") + p.module;
      EXPECT_NE(r.err.find("\nERROR in  " + p.module + ".cpp -> " + op + " -> " + call + ": "),
                std::string::npos)
          << r.err.substr(0, 300);
      EXPECT_EQ(r.status, 255);
      EXPECT_EQ(harness::slurp(s.edr), "an EDR of an earlier run");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(All, ProductTest, ::testing::ValuesIn(products::all_products()),
                         product_name);

// One run without "-apid" over a file that mixes every product of a unit
// with packets of other units gives one EDR holding every product.
class UnitTest : public ::testing::TestWithParam<int> {
 protected:
  harness::TempDir dir;
};

TEST_P(UnitTest, OneRunWritesEveryProductOfTheUnit) {
  const int inst = GetParam();
  std::vector<Product> mine;
  for (Product &p : products::all_products()) {
    if (p.inst == inst) mine.push_back(std::move(p));
  }
  if (mine.empty()) GTEST_SKIP() << "no products of this unit yet";
  Script s(dir, harness::kInstWords[inst], inst);
  Feeder feed(s);
  const uint16_t other = inst == 3 ? 32 : 25;
  std::vector<std::vector<Record>> recs;
  uint32_t t0 = 5000;
  for (const Product &p : mine) {
    feed.foreign(other, t0);
    recs.push_back(records_of(p));
    feed.add(p, recs.back(), t0);
    t0 += 100;
  }
  feed.foreign(27, t0);
  const harness::Run r = s.run();
  EXPECT_EQ(r.out, s.expected("Program run completed successfully.\n"));
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(static_cast<int32>(products::product_vgroups(s.edr).size()),
            static_cast<int32>(mine.size()));
  for (size_t k = 0; k < mine.size(); ++k) {
    check_file(mine[k], s.edr, recs[k]);
    check_module(mine[k], s.edr, recs[k]);
  }
}

INSTANTIATE_TEST_SUITE_P(Units, UnitTest, ::testing::Values(1, 2, 3, 4),
                         [](const testing::TestParamInfo<int> &info) {
                           return std::string(harness::kInstWords[info.param]);
                         });

}  // namespace
