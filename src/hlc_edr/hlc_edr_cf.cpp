// The CF encoding of every product (hlc_edr_cf.h): how each member of a
// record is stored in netCDF and what the variables and the group say of
// themselves, from the product's layout descriptor alone. hlc_edr_dump's
// export writes what this describes, and so does every other client.
//
// Like the registry beside it, this source needs nothing but libc: no
// exceptions, no C++ library, no operator new. A description is one
// allocation (a list of blocks that never move) that owns every string and
// array it points to.
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "hlc_edr_cf.h"

namespace {

// ---- the description's memory -------------------------------------------------

struct Block {
  Block *next;
  size_t size, used;
};

constexpr size_t kAlign = 16;
constexpr size_t kBlockSize = 16384;

constexpr size_t align_up(size_t n) {
  return (n + kAlign - 1) / kAlign * kAlign;
}

// The public description first, so that its address is the whole one's.
struct Description {
  hlc_edr_cf_product pub;
  Block *blocks;
  bool failed;
};

void *take(Description &d, size_t n) {
  n = align_up(n == 0 ? 1 : n);
  Block *b = d.blocks;
  if (b == nullptr || b->size - b->used < n) {
    const size_t size = n > kBlockSize ? n : kBlockSize;
    b = static_cast<Block *>(malloc(align_up(sizeof(Block)) + size));
    if (b == nullptr) {
      d.failed = true;
      return nullptr;
    }
    *b = {d.blocks, size, 0};
    d.blocks = b;
  }
  void *p = reinterpret_cast<unsigned char *>(b) + align_up(sizeof(Block)) + b->used;
  b->used += n;
  memset(p, 0, n);
  return p;
}

template <class T>
T *take_array(Description &d, size_t n) {
  return static_cast<T *>(take(d, sizeof(T) * n));
}

const char *copy(Description &d, const char *s) {
  const size_t n = strlen(s) + 1;
  char *c = take_array<char>(d, n);
  if (c != nullptr) memcpy(c, s, n);
  return c != nullptr ? c : "";
}

__attribute__((format(printf, 2, 3))) const char *format(Description &d, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const int n = vsnprintf(nullptr, 0, fmt, ap);
  va_end(ap);
  char *c = n >= 0 ? take_array<char>(d, static_cast<size_t>(n) + 1) : nullptr;
  if (c == nullptr) return "";
  va_start(ap, fmt);
  vsnprintf(c, static_cast<size_t>(n) + 1, fmt, ap);
  va_end(ap);
  return c;
}

// ---- attributes ---------------------------------------------------------------

constexpr int kMaxAttributes = 24;

// The attributes of one variable or of the group, as they are added.
struct Attributes {
  hlc_edr_cf_attribute *list;
  int32_t count;
};

Attributes attributes(Description &d) {
  return {take_array<hlc_edr_cf_attribute>(d, kMaxAttributes), 0};
}

hlc_edr_cf_attribute *add(Attributes &a, const char *name) {
  if (a.list == nullptr || a.count == kMaxAttributes) return nullptr;
  hlc_edr_cf_attribute *at = &a.list[a.count++];
  at->name = name;
  return at;
}

void text(Attributes &a, const char *name, const char *value) {
  if (hlc_edr_cf_attribute *at = add(a, name)) {
    at->type = HLC_EDR_NC_CHAR;
    at->text = value;
  }
}

void numbers(Description &d, Attributes &a, const char *name, int32_t type, const double *values,
             int32_t count) {
  double *v = take_array<double>(d, static_cast<size_t>(count));
  hlc_edr_cf_attribute *at = add(a, name);
  if (v == nullptr || at == nullptr) return;
  memcpy(v, values, sizeof(double) * static_cast<size_t>(count));
  at->type = type;
  at->count = count;
  at->values = v;
}

// ---- how a member is stored ---------------------------------------------------

int32_t own_type(int32_t type) {
  switch (type) {
    case HLC_EDR_UINT8:
      return HLC_EDR_NC_UBYTE;
    case HLC_EDR_UINT16:
      return HLC_EDR_NC_USHORT;
    case HLC_EDR_UINT32:
      return HLC_EDR_NC_UINT;
  }
  return HLC_EDR_NC_FLOAT;
}

const char *type_word(int32_t type) {
  return type == HLC_EDR_UINT8    ? "uint8"
         : type == HLC_EDR_UINT16 ? "uint16"
         : type == HLC_EDR_UINT32 ? "uint32"
                                  : "float32";
}

double type_max(int32_t type) {
  return type == HLC_EDR_UINT8 ? 255.0 : type == HLC_EDR_UINT16 ? 65535.0 : 4294967295.0;
}

// How a member is stored: see hlc_edr_cf.h.
struct Encoding {
  int32_t type;  // in the file
  bool widened;
  bool fill;
  double fill_value;
};

Encoding encoding_of(const hlc_edr_member &m) {
  const int32_t own = own_type(m.type);
  if (m.type == HLC_EDR_FLOAT32) return {own, false, true, NAN};
  const double max = type_max(m.type);
  if (m.has_valid_range && m.valid_max < max) return {own, false, true, max};
  if (m.has_valid_range && m.valid_min > 0) return {own, false, true, 0};
  if (m.type == HLC_EDR_UINT8) return {own, false, false, 0};
  return {m.type == HLC_EDR_UINT16 ? HLC_EDR_NC_INT : HLC_EDR_NC_INT64, true, false, 0};
}

// ---- the record times ---------------------------------------------------------

constexpr char kSclkComment[] =
    "spacecraft clock (SCLK) time as the records hold it: sclk_seconds + sclk_subseconds / "
    "65536; no epoch applied";

// ---- times in UTC --------------------------------------------------------------

// A CF reference time "YYYY-MM-DD hh:mm:ss[.fff]" in UTC: its whole
// seconds since 1970 and the fraction.
bool epoch_of(const char *epoch, time_t *whole, double *fraction) {
  struct tm t = {};
  int consumed = 0;
  if (sscanf(epoch, "%4d-%2d-%2d %2d:%2d:%2d%n", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
             &t.tm_min, &t.tm_sec, &consumed) != 6) {
    return false;
  }
  const char *rest = epoch + consumed;
  double f = 0;
  if (*rest == '.') {
    double scale = 0.1;
    for (++rest; *rest >= '0' && *rest <= '9'; ++rest, scale /= 10) f += (*rest - '0') * scale;
  }
  if (*rest != '\0') return false;
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  if (whole != nullptr) *whole = timegm(&t);
  if (fraction != nullptr) *fraction = f;
  return true;
}

// Reads `digits` decimal digits at *at into *v, moving past them.
bool digits_at(const char **at, int digits, long *v) {
  *v = 0;
  for (int i = 0; i < digits; ++i) {
    const char c = (*at)[i];
    if (c < '0' || c > '9') return false;
    *v = *v * 10 + (c - '0');
  }
  *at += digits;
  return true;
}

bool literal_at(const char **at, char c) {
  if (**at != c) return false;
  ++*at;
  return true;
}

// SCLK time `sclk` after the epoch as an ISO 8601 UTC time to the
// microsecond, "2000-01-01T12:00:00.500000Z" (ties to even).
const char *utc_of(Description &d, const char *epoch, double sclk) {
  time_t whole = 0;
  double fraction = 0;
  epoch_of(epoch, &whole, &fraction);
  // SCLK times are not negative: the whole seconds are the integer part.
  const long long seconds = static_cast<long long>(sclk);
  // Microseconds, the halves to even (no call into libm).
  const double exact = (sclk - static_cast<double>(seconds) + fraction) * 1e6;
  long long micro = static_cast<long long>(exact);
  const double rest = exact - static_cast<double>(micro);
  if (rest > 0.5 || (rest == 0.5 && micro % 2 == 1)) ++micro;
  const long long extra = micro / 1000000;
  micro %= 1000000;
  const time_t at = whole + static_cast<time_t>(seconds + extra);
  struct tm t = {};
  if (gmtime_r(&at, &t) == nullptr) return "";
  return format(d, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, micro);
}

// ---- the group ----------------------------------------------------------------

// The dimension so named, added once.
void use_dim(Description &d, hlc_edr_cf_dimension *dims, const hlc_edr_dim &dim) {
  hlc_edr_cf_product &pub = d.pub;
  for (int32_t i = 0; i < pub.ndims; ++i) {
    if (strcmp(dims[i].name, dim.name) == 0) return;
  }
  dims[pub.ndims++] = {dim.name, dim.size};
}

void member_variable(Description &d, const hlc_edr_product &p, int32_t k, hlc_edr_cf_variable &v,
                     const char *time_coords, int spin_dim) {
  const hlc_edr_member &m = p.members[k];
  const Encoding e = encoding_of(m);
  v.name = m.name;
  v.type = e.type;
  v.source = HLC_EDR_CF_MEMBER;
  v.member = k;
  v.ndims = 1 + m.rank;
  v.dims[0] = "record";
  for (int32_t i = 0; i < m.rank; ++i) {
    v.dims[1 + i] = m.dims[i].name;
    v.shape[1 + i] = m.dims[i].size;
  }
  Attributes a = attributes(d);
  text(a, "long_name", m.long_name);
  if (m.units != nullptr) text(a, "units", m.units);
  if (m.has_valid_range) {
    const double range[2] = {m.valid_min, m.valid_max};
    numbers(d, a, "valid_range", e.type, range, 2);
  }
  if (e.fill) numbers(d, a, "_FillValue", e.type, &e.fill_value, 1);
  if (m.nflags > 0) {
    double masks[HLC_EDR_MAX_FLAGS];
    for (int32_t i = 0; i < m.nflags; ++i) masks[i] = m.flag_masks[i];
    numbers(d, a, "flag_masks", e.type, masks, m.nflags);
    // flag_values as soon as one flag is a state of an enumeration: then
    // every flag is its mask and its value.
    bool states = false;
    double values[HLC_EDR_MAX_FLAGS];
    for (int32_t i = 0; i < m.nflags; ++i) {
      values[i] = m.flag_values[i];
      states = states || m.flag_values[i] != m.flag_masks[i];
    }
    if (states) numbers(d, a, "flag_values", e.type, values, m.nflags);
    text(a, "flag_meanings", m.flag_meanings);
  }
  if (m.comment != nullptr) text(a, "comment", m.comment);
  const bool per_spin = spin_dim > 0 && m.rank > 0 &&
                        strcmp(m.dims[0].name, p.members[p.sclk_seconds].dims[0].name) == 0;
  text(a, "coordinates", per_spin ? format(d, "%s spin_sclk", time_coords) : time_coords);
  text(a, "hdf4_object",
       m.sds != nullptr ? format(d, "SDS %s", m.sds)
                        : format(d, "Vdata %s field %s", p.vdata, m.name));
  if (e.widened) text(a, "hdf4_type", type_word(m.type));
  v.nattributes = a.count;
  v.attributes = a.list;
}

}  // namespace

extern "C" {

hlc_edr_cf_product *hlc_edr_cf_describe(const hlc_edr_product *p, const hlc_edr_cf_settings *s) {
  if (p == nullptr) return nullptr;
  const hlc_edr_cf_settings none = {};
  if (s == nullptr) s = &none;
  Description *d = static_cast<Description *>(malloc(sizeof(Description)));
  if (d == nullptr) return nullptr;
  *d = {};
  hlc_edr_cf_product &pub = d->pub;
  pub.product = p;
  const char *epoch = s->epoch != nullptr ? copy(*d, s->epoch) : nullptr;
  if (epoch != nullptr && !epoch_of(epoch, nullptr, nullptr)) {
    hlc_edr_cf_free(&d->pub);
    return nullptr;
  }

  // The dimensions: the records, the spins of four-spin records, then every
  // member's in the record's order.
  const int spins = p->spins;
  hlc_edr_cf_dimension *dims =
      take_array<hlc_edr_cf_dimension>(*d, 2 + HLC_EDR_MAX_RANK * static_cast<size_t>(p->nmembers));
  int spin_dim = 0;
  if (dims != nullptr) {
    dims[pub.ndims++] = {"record", 0};
    if (spins > 1) {
      spin_dim = pub.ndims;
      use_dim(*d, dims, p->members[p->sclk_seconds].dims[0]);
    }
    for (int32_t k = 0; k < p->nmembers; ++k) {
      for (int32_t i = 0; i < p->members[k].rank; ++i) use_dim(*d, dims, p->members[k].dims[i]);
    }
  }
  pub.dims = dims;

  // The variables: the times, then every member.
  const size_t nvariables = 3 + static_cast<size_t>(p->nmembers);
  hlc_edr_cf_variable *vars = take_array<hlc_edr_cf_variable>(*d, nvariables);
  if (vars != nullptr) {
    hlc_edr_cf_variable *v = &vars[pub.nvariables++];
    *v = {"sclk", HLC_EDR_NC_DOUBLE, HLC_EDR_CF_SCLK, -1, 1, {"record"}, {0}, 0, nullptr};
    Attributes a = attributes(*d);
    text(a, "long_name", "SCLK time of the record");
    text(a, "units", "s");
    text(a, "comment",
         spins > 1 ? format(*d, "%s; of the first spin: the start of the record", kSclkComment)
                   : kSclkComment);
    v->nattributes = a.count;
    v->attributes = a.list;
    if (spins > 1) {
      v = &vars[pub.nvariables++];
      const hlc_edr_dim &sd = p->members[p->sclk_seconds].dims[0];
      *v = {"spin_sclk", HLC_EDR_NC_DOUBLE,   HLC_EDR_CF_SPIN_SCLK, -1,
            2,           {"record", sd.name}, {0, sd.size},         0,
            nullptr};
      a = attributes(*d);
      text(a, "long_name", "SCLK time of the start of each spin");
      text(a, "units", "s");
      text(a, "comment", kSclkComment);
      v->nattributes = a.count;
      v->attributes = a.list;
    }
    if (epoch != nullptr) {
      v = &vars[pub.nvariables++];
      *v = {"time", HLC_EDR_NC_DOUBLE, HLC_EDR_CF_TIME, -1, 1, {"record"}, {0}, 0, nullptr};
      a = attributes(*d);
      text(a, "standard_name", "time");
      text(a, "long_name", "time of the record from its SCLK time");
      text(a, "units", format(*d, "seconds since %s", epoch));
      text(a, "calendar", "standard");
      text(a, "axis", "T");
      text(a, "comment",
           "the SCLK epoch given to the reader (hlc_edr_dump --sclk-epoch, sclk_epoch in Python) "
           "plus sclk seconds: a linear conversion that applies no clock correction");
      v->nattributes = a.count;
      v->attributes = a.list;
    }
    const char *time_coords = epoch != nullptr ? "sclk time" : "sclk";
    for (int32_t k = 0; k < p->nmembers; ++k) {
      member_variable(*d, *p, k, vars[pub.nvariables++], time_coords, spin_dim);
    }
  }
  pub.variables = vars;

  // The group's attributes: the product, its time coverage (ACDD), its
  // making, its objects in the EDR and its description.
  Attributes a = attributes(*d);
  text(a, "title", p->title);
  text(a, "product", p->module);
  text(a, "instrument", p->instrument);
  if (s->has_coverage) {
    const double sclk[2] = {s->sclk_first, s->sclk_last};
    const char *clock[2] = {format(*d, "SCLK %.6f", s->sclk_first),
                            format(*d, "SCLK %.6f", s->sclk_last)};
    text(a, "time_coverage_start", epoch != nullptr ? utc_of(*d, epoch, sclk[0]) : clock[0]);
    text(a, "time_coverage_end", epoch != nullptr ? utc_of(*d, epoch, sclk[1]) : clock[1]);
    text(a, "sclk_coverage_start", clock[0]);
    text(a, "sclk_coverage_end", clock[1]);
  }
  if (s->date_created != nullptr) text(a, "date_created", copy(*d, s->date_created));
  if (s->history != nullptr) text(a, "history", copy(*d, s->history));
  text(a, "hdf4_vgroup", p->vgroup);
  text(a, "hdf4_vdata", p->vdata);
  if (s->description != nullptr && s->description[0] != '\0') {
    text(a, "description", copy(*d, s->description));
  }
  pub.nattributes = a.count;
  pub.attributes = a.list;

  if (d->failed) {
    hlc_edr_cf_free(&d->pub);
    return nullptr;
  }
  return &d->pub;
}

void hlc_edr_cf_free(hlc_edr_cf_product *pub) {
  if (pub == nullptr) return;
  Description *d = reinterpret_cast<Description *>(pub);
  for (Block *b = d->blocks; b != nullptr;) {
    Block *next = b->next;
    free(b);
    b = next;
  }
  free(d);
}

int32_t hlc_edr_cf_epoch(const char *iso, char *out, size_t size) {
  if (out != nullptr && size > 0) out[0] = '\0';
  if (iso == nullptr || out == nullptr) return 0;
  const char *at = iso;
  long year, month, day, hour = 0, minute = 0, second = 0;
  if (!digits_at(&at, 4, &year) || !literal_at(&at, '-') || !digits_at(&at, 2, &month) ||
      !literal_at(&at, '-') || !digits_at(&at, 2, &day)) {
    return 0;
  }
  const char *fraction = "";
  int fraction_digits = 0;
  if (literal_at(&at, 'T') || literal_at(&at, ' ')) {
    if (!digits_at(&at, 2, &hour) || !literal_at(&at, ':') || !digits_at(&at, 2, &minute)) {
      return 0;
    }
    if (literal_at(&at, ':')) {
      if (!digits_at(&at, 2, &second)) return 0;
      if (literal_at(&at, '.') || literal_at(&at, ',')) {
        fraction = at;
        while (*at >= '0' && *at <= '9') ++at;
        fraction_digits = static_cast<int>(at - fraction);
        if (fraction_digits == 0 || fraction_digits > 9) return 0;
      }
    }
  }
  long offset = 0;  // minutes east of UTC
  if (*at == '+' || *at == '-') {
    const long sign = *at++ == '-' ? -1 : 1;
    long oh = 0, om = 0;
    if (!digits_at(&at, 2, &oh) || oh > 23) return 0;
    if (literal_at(&at, ':') ? !digits_at(&at, 2, &om) : *at != '\0' && !digits_at(&at, 2, &om)) {
      return 0;
    }
    if (om > 59) return 0;
    offset = sign * (oh * 60 + om);
  } else {
    literal_at(&at, 'Z');
  }
  if (*at != '\0' || year < 1 || month < 1 || month > 12 || hour > 23 || minute > 59 ||
      second > 59) {
    return 0;
  }
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day < 1 || day > kDays[month - 1] || (month == 2 && day == 29 && !leap)) return 0;
  // To UTC, by the C library's calendar.
  struct tm local = {};
  local.tm_year = static_cast<int>(year - 1900);
  local.tm_mon = static_cast<int>(month - 1);
  local.tm_mday = static_cast<int>(day);
  local.tm_hour = static_cast<int>(hour);
  local.tm_min = static_cast<int>(minute);
  const time_t utc_time = timegm(&local) - offset * 60;
  struct tm utc = {};
  if (gmtime_r(&utc_time, &utc) == nullptr || utc.tm_year + 1900 < 1 || utc.tm_year + 1900 > 9999) {
    return 0;
  }
  const int n = snprintf(out, size, "%04d-%02d-%02d %02d:%02d:%02ld%s%.*s", utc.tm_year + 1900,
                         utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, second,
                         fraction_digits > 0 ? "." : "", fraction_digits, fraction);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    if (size > 0) out[0] = '\0';
    return 0;
  }
  return 1;
}

double hlc_edr_cf_sclk(uint32_t seconds, uint16_t subseconds) {
  return seconds + subseconds / 65536.0;
}

const hlc_edr_cf_attribute *hlc_edr_cf_attribute_of(int32_t nattributes,
                                                    const hlc_edr_cf_attribute *attributes,
                                                    const char *name) {
  for (int32_t i = 0; name != nullptr && i < nattributes; ++i) {
    if (strcmp(attributes[i].name, name) == 0) return &attributes[i];
  }
  return nullptr;
}

}  // extern "C"
