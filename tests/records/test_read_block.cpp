// The record modules' bulk read, read_block_<module>, through every
// product's descriptor on EDRs that hlc_edr writes from builder TLM files:
// every block (the whole table, the middle, single records, none) holds in
// each member's column what record-by-record reads give and what the
// tests' own statement of the product (products_<unit>.cpp) puts at that
// place of the packets; a following read of the next record continues
// after the block; NULL columns are skipped; and what is refused (a module
// not open for reading, negative positions and counts, a block past the
// last record) reads nothing and is reported in the module's own words.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "hlc_edr_layout.h"
#include "mfhdf.h"
#include "products.h"

namespace {

using products::Product;
using products::Record;
using Bytes = std::vector<unsigned char>;

// Where member `name` of product p comes from in the packet bytes, its type
// and its number of values, as the tests state it.
struct Stated {
  int32 type = 0;
  size_t values = 0;
  products::Source source;
};

Stated stated(const Product &p, const std::string &name) {
  for (const products::Field &f : p.fields) {
    if (f.name == name) return {f.type, static_cast<size_t>(f.order), f.source};
  }
  for (const products::Sds &s : p.sds) {
    if (s.name == p.vdata + "_" + name) return {s.type, s.values(), s.source};
  }
  ADD_FAILURE() << p.module << ": no member " << name << " in the tests' statement";
  return {};
}

// The member's values of records [from, from + count) in host order, back
// to back: each big-endian value of the packet bytes at its stated place.
Bytes expected_column(const Product &p, const std::string &name, const std::vector<Record> &recs,
                      size_t from, size_t count) {
  const Stated s = stated(p, name);
  const size_t size = products::type_size(s.type);
  Bytes out;
  for (size_t r = from; r < from + count; ++r) {
    for (size_t v = 0; v < s.values; ++v) {
      const uint8_t *b = recs[r].data() + s.source(v);
      uint32_t value = 0;
      for (size_t j = 0; j < size; ++j) value = value << 8 | b[j];
      const uint8_t u8 = static_cast<uint8_t>(value);
      const uint16_t u16 = static_cast<uint16_t>(value);
      const unsigned char *host = size == 1   ? &u8
                                  : size == 2 ? reinterpret_cast<const unsigned char *>(&u16)
                                              : reinterpret_cast<const unsigned char *>(&value);
      out.insert(out.end(), host, host + size);
    }
  }
  return out;
}

// An EDR of one product, written by hlc_edr, open with the V and SD
// interfaces.
class ReadBlock : public testing::TestWithParam<Product> {
 protected:
  harness::TempDir dir;
  const Product &p = GetParam();
  const hlc_edr_product *d = hlc_edr_find_product(GetParam().module.c_str());
  std::vector<Record> recs;
  int32 f = -1, sd = -1;

  void SetUp() override {
    ASSERT_NE(d, nullptr);
    harness::Script s(dir, "block", p.inst, p.kind);
    products::Feeder feed(s);
    recs = products::records_of(p, 6);
    feed.add(p, recs, 5000);
    const harness::Run r = s.run();
    ASSERT_EQ(r.status, 0) << r.out.substr(r.out.size() > 400 ? r.out.size() - 400 : 0);
    f = Hopen(s.edr.c_str(), DFACC_READ, 0);
    ASSERT_NE(f, -1);
    ASSERT_EQ(Vstart(f), 0);
    sd = SDstart(s.edr.c_str(), DFACC_READ);
    ASSERT_NE(sd, -1);
  }
  void TearDown() override {
    if (d != nullptr) d->close_rd();
    if (sd != -1) SDend(sd);
    if (f != -1) {
      Vend(f);
      Hclose(f);
    }
  }

  std::string report(const std::string &what) const {
    return "ERROR in  " + p.module + ".cpp -> read_block_" + p.module + " -> " + what;
  }

  // Columns of `count` records, every byte 0xA5 to begin with.
  std::vector<Bytes> columns(int32 count) const {
    std::vector<Bytes> c;
    for (int32 i = 0; i < d->nmembers; ++i) {
      c.emplace_back(d->members[i].size * static_cast<size_t>(count), 0xA5);
    }
    return c;
  }

  // Reads the block and checks every column against the statement and
  // against record-by-record reads; `skip` members get no column.
  void expect_block(int32 from, int32 count, const std::vector<bool> &skip = {}) {
    SCOPED_TRACE(harness::format("block of %d from %d", count, from));
    std::vector<Bytes> c = columns(count);
    std::vector<void *> pointers;
    for (int32 i = 0; i < d->nmembers; ++i) {
      const bool skipped = !skip.empty() && skip[static_cast<size_t>(i)];
      pointers.push_back(skipped ? nullptr : c[static_cast<size_t>(i)].data());
    }
    ASSERT_EQ(d->read_block(from, count, pointers.data()), 0);
    std::vector<Bytes> single(static_cast<size_t>(d->nmembers));
    std::vector<unsigned char> record(d->record_size);
    for (int32 r = from; r < from + count; ++r) {
      ASSERT_EQ(d->read(record.data(), r), 0) << "record " << r;
      for (int32 i = 0; i < d->nmembers; ++i) {
        const hlc_edr_member &m = d->members[i];
        single[static_cast<size_t>(i)].insert(single[static_cast<size_t>(i)].end(),
                                              record.data() + m.offset,
                                              record.data() + m.offset + m.size);
      }
    }
    for (int32 i = 0; i < d->nmembers; ++i) {
      const hlc_edr_member &m = d->members[i];
      const Bytes &got = c[static_cast<size_t>(i)];
      if (pointers[static_cast<size_t>(i)] == nullptr) {
        EXPECT_EQ(got, Bytes(got.size(), 0xA5)) << m.name << " was to be skipped";
        continue;
      }
      EXPECT_EQ(got, expected_column(p, m.name, recs, static_cast<size_t>(from),
                                     static_cast<size_t>(count)))
          << m.name;
      EXPECT_EQ(got, single[static_cast<size_t>(i)]) << m.name << " against read_" << p.module;
    }
  }

  // The record that read_(r, -1) gives is record `want`.
  void expect_next(int32 want) {
    std::vector<unsigned char> record(d->record_size);
    ASSERT_EQ(d->read(record.data(), -1), 0);
    for (int32 i = 0; i < d->nmembers; ++i) {
      const hlc_edr_member &m = d->members[i];
      EXPECT_EQ(Bytes(record.data() + m.offset, record.data() + m.offset + m.size),
                expected_column(p, m.name, recs, static_cast<size_t>(want), 1))
          << m.name << " of the record after the block, " << want;
    }
  }
};

TEST_P(ReadBlock, EveryBlockHoldsTheRecordsValues) {
  const int32 n = static_cast<int32>(recs.size());
  ASSERT_GE(n, 4);
  ASSERT_EQ(d->init_rd(f, sd, "r"), n);
  expect_block(0, n);
  expect_block(1, n - 2);
  expect_block(n - 1, 1);
  expect_block(2, 1);
  expect_block(0, 0);
  expect_block(n, 0);
  std::vector<bool> skip;
  for (int32 i = 0; i < d->nmembers; ++i) skip.push_back(i % 2 == 1);
  expect_block(0, n, skip);
  expect_block(1, n - 1, std::vector<bool>(static_cast<size_t>(d->nmembers), true));
}

// Blocks and single reads interleave: a read of the next record continues
// after the block, at any place, also after a block of no records and after
// a block of some of the fields, and reads every field.
TEST_P(ReadBlock, TheNextReadContinuesAfterTheBlock) {
  const int32 n = static_cast<int32>(recs.size());
  ASSERT_EQ(d->init_rd(f, sd, "r"), n);
  std::vector<Bytes> c = columns(n);
  std::vector<void *> pointers;
  for (Bytes &b : c) pointers.push_back(b.data());
  ASSERT_EQ(d->read_block(1, 2, pointers.data()), 0);
  expect_next(3);
  expect_next(4);
  ASSERT_EQ(d->read_block(0, 1, pointers.data()), 0);
  expect_next(1);
  ASSERT_EQ(d->read_block(2, 0, pointers.data()), 0);
  expect_next(2);
  expect_block(n - 3, 2);
  expect_next(n - 1);
  // A block of some fields only (the record time), then the whole records.
  std::vector<void *> times(pointers.size(), nullptr);
  times[static_cast<size_t>(d->sclk_seconds)] = pointers[static_cast<size_t>(d->sclk_seconds)];
  ASSERT_EQ(d->read_block(0, 2, times.data()), 0);
  expect_next(2);
  expect_next(3);
}

// Refused, reading nothing, with the module's message: before the module is
// opened and after it is closed, negative positions and counts, blocks that
// go past the last record.
TEST_P(ReadBlock, RefusalsReadNothing) {
  const int32 n = static_cast<int32>(recs.size());
  std::vector<Bytes> c = columns(n + 1);
  std::vector<void *> pointers;
  for (Bytes &b : c) pointers.push_back(b.data());
  auto untouched = [&] {
    for (const Bytes &b : c) EXPECT_EQ(b, Bytes(b.size(), 0xA5));
  };
  const std::string closed = report("state check: the module is not open for reading.");

  testing::internal::CaptureStderr();
  EXPECT_EQ(d->read_block(0, 1, pointers.data()), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(harness::reports(err), std::vector<std::string>{closed}) << err;

  ASSERT_EQ(d->init_rd(f, sd, "r"), n);
  const struct {
    int32 position, count;
    std::string what;
  } refused[] = {
      {-1, 1, "block check: position -1 and count 1, neither may be negative."},
      {0, -1, "block check: position 0 and count -1, neither may be negative."},
      {0, n + 1,
       harness::format("block check: %d records from 0 go past the table's %d records.", n + 1, n)},
      {n, 1,
       harness::format("block check: 1 records from %d go past the table's %d records.", n, n)},
      {n + 1, 0,
       harness::format("block check: 0 records from %d go past the table's %d records.", n + 1, n)},
      {n - 1, 2,
       harness::format("block check: 2 records from %d go past the table's %d records.", n - 1, n)},
  };
  for (const auto &r : refused) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(d->read_block(r.position, r.count, pointers.data()), -1)
        << r.position << " " << r.count;
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(harness::reports(err), std::vector<std::string>{report(r.what)}) << err;
  }
  untouched();
  // The refusals leave the read position where it was.
  std::vector<unsigned char> record(d->record_size);
  ASSERT_EQ(d->read(record.data(), 2), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(d->read_block(n, 1, pointers.data()), -1);
  testing::internal::GetCapturedStderr();
  expect_next(3);

  d->close_rd();
  testing::internal::CaptureStderr();
  EXPECT_EQ(d->read_block(0, 1, pointers.data()), -1);
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(harness::reports(err), std::vector<std::string>{closed}) << err;
  untouched();
}

INSTANTIATE_TEST_SUITE_P(Products, ReadBlock, testing::ValuesIn(products::all_products()),
                         [](const testing::TestParamInfo<Product> &i) { return i.param.module; });

}  // namespace
