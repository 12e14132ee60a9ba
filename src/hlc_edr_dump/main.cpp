// hlc_edr_dump: looks inside an EDR file and exports its products as CSV,
// JSON Lines or netCDF-4. The command line: the usage and the help, the
// options and what goes with what, and main, which hands the run to the
// reading process (process.cpp) and there does what the command line asks:
// the listing, a product's records or description (text.cpp), or the export
// (netcdf_export.cpp), on the EDR read through the record modules (edr.cpp).
#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string>

#include "dump.h"
#include "edr.h"
#include "hlc_edr_cf.h"

#ifndef HLC_EDR_VERSION
#error "HLC_EDR_VERSION, the project's version, is set by the build"
#endif

namespace hlc_dump {
namespace {

constexpr char kProgram[] = "hlc_edr_dump";

constexpr char kUsage[] =
    "usage: hlc_edr_dump EDR                        list the products of the EDR\n"
    "       hlc_edr_dump EDR PRODUCT [--format csv|jsonl]\n"
    "                                               print every record of PRODUCT\n"
    "       hlc_edr_dump EDR PRODUCT --describe     print PRODUCT's stored description\n"
    "       hlc_edr_dump EDR [PRODUCT] --netcdf OUT.nc [--sclk-epoch ISO-8601-TIME]\n"
    "                                               export every product (or PRODUCT)\n"
    "                                               to one netCDF-4 file\n"
    "       hlc_edr_dump EDR PRODUCT --netcdf OUT.nc --flat [--sclk-epoch ...]\n"
    "                                               export PRODUCT at the file's root,\n"
    "                                               without groups\n"
    "       hlc_edr_dump --products                 print the name of every PRODUCT,\n"
    "                                               one a line\n"
    "       hlc_edr_dump --help | --version\n";

// The help, around the paragraph of product names (products_paragraph()).
constexpr char kHelp[] =
    "\n"
    "Options may stand anywhere; \"--\" ends them. An option that does nothing\n"
    "with another (--format with --describe or --netcdf, --sclk-epoch or --flat\n"
    "without --netcdf, --flat without a PRODUCT) is refused.\n"
    "\n"
    "The listing gives per product its module name, its record count and the\n"
    "record times (sclk_seconds and sclk_subseconds as the records hold them)\n"
    "of the first and the last record; for products whose records cover four\n"
    "spins, the time of each record's first spin.\n"
    "\n"
    "CSV (the default) has a header row of field names; arrays are flattened,\n"
    "last index fastest, with index suffixes: counts[3][2][0]. JSON Lines gives\n"
    "one object per record, arrays nested. Integers print as integers; float32\n"
    "values print with the fewest digits that read back to the same float32\n"
    "(always with a '.' or an exponent, -0.0 kept). NaN and infinities print\n"
    "as NaN, Infinity and -Infinity in CSV (what Python's float() and csv,\n"
    "pandas and numpy read) and as the strings \"NaN\", \"Infinity\" and\n"
    "\"-Infinity\" in JSON Lines, which is strict JSON (RFC 8259) that any JSON\n"
    "reader takes. (A NaN's payload bits do not survive text; the netCDF export\n"
    "keeps every bit.)\n"
    "\n"
    "The netCDF-4 file follows the CF conventions 1.10: one group per product,\n"
    "named after its module, with the unlimited dimension \"record\", one\n"
    "dimension per array dimension named after its constant\n"
    "(GEM_AZIMUTH_SECTORS, ...), and one variable per field and per SDS with\n"
    "the long_name, units, valid_range, flag_masks, flag_values, flag_meanings\n"
    "and comment that the record header gives it: single bits are flags, ranges\n"
    "of bits whose values mean states are flag_values of their mask, counters\n"
    "and spare bits are told in the comment. Each group names its product,\n"
    "instrument and time coverage (ACDD: time_coverage_start and _end in SCLK,\n"
    "in UTC with --sclk-epoch), date_created and history. --flat writes the\n"
    "one PRODUCT at the file's root, without groups, for tools that read no\n"
    "groups. The float64 record time \"sclk\" (units\n"
    "\"s\", SCLK seconds + subseconds/65536 with no epoch applied; for products\n"
    "whose records cover four spins the start of the first spin, with every\n"
    "spin's time in \"spin_sclk\") is the coordinate of every record variable.\n"
    "--sclk-epoch adds the CF time \"time\" (seconds since the epoch, a linear\n"
    "conversion with no clock correction). Every value reads as itself through\n"
    "readers that mask fill values: a field with a stated range has\n"
    "valid_range and a _FillValue outside it; other uint16 and uint32 fields\n"
    "are stored as int32 and int64 (attribute hdf4_type); float32 fields have\n"
    "the _FillValue NaN. The variables are compressed (deflate with shuffle),\n"
    "and the description text is the group attribute \"description\". The file\n"
    "is written under a work name of its own in OUT's folder\n"
    "(OUT.nc.XXXXXX.tmp, created afresh, never through a link) and renamed to\n"
    "OUT.nc only when complete; an export that fails or is interrupted removes\n"
    "it.\n"
    "\n"
    "A product whose Vgroup, Vdata or SDS is in the file but cannot be opened\n"
    "or read, or whose SDS hold another number of records than its Vdata, is\n"
    "damaged: an \"ERROR: \" line names it (the listing lists the readable\n"
    "products first). The file is read in a process of its own, bounded to\n"
    "60 s of CPU time plus 1 s per MiB of the file (less under a lower limit\n"
    "of the dump's own): reading that takes longer is reported as a damaged\n"
    "file. Only regular files are read.\n"
    "\n"
    "A write that fails is the output's failure, never the EDR's: a full disk,\n"
    "or the file size limit (ulimit -f) reached, ends the run with one \"ERROR: \"\n"
    "line that names the output and gives the system's reason (\"cannot write\n"
    "OUT.nc: No space left on device\", \"writing standard output failed: File\n"
    "too large ...\").\n"
    "\n";
constexpr char kHelpEnd[] =
    "--products prints the same names, one a line and nothing else; it goes\n"
    "with no other option or argument.\n"
    "\n"
    "Exit status 0 on success, 1 after an \"ERROR: \" message on standard error\n"
    "(a listing without any product too); SIGINT, SIGTERM or SIGHUP end the\n"
    "dump after an \"ERROR: \" line, by the same signal.\n";

// The width to which the help's paragraphs are filled.
constexpr size_t kHelpWidth = 72;

// "Products: gem_hk gem_mancal ...": the module names of the registry, in its
// order, filled to the help's width.
std::string products_paragraph() {
  std::string text, line = "Products:";
  for (size_t k = 0; k < std::size(hlc_edr_products); ++k) {
    std::string word = hlc_edr_products[k]->module;
    if (k + 1 == std::size(hlc_edr_products)) word += '.';
    if (line.size() + 1 + word.size() > kHelpWidth) {
      text += line + '\n';
      line = word;
    } else {
      line += ' ' + word;
    }
  }
  return text + line + '\n';
}

// A mistake in the command line: the usage, then the message.
[[noreturn]] void usage_error(const std::string &message) {
  std::fputs(kUsage, stderr);
  die(message);
}

// ---- the command line ----------------------------------------------------------

struct Options {
  std::string edr;
  const Product *product = nullptr;
  bool jsonl = false;
  bool describe = false;
  std::string netcdf;  // empty: no export
  std::string epoch;   // the CF reference time of --sclk-epoch, or empty
  bool flat = false;   // --flat: the product at the root group
};

// The CF reference time of an ISO 8601 time (hlc_edr_cf_epoch); empty if it
// is none. A text with a NUL in it is none.
std::string cf_epoch(const std::string &iso) {
  char out[HLC_EDR_CF_EPOCH_SIZE];
  if (iso.find('\0') != std::string::npos || !hlc_edr_cf_epoch(iso.c_str(), out, sizeof out)) {
    return "";
  }
  return out;
}

// One word of the command line as a POSIX shell reads it back.
std::string shell_word(const std::string &w) {
  const bool plain = !w.empty() && std::all_of(w.begin(), w.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("_./=:,+@%-", c) != nullptr;
  });
  if (plain) return w;
  std::string q = "'";
  for (char c : w) {
    if (c == '\'') {
      q += "'\\''";
    } else {
      q += c;
    }
  }
  q += '\'';
  return q;
}

// The time of the run in UTC, ISO 8601: "2026-12-08T04:48:00Z".
std::string now_utc() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char when[32];
  std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return when;
}

// "2026-12-08T04:48:00Z hlc_edr_dump 4.1.0: hlc_edr_dump EDR --netcdf
// OUT.nc": when, by what and how.
std::string history(const std::string &when, int argc, char **argv) {
  std::string h = when + " " + kProgram + " " + HLC_EDR_VERSION + ":";
  for (int i = 0; i < argc; ++i) {
    h += ' ';
    h += shell_word(argv[i]);
  }
  return h;
}

Options parse_command_line(int argc, char **argv) {
  enum { kFormat = 1, kDescribe, kNetcdf, kEpoch, kVersion, kProducts, kFlat };
  static const option kOptions[] = {
      {"format", required_argument, nullptr, kFormat},
      {"describe", no_argument, nullptr, kDescribe},
      {"netcdf", required_argument, nullptr, kNetcdf},
      {"sclk-epoch", required_argument, nullptr, kEpoch},
      {"flat", no_argument, nullptr, kFlat},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, kVersion},
      {"products", no_argument, nullptr, kProducts},
      {nullptr, 0, nullptr, 0},
  };
  Options o;
  std::string format, epoch;
  bool has_format = false, has_epoch = false, has_netcdf = false, has_products = false;
  opterr = 0;  // the messages are the dump's own
  for (int c; (c = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1;) {
    const std::string given = argv[optind - 1];
    switch (c) {
      case kFormat:
        format = optarg;
        has_format = true;
        break;
      case kDescribe:
        o.describe = true;
        break;
      case kNetcdf:
        o.netcdf = optarg;
        has_netcdf = true;
        break;
      case kEpoch:
        epoch = optarg;
        has_epoch = true;
        break;
      case kProducts:
        has_products = true;
        break;
      case kFlat:
        o.flat = true;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        std::fputs(products_paragraph().c_str(), stdout);
        std::fputs(kHelpEnd, stdout);
        std::exit(0);
      case kVersion:
        std::printf("%s %s\n", kProgram, HLC_EDR_VERSION);
        std::exit(0);
      case ':':
        usage_error(given.substr(0, given.find('=')) + " needs a value");
      default:
        usage_error("unknown option " + (optopt != 0 && !given.starts_with("--")
                                             ? std::string("-") + static_cast<char>(optopt)
                                             : given.substr(0, given.find('='))));
    }
  }
  if (has_products) {
    if (argc != 2) usage_error("--products goes with no other option or argument");
    print_products();
    std::exit(0);
  }
  const int args = argc - optind;
  if (args < 1 || args > 2) usage_error(args < 1 ? "no EDR file given" : "too many arguments");
  o.edr = argv[optind];
  if (has_format && format != "csv" && format != "jsonl") {
    usage_error("unknown format " + format + " (csv or jsonl)");
  }
  o.jsonl = format == "jsonl";
  if (o.describe && has_netcdf) usage_error("--describe and --netcdf do not go together");
  if (has_format && (o.describe || has_netcdf)) {
    usage_error(std::string("--format does not go with ") +
                (o.describe ? "--describe" : "--netcdf"));
  }
  if (has_epoch && !has_netcdf) usage_error("--sclk-epoch goes only with --netcdf");
  if (o.flat && !has_netcdf) usage_error("--flat goes only with --netcdf");
  if (o.flat && args != 2) usage_error("--flat needs a PRODUCT");
  if (has_netcdf && o.netcdf.empty()) usage_error("--netcdf needs a file name");
  if (has_epoch) {
    o.epoch = cf_epoch(epoch);
    if (o.epoch.empty()) {
      usage_error("--sclk-epoch " + epoch +
                  " is no ISO 8601 time (YYYY-MM-DD[Thh:mm[:ss[.fff]]][Z|+hh:mm|-hh:mm])");
    }
  }
  if (args == 2) {
    o.product = hlc_edr_find_product(argv[optind + 1]);
    if (o.product == nullptr) {
      std::string names;
      for (const Product *p : hlc_edr_products) names += std::string(" ") + p->module;
      die(std::string("unknown product ") + argv[optind + 1] + " (one of" + names + ")");
    }
  } else if (o.describe) {
    usage_error("--describe needs a PRODUCT");
  }
  return o;
}

}  // namespace
}  // namespace hlc_dump

int main(int argc, char **argv) {
  const std::string when = hlc_dump::now_utc();
  const std::string command = hlc_dump::history(when, argc, argv);  // before getopt reorders argv
  const hlc_dump::Options o = hlc_dump::parse_command_line(argc, argv);
  const hlc_dump::Input input = hlc_dump::examine(o.edr);
  hlc_dump::ReadingProcess reading(o.edr, input, o.netcdf);
  if (!reading.start()) return reading.wait();
  // In the reading process.
  hlc_dump::Edr edr(o.edr, input);
  if (!o.netcdf.empty()) {
    const hlc_dump::ExportInfo info{
        o.edr, std::string(hlc_dump::kProgram) + " " + HLC_EDR_VERSION, command, when, o.epoch,
        o.flat};
    hlc_dump::export_netcdf(edr, o.product, reading.work(), o.netcdf, info);
  } else if (o.product == nullptr) {
    hlc_dump::list(edr);
  } else if (o.describe) {
    hlc_dump::describe(edr, *o.product);
  } else {
    hlc_dump::dump(edr, *o.product, o.jsonl);
  }
  return 0;
}
