// hlc_edr_dump end to end: EDRs written by the real hlc_edr from builder TLM
// files, one per unit with every product of the unit, are listed, printed as
// CSV and JSON Lines, described and exported to netCDF-4 by the real dump;
// check_dump.py parses all of it back (csv, strict json and jq,
// netCDF4-python with its default masking, xarray, ncdump) and compares
// every field of every record with the values this test put into the
// packets, by the offset tables of products.h, and every variable's
// attributes with what the record modules' descriptors say of the field.
// Also: the dump's command line and error messages; damaged products (table
// headers of another layout, names changed, record counts that differ)
// reported in every mode; its reading process bounded in CPU time and ended
// with the dump or by its end signals; exports that leave nothing behind on
// failure, never write through links and each leave their own complete file
// when two run at once; and its memory at ten times the records. Writing
// that fails (no space left on a full file system or on one filled by
// dump_fault.c, the file size limit reached) is the output's failure, told
// in one line, never the EDR's.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <set>
#include <sstream>

#include "harness.h"
#include "hdf.h"
#include "hlc_edr_layout.h"
#include "mfhdf.h"
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

std::string json_or_null(const char *s) {
  return s == nullptr ? "null" : json_string(s);
}

// What the record module's descriptor says of member `name` of a product:
// the attributes that the export gives its variable.
std::string meaning(const Product &p, const std::string &name) {
  const hlc_edr_product *d = hlc_edr_find_product(p.module.c_str());
  const hlc_edr_member *m = nullptr;
  for (int k = 0; d != nullptr && k < d->nmembers; ++k) {
    if (name == d->members[k].name) m = &d->members[k];
  }
  if (m == nullptr) {
    ADD_FAILURE() << p.module << " " << name << " is not in the module's descriptor";
    return "";
  }
  std::string masks, values;
  for (int k = 0; k < m->nflags; ++k) {
    if (k > 0) {
      masks += ", ";
      values += ", ";
    }
    masks += std::to_string(m->flag_masks[k]);
    values += std::to_string(m->flag_values[k]);
  }
  return ", \"sds\": " + json_or_null(m->sds) + ", \"long_name\": " + json_or_null(m->long_name) +
         ", \"units\": " + json_or_null(m->units) + ", \"comment\": " + json_or_null(m->comment) +
         ", \"valid\": " +
         (m->has_valid_range ? harness::format("[%.0f, %.0f]", m->valid_min, m->valid_max)
                             : std::string("null")) +
         ", \"flag_masks\": [" + masks + "], \"flag_values\": [" + values +
         "], \"flag_meanings\": " + json_or_null(m->flag_meanings);
}

// The instrument units by instrument code, as the system names them.
const char *const kInstruments[] = {"", "GEM", "GIM", "Concentrator", "MEC"};

// The statement check_dump.py reads: per product its fields in the record's
// order (Vdata fields and SDS by their place in the record structure), with
// their types, dimensions and the values of every record, each taken from
// the record's packet bytes where products.h says, and what the module's
// descriptor says they mean.
std::string statement(const std::string &edr, const std::vector<Product> &ps,
                      const std::vector<std::vector<Record>> &recs) {
  std::string out = "{\"edr\": " + json_string(edr) +
                    ", \"version\": " + json_string(HLC_EDR_VERSION) + ", \"products\": [";
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
    const hlc_edr_product *d = hlc_edr_find_product(p.module.c_str());
    out += std::string(k ? ", " : "") + "{\"module\": " + json_string(p.module) +
           ", \"instrument\": " + json_string(kInstruments[p.inst]) +
           ", \"title\": " + json_or_null(d ? d->title : nullptr) +
           ", \"vgroup\": " + json_string(p.vgroup) + ", \"vdata\": " + json_string(p.vdata) +
           ", \"records\": " + std::to_string(recs[k].size()) +
           ", \"spins\": " + std::to_string(spins) + ", \"spin_dim\": " + json_string(spin_dim) +
           ", \"description\": " + json_string(description(p)) + ", \"fields\": [";
    for (size_t i = 0; i < items.size(); ++i) {
      const Item &it = items[i];
      const std::vector<std::string> dims = dims_of(p.module, it.name);
      EXPECT_EQ(dims.size(), it.shape.size()) << p.module << " " << it.name;
      out += std::string(i ? ", " : "") + "{\"name\": " + json_string(it.name) +
             ", \"type\": " + json_string(type_name(it.type)) + meaning(p, it.name) +
             ", \"dims\": [";
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

// A record of a product whose float32 values are all 9.96921e36, netCDF's
// default fill value of float32 (which is no reason to take them as missing);
// its other values are the largest of their type, or null if the product
// has no float32 field.
std::optional<Record> default_fill_floats(const Product &p) {
  Record rec(p.record_size, 0xFF);
  bool any = false;
  for (const products::Field &f : p.fields) {
    for (int32 i = 0; f.type == DFNT_FLOAT32 && i < f.order; ++i) {
      const size_t at = f.source(static_cast<size_t>(i));
      const uint8_t fill[4] = {0x7C, 0xF0, 0x00, 0x00};
      std::copy(fill, fill + 4, rec.begin() + static_cast<long>(at));
      any = true;
    }
  }
  return any ? std::optional<Record>(rec) : std::nullopt;
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
    if (const std::optional<Record> r = default_fill_floats(p)) u.records.back().push_back(*r);
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

// The products that a listing lists, by the first word of each line after
// the header.
std::vector<std::string> listed(const std::string &listing) {
  std::vector<std::string> products;
  std::istringstream lines(listing);
  std::string line;
  std::getline(lines, line);
  EXPECT_TRUE(line.starts_with("product ")) << line;
  while (std::getline(lines, line)) products.push_back(line.substr(0, line.find(' ')));
  return products;
}

class DumpMessages : public ::testing::Test {
 protected:
  void SetUp() override { u = write_unit_edr(dir, 3); }  // con_hk only
  harness::TempDir dir;
  UnitEdr u;
};

// The names in a folder, the FIFOs of a test left out.
std::set<std::string> entries(const std::string &dir) {
  std::set<std::string> names;
  for (const auto &e : std::filesystem::directory_iterator(dir)) {
    if (!e.is_fifo()) names.insert(e.path().filename());
  }
  return names;
}

// An HDF4 file with the V, SD and AN structures but no product in it.
std::string hdf4_without_products(const harness::TempDir &dir) {
  const std::string path = dir / "other.hdf";
  const int32 f = Hopen(path.c_str(), DFACC_CREATE, 0);
  const int32 sd = SDstart(path.c_str(), DFACC_RDWR);
  EXPECT_EQ(Vstart(f), 0);
  Vend(f);
  SDend(sd);
  Hclose(f);
  return path;
}

TEST_F(DumpMessages, EachSaysWhatHappened) {
  const std::string corpus = HLC_DUMP_CORPUS, fifo = dir / "fifo", none = dir / "none.hdf";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string other = hdf4_without_products(dir);
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{none}, "cannot open " + none + ": No such file or directory"},
      {{dir / "unit.tlm"}, dir / "unit.tlm" + " is not an HDF4 file"},
      {{dir.path()}, dir.path() + " is not a regular file"},
      {{fifo, "con_hk"}, fifo + " is not a regular file"},  // not waiting for a writer
      {{corpus + "/magic-only"}, corpus + "/magic-only is a damaged or truncated HDF4 file"},
      {{corpus + "/con-cut-60", "--netcdf", dir / "out.nc"},
       corpus + "/con-cut-60 is a damaged or truncated HDF4 file"},
      {{u.edr, "gem_norm"},
       "unknown product gem_norm (one of gem_hk gem_mancal gem_normal gem_raw gim_hk "
       "gim_mancal gim_normal gim_raw gim_diag con_hk mec_hk mec_f1d)"},
      // The module's own report of the missing table or SDS is not passed on.
      {{u.edr, "mec_hk"}, u.edr + " has no product mec_hk"},
      {{u.edr, "gim_raw", "--format", "jsonl"}, u.edr + " has no product gim_raw"},
      {{u.edr, "gem_hk", "--describe"}, u.edr + " has no product gem_hk"},
      {{u.edr, "gem_hk", "--netcdf", dir / "out.nc"}, u.edr + " has no product gem_hk"},
      {{u.edr, "--netcdf", dir / "no/out.nc"},
       "cannot create " + dir / "no/out.nc" + ": No such file or directory"},
      {{other, "--netcdf", dir / "out.nc"}, other + " holds no product to export"},
  };
  const std::set<std::string> before = entries(dir.path());
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args[0]);
    expect_error(run_dump(c.args), c.message);
    EXPECT_EQ(entries(dir.path()), before);  // no output, no work file
  }
  // The listing of an HDF4 file without products: its header, then the news.
  const harness::Run empty = run_dump({other});
  EXPECT_EQ(empty.status, 1);
  EXPECT_TRUE(listed(empty.out).empty());
  EXPECT_EQ(empty.err, "ERROR: " + other + " holds no product\n");
  // A product that is there exports alone; only the output is left.
  const harness::Run one = run_dump({u.edr, "con_hk", "--netcdf", dir / "out.nc"});
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(one.out + one.err, "");
  std::set<std::string> after = before;
  after.insert("out.nc");
  EXPECT_EQ(entries(dir.path()), after);
}

// A mistake in the command line: the usage on standard error, then one
// "ERROR: " line, nothing on standard output, status 1.
void expect_usage_error(const harness::Run &r, const std::string &message) {
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(r.err.starts_with("usage: hlc_edr_dump EDR ")) << r.err;
  EXPECT_TRUE(r.err.ends_with("\nERROR: " + message + "\n")) << r.err;
}

TEST_F(DumpMessages, CommandLineMistakesAreUsageErrors) {
  const std::string &e = u.edr;
  const std::set<std::string> before = entries(dir.path());
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{}, "no EDR file given"},
      {{e, "con_hk", "x"}, "too many arguments"},
      {{e, "--bogus"}, "unknown option --bogus"},
      {{e, "--bogus=1"}, "unknown option --bogus"},
      {{e, "-x"}, "unknown option -x"},
      {{e, "con_hk", "--format"}, "--format needs a value"},
      {{e, "--netcdf"}, "--netcdf needs a value"},
      {{e, "--netcdf="}, "--netcdf needs a file name"},
      {{e, "con_hk", "--format", "xml"}, "unknown format xml (csv or jsonl)"},
      {{e, "--describe"}, "--describe needs a PRODUCT"},
      {{e, "con_hk", "--describe", "--netcdf", "x.nc"},
       "--describe and --netcdf do not go together"},
      // Options that would do nothing with the others.
      {{e, "con_hk", "--describe", "--format", "csv"}, "--format does not go with --describe"},
      {{e, "--format=jsonl", "--netcdf", "x.nc"}, "--format does not go with --netcdf"},
      {{e, "con_hk", "--sclk-epoch", "2000-01-01"}, "--sclk-epoch goes only with --netcdf"},
      {{e, "--describe", "con_hk", "--sclk-epoch=2000-01-01"},
       "--sclk-epoch goes only with --netcdf"},
      {{e, "--netcdf", "x.nc", "--sclk-epoch", "2000-02-30"},
       "--sclk-epoch 2000-02-30 is no ISO 8601 time "
       "(YYYY-MM-DD[Thh:mm[:ss[.fff]]][Z|+hh:mm|-hh:mm])"},
      {{e, "--netcdf", "x.nc", "--sclk-epoch", "2000-01-01T24:00"},
       "--sclk-epoch 2000-01-01T24:00 is no ISO 8601 time "
       "(YYYY-MM-DD[Thh:mm[:ss[.fff]]][Z|+hh:mm|-hh:mm])"},
      {{e, "--netcdf", "x.nc", "--sclk-epoch", "yesterday"},
       "--sclk-epoch yesterday is no ISO 8601 time "
       "(YYYY-MM-DD[Thh:mm[:ss[.fff]]][Z|+hh:mm|-hh:mm])"},
      {{e, "con_hk", "--flat"}, "--flat goes only with --netcdf"},
      {{e, "--netcdf", "x.nc", "--flat"}, "--flat needs a PRODUCT"},
      // "--" ends the options: what follows is an argument.
      {{"--", e, "--describe"},
       "unknown product --describe (one of gem_hk gem_mancal gem_normal "
       "gem_raw gim_hk gim_mancal gim_normal gim_raw gim_diag con_hk "
       "mec_hk mec_f1d)"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.message);
    const harness::Run r = run_dump(c.args);
    if (c.message.starts_with("unknown product")) {
      expect_error(r, c.message);
    } else {
      expect_usage_error(r, c.message);
    }
  }
  expect_error(run_dump({e, "--netcdf", e}),
               "the netCDF output " + e + " would replace the EDR itself");
  EXPECT_EQ(entries(dir.path()), before);  // nothing written
}

TEST_F(DumpMessages, HelpVersionAndOptionsAnywhere) {
  const harness::Run help = run_dump({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.err, "");
  for (const char *word :
       {"usage: hlc_edr_dump EDR", "--format csv|jsonl", "--describe", "--netcdf OUT.nc",
        "--sclk-epoch ISO-8601-TIME", "--flat", "flag_values", "time_coverage_start", "--version",
        "\"--\" ends them", "as NaN, Infinity and",
        "\"NaN\", \"Infinity\" and\n\"-Infinity\" in JSON Lines", "CF conventions 1.10", "sclk",
        "mec_f1d"}) {
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  }
  const harness::Run version = run_dump({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out + version.err, std::string("hlc_edr_dump ") + HLC_EDR_VERSION + "\n");
  // Options before, between and after the arguments, and "--" before an EDR
  // whose name begins with a '-', which would otherwise be an option.
  const std::string csv = run_dump({u.edr, "con_hk"}).out;
  ASSERT_NE(csv, "");
  ASSERT_EQ(symlink(u.edr.c_str(), (dir / "-unit.hdf").c_str()), 0);
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"--format", "csv", u.edr, "con_hk"},
        {u.edr, "--format=csv", "con_hk"},
        {"--format", "csv", "--", u.edr, "con_hk"},
        {"--", "-unit.hdf", "con_hk"}}) {
    std::vector<std::string> argv{"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", dir.path(),
                                  HLC_EDR_DUMP_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    const harness::Run r = harness::run(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, csv) << args[0] << " " << args[1];
  }
}

// --products names the products for programs: the module names of the twelve
// record modules, in the order of the modules' list in the build, one a line
// and nothing else. The help's paragraph of names says the same, filled to the
// help's width. --products goes alone: with another argument or option it is
// a usage error.
TEST_F(DumpMessages, ProductsNamesEveryProductInTheRegistrysOrder) {
  const harness::Run r = run_dump({"--products"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "gem_hk\ngem_mancal\ngem_normal\ngem_raw\ngim_hk\ngim_mancal\ngim_normal\ngim_raw\n"
            "gim_diag\ncon_hk\nmec_hk\nmec_f1d\n");

  const harness::Run help = run_dump({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("\nProducts: gem_hk gem_mancal gem_normal gem_raw gim_hk gim_mancal\n"
                          "gim_normal gim_raw gim_diag con_hk mec_hk mec_f1d.\n"),
            std::string::npos)
      << help.out;
  EXPECT_NE(help.out.find("       hlc_edr_dump --products "), std::string::npos) << help.out;

  const std::set<std::string> before = entries(dir.path());
  for (const std::vector<std::string> &args : {std::vector<std::string>{"--products", "con_hk"},
                                               {u.edr, "--products"},
                                               {"--products", u.edr, "con_hk"},
                                               {"--products", "--format", "csv"},
                                               {"--products", "--products"},
                                               {"--products", "--"}}) {
    SCOPED_TRACE(args[0] + " " + args[1]);
    expect_usage_error(run_dump(args), "--products goes with no other option or argument");
  }
  EXPECT_EQ(entries(dir.path()), before);  // nothing written
}

// Damaged table headers that would make a record or a slab larger than the
// module's buffers (files of tools/fuzz/dump_corpus): the modules refuse
// them, and nothing is read.
TEST(DumpDamaged, TableHeadersOfAnotherLayoutAreRefused) {
  const std::string dir = HLC_DUMP_CORPUS;
  // The order of sclk_seconds is 256.
  expect_error(run_dump({dir + "/con-vdata-order", "con_hk"}),
               dir +
                   "/con-vdata-order: product con_hk is damaged: init_acc_con_hk -> Hgetelement: "
                   "field sclk_seconds is stored with order 256, the record's is 1.");
  // WIND_MEC_FLAGS declared uint32; the F1D table of the same file is sound.
  const harness::Run mec = run_dump({dir + "/mec-vdata-type"});
  EXPECT_EQ(mec.status, 1);
  EXPECT_EQ(listed(mec.out), std::vector<std::string>{"mec_f1d"});
  EXPECT_EQ(mec.err, "ERROR: " + dir +
                         "/mec-vdata-type: product mec_hk is damaged: init_acc_mec_hk -> "
                         "Hgetelement: field WIND_MEC_FLAGS is stored with number type 25, the "
                         "record's is 23.\n");
  const harness::Run f1d = run_dump({dir + "/mec-vdata-type", "mec_f1d"});
  EXPECT_EQ(f1d.status, 0) << f1d.err;
  EXPECT_EQ(std::count(f1d.out.begin(), f1d.out.end(), '\n'), 2);  // header and one record
  expect_error(run_dump({dir + "/gem_mancal-sds-type", "gem_mancal", "--format", "jsonl"}),
               dir +
                   "/gem_mancal-sds-type: product gem_mancal is damaged: init_acc_gem_mancal -> "
                   "SDgetinfo: GEM_ManCal_counts is not of the record's type and shape");
}

// A GEM EDR of every product whose SDS of the GEM normal counts holds one
// slab more than its Vdata records, or whose Vdata holds one record more;
// and what is wrong with it.
std::pair<std::string, std::string> gem_edr_with_counts_off(const harness::TempDir &dir,
                                                            bool more_slabs) {
  const UnitEdr u = write_unit_edr(dir, 1);
  const std::string &edr = u.edr;
  size_t n = 0;
  for (size_t k = 0; k < u.products.size(); ++k) {
    if (u.products[k].module == "gem_normal") n = u.records[k].size();
  }
  if (more_slabs) {
    const int32 sd = SDstart(edr.c_str(), DFACC_RDWR);
    const int32 sds = SDselect(sd, SDnametoindex(sd, "GEM_Normal_counts"));
    int32 rank = 0, dims[H4_MAX_VAR_DIMS], type = 0, attrs = 0;
    EXPECT_EQ(SDgetinfo(sds, nullptr, &rank, dims, &type, &attrs), 0);
    int32 start[4] = {dims[0], 0, 0, 0}, edges[4] = {1, dims[1], dims[2], dims[3]};
    std::vector<uint8_t> slab(static_cast<size_t>(dims[1] * dims[2] * dims[3]));
    EXPECT_EQ(SDwritedata(sds, start, nullptr, edges, slab.data()), 0);
    SDendaccess(sds);
    SDend(sd);
  } else {
    const int32 f = Hopen(edr.c_str(), DFACC_RDWR, 0);
    Vstart(f);
    const int32 vs = VSattach(f, VSfind(f, "GEM_Normal"), "w");
    int32 n = 0, interlace = 0, size = 0;
    char fields[4096];
    EXPECT_EQ(VSinquire(vs, &n, &interlace, fields, &size, nullptr), 0);
    std::vector<uint8_t> record(static_cast<size_t>(size));
    VSsetfields(vs, fields);
    VSseek(vs, n - 1);
    EXPECT_EQ(VSread(vs, record.data(), 1, FULL_INTERLACE), 1);
    EXPECT_EQ(VSwrite(vs, record.data(), 1, FULL_INTERLACE), 1);  // appended
    VSdetach(vs);
    Vend(f);
    Hclose(f);
  }
  return {edr, harness::format(
                   "init_acc_gem_normal -> SDgetinfo: GEM_Normal_counts holds %zu records, the "
                   "table %zu.",
                   n + more_slabs, n + !more_slabs)};
}

// A product whose objects are in the file but cannot be opened or read is
// never left out: the listing lists the others and names it, printing and
// exporting it fail, and no export leaves anything behind.
TEST(DumpDamaged, PresentButUnreadableProductsAreReported) {
  harness::TempDir more_slabs, more_records, out;
  const auto slabs = gem_edr_with_counts_off(more_slabs, true);
  const auto records = gem_edr_with_counts_off(more_records, false);
  const std::string corpus = HLC_DUMP_CORPUS;
  const std::vector<std::string> others{"gem_hk", "gem_mancal", "gem_raw"};
  const struct {
    std::string edr;
    std::string why;
    std::vector<std::string> listed;
  } cases[] = {
      {corpus + "/gem_normal-sds-name",
       "init_acc_gem_normal -> SDnametoindex: Couldn't find GEM_Normal_counts",
       {}},
      {corpus + "/gem_normal-field-name",
       "init_acc_gem_normal -> VSsetfields: Unable to set fields.",
       {}},
      {slabs.first, slabs.second, others},
      {records.first, records.second, others},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.edr);
    const std::string error =
        "ERROR: " + c.edr + ": product gem_normal is damaged: " + c.why + "\n";
    const harness::Run listing = run_dump({c.edr});
    EXPECT_EQ(listing.status, 1);
    EXPECT_EQ(listing.err, error);
    EXPECT_EQ(listed(listing.out), c.listed);
    for (const std::vector<std::string> &mode :
         {std::vector<std::string>{c.edr, "gem_normal"},
          {c.edr, "gem_normal", "--format", "jsonl"},
          {c.edr, "gem_normal", "--describe"},
          {c.edr, "--netcdf", out / "out.nc"},
          {c.edr, "gem_normal", "--netcdf", out / "out.nc"}}) {
      const harness::Run r = run_dump(mode);
      EXPECT_EQ(r.status, 1) << mode.back();
      EXPECT_EQ(r.out + r.err, error) << mode.back();
      EXPECT_TRUE(entries(out.path()).empty()) << mode.back();
    }
  }
}

// ---- the reading process --------------------------------------------------------

// An export held at its first netCDF write by dump_pause.c, at FIFOs of
// `dir`: `held()` returns once it is there (false if it ended before),
// `release()` lets it go on.
class Held {
 public:
  Held(const harness::TempDir &dir, const std::vector<std::string> &args)
      : pause_(dir / "pause"),
        env_{"LD_PRELOAD=" HLC_DUMP_PAUSE_LIBRARY, "HLC_PAUSE=" + pause_,
             "ASAN_OPTIONS=verify_asan_link_order=0"} {
    EXPECT_EQ(mkfifo((pause_ + ".here").c_str(), 0600), 0);
    EXPECT_EQ(mkfifo((pause_ + ".go").c_str(), 0600), 0);
    std::vector<std::string> argv{HLC_EDR_DUMP_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    dump.emplace(harness::Command{argv, env_});
  }
  bool held() {
    const int here = open((pause_ + ".here").c_str(), O_RDONLY | O_NONBLOCK);
    const int ended = static_cast<int>(syscall(SYS_pidfd_open, dump->pid(), 0));
    pollfd p[2] = {{here, POLLIN, 0}, {ended, POLLIN, 0}};
    poll(p, 2, -1);  // the dump held writes and closes the FIFO: POLLHUP
    close(here);
    close(ended);
    return p[0].revents != 0;
  }
  void release() { close(open((pause_ + ".go").c_str(), O_WRONLY)); }
  std::optional<harness::Background> dump;

 private:
  std::string pause_;
  std::vector<std::string> env_;
};

// The groups of a netCDF file, as ncdump reads the whole file.
std::string groups(const std::string &nc) {
  const harness::Run r = harness::run({"/usr/bin/ncdump", nc});
  if (r.status != 0) return "ncdump failed: " + r.err;
  std::string names;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("group: ")) names += line.substr(7, line.find(' ', 7) - 7) + " ";
  }
  return names;
}

// Two exports to one output, the first held in the middle of its writing
// while the second runs whole: each leaves its own complete file under the
// output's name when it reports success.
TEST(DumpExport, TwoExportsToOneOutputEachLeaveTheirOwnCompleteFile) {
  harness::TempDir con_dir, mec_dir, out;
  const std::string con = write_unit_edr(con_dir, 3).edr, mec = write_unit_edr(mec_dir, 4).edr;
  const std::string nc = out / "both.nc";
  Held first(con_dir, {con, "--netcdf", nc});
  ASSERT_TRUE(first.held());
  const harness::Run second = run_dump({mec, "--netcdf", nc});
  EXPECT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(groups(nc), "mec_hk mec_f1d ");
  first.release();
  const harness::Run r = first.dump->finish();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out + r.err, "");
  EXPECT_EQ(groups(nc), "con_hk ");
  EXPECT_EQ(entries(out.path()), std::set<std::string>{"both.nc"});
}

// Links where the output goes are replaced or left alone, never written
// through.
TEST(DumpExport, LinksBesideTheOutputAreNeverWrittenThrough) {
  harness::TempDir dir;
  const std::string edr = write_unit_edr(dir, 3).edr;
  harness::write_file(dir / "victim", "keep");
  const std::string nc = dir / "out.nc";
  for (const std::string &link : {nc, nc + ".tmp"}) {
    ASSERT_EQ(symlink((dir / "victim").c_str(), link.c_str()), 0);
  }
  const std::set<std::string> before = entries(dir.path());
  const harness::Run r = run_dump({edr, "--netcdf", nc});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(harness::slurp(dir / "victim"), "keep");
  struct stat st {};
  ASSERT_EQ(lstat(nc.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(groups(nc), "con_hk ");
  ASSERT_EQ(lstat((nc + ".tmp").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(entries(dir.path()), before);
}

// SIGINT, SIGTERM or SIGHUP to the dump while its reading process is held:
// the reading process ends, the work file goes, and the dump ends by the
// signal after saying so.
class DumpSignal : public ::testing::TestWithParam<int> {};

TEST_P(DumpSignal, EndsTheReadingProcessAndRemovesTheWorkFile) {
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);  // an orphan would come here
  harness::TempDir dir, out;
  const std::string edr = write_unit_edr(dir, 3).edr;
  Held export_(dir, {edr, "--netcdf", out / "out.nc"});
  ASSERT_TRUE(export_.held());
  kill(export_.dump->pid(), GetParam());
  const harness::Run r = export_.dump->finish();
  EXPECT_EQ(r.status, 1000 + GetParam());
  EXPECT_EQ(r.err, "ERROR: " + edr + ": interrupted by SIG" + sigabbrev_np(GetParam()) + "\n");
  EXPECT_TRUE(entries(out.path()).empty());
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD) << "the reading process outlived the dump";
}

INSTANTIATE_TEST_SUITE_P(Signals, DumpSignal, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const testing::TestParamInfo<int> &info) {
                           return std::string(sigabbrev_np(info.param));
                         });

// The reading process ends with the dump even when nothing can be done
// about it: SIGKILL.
TEST(DumpReader, EndsWithTheDump) {
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  harness::TempDir dir, out;
  const std::string edr = write_unit_edr(dir, 3).edr;
  Held export_(dir, {edr, "--netcdf", out / "out.nc"});
  ASSERT_TRUE(export_.held());
  kill(export_.dump->pid(), SIGKILL);
  EXPECT_EQ(export_.dump->finish().status, 1000 + SIGKILL);
  // Released, a reading process still alive would finish its export.
  const int go = open((dir / "pause.go").c_str(), O_WRONLY | O_NONBLOCK);
  if (go >= 0) close(go);
  int status = 0;
  ASSERT_GT(waitpid(-1, &status, 0), 0);  // the orphaned reading process
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
}

// A file on which the HDF4 library's SDstart loops for ever (a member of the
// SD interface's top Vgroup named twice) is reported as damaged once the
// reading process's CPU time is spent: under the dump's own limit of 2 s
// here, 1 s. No export leaves anything behind.
TEST(DumpReader, AFileThatMakesTheLibraryLoopIsReportedDamaged) {
  harness::TempDir out;
  const std::string loop = std::string(HLC_DUMP_CORPUS) + "/hdf4/gim_normal-cdf-loop";
  for (const std::vector<std::string> &mode :
       {std::vector<std::string>{loop}, {loop, "--netcdf", out / "out.nc"}}) {
    std::vector<std::string> argv{"/bin/sh", "-c", "ulimit -t 2 && exec \"$0\" \"$@\"",
                                  HLC_EDR_DUMP_PROGRAM};
    argv.insert(argv.end(), mode.begin(), mode.end());
    expect_error(harness::run(argv),
                 loop + ": reading it took more than 1 s of CPU time: the file is damaged");
    EXPECT_TRUE(entries(out.path()).empty());
  }
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

// ---- the output's failures -------------------------------------------------------

// A write to the output that fails is the output's failure: the dump ends
// with one "ERROR: " line that names the output (its netCDF file, or
// standard output) and gives the system's reason, with status 1; an export
// leaves no work file behind. The EDR is sound: nothing calls it damaged,
// and the libraries' own reports stay off the terminal.
const std::string kNoSpace = "No space left on device";
const std::string kTooLarge = "File too large (the file size limit, RLIMIT_FSIZE, was reached)";

std::string cannot_write(const std::string &nc, const std::string &why) {
  return "cannot write " + nc + ": " + why;
}

std::string stdout_failed(const std::string &why) {
  return "writing standard output failed: " + why;
}

// The dump with these arguments, its standard output sent to the file
// `to`, and before it `limit`, a shell command such as "ulimit -f 64".
harness::Run run_dump_into(const std::string &to, const std::vector<std::string> &args,
                           const std::string &limit = "true") {
  std::vector<std::string> argv{"/bin/sh", "-c",
                                limit + " && exec \"$0\" \"$@\" >\"$HLC_DUMP_STDOUT\"",
                                HLC_EDR_DUMP_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  return harness::run(argv, {"HLC_DUMP_STDOUT=" + to});
}

// The modes that write: the export of every product and of one, CSV and
// JSON Lines of a product.
struct Writing {
  std::vector<std::string> args;
  bool netcdf;
};
std::vector<Writing> writing_modes(const std::string &edr, const std::string &nc) {
  return {{{edr, "--netcdf", nc}, true},
          {{edr, "con_hk", "--netcdf", nc, "--sclk-epoch", "2000-01-01"}, true},
          {{edr, "con_hk"}, false},
          {{edr, "con_hk", "--format", "jsonl"}, false}};
}

// A file size limit (ulimit -f, RLIMIT_FSIZE, set by the shell that starts
// the dump) far below the output's size: the write past it fails with EFBIG
// ("File too large"), which the message gives with the limit as its cause.
TEST(DumpOutputFailure, TheFileSizeLimitIsTheOutputsNotTheEdrs) {
  harness::TempDir dir, out;
  const std::string edr = con_edr(dir, 20000);  // about 1 MB; its outputs more
  const std::string nc = out / "out.nc", text = out / "stdout";
  for (const Writing &w : writing_modes(edr, nc)) {
    SCOPED_TRACE(w.args.back());
    const harness::Run r = run_dump_into(text, w.args, "ulimit -f 64");
    expect_error(r, w.netcdf ? cannot_write(nc, kTooLarge) : stdout_failed(kTooLarge));
    EXPECT_EQ(entries(out.path()), std::set<std::string>{"stdout"});  // no work file
    if (w.netcdf) {
      EXPECT_EQ(harness::slurp(text), "");
    }
    ASSERT_EQ(unlink(text.c_str()), 0);
  }
  // Under a limit that the output fits in, the same runs succeed.
  for (const Writing &w : writing_modes(edr, nc)) {
    const harness::Run r = run_dump_into(text, w.args, "ulimit -f 1000000");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
  }
  EXPECT_EQ(groups(nc), "con_hk ");
}

// The dump's export with dump_fault.c preloaded and set by `settings`
// ("HLC_FAULT_ROOM=N", ...) for the work file of `nc`.
harness::Run run_faulty_export(const std::string &edr, const std::string &nc,
                               const std::vector<std::string> &settings) {
  std::vector<std::string> env{"LD_PRELOAD=" HLC_DUMP_FAULT_LIBRARY, "HLC_FAULT_OUT=" + nc,
                               "ASAN_OPTIONS=verify_asan_link_order=0"};
  env.insert(env.end(), settings.begin(), settings.end());
  return harness::run({HLC_EDR_DUMP_PROGRAM, edr, "--netcdf", nc}, env);
}

// A full file system, simulated by dump_fault.c, which gives the work file
// room for N bytes, so that the write that would go past them fails with
// ENOSPC: at the export's first write (N = 0, on creating the file), in the
// middle of its records and at its very last byte. And text onto /dev/full,
// which has no room at all.
TEST(DumpOutputFailure, NoSpaceLeftIsTheOutputsFailure) {
  harness::TempDir dir, out;
  const std::string edr = con_edr(dir, 20000);
  const std::string nc = std::filesystem::canonical(out.path()) / "out.nc";
  ASSERT_EQ(run_dump({edr, "--netcdf", nc}).status, 0);
  const long size = static_cast<long>(std::filesystem::file_size(nc));
  ASSERT_EQ(unlink(nc.c_str()), 0);
  for (const long room : {0L, size / 2, size - 1}) {
    SCOPED_TRACE(room);
    expect_error(run_faulty_export(edr, nc, {"HLC_FAULT_ROOM=" + std::to_string(room)}),
                 cannot_write(nc, kNoSpace));
    EXPECT_TRUE(entries(out.path()).empty());
  }
  // All the room the file needs: the export is whole.
  const harness::Run whole = run_faulty_export(edr, nc, {"HLC_FAULT_ROOM=" + std::to_string(size)});
  EXPECT_EQ(whole.status, 0) << whole.err;
  EXPECT_EQ(groups(nc), "con_hk ");
  // Every text output: the listing, CSV, JSON Lines and the description.
  for (const std::vector<std::string> &args : {std::vector<std::string>{edr},
                                               {edr, "con_hk"},
                                               {edr, "con_hk", "--format", "jsonl"},
                                               {edr, "con_hk", "--describe"}}) {
    SCOPED_TRACE(args.back());
    expect_error(run_dump_into("/dev/full", args), stdout_failed(kNoSpace));
  }
}

// A failing disk, simulated by dump_fault.c: the export's first write on
// its file fails with EIO, or its very last one, which the closing of the
// file makes (after which netCDF's clean-up of the file that failed to close
// may itself end the process by a signal, SIGSEGV, which AddressSanitizer is
// told to leave alone here): either is the output's failure, "Input/output
// error".
TEST(DumpOutputFailure, AnInputOutputErrorIsTheOutputsFailure) {
  harness::TempDir dir, out;
  const std::string edr = con_edr(dir, 20000);
  const std::string nc = std::filesystem::canonical(out.path()) / "out.nc";
  const std::string count = dir / "writes";
  const harness::Run counted = run_faulty_export(edr, nc, {"HLC_FAULT_COUNT=" + count});
  ASSERT_EQ(counted.status, 0) << counted.err;
  const long writes = std::stol(harness::slurp(count));
  ASSERT_GT(writes, 2);
  ASSERT_EQ(unlink(nc.c_str()), 0);
  for (const long from : {1L, writes}) {
    SCOPED_TRACE(from);
    expect_error(run_faulty_export(edr, nc,
                                   {"HLC_FAULT_EIO_FROM=" + std::to_string(from),
                                    "ASAN_OPTIONS=verify_asan_link_order=0:handle_segv=0"}),
                 cannot_write(nc, "Input/output error"));
    EXPECT_TRUE(entries(out.path()).empty());
  }
}

// Unmounts a file system when it goes.
struct Mounted {
  std::string path;
  ~Mounted() { umount2(path.c_str(), MNT_DETACH); }
};

// A real full file system: a tmpfs of 512 KiB, mounted by the test where it
// may mount one (as root, with mounting allowed), holds only part of any
// output of a 1 MB EDR.
TEST(DumpOutputFailure, AFullFileSystemIsTheOutputsFailure) {
  harness::TempDir dir, out;
  const std::string edr = con_edr(dir, 20000);
  if (mount("tmpfs", out.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=512k") != 0) {
    const std::string why = std::strerror(errno);
    GTEST_SKIP() << "mounting a tmpfs on " << out.path() << " is not permitted here: " << why
                 << " (the full disk is still tested through dump_fault.c)";
  }
  const Mounted mounted{out.path()};
  const std::string nc = out / "out.nc", text = out / "stdout";
  for (const Writing &w : writing_modes(edr, nc)) {
    SCOPED_TRACE(w.args.back());
    const harness::Run r = run_dump_into(text, w.args);
    expect_error(r, w.netcdf ? cannot_write(nc, kNoSpace) : stdout_failed(kNoSpace));
    EXPECT_EQ(entries(out.path()), std::set<std::string>{"stdout"});  // no work file
    ASSERT_EQ(unlink(text.c_str()), 0);
  }
}

}  // namespace
