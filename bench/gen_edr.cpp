// gen_edr: writes an EDR of plausible content for the dump's benchmark,
// through the record modules' own writing operations, so that its tables are
// exactly those that hlc_edr writes:
//
//   gen_edr OUT.hdf MODULE=N [MODULE=N ...]     N records of each product
//
// The records are filled from the modules' layout descriptors, member by
// member, as an instrument would fill them: record times that advance (1 s a
// record, 1 s a spin for four-spin records), readbacks within their stated
// range that drift by a few steps around a level of their own, status words
// and commanded values that change now and then, count arrays drawn from
// Poisson distributions of a few counts whose mean varies over the array and
// in time, and float32 distributions of a smooth shape with noise. (The
// TLM files of bench/gen_tlm hold random bytes instead: no compression gains
// anything on those.)
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "hdf.h"
#include "hlc_edr_layout.h"
#include "mfhdf.h"

namespace {

// One product's records, made one after the other.
class Maker {
 public:
  Maker(const hlc_edr_product &p, uint32_t seed)
      : p_(p), record_((p.record_size + 7) / 8), rng_(seed), base_(p.nmembers) {
    for (int k = 0; k < p.nmembers; ++k) {
      const hlc_edr_member &m = p.members[k];
      for (int i = 0; i < m.order; ++i) base_[k].push_back(initial(m, i));
    }
  }

  const void *next() {
    unsigned char *r = reinterpret_cast<unsigned char *>(record_.data());
    for (int k = 0; k < p_.nmembers; ++k) {
      const hlc_edr_member &m = p_.members[k];
      for (int i = 0; i < m.order; ++i) {
        const double v = value(k, m, i);
        unsigned char *at = r + m.offset + static_cast<size_t>(i) * size(m.type);
        put(m.type, v, at);
      }
    }
    ++n_;
    return record_.data();
  }

 private:
  static size_t size(int32_t type) {
    return type == HLC_EDR_UINT8 ? 1 : type == HLC_EDR_UINT16 ? 2 : 4;
  }
  static double type_max(int32_t type) {
    return type == HLC_EDR_UINT8 ? 255 : type == HLC_EDR_UINT16 ? 65535 : 4294967295.0;
  }
  static void put(int32_t type, double v, unsigned char *at) {
    if (type == HLC_EDR_FLOAT32) {
      const float f = static_cast<float>(v);
      std::memcpy(at, &f, 4);
      return;
    }
    v = std::fmin(std::fmax(std::round(v), 0), type_max(type));
    if (type == HLC_EDR_UINT8) {
      *at = static_cast<uint8_t>(v);
    } else if (type == HLC_EDR_UINT16) {
      const uint16_t u = static_cast<uint16_t>(v);
      std::memcpy(at, &u, 2);
    } else {
      const uint32_t u = static_cast<uint32_t>(v);
      std::memcpy(at, &u, 4);
    }
  }
  double uniform(double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(rng_);
  }

  // The level a member's element starts at.
  double initial(const hlc_edr_member &m, int i) {
    if (m.nflags > 0) {  // some of the status bits set
      uint32_t v = 0;
      for (int f = 0; f < m.nflags; ++f) {
        if (rng_() % 3 == 0) v |= m.flag_masks[f] & static_cast<uint32_t>(rng_());
      }
      return v;
    }
    if (m.has_valid_range) {
      return m.valid_min + (m.valid_max - m.valid_min) * (0.1 + 0.8 * (i + 0.5) / m.order);
    }
    if (m.type == HLC_EDR_FLOAT32) return 0;
    return std::floor(uniform(0, std::fmin(type_max(m.type), 2000)));
  }

  double value(int k, const hlc_edr_member &m, int i) {
    double &base = base_[static_cast<size_t>(k)][static_cast<size_t>(i)];
    const int spins = p_.spins;
    if (k == p_.sclk_seconds || k == p_.sclk_subseconds) {
      const double t = 600000000.0 + static_cast<double>(n_) * spins + (spins > 1 ? i : 0) +
                       0.37 * static_cast<double>(n_ % 5);
      return k == p_.sclk_seconds ? std::floor(t) : std::floor((t - std::floor(t)) * 65536);
    }
    if (m.nflags > 0) {  // a bit changes now and then
      if (rng_() % 4096 == 0) base = static_cast<uint32_t>(base) ^ m.flag_masks[rng_() % m.nflags];
      return base;
    }
    if (m.sds != nullptr && !m.has_valid_range) {  // counts
      const double phase = static_cast<double>(n_) / 500.0 + k;
      const double mean = (m.type == HLC_EDR_UINT8 ? 3 : 30) *
                          (1 + std::sin(phase + 6.2832 * i / m.order)) *
                          std::exp(-std::pow((i % 20 - 10) / 6.0, 2));
      return poisson(mean);
    }
    if (m.has_valid_range) {  // a readback: drifts around its level
      base += (rng_() % 64 == 0) ? (rng_() % 2 ? 1 : -1) : 0;
      base = std::fmin(std::fmax(base, m.valid_min), m.valid_max);
      return base + static_cast<double>(rng_() % 3) - 1;
    }
    if (m.type == HLC_EDR_FLOAT32) {  // a distribution of smooth shape
      return 1e-3 * std::exp(-std::pow((i - 20) / 6.0, 2)) * (1 + 0.05 * uniform(-1, 1)) *
             (1 + 0.2 * std::sin(static_cast<double>(n_) / 300.0));
    }
    if (rng_() % 8192 == 0) base += 1;  // a commanded value, now and then another
    return base;
  }

  double poisson(double mean) {
    if (mean < 0.05) return 0;
    // Means quantised to 1/16, with one distribution each.
    const size_t q = static_cast<size_t>(mean * 16);
    if (q >= poisson_.size()) poisson_.resize(q + 1);
    if (!poisson_[q]) poisson_[q].emplace(static_cast<double>(q) / 16 + 1.0 / 32);
    return (*poisson_[q])(rng_);
  }

  const hlc_edr_product &p_;
  std::vector<double> record_;
  std::mt19937 rng_;
  std::vector<std::vector<double>> base_;
  std::vector<std::optional<std::poisson_distribution<int>>> poisson_;
  uint64_t n_ = 0;
};

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: gen_edr OUT.hdf MODULE=N [MODULE=N ...]\n");
    return 2;
  }
  const char *out = argv[1];
  const int32 file = Hopen(out, DFACC_CREATE, 0);
  if (file == -1 || Vstart(file) != 0) {
    std::fprintf(stderr, "gen_edr: cannot create %s\n", out);
    return 1;
  }
  const int32 sd = SDstart(out, DFACC_RDWR), an = ANstart(file);
  std::vector<const hlc_edr_product *> opened;
  for (int a = 2; a < argc; ++a) {
    const std::string arg = argv[a];
    const size_t eq = arg.find('=');
    const std::string module = arg.substr(0, eq);
    const hlc_edr_product *p = hlc_edr_find_product(module.c_str());
    if (p == nullptr || eq == std::string::npos) {
      std::fprintf(stderr, "gen_edr: %s is no MODULE=N\n", arg.c_str());
      return 2;
    }
    const unsigned long n = std::strtoul(arg.c_str() + eq + 1, nullptr, 10);
    if (p->init_wr(file, sd, an, "tlm_edr_data") != 0) return 1;
    opened.push_back(p);
    Maker make(*p, static_cast<uint32_t>(a));
    for (unsigned long r = 0; r < n; ++r) {
      if (p->write(make.next(), -1) != 0) return 1;
    }
  }
  for (const hlc_edr_product *p : opened) {
    if (p->flush_wr() != 0) return 1;
    p->close_wr();
  }
  ANend(an);
  SDend(sd);
  Vend(file);
  return Hclose(file) == 0 ? 0 : 1;
}
