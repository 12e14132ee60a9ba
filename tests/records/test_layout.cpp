// The record modules' layout descriptors (hlc_edr_layout.h) against the
// tests' own statement of every product (products_<unit>.cpp), against the
// record headers' own comments (etc/hlc_edr/<module>.h), and in use: a record
// written by the module and read back through the descriptor's operations.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "con_hk_api.h"
#include "gem_hk_api.h"
#include "gem_mancal_api.h"
#include "gem_normal_api.h"
#include "gem_raw_api.h"
#include "gim_diag_api.h"
#include "gim_hk_api.h"
#include "gim_mancal_api.h"
#include "gim_normal_api.h"
#include "gim_raw_api.h"
#include "harness.h"
#include "hdf_fixture.h"
#include "hlc_edr_layout.h"
#include "mec_f1d_api.h"
#include "mec_hk_api.h"
#include "products.h"

#ifdef HLC_HAVE_UDUNITS
#include <udunits2.h>
#endif

namespace {

using products::Product;

// The constants of hlc_edr_const.h, as the system defines them.
const std::map<std::string, int32_t> kDimensions = {
    {"GEM_SPINS", 4},         {"GEM_CYCLE_LEVELS", 20},  {"GEM_AZIMUTH_SECTORS", 24},
    {"GEM_CEMS", 7},          {"GEM_SPIN_LEVELS", 5},    {"GIM_SPINS", 4},
    {"GIM_CYCLE_LEVELS", 40}, {"GIM_MASK_ELEMENTS", 80}, {"GIM_AZIMUTH_SECTORS", 40},
    {"GIM_SPIN_LEVELS", 10},  {"GIM_CEMS", 8},           {"MEC_F1D_ELEMENTS", 40},
};

// The products whose record time is an array over four spins.
const std::set<std::string> kFourSpins = {"gem_normal", "gim_normal", "gim_diag"};

const hlc_edr_product *descriptor(const Product &p) {
  return hlc_edr_find_product(p.module.c_str());
}

double type_max(int32_t type) {
  switch (type) {
    case HLC_EDR_UINT8:
      return 255;
    case HLC_EDR_UINT16:
      return 65535;
    case HLC_EDR_UINT32:
      return 4294967295.0;
  }
  return 3.4028234663852886e38;
}

class Layouts : public testing::TestWithParam<Product> {};

// The ranges of bits of the status words whose values mean states, as the
// system reads the record headers: the sample mode, the collection type and
// the test pulser setting. Every other range holds a number or nothing.
const std::set<std::string> kEnumerations = {"Sample_Mode", "COLLECTION_TYPE", "TEST_PULSER"};

TEST(LayoutTable, TwelveInTheirOrderFoundByModule) {
  const std::vector<Product> all = products::all_products();
  ASSERT_EQ(all.size(), static_cast<size_t>(HLC_EDR_NUM_PRODUCTS));
  for (size_t i = 0; i < all.size(); ++i) {
    EXPECT_STREQ(hlc_edr_products[i]->module, all[i].module.c_str()) << i;
    EXPECT_EQ(hlc_edr_find_product(all[i].module.c_str()), hlc_edr_products[i]);
  }
  EXPECT_EQ(hlc_edr_find_product("gem"), nullptr);
  EXPECT_EQ(hlc_edr_find_product(""), nullptr);
  EXPECT_EQ(hlc_edr_find_product(nullptr), nullptr);
}

// Names, sizes, and every member's type, dimensions and place, in the
// structure, the packed record or its SDS.
TEST_P(Layouts, AreTheProductsLayouts) {
  const Product &p = GetParam();
  const hlc_edr_product *d = descriptor(p);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->record, p.vdata);
  EXPECT_EQ(d->vdata, p.vdata);
  EXPECT_EQ(d->vgroup, p.vgroup);
  EXPECT_EQ(d->vgroup_class, p.vgroup_class);
  EXPECT_EQ(d->header, p.module + ".h");
  EXPECT_EQ(d->record_size, p.ops.record_size);
  EXPECT_EQ(d->packed_size, p.packed_size());
  EXPECT_EQ(d->desc_size, static_cast<size_t>(p.desc_size));
  EXPECT_EQ(d->init_rd, p.ops.init_rd);
  EXPECT_EQ(d->close_rd, p.ops.close_rd);
  EXPECT_EQ(d->rd_Vgrp_desc, p.ops.rd_desc);
  ASSERT_EQ(d->nfields, static_cast<int32_t>(p.fields.size()));
  ASSERT_EQ(d->nsds, static_cast<int32_t>(p.sds.size()));
  ASSERT_EQ(d->nmembers, d->nfields + d->nsds);

  std::string list;
  size_t field = 0, sds = 0, packed = 0, end = 0;
  for (int32_t i = 0; i < d->nmembers; ++i) {
    const hlc_edr_member &m = d->members[i];
    SCOPED_TRACE(m.name);
    EXPECT_GE(m.offset, end) << "declaration order";
    end = m.offset + m.size;
    int32_t values = 1;
    for (int32_t k = 0; k < m.rank; ++k) {
      ASSERT_EQ(kDimensions.count(m.dims[k].name), 1u) << m.dims[k].name;
      EXPECT_EQ(m.dims[k].size, kDimensions.at(m.dims[k].name));
      values *= m.dims[k].size;
    }
    EXPECT_EQ(m.order, values);
    EXPECT_EQ(m.size, static_cast<size_t>(m.order) * products::type_size(m.type));
    if (m.sds == nullptr) {
      ASSERT_LT(field, p.fields.size());
      const products::Field &f = p.fields[field++];
      EXPECT_EQ(m.name, f.name);
      EXPECT_EQ(m.type, f.type);
      EXPECT_EQ(m.order, f.order);
      EXPECT_EQ(m.offset, f.member);
      EXPECT_EQ(m.packed_offset, packed);
      EXPECT_LE(m.rank, 1);
      packed += m.size;
      list += (list.empty() ? "" : ", ") + f.name;
    } else {
      ASSERT_LT(sds, p.sds.size());
      const products::Sds &s = p.sds[sds++];
      EXPECT_EQ(m.sds, s.name);
      EXPECT_EQ(s.name, p.vdata + "_" + m.name);
      EXPECT_EQ(m.type, s.type);
      std::vector<int32> dims;
      for (int32_t k = 0; k < m.rank; ++k) dims.push_back(m.dims[k].size);
      EXPECT_EQ(dims, s.dims);
      EXPECT_EQ(m.offset, s.member);
    }
  }
  EXPECT_LE(end, d->record_size);
  EXPECT_EQ(d->field_list, list);

  EXPECT_EQ(d->spins, kFourSpins.count(p.module) ? 4 : 1);
  ASSERT_GE(d->sclk_seconds, 0);
  ASSERT_GE(d->sclk_subseconds, 0);
  EXPECT_STREQ(d->members[d->sclk_seconds].name, "sclk_seconds");
  EXPECT_STREQ(d->members[d->sclk_subseconds].name, "sclk_subseconds");
  EXPECT_EQ(d->members[d->sclk_seconds].order, d->spins);
}

// Every member has a long name; masks, values and meanings agree in number;
// the masks are within the word, and of one part each: a part is a single
// bit, whose value is the bit, or a range of bits apart from every other
// part with one value (within the mask) per state; a valid range is within
// the type.
TEST_P(Layouts, MeaningsAreWhole) {
  const hlc_edr_product *d = descriptor(GetParam());
  ASSERT_NE(d, nullptr);
  for (int32_t i = 0; i < d->nmembers; ++i) {
    const hlc_edr_member &m = d->members[i];
    SCOPED_TRACE(m.name);
    ASSERT_NE(m.long_name, nullptr);
    EXPECT_GT(strlen(m.long_name), 0u);
    std::vector<std::string> meanings;
    if (m.flag_meanings != nullptr) {
      std::istringstream words(m.flag_meanings);
      for (std::string w; words >> w;) meanings.push_back(w);
      EXPECT_EQ(std::string(m.flag_meanings).find("  "), std::string::npos);
    }
    EXPECT_EQ(static_cast<size_t>(m.nflags), meanings.size());
    std::map<uint32_t, std::set<uint32_t>> parts;  // mask -> its values
    for (int32_t k = 0; k < m.nflags; ++k) {
      const uint32_t mask = m.flag_masks[k], value = m.flag_values[k];
      EXPECT_NE(mask, 0u);
      EXPECT_LE(mask, type_max(m.type));
      EXPECT_EQ(value & ~mask, 0u) << "value outside its mask";
      EXPECT_TRUE(parts[mask].insert(value).second) << "a value named twice";
    }
    uint32_t seen = 0;
    for (const auto &[mask, values] : parts) {
      EXPECT_EQ(seen & mask, 0u) << "parts overlap";
      seen |= mask;
      const int width = __builtin_popcount(mask);
      if (width == 1) {
        EXPECT_EQ(values, std::set<uint32_t>{mask}) << "a single bit is set";
      } else {
        EXPECT_EQ(values.size(), size_t{1} << width) << "an enumeration names every state";
      }
    }
    if (m.has_valid_range) {
      EXPECT_LE(m.valid_min, m.valid_max);
      EXPECT_GE(m.valid_min, m.type == HLC_EDR_FLOAT32 ? -type_max(m.type) : 0.0);
      EXPECT_LE(m.valid_max, type_max(m.type));
    }
  }
}

// ---- the record headers' own comments -----------------------------------------

// A member's comment in its record header: the text after "--" of its entry
// in the header's comment block, its lines without their indents.
std::map<std::string, std::string> header_comments(const std::string &module) {
  std::istringstream in(harness::slurp(std::string(HLC_ETC_DIR) + "/" + module + ".h"));
  std::map<std::string, std::string> comments;
  const std::regex entry(R"(^      ([A-Za-z_0-9]+)(\[[0-9\]\[]*\])?(\s+--\s*(.*))?$)");
  std::string line, name;
  bool in_block = false;
  while (std::getline(in, line)) {
    if (line.find("data structure --") != std::string::npos ||
        line.find("Data Structure --") != std::string::npos ||
        line.find("count structure --") != std::string::npos) {
      in_block = true;
      continue;
    }
    if (!in_block) continue;
    if (line.rfind("*/", 0) == 0) break;
    std::smatch m;
    if (std::regex_match(line, m, entry)) {
      name = m[1];
      comments[name] = m[4];
      continue;
    }
    if (name.empty()) continue;
    size_t start = line.find_first_not_of(' ');
    if (start == std::string::npos) continue;
    std::string text = line.substr(start);
    if (text.rfind("-- ", 0) == 0) text = text.substr(3);
    comments[name] += (comments[name].empty() ? "" : "\n") + text;
  }
  return comments;
}

std::set<std::string> words_of(const std::string &text) {
  std::set<std::string> words;
  std::string w;
  for (char c : text + " ") {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '/' || c == '-') {
      w += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    } else if (!w.empty()) {
      words.insert(w);
      w.clear();
    }
  }
  return words;
}

// The units that phrases of a header comment state, in UDUNITS form.
std::set<std::string> stated_units(const std::string &comment) {
  static const std::vector<std::pair<std::regex, std::string>> phrases = {
      {std::regex(R"(units of\s+0\.1\s+microsecond)"), "1e-7 s"},
      {std::regex(R"(units of\s+10\s+microseconds)"), "1e-5 s"},
      {std::regex(R"(units of\s+0\.01\s+percent)"), "0.01 %"},
      {std::regex(R"(units of\s+00\.001\s+percent)"), "0.001 %"},
      {std::regex(R"(\(1/65536th\) of SCLK second)"), "s/65536"},
      {std::regex(R"(SCLK seconds|, seconds$)"), "s"},
      {std::regex(R"(#/cm\^3)"), "cm-3"},
      {std::regex(R"(, cm/s$)"), "cm/s"},
      {std::regex(R"(, K$)"), "K"},
      {std::regex(R"(unitless)"), "1"},
      {std::regex(R"(calculation, counts)"), "count"},
  };
  std::set<std::string> units;
  for (const auto &[phrase, unit] : phrases) {
    if (std::regex_search(comment, phrase)) units.insert(unit);
  }
  return units;
}

// Names, long names, units, ranges and flags as the header's comment on each
// member gives them: the long name is made of the comment's words; the units
// are those its phrases state; a range "(0-4095d)" or "(0.0 - 1.0)" is the
// valid range; its bit lines ("bit 8 = Name ...") are the flags and their
// meanings, a meaning being the name up to a colon, comma or parenthesis,
// with blanks as underscores: a single bit is a flag; a range of bits whose
// values mean states (kEnumerations) is one flag per state, Name_0, Name_1,
// ...; any other range of bits (a counter, a value, spare bits) is no flag
// and the comment tells it, "bits 0-7: Name"; its remarks "? bit order",
// "MSB order" and a question mark are kept in the comment.
TEST_P(Layouts, MeaningsAreTheHeaders) {
  const Product &p = GetParam();
  const hlc_edr_product *d = descriptor(p);
  ASSERT_NE(d, nullptr);
  const std::map<std::string, std::string> comments = header_comments(p.module);
  ASSERT_EQ(comments.size(), static_cast<size_t>(d->nmembers));
  const std::regex range(R"(\((\d+(?:\.\d+)?)\s*-\s*(\d+(?:\.\d+)?)d?\))");
  const std::regex bit_line(R"([Bb]its? (\d+)(?:-(\d+))?\s*= ([^:,(\n]*))");
  for (int32_t i = 0; i < d->nmembers; ++i) {
    const hlc_edr_member &m = d->members[i];
    SCOPED_TRACE(m.name);
    ASSERT_EQ(comments.count(m.name), 1u);
    const std::string &c = comments.at(m.name);
    const std::string comment = m.comment ? m.comment : "";

    const std::set<std::string> header_words = words_of(c);
    for (const std::string &w : words_of(m.long_name)) {
      EXPECT_EQ(header_words.count(w), 1u) << "\"" << w << "\" of \"" << m.long_name << "\"";
    }

    const std::set<std::string> units = stated_units(c);
    EXPECT_LE(units.size(), 1u) << c;
    EXPECT_EQ(m.units ? std::set<std::string>{m.units} : std::set<std::string>{}, units) << c;

    std::smatch r;
    if (std::regex_search(c, r, range)) {
      EXPECT_TRUE(m.has_valid_range) << c;
      EXPECT_EQ(m.valid_min, std::stod(r[1]));
      EXPECT_EQ(m.valid_max, std::stod(r[2]));
    } else {
      EXPECT_FALSE(m.has_valid_range) << c;
    }

    std::vector<uint32_t> masks, values;
    std::string meanings;
    auto flag = [&](uint32_t mask, uint32_t value, const std::string &name) {
      masks.push_back(mask);
      values.push_back(value);
      meanings += (meanings.empty() ? "" : " ") + name;
    };
    for (std::sregex_iterator b(c.begin(), c.end(), bit_line), e; b != e; ++b) {
      const int low = std::stoi((*b)[1]);
      const int high = (*b)[2].matched ? std::stoi((*b)[2]) : low;
      const uint32_t mask = static_cast<uint32_t>((uint64_t{2} << high) - (uint64_t{1} << low));
      std::string name = (*b)[3];
      name.erase(name.find_last_not_of(' ') + 1);
      for (char &ch : name) ch = ch == ' ' ? '_' : ch;
      if (low == high) {
        flag(mask, mask, name);
      } else if (kEnumerations.count(name)) {
        for (uint32_t state = 0; state <= mask >> low; ++state) {
          flag(mask, state << low, name + "_" + std::to_string(state));
        }
      } else {
        EXPECT_NE(comment.find(harness::format("bits %d-%d: %s", low, high, name.c_str())),
                  std::string::npos)
            << comment;
      }
    }
    EXPECT_EQ(std::vector<uint32_t>(m.flag_masks, m.flag_masks + m.nflags), masks) << c;
    EXPECT_EQ(std::vector<uint32_t>(m.flag_values, m.flag_values + m.nflags), values) << c;
    EXPECT_EQ(m.flag_meanings ? m.flag_meanings : "", meanings);

    if (c.find("? bit order") != std::string::npos) {
      EXPECT_NE(comment.find("? bit order"), std::string::npos);
    }
    if (c.find("MSB order") != std::string::npos) {
      EXPECT_NE(comment.find("MSB order"), std::string::npos);
    }
    if (c.back() == '?') {
      EXPECT_NE(comment.find("question mark"), std::string::npos) << c;
    }
  }
}

// Every unit is one that udunits2 reads.
TEST_P(Layouts, UnitsAreUdunits) {
#ifdef HLC_HAVE_UDUNITS
  ut_set_error_message_handler(ut_ignore);
  ut_system *system = ut_read_xml(nullptr);
  ASSERT_NE(system, nullptr);
  const hlc_edr_product *d = descriptor(GetParam());
  for (int32_t i = 0; i < d->nmembers; ++i) {
    const char *units = d->members[i].units;
    if (units == nullptr) continue;
    ut_unit *u = ut_parse(system, units, UT_ASCII);
    EXPECT_NE(u, nullptr) << d->members[i].name << ": " << units;
    ut_free(u);
  }
  ut_free_system(system);
#else
  GTEST_SKIP() << "built without udunits2 (libudunits2-dev)";
#endif
}

// ---- in use ---------------------------------------------------------------------

// A module's writing operations, a record given as bytes of its structure.
struct Writing {
  int32 (*init_wr)(int32, int32, int32, const char *);
  int32 (*write)(const void *record);
  void (*close_wr)();
  void (*pack)(void *packed, const void *record);
  void (*unpack)(const void *packed, void *record);
};
#define WRITING(m, R)                                                                           \
  {                                                                                             \
#m, {                                                                                       \
      init_wr_##m,                                                                              \
          [](const void *bytes) {                                                               \
            R r;                                                                                \
            memcpy(&r, bytes, sizeof r);                                                        \
            return write_##m(r, -1);                                                            \
          },                                                                                    \
          close_wr_##m, [](void *p, const void *r) { pack_##m(p, static_cast<const R *>(r)); }, \
          [](const void *p, void *r) { unpack_##m(p, static_cast<R *>(r)); }                    \
    }                                                                                           \
  }
const std::map<std::string, Writing> kWriting = {
    WRITING(gem_hk, GEM_Housekeeping), WRITING(gem_mancal, GEM_ManCal),
    WRITING(gem_normal, GEM_Normal),   WRITING(gem_raw, GEM_Raw),
    WRITING(gim_hk, GIM_Housekeeping), WRITING(gim_mancal, GIM_ManCal),
    WRITING(gim_normal, GIM_Normal),   WRITING(gim_raw, GIM_Raw),
    WRITING(gim_diag, GIM_Diagnostic), WRITING(con_hk, Concentrator_Housekeeping),
    WRITING(mec_hk, MEC_Housekeeping), WRITING(mec_f1d, MEC_f1d),
};
#undef WRITING

class InUse : public HdfFileTest, public testing::WithParamInterface<Product> {};

// The module packs each Vdata field at the descriptor's packed offset, and
// unpacks every one back to its place.
TEST_P(InUse, PacksAtTheDescriptorsPlaces) {
  const hlc_edr_product *d = descriptor(GetParam());
  ASSERT_NE(d, nullptr);
  const Writing &w = kWriting.at(d->module);
  std::vector<unsigned char> record(d->record_size), back(d->record_size, 0);
  std::vector<unsigned char> packed(d->packed_size + 1, 0xA5);
  for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<unsigned char>(i * 13 + 5);
  w.pack(packed.data(), record.data());
  EXPECT_EQ(packed.back(), 0xA5) << "past the packed record";
  w.unpack(packed.data(), back.data());
  for (int32_t i = 0; i < d->nmembers; ++i) {
    const hlc_edr_member &m = d->members[i];
    if (m.sds != nullptr) continue;
    EXPECT_EQ(memcmp(packed.data() + m.packed_offset, record.data() + m.offset, m.size), 0)
        << m.name;
    EXPECT_EQ(memcmp(back.data() + m.offset, record.data() + m.offset, m.size), 0) << m.name;
  }
}

// A record that the module writes reads back through the descriptor's
// operations, member by member at the descriptor's places; the description
// lands in the descriptor's buffer.
TEST_P(InUse, ReadsThroughTheDescriptor) {
  const hlc_edr_product *d = descriptor(GetParam());
  ASSERT_NE(d, nullptr);
  const Writing &w = kWriting.at(d->module);
  std::vector<unsigned char> record(d->record_size), back(d->record_size, 0);
  for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<unsigned char>(i * 7 + 1);
  open(DFACC_CREATE);
  ASSERT_EQ(w.init_wr(f, sd, an, "tlm_edr_data"), 0);
  ASSERT_EQ(w.write(record.data()), 0);
  w.close_wr();
  finish();

  open(DFACC_READ);
  ASSERT_EQ(d->init_rd(f, sd, "r"), 1);
  ASSERT_EQ(d->read(back.data(), 0), 0);
  d->close_rd();
  for (int32_t i = 0; i < d->nmembers; ++i) {
    const hlc_edr_member &m = d->members[i];
    EXPECT_EQ(memcmp(record.data() + m.offset, back.data() + m.offset, m.size), 0) << m.name;
  }
  memset(d->desc, 0, d->desc_size);
  testing::internal::CaptureStdout();
  d->rd_Vgrp_desc(f, an);
  testing::internal::GetCapturedStdout();
  an = ANstart(f);  // the read ended the interface it was given
  finish();
  EXPECT_EQ(std::string(d->desc).rfind(std::string("The file '") + d->header +
                                           "' is shown below, it was used to create the data in "
                                           "the Vgroup named '" +
                                           d->vgroup + "'.\n\n\n",
                                       0),
            0u);
  EXPECT_NE(std::string(d->desc).find(std::string("HLC EDR Structure definitions -- ") + d->title),
            std::string::npos);
}

std::string name_of(const testing::TestParamInfo<Product> &i) {
  return i.param.module;
}
INSTANTIATE_TEST_SUITE_P(Products, Layouts, testing::ValuesIn(products::all_products()), name_of);
INSTANTIATE_TEST_SUITE_P(Products, InUse, testing::ValuesIn(products::all_products()), name_of);

}  // namespace
