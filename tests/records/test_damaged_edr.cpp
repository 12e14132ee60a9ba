// Damaged EDRs are refused, never read. For every product, an EDR that the
// program writes is damaged in one value at a time of what HDF4 trusts when
// it reads a table: per Vdata field its stored number type, order, size and
// place; the table's record count and record size; per SDS its fixed
// dimensions and the stored data that gives its record count. Each damaged
// file is read through the module's reading operations (in process, so that
// the sanitizer build sees every access) and through hlc_edr_dump: the
// module refuses the table with a message that says what disagrees, reads
// nothing, and the dump prints no value and names the product as damaged.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "harness.h"
#include "mfhdf.h"
#include "products.h"

using products::Product;

namespace {

uint32_t get16(const std::vector<uint8_t> &d, size_t at) {
  return (uint32_t{d[at]} << 8) | d[at + 1];
}
uint32_t get32(const std::vector<uint8_t> &d, size_t at) {
  return (get16(d, at) << 16) | get16(d, at + 2);
}
void put16(std::vector<uint8_t> &d, size_t at, uint32_t v) {
  d[at] = static_cast<uint8_t>(v >> 8);
  d[at + 1] = static_cast<uint8_t>(v);
}
void put32(std::vector<uint8_t> &d, size_t at, uint32_t v) {
  put16(d, at, v >> 16);
  put16(d, at + 2, v & 0xFFFF);
}

// One object of the file, from its data descriptor: the tag (with the bit
// of special elements), the reference, where its bytes are, and where the
// descriptor itself is.
struct Object {
  uint32_t tag, ref, offset, length;
  size_t descriptor;
};

// The descriptor blocks start at byte 4: a count, the next block's place,
// then 12 bytes per descriptor.
std::vector<Object> objects(const std::vector<uint8_t> &d) {
  std::vector<Object> out;
  for (size_t block = 4; block != 0;) {
    const uint32_t n = get16(d, block);
    const size_t next = get32(d, block + 2);
    for (uint32_t i = 0; i < n; ++i) {
      const size_t at = block + 6 + 12 * i;
      out.push_back({get16(d, at), get16(d, at + 2), get32(d, at + 4), get32(d, at + 8), at});
    }
    block = next;
  }
  return out;
}

constexpr uint32_t kSpecial = 0x4000;  // tag bit of special (here linked-block) elements
constexpr uint32_t kVH = 1962, kVS = 1963, kSD = 702, kNDG = 720;

const Object &object(const std::vector<Object> &all, uint32_t tag, uint32_t ref) {
  for (const Object &o : all) {
    if ((o.tag & ~kSpecial) == tag && o.ref == ref) return o;
  }
  throw std::runtime_error(harness::format("no object %u/%u", tag, ref));
}

// Sets the length of an element's data as the file states it: in its
// descriptor, or in the header of a linked-block element (a special code
// of 16 bits, then the length).
void set_length(std::vector<uint8_t> &d, const Object &o, uint32_t length) {
  if (o.tag & kSpecial) {
    put32(d, o.offset + 2, length);
  } else {
    put32(d, o.descriptor + 8, length);
  }
}
uint32_t length_of(const std::vector<uint8_t> &d, const Object &o) {
  return (o.tag & kSpecial) ? get32(d, o.offset + 2) : o.length;
}

// One damaged copy of the EDR and what the module must say about it.
struct Damage {
  std::string what;                 // for the test's messages
  std::vector<uint8_t> bytes;       // the damaged file
  std::vector<std::string> saying;  // pieces of the module's message
};

// What the file's objects for the product are: found through the HDF4 API
// by the names of products.h.
struct Places {
  uint32_t vdata_ref = 0;
  struct Sds {
    uint32_t data_ref = 0;                 // the DFTAG_SD element of the slabs
    std::vector<uint32_t> dim_value_refs;  // the Vdata that holds each fixed dimension's size
  };
  std::vector<Sds> sds;
};

Places places_of(const Product &p, const std::string &path) {
  Places out;
  const int32 f = Hopen(path.c_str(), DFACC_READ, 0);
  Vstart(f);
  const int32 sd = SDstart(path.c_str(), DFACC_READ);
  out.vdata_ref = static_cast<uint32_t>(VSfind(f, p.vdata.c_str()));
  for (const products::Sds &s : p.sds) {
    Places::Sds place;
    const int32 id = SDselect(sd, SDnametoindex(sd, s.name.c_str()));
    // The slabs: the DFTAG_SD member of the SDS's group.
    const int32 group = SDidtoref(id);
    uint8_t pairs[64];
    const int32 n = Hgetelement(f, kNDG, static_cast<uint16>(group), pairs);
    for (int32 k = 0; k + 4 <= n; k += 4) {
      if (((pairs[k] << 8) | pairs[k + 1]) == static_cast<int>(kSD)) {
        place.data_ref = static_cast<uint32_t>((pairs[k + 2] << 8) | pairs[k + 3]);
      }
    }
    // Each fixed dimension is a Vgroup of its name holding one Vdata of its size.
    for (size_t d = 0; d < s.dims.size(); ++d) {
      char name[H4_MAX_NC_NAME + 1];
      int32 size = 0, type = 0, attrs = 0;
      SDdiminfo(SDgetdimid(id, static_cast<intn>(d + 1)), name, &size, &type, &attrs);
      const int32 vg = Vattach(f, Vfind(f, name), "r");
      int32 tag = 0, ref = 0;
      Vgettagref(vg, 0, &tag, &ref);
      EXPECT_EQ(tag, static_cast<int32>(kVH)) << name;
      place.dim_value_refs.push_back(static_cast<uint32_t>(ref));
      Vdetach(vg);
    }
    SDendaccess(id);
    out.sds.push_back(place);
  }
  SDend(sd);
  Vend(f);
  Hclose(f);
  return out;
}

// Every damage of one value, over the product's fields and SDS.
std::vector<Damage> damages(const Product &p, const std::vector<uint8_t> &edr, const Places &at) {
  const std::vector<Object> all = objects(edr);
  std::vector<Damage> out;
  auto damage = [&](const std::string &what, std::vector<std::string> saying) {
    out.push_back({what, edr, std::move(saying)});
    return &out.back().bytes;
  };

  // The Vdata header: interlace (16 bits), record count (32), record size
  // (16), field count (16), then per field its number type, size, offset
  // and order, one array of 16-bit values after the other.
  const size_t vh = object(all, kVH, at.vdata_ref).offset;
  const size_t n = p.fields.size();
  EXPECT_EQ(get16(edr, vh + 8), n);
  size_t offset = 0;
  for (size_t i = 0; i < n; ++i) {
    const products::Field &f = p.fields[i];
    const uint32_t size = static_cast<uint32_t>(products::type_size(f.type) * f.order);
    const size_t type_at = vh + 10 + 2 * i, size_at = type_at + 2 * n, offset_at = type_at + 4 * n,
                 order_at = type_at + 6 * n;
    EXPECT_EQ(get16(edr, offset_at), offset) << f.name;
    EXPECT_EQ(get16(edr, size_at), size) << f.name;
    put16(*damage(f.name + " type", {f.name, "number type"}), type_at,
          f.type == DFNT_UINT8 ? DFNT_UINT32 : DFNT_UINT8);
    put16(*damage(f.name + " order", {f.name, "order"}), order_at,
          static_cast<uint32_t>(f.order + 1));
    put16(*damage(f.name + " size", {f.name, "size"}), size_at, size == 127 ? 128 : 127);
    // One bit more: past the end of any record.
    put16(*damage(f.name + " offset past the record", {f.name, "offset"}), offset_at,
          static_cast<uint32_t>(offset) | 0x400);
    put16(*damage(f.name + " offset within the record", {f.name, "offset"}), offset_at,
          static_cast<uint32_t>(offset + 1));
    offset += size;
  }
  const uint32_t records = get32(edr, vh + 2);
  for (uint32_t claimed : {records + 1, records - 1, 100000000u, 0u}) {
    put32(*damage(harness::format("record count %u", claimed), {"records"}), vh + 2, claimed);
  }
  put16(*damage("record size", {"record"}), vh + 6, static_cast<uint32_t>(offset + 1));

  // The SDS: each fixed dimension's size, and the length of the slabs'
  // data, from which the SD interface counts the records.
  for (size_t k = 0; k < p.sds.size(); ++k) {
    const products::Sds &s = p.sds[k];
    for (size_t d = 0; d < s.dims.size(); ++d) {
      const Object &value = object(all, kVS, at.sds[k].dim_value_refs[d]);
      EXPECT_EQ(get32(edr, value.offset), static_cast<uint32_t>(s.dims[d])) << s.name;
      put32(*damage(harness::format("%s dimension %zu", s.name.c_str(), d + 1), {s.name}),
            value.offset, static_cast<uint32_t>(s.dims[d] + 1));
    }
    const Object &data = object(all, kSD, at.sds[k].data_ref);
    const uint32_t length = length_of(edr, data);
    const uint32_t slab = static_cast<uint32_t>(s.values() * products::type_size(s.type));
    EXPECT_EQ(length, records * slab) << s.name;
    for (uint32_t changed : {length - slab, length + slab, length - 1}) {
      set_length(*damage(harness::format("%s data of %u bytes", s.name.c_str(), changed), {s.name}),
                 data, changed);
    }
  }
  return out;
}

// Reads the product of `path` through its module's reading operations:
// the record count init_rd_ gives (and its report on standard error), and
// whether a read gave anything.
struct ModuleRead {
  int32 count;
  std::string err;
  bool read_something;
};

ModuleRead read_through_module(const Product &p, const std::string &path) {
  ModuleRead out{};
  testing::internal::CaptureStderr();
  const int32 f = Hopen(path.c_str(), DFACC_READ, 0);
  Vstart(f);
  const int32 sd = SDstart(path.c_str(), DFACC_READ);
  out.count = p.ops.init_rd(f, sd, "r");
  std::vector<uint8_t> record(p.ops.record_size, 0xA5), before = record;
  for (int32 position : {0, -1}) {
    if (p.ops.read(record.data(), position) != -1) out.read_something = true;
  }
  out.read_something = out.read_something || record != before;
  p.ops.close_rd();
  SDend(sd);
  Vend(f);
  Hclose(f);
  out.err = testing::internal::GetCapturedStderr();
  return out;
}

// The first "ERROR in  " report of a module, without its prefix.
std::string first_report(const std::string &err) {
  const std::vector<std::string> reports = harness::reports(err);
  return reports.empty() ? "" : reports.front();
}

class DamagedEdrTest : public ::testing::TestWithParam<Product> {
 protected:
  harness::TempDir dir;
};

TEST_P(DamagedEdrTest, EveryDamagedHeaderValueIsRefused) {
  const Product &p = GetParam();
  harness::Script s(dir, p.module, p.inst, p.kind, p.apid);
  products::Feeder feed(s);
  const std::vector<products::Record> recs = products::records_of(p, 2);
  feed.add(p, recs, 1000000);
  ASSERT_EQ(s.run().status, 0);
  const std::string sound = harness::slurp(s.edr);
  const std::vector<uint8_t> edr(sound.begin(), sound.end());

  // The sound file reads whole.
  const ModuleRead whole = read_through_module(p, s.edr);
  ASSERT_EQ(whole.count, static_cast<int32>(recs.size())) << whole.err;
  ASSERT_EQ(whole.err, "");

  const std::string damaged = dir / "damaged.hdf";
  const std::string prefix = "ERROR in  " + p.module + ".cpp -> init_acc_" + p.module + " -> ";
  const std::vector<Damage> all = damages(p, edr, places_of(p, s.edr));
  ASSERT_FALSE(all.empty());
  for (const Damage &d : all) {
    SCOPED_TRACE(p.module + ": " + d.what);
    harness::write_file(damaged, std::string(d.bytes.begin(), d.bytes.end()));
    const ModuleRead r = read_through_module(p, damaged);
    EXPECT_EQ(r.count, -1) << r.err;
    EXPECT_FALSE(r.read_something);
    const std::string report = first_report(r.err);
    if (report.rfind(prefix, 0) != 0) {
      ADD_FAILURE() << "not refused: " << r.err;
      continue;
    }
    for (const std::string &piece : d.saying) {
      EXPECT_NE(report.find(piece), std::string::npos) << report;
    }

    // The dump prints nothing of it and names it as damaged, with the
    // module's message.
    const harness::Run dump = harness::run({HLC_EDR_DUMP_PROGRAM, damaged, p.module});
    EXPECT_EQ(dump.status, 1);
    EXPECT_EQ(dump.out, "");
    const std::string message = report.substr(("ERROR in  " + p.module + ".cpp -> ").size());
    EXPECT_EQ(dump.err,
              "ERROR: " + damaged + ": product " + p.module + " is damaged: " + message + "\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Products, DamagedEdrTest, ::testing::ValuesIn(products::all_products()),
                         [](const testing::TestParamInfo<Product> &i) { return i.param.module; });

}  // namespace
