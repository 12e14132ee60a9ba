// hlc_edr, the Halcyon EDR Generator: turns one TLM file of SFDU records
// wrapping CCSDS source packets into one EDR file (HDF4) for one instrument
// unit, or into a text file of star-tracker quaternions for the unit "acs".
//
// This file holds the driver (command line, telemetry reader, packet dispatch
// and segment reassembly, output file lifecycle) and the decoders
// put_<UNIT>_<kind> that turn one record's packet bytes into a record
// structure and append it through the product's record module.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <math.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <poll.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "hdf.h"
#include "mfhdf.h"

// GEM record modules
#include "gem_hk_api.h"
#include "gem_mancal_api.h"
#include "gem_normal_api.h"
#include "gem_raw_api.h"

// GIM record modules
#include "gim_hk_api.h"
#include "gim_mancal_api.h"
#include "gim_normal_api.h"

// GIM raw and diagnostic record modules
#include "gim_diag_api.h"
#include "gim_raw_api.h"

#include "con_hk_api.h"

// MEC record modules
#include "mec_f1d_api.h"
#include "mec_hk_api.h"

#include "hlc_edr_const.h"
#include "log_format.h"

#include <atomic>
#include <bit>

namespace {

constexpr int kBufferSize = 32768;    // longest record read, and each reassembly buffer
constexpr size_t kTlmPathMax = 1023;  // characters
constexpr size_t kEdrPathMax = 1019;  // leaves room for ".tmp" in 1024 bytes
constexpr char kProgram[] = "hlc_edr";
#ifndef HLC_EDR_VERSION
#error "HLC_EDR_VERSION and HLC_EDR_RELEASE, the project's version, are set by the build"
#endif
constexpr char kVersion[] = "Version " HLC_EDR_VERSION ", " HLC_EDR_RELEASE;
constexpr char kVdataClass[] = "tlm_edr_data";

// ---------------------------------------------------------------------------
// The log, and the signals that end a run
// ---------------------------------------------------------------------------

// Everything the program and the record modules print goes through one
// buffer of the program's own: standard output and standard error are
// streams that write into it (standard error's lines after everything
// printed before them), and it is written out with write() alone. So the
// log printed so far survives every way the run ends: an exit, a signal
// that the run takes in its stride, and a second signal, whose handler
// writes it out itself.
struct Log {
  // Half a megabyte: every write out is a system call, two more block and
  // unblock the signals around it, and a run may print a hundred megabytes.
  static constexpr size_t kSize = 1 << 19;
  char buf[kSize];
  // Bytes in buf, and bytes of them written out: read by the handler of a
  // second signal. What is written and these counts change together only
  // with the ending signals blocked.
  volatile sig_atomic_t used = 0;
  volatile sig_atomic_t written = 0;
  bool watched = false;  // standard output is a terminal: every line goes out at once
  bool regular = false;  // standard output is a regular file: writes never wait
  bool streams = false;  // stdout and stderr are the log's streams (start_log)
  bool direct = false;   // streams, and not watched: pieces are made in the buffer
};
Log out_log;

// SIGINT, SIGTERM and SIGHUP end a run at the next packet, or at once while
// the reader waits for input: the log written so far stays whole, followed
// by an "ERROR: " line, and the run ends by the same signal. A signal that
// was ignored when the program started stays ignored.
struct EndingSignal {
  int number;
  const char *name;
  bool caught;
};
EndingSignal ending_signals[] = {
    {SIGINT, "SIGINT", false}, {SIGTERM, "SIGTERM", false}, {SIGHUP, "SIGHUP", false}};
sigset_t ending_set;

volatile sig_atomic_t ending_signal = 0;
// Set once the "ERROR: Interrupted" line is in the log.
volatile sig_atomic_t interrupted_line = 0;
// Written by the handler, watched by the reader while it waits for input, so
// that a signal arriving just before the wait still ends it.
int signal_pipe[2] = {-1, -1};

const char *signal_name(int number) {
  for (const EndingSignal &s : ending_signals) {
    if (s.number == number) return s.name;
  }
  return "";
}

// Writes n bytes to standard output from a signal handler: at most one
// second in all for a reader that takes nothing.
void write_from_handler(const char *data, size_t n, int *budget_ms) {
  while (n > 0 && *budget_ms > 0) {
    pollfd p = {STDOUT_FILENO, POLLOUT, 0};
    if (poll(&p, 1, 100) <= 0) {
      *budget_ms -= 100;
      continue;
    }
    const ssize_t w = write(STDOUT_FILENO, data, n < PIPE_BUF ? n : PIPE_BUF);
    if (w > 0) {
      data += w;
      n -= static_cast<size_t>(w);
    } else if (w < 0 && errno != EINTR && errno != EAGAIN) {
      return;
    }
  }
}

// A second signal: the log not yet written out, the "ERROR: " line of the
// first signal (unless it is in the log already), and the end by that
// signal. Only async-signal-safe calls.
[[noreturn]] void end_from_handler() {
  int budget_ms = 1000;
  const sig_atomic_t used = out_log.used, written = out_log.written;
  if (written < used) {
    write_from_handler(out_log.buf + written, static_cast<size_t>(used - written), &budget_ms);
  }
  if (!interrupted_line) {
    if (used > 0 && out_log.buf[used - 1] != '\n') write_from_handler("\n", 1, &budget_ms);
    const char *name = signal_name(ending_signal);
    write_from_handler("ERROR: Interrupted by signal ", 29, &budget_ms);
    write_from_handler(name, strlen(name), &budget_ms);
    write_from_handler(".\n", 2, &budget_ms);
  }
  signal(ending_signal, SIG_DFL);
  sigset_t end;
  sigemptyset(&end);
  sigaddset(&end, ending_signal);
  sigprocmask(SIG_UNBLOCK, &end, nullptr);
  raise(ending_signal);
  _exit(128 + ending_signal);  // not reached
}

void on_ending_signal(int number) {
  const int saved = errno;
  if (ending_signal != 0) end_from_handler();
  ending_signal = number;
  if (signal_pipe[1] >= 0) {
    ssize_t written = write(signal_pipe[1], "", 1);
    (void)written;
  }
  errno = saved;
}

// Writes the log out. A wait for room (a pipe that its reader does not
// empty) can be interrupted: a second signal ends the run from its handler.
// Each write is made with the ending signals blocked, and only when it
// cannot wait (a pipe takes PIPE_BUF bytes whenever it has room), so that
// the handler always knows what was written.
void flush_log() {
  Log &l = out_log;
  while (l.written < l.used) {
    if (!l.regular) {
      pollfd p = {STDOUT_FILENO, POLLOUT, 0};
      if (poll(&p, 1, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
    }
    sigset_t before;
    sigprocmask(SIG_BLOCK, &ending_set, &before);
    const size_t n = static_cast<size_t>(l.used - l.written);
    const ssize_t w =
        write(STDOUT_FILENO, l.buf + l.written, l.regular || n < PIPE_BUF ? n : PIPE_BUF);
    if (w > 0) l.written = l.written + static_cast<sig_atomic_t>(w);
    const bool lost = w < 0 && errno != EINTR && errno != EAGAIN;
    if (lost) l.written = l.used;  // a log that cannot be written is not kept
    if (l.written == l.used) {
      l.used = 0;  // first: the handler then sees nothing left to write
      l.written = 0;
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
  }
}

// Appends to the log. What does not fit is written out first: a piece of
// the log (a line, as the program prints) is never split, so that the log
// that a handler writes out ends where a piece ends.
ssize_t log_out(void *, const char *data, size_t n) {
  Log &l = out_log;
  if (n > Log::kSize - static_cast<size_t>(l.used)) flush_log();
  for (size_t left = n; left > 0;) {
    if (static_cast<size_t>(l.used) == Log::kSize) flush_log();
    const size_t room = Log::kSize - static_cast<size_t>(l.used);
    const size_t piece = left < room ? left : room;
    memcpy(l.buf + l.used, data, piece);
    // The bytes are in place before the handler can count them.
    std::atomic_signal_fence(std::memory_order_release);
    l.used = l.used + static_cast<sig_atomic_t>(piece);
    data += piece;
    left -= piece;
  }
  if (l.watched) flush_log();
  return static_cast<ssize_t>(n);
}

// Standard error: what was printed before it is written out first.
ssize_t log_err(void *, const char *data, size_t n) {
  flush_log();
  for (size_t left = n; left > 0;) {
    const ssize_t w = write(STDERR_FILENO, data, left);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    data += w;
    left -= static_cast<size_t>(w);
  }
  return static_cast<ssize_t>(n);
}

// Makes standard output and standard error the log's streams.
void start_log() {
  struct stat st;
  out_log.regular = fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode);
  out_log.watched = isatty(STDOUT_FILENO);
  FILE *out = fopencookie(nullptr, "w", {nullptr, log_out, nullptr, nullptr});
  FILE *err = fopencookie(nullptr, "w", {nullptr, log_err, nullptr, nullptr});
  if (out == nullptr || err == nullptr) return;  // the standard streams stay
  setvbuf(out, nullptr, _IONBF, 0);
  setvbuf(err, nullptr, _IONBF, 0);
  stdout = out;
  stderr = err;
  out_log.streams = true;
  out_log.direct = !out_log.watched;
  atexit(flush_log);
}

// Room for a piece of at most n characters, made in place at the end of the
// log (the log written out first when it lacks the room), or null where
// standard output is not the log's or goes out line by line. log_commit
// then appends the n characters made there.
char *log_room(size_t n) {
  Log &l = out_log;
  if (!l.direct) return nullptr;
  if (n > Log::kSize - static_cast<size_t>(l.used)) flush_log();
  return l.buf + l.used;
}

void log_commit(ptrdiff_t n) {
  // The bytes are in place before the handler can count them.
  std::atomic_signal_fence(std::memory_order_release);
  out_log.used = out_log.used + static_cast<sig_atomic_t>(n);
}

// Appends a piece of the log that is made without printf (the lines of
// every record): straight to the log, which standard output, unbuffered,
// also writes to at once, so that the order stays; through the stream
// where standard output is not the log's.
[[gnu::noinline]] void log_text_through(const char *data, size_t n) {
  if (out_log.streams) {
    log_out(nullptr, data, n);
  } else {
    fwrite_unlocked(data, 1, n, stdout);
  }
}
[[gnu::always_inline]] inline void log_text(const char *data, size_t n) {
  Log &l = out_log;
  if (l.direct && n <= Log::kSize - static_cast<size_t>(l.used)) {
    // The piece fits: appended as log_out would, without its loop.
    const sig_atomic_t used = l.used;
    memcpy(l.buf + used, data, n);
    std::atomic_signal_fence(std::memory_order_release);
    l.used = used + static_cast<sig_atomic_t>(n);
  } else {
    log_text_through(data, n);
  }
}

[[noreturn]] void fatal_exit() {
  flush_log();
  exit(-1);
}

// Installed with SA_RESTART: no other call (HDF4's own, a lock being waited
// for) ever fails with EINTR; waits for input end through signal_pipe.
void catch_ending_signals() {
  sigemptyset(&ending_set);
  for (const EndingSignal &s : ending_signals) sigaddset(&ending_set, s.number);
  if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) signal_pipe[0] = signal_pipe[1] = -1;
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = on_ending_signal;
  action.sa_mask = ending_set;
  action.sa_flags = SA_RESTART;
  for (EndingSignal &s : ending_signals) {
    struct sigaction before;
    if (sigaction(s.number, nullptr, &before) != 0 || before.sa_handler == SIG_IGN) continue;
    s.caught = sigaction(s.number, &action, nullptr) == 0;
  }
}

// Ends the run that a signal interrupted: nothing more is written to the
// output, which stays under its work name.
[[noreturn]] void end_by_signal() {
  const int number = ending_signal;
  // The line goes into the log with the signals blocked, so that a second
  // signal's handler finds it there whole, or not at all; there is room for
  // it without a write that could wait.
  if (static_cast<size_t>(out_log.used) > Log::kSize - 64) flush_log();
  sigset_t before;
  sigprocmask(SIG_BLOCK, &ending_set, &before);
  printf("ERROR: Interrupted by signal %s.\n", signal_name(number));
  interrupted_line = 1;
  sigprocmask(SIG_SETMASK, &before, nullptr);
  flush_log();
  signal(number, SIG_DFL);
  raise(number);
  fatal_exit();  // not reached: the signal's default action ends the process
}

void end_if_signalled() {
  if (ending_signal != 0) end_by_signal();
}

uint32_t be16(const uint8_t *p) {
  return (uint32_t{p[0]} << 8) | p[1];
}
uint32_t be32(const uint8_t *p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
double be_double(const uint8_t *p) {
  uint64_t bits = (uint64_t{be32(p)} << 32) | be32(p + 4);
  double value;
  memcpy(&value, &bits, sizeof value);
  return value;
}

// ---------------------------------------------------------------------------
// Products
// ---------------------------------------------------------------------------

}  // namespace

// The decoders: one record's packet bytes into its record, appended to the
// product's table.
void put_GEM_hk(const uint8_t *data);
void put_GEM_mancal(const uint8_t *data);
void put_GEM_normal(const uint8_t *data);
void put_GEM_raw(const uint8_t *data);
void put_GIM_hk(const uint8_t *data);
void put_GIM_mancal(const uint8_t *data);
void put_GIM_normal(const uint8_t *data);
void put_GIM_diag(const uint8_t *data);
void put_GIM_raw(const uint8_t *data);
void put_CON_hk(const uint8_t *data);
void put_MEC_hk(const uint8_t *data);
void put_MEC_f1d(const uint8_t *data);

namespace {

// The instrument units, by their codes in the configuration echo.
enum class Unit { kNone = 0, kGem = 1, kGim = 2, kCon = 3, kMec = 4, kAcs = 5 };
struct UnitWord {
  const char *word;
  Unit unit;
};
constexpr UnitWord kUnits[] = {{"gem", Unit::kGem},
                               {"gim", Unit::kGim},
                               {"con", Unit::kCon},
                               {"mec", Unit::kMec},
                               {"acs", Unit::kAcs}};

enum Handling { kFixed, kTwoPart, kThreePart, kQuats };
enum ReassemblyIndex {
  kReGemNormal,
  kReGemRaw,
  kReGimNormal,
  kReGimDiag,
  kReGimRaw,
  kNoReassembly = -1
};

using Decoder = void (*)(const uint8_t *);

// What the driver knows of a product: its APID, unit and "-apid" word, how
// its records arrive and their size in packet bytes, its decoder, and its
// messages. The record module (its tables, names and layout) is the
// registry's descriptor.
struct Product {
  int apid;
  Unit unit;
  const char *kind;
  Handling handling;
  int record_size;
  const hlc_edr_product *module;  // none for the quaternions, which go to a text file
  Decoder decoder;
  int reassembly = kNoReassembly;
  const char *initialized = nullptr;
  const char *drop = nullptr;  // seconds, subseconds, size
  const char *accumulated = nullptr;
  const char *orphan_first = nullptr;
  const char *orphan_last = nullptr;
  const char *orphan_middle = nullptr;
};

// Every APID the program handles, in the order in which their tables are
// closed; any other APID is passed over.
constexpr Product kProducts[] = {
    {.apid = 32,
     .unit = Unit::kGem,
     .kind = "hk",
     .handling = kFixed,
     .record_size = 46,
     .module = &hlc_edr_product_gem_hk,
     .decoder = put_GEM_hk,
     .initialized = "   initialized GEM h/k\n",
     .drop = "WARNING: dropped GEM HK @%10u:%03d -- bad size %d\n"},
    {.apid = 33,
     .unit = Unit::kGem,
     .kind = "mancal",
     .handling = kFixed,
     .record_size = 50,
     .module = &hlc_edr_product_gem_mancal,
     .decoder = put_GEM_mancal,
     .initialized = "   initialized GEM man/cal\n",
     .drop = "WARNING: dropped GEM ManCal @%10u:%03d -- bad size %d\n"},
    {.apid = 31,
     .unit = Unit::kGem,
     .kind = "normal",
     .handling = kTwoPart,
     .record_size = 3454,
     .module = &hlc_edr_product_gem_normal,
     .decoder = put_GEM_normal,
     .reassembly = kReGemNormal,
     .initialized = "   initialized GEM Normal\n",
     .drop = "WARNING: dropped GEM Normal @%10u:%03d -- bad size %d\n",
     .accumulated = "accumulated GEM normal size %d\n",
     .orphan_first = "WARNING: dropped orphan GEM_Norm FIRST @%10u:%03d\n",
     .orphan_last = "WARNING: dropped orphan GEM_Norm LAST  @%10u:%03d\n"},
    {.apid = 41,
     .unit = Unit::kGem,
     .kind = "raw",
     .handling = kTwoPart,
     .record_size = 2360,
     .module = &hlc_edr_product_gem_raw,
     .decoder = put_GEM_raw,
     .reassembly = kReGemRaw,
     .initialized = "   initialized GEM Raw\n",
     .drop = "WARNING: dropped GEM Raw @%10u:%03d -- bad size %d\n",
     .accumulated = "accumulated GEM raw size %d\n",
     .orphan_first = "WARNING: dropped orphan GEM_Raw FIRST @%10u:%03d\n",
     .orphan_last = "WARNING: dropped orphan GEM_Raw LAST  @%10u:%03d\n"},
    {.apid = 29,
     .unit = Unit::kGim,
     .kind = "hk",
     .handling = kFixed,
     .record_size = 66,
     .module = &hlc_edr_product_gim_hk,
     .decoder = put_GIM_hk,
     .initialized = "   initialized GIM h/k\n",
     .drop = "WARNING: dropped GIM HK @%10u:%03d -- bad size %d\n"},
    {.apid = 30,
     .unit = Unit::kGim,
     .kind = "mancal",
     .handling = kFixed,
     .record_size = 94,
     .module = &hlc_edr_product_gim_mancal,
     .decoder = put_GIM_mancal,
     .initialized = "   initialized GIM Man/Cal\n",
     .drop = "WARNING: dropped GIM ManCal @%10u:%03d -- bad size %d\n"},
    {.apid = 28,
     .unit = Unit::kGim,
     .kind = "normal",
     .handling = kTwoPart,
     .record_size = 3336,
     .module = &hlc_edr_product_gim_normal,
     .decoder = put_GIM_normal,
     .reassembly = kReGimNormal,
     .initialized = "   initialized GIM Normal\n",
     .drop = "WARNING: dropped GIM Normal @%10u:%03d -- bad size %d\n",
     .accumulated = "accumulated GIM normal size %d\n",
     .orphan_first = "WARNING: dropped orphan GIM_Norm FIRST @%10u:%03d\n",
     .orphan_last = "WARNING: dropped orphan GIM_Norm LAST  @%10u:%03d\n"},
    {.apid = 34,
     .unit = Unit::kGim,
     .kind = "diag",
     .handling = kThreePart,
     .record_size = 12934,
     .module = &hlc_edr_product_gim_diag,
     .decoder = put_GIM_diag,
     .reassembly = kReGimDiag,
     .initialized = "   initialized GIM Diag.\n",
     .drop = "WARNING: dropped GIM Diag @%10u:%03d -- bad  size %d\n",
     .accumulated = "accumulated GIM diag. size %d\n",
     .orphan_first = "WARNING: dropped orphan GIM_Diag FIRST @%10u:%03d\n",
     .orphan_last = "WARNING: dropped orphan GIM_Diag LAST  @%10u:%03d\n",
     .orphan_middle = "WARNING: dropped orphan GIM_Diag MIDDLE @%10u:%03d\n"},
    {.apid = 42,
     .unit = Unit::kGim,
     .kind = "raw",
     .handling = kThreePart,
     .record_size = 8328,
     .module = &hlc_edr_product_gim_raw,
     .decoder = put_GIM_raw,
     .reassembly = kReGimRaw,
     .initialized = "   initialized GIM Raw\n",
     .drop = "WARNING: dropped GIM Raw @%10u:%03d -- bad  size %d\n",
     .accumulated = "accumulated GIM raw size %d\n",
     .orphan_first = "WARNING: dropped orphan GIM_Raw FIRST @%10u:%03d\n",
     .orphan_last = "WARNING: dropped orphan GIM_Raw LAST  @%10u:%03d\n",
     .orphan_middle = "WARNING: dropped orphan GIM_Raw MIDDLE @%10u:%03d\n"},
    {.apid = 25,
     .unit = Unit::kCon,
     .kind = "hk",
     .handling = kFixed,
     .record_size = 52,
     .module = &hlc_edr_product_con_hk,
     .decoder = put_CON_hk,
     .initialized = "   initialized Concentrator h/k\n",
     .drop = "WARNING: dropped CON HK @%10u:%03d -- bad size %d\n"},
    {.apid = 24,
     .unit = Unit::kMec,
     .kind = "hk",
     .handling = kFixed,
     .record_size = 144,
     .module = &hlc_edr_product_mec_hk,
     .decoder = put_MEC_hk,
     .initialized = "   initialized MEC/WIND h/k\n",
     .drop = "WARNING: dropped MEC HK @%10u:%03d -- bad size %d\n"},
    {.apid = 26,
     .unit = Unit::kMec,
     .kind = "f1d",
     .handling = kFixed,
     .record_size = 168,
     .module = &hlc_edr_product_mec_f1d,
     .decoder = put_MEC_f1d,
     .initialized = "   initialized MEC/WIND F1D\n",
     .drop = "WARNING: dropped MEC F1D @%10u:%03d -- bad size %d\n"},
    {.apid = 27,
     .unit = Unit::kAcs,
     .kind = "quats",
     .handling = kQuats,
     .record_size = 40,
     .module = nullptr,
     .decoder = nullptr,
     .drop = "WARNING: dropped STRK_QUAT @%10u:%03d -- bad size %d\n"},
};
constexpr int kNumProducts = static_cast<int>(sizeof kProducts / sizeof kProducts[0]);

constexpr bool same_text(const char *a, const char *b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}

// Each segmented product has its reassembly state and messages, and every
// "-apid" word names one product of a unit. (Whether a product has a module
// and a decoder is no constant expression in every build: their addresses
// are the linker's.)
constexpr bool products_ok() {
  for (const Product &p : kProducts) {
    const bool segmented = p.handling == kTwoPart || p.handling == kThreePart;
    if (segmented != (p.reassembly != kNoReassembly) || segmented != (p.accumulated != nullptr) ||
        (p.handling == kThreePart) != (p.orphan_middle != nullptr)) {
      return false;
    }
    for (const Product &q : kProducts) {
      if (&p != &q && p.unit == q.unit && (p.apid == q.apid || same_text(p.kind, q.kind))) {
        return false;
      }
    }
  }
  return true;
}
static_assert(products_ok());

// ---------------------------------------------------------------------------
// Command line and run configuration
// ---------------------------------------------------------------------------

void print_usage() {
  printf("\n");
  printf("Halcyon EDR Generator (%s), %s\n", kProgram, kVersion);
  printf("\n");
  printf("Usage:\n");
  printf("\n");
  printf("  > %s  %s %s|%s|%s|%s|%s\n", kProgram, "-inst", "gem", "gim", "con", "mec", "acs");
  printf("            [%s %s|%s|%s|%s|%s|%s|%s]\n", "-apid", "normal", "hk", "mancal", "diag",
         "raw", "f1d", "quats");
  printf("             %s tlm_file\n", "-tlm");
  printf("             %s hdf_file\n", "-edr");
  printf("\n");
}

[[noreturn]] void bad_option(const char *word) {
  printf("ERROR: Bad or out-of-order option ``%s''.\n", word);
  fatal_exit();
}

[[noreturn]] void too_few() {
  printf("ERROR: Too few command line arguments.\n");
  fatal_exit();
}

// Copies a path into a 1024-byte field, refusing one longer than `limit`.
void copy_path(char *dest, const char *path, size_t limit, const char *what) {
  size_t length = strlen(path);
  if (length > limit) {
    printf("ERROR: %s file path is longer than %zu characters.\n", what, limit);
    fatal_exit();
  }
  memcpy(dest, path, length + 1);
}

}  // namespace

// Reads the fixed-order command line into the run configuration; tlmf and
// edrf are 1024-byte fields. Exits with status -1 on any fault.
void parse_command_line(int argc, char **argv, int *inst, int *apid, char *tlmf, char *edrf) {
  *inst = 0;
  *apid = 0;
  tlmf[0] = '\0';
  edrf[0] = '\0';

  if (argc - 1 < 2) {
    print_usage();
    fatal_exit();
  }
  if (strcmp(argv[1], "-inst") != 0) bad_option(argv[1]);
  for (const UnitWord &u : kUnits) {
    if (strcmp(argv[2], u.word) == 0) *inst = static_cast<int>(u.unit);
  }
  if (*inst == 0) {
    printf("ERROR: Cannot recognize instrument ``%s''.\n", argv[2]);
    fatal_exit();
  }
  if (argc <= 3) too_few();
  int i = 3;
  if (strcmp(argv[i], "-apid") != 0 && strcmp(argv[i], "-tlm") != 0) bad_option(argv[i]);

  if (strcmp(argv[i], "-apid") == 0) {
    if (i + 1 >= argc) too_few();
    // The word names a kind of some unit's product; the run's unit must
    // have a product of that kind.
    bool known = false;
    for (const Product &p : kProducts) {
      if (strcmp(argv[i + 1], p.kind) != 0) continue;
      known = true;
      if (p.unit == static_cast<Unit>(*inst)) *apid = p.apid;
    }
    if (!known) {
      printf("ERROR: Cannot recognize APID type ``%s''.\n", argv[i + 1]);
      fatal_exit();
    }
    if (*apid == 0) {
      printf("ERROR: No such APID for this instrument.\n");
      fatal_exit();
    }
    if (i + 2 >= argc) too_few();
    i += 2;
  }

  if (strcmp(argv[i], "-tlm") != 0) bad_option(argv[i]);
  if (i + 1 >= argc) too_few();
  copy_path(tlmf, argv[i + 1], kTlmPathMax, "TLM");
  if (i + 2 >= argc) too_few();
  i += 2;

  if (strcmp(argv[i], "-edr") != 0) bad_option(argv[i]);
  if (i + 1 >= argc) too_few();
  copy_path(edrf, argv[i + 1], kEdrPathMax, "EDR");
}

// ---------------------------------------------------------------------------
// Telemetry reader
// ---------------------------------------------------------------------------

namespace {

// The bytes of a record, as the machine holds them.
inline uint16_t raw16(const uint8_t *p) {
  uint16_t v;
  memcpy(&v, p, sizeof v);
  return v;
}
inline uint64_t raw64(const uint8_t *p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

// Records of one kind come framed alike, one after another: the same
// length, header blocks, packet place and packet header but for its
// counter and time. The framing of the record listed last, and what was
// made of it, is kept: a record whose framing bytes are the same is read
// with it, its listing line made from the last one's.
struct Framing {
  bool known = false;
  long record_size = 0;
  // The bytes compared: the packet's and the second block's places, the
  // third block's length, fill flag and size before fill, and the packet
  // header's APID, flags and length.
  uint16_t packet_at = 0, block2_at = 0, block3_length = 0, prefill_bytes = 0;
  uint8_t fill_flag = 0;
  uint64_t head = 0;
  // What they make.
  long block2 = 0, block3 = 0, packet = 0, length_field = 0, prefill = 0;
  int apid = 0, flags = 0, fill = 0;
  bool fits = false;  // the packet's length fits the record

  // Of a packet header's first eight bytes, those of the APID, the flags
  // and the length: not the counter (bits of bytes 2 and 3), nor the time.
  static uint64_t head_of(const uint8_t *p) {
    static constexpr uint8_t kMask[8] = {0xFF, 0xFF, 0xC0, 0x00, 0xFF, 0xFF, 0x00, 0x00};
    return raw64(p) & raw64(kMask);
  }

  // True when the record, which has record_size bytes, is framed as the
  // last one.
  [[gnu::always_inline]] bool same(const uint8_t *buffer, long size) const {
    return known && size == record_size && raw16(buffer + 22) == packet_at &&
           raw16(buffer + 26) == block2_at && raw16(buffer + block2 + 2) == block3_length &&
           (buffer[block3 + 4] & 0x80) == fill_flag &&
           raw16(buffer + block3 + 8) == prefill_bytes && head_of(buffer + packet) == head;
  }
};

struct TlmReader {
  bool opened = false;
  int fd = -1;
  int record_number = 1;
  bool first_record = true;
  long long byte_total = 0;
  // Not a regular file (a FIFO, a pipe, a terminal): a read may wait.
  bool may_wait = false;
  // The file is read in large blocks, and each record is used where it lies
  // in them: only a record that a block cuts short is moved, with what
  // follows it, to the start, where the next block completes it. Room for
  // the longest record that is read whole (kBufferSize) and one block of
  // half a megabyte (a read is a system call).
  static constexpr size_t kBlock = 1 << 19;
  uint8_t block[kBufferSize + kBlock];
  size_t pos = 0;  // the next record begins here
  size_t len = 0;  // bytes in the block
  hlc_log::Listing listing;
  Framing framing;
};
TlmReader reader;

// Returns when the TLM file has input (or its end, or an error) to read;
// a signal ends the run meanwhile. Before it waits, the log so far is
// written out, so that whoever feeds the input sees how far the run is.
void wait_for_input(int fd) {
  pollfd watch[2] = {{fd, POLLIN, 0}, {signal_pipe[0], POLLIN, 0}};
  int timeout = 0;
  for (;;) {
    end_if_signalled();
    const int ready = poll(watch, 2, timeout);
    if (ready > 0) break;
    if (ready == 0) {
      flush_log();
      timeout = -1;
    } else if (errno != EINTR) {
      break;  // the read reports what is wrong
    }
  }
  end_if_signalled();
}

// Makes the next n (at most kBufferSize) bytes of the file lie together at
// reader.block + reader.pos, reading as needed, going on after partial reads
// and interruptions. Returns the number of bytes there (less than n only at
// end of file), or -1 on a read error. A block read that fails is tried once
// more for just the bytes asked for, so an error is reported for the same
// record as if the file were read record by record.
[[gnu::noinline]] long gather_more(int fd, size_t n) {
  memmove(reader.block, reader.block + reader.pos, reader.len - reader.pos);
  reader.len -= reader.pos;
  reader.pos = 0;
  while (reader.len < n) {
    if (reader.may_wait) wait_for_input(fd);
    uint8_t *into = reader.block + reader.len;
    ssize_t r = read(fd, into, sizeof reader.block - reader.len);
    if (r < 0 && errno != EINTR) r = read(fd, into, n - reader.len);
    if (r < 0) {
      if (errno == EINTR) {
        end_if_signalled();
        continue;
      }
      return -1;
    }
    if (r == 0) break;
    reader.len += static_cast<size_t>(r);
  }
  return static_cast<long>(reader.len < n ? reader.len : n);
}
inline long gather(int fd, size_t n) {
  if (reader.len - reader.pos >= n) return static_cast<long>(n);
  return gather_more(fd, n);
}

// Passes over the next n bytes of the file; false if it ends before them or
// a read fails.
bool pass_over(int fd, long n) {
  while (n > 0) {
    const long piece = n < kBufferSize ? n : kBufferSize;
    if (gather(fd, static_cast<size_t>(piece)) != piece) return false;
    reader.pos += static_cast<size_t>(piece);
    n -= piece;
  }
  return true;
}

[[noreturn]] void reader_fatal() {
  close(reader.fd);
  fatal_exit();
}

// Opened without waiting for a writer of a FIFO: the first read waits,
// where a signal can end the run.
[[gnu::noinline]] void open_reader(const char *tlm_path) {
  reader.fd = open(tlm_path, O_RDONLY | O_NONBLOCK);
  if (reader.fd < 0) {
    printf("ERROR: Failed to open TLM file.\n");
    fatal_exit();
  }
  struct stat st;
  reader.may_wait = fstat(reader.fd, &st) != 0 || !S_ISREG(st.st_mode);
  fcntl(reader.fd, F_SETFL, fcntl(reader.fd, F_GETFL) & ~O_NONBLOCK);
  reader.opened = true;
}

[[gnu::noinline]] void check_first_record() {
  if (memcmp(reader.block + reader.pos, "KWRZ", 4) != 0) {
    printf("ERROR: File starts with invalid sfdu.\n");
    reader_fatal();
  }
  reader.first_record = false;
}

}  // namespace

// Reads one SFDU record and gives its packet's user data in *data, which
// stays valid until the next call. Returns 0 at end of file, otherwise the
// number of the next record. Dropped packets (filled, or framed so that they
// cannot be trusted) come back with APID 0. Made part of the run's loop,
// which calls it for every record.
[[gnu::always_inline]] inline int got_good_apid(const char *tlm_path, int *apid,
                                                int *sequence_flags, int *data_size,
                                                uint32_t *seconds, int *subseconds,
                                                int *sequence_count, const uint8_t **data) {
  if (!reader.opened) [[unlikely]]
    open_reader(tlm_path);

  long got = gather(reader.fd, 20);
  if (got < 0) {
    printf("ERROR: Read error at Rec # %d: %s\n", reader.record_number, strerror(errno));
    reader_fatal();
  }
  if (got == 0) {
    close(reader.fd);
    printf("Accumulated processed byte count: %lld\n", reader.byte_total);
    return 0;
  }
  if (got < 20) {
    printf("ERROR: Bad SFDU Header, Rec # %d\n", reader.record_number);
    reader_fatal();
  }
  if (reader.first_record) [[unlikely]]
    check_first_record();

  const long body = be16(reader.block + reader.pos + 18);
  const long record_size = 20 + body;
  const int number = reader.record_number;
  auto finish = [&]() {
    reader.record_number++;
    reader.byte_total += record_size;
    return reader.record_number;
  };

  if (record_size > kBufferSize) {
    // Too long for the buffer: read past its body in pieces and drop it.
    reader.pos += 20;
    if (!pass_over(reader.fd, body)) {
      printf("ERROR: Bad SFDU Length %ld, Rec # %d\n", body, number);
      reader_fatal();
    }
    printf("WARNING: dropped Rec # %d -- record size %ld over %d bytes\n", number, record_size,
           kBufferSize);
    *apid = 0;
    return finish();
  }
  if (gather(reader.fd, static_cast<size_t>(record_size)) != record_size) {
    printf("ERROR: Bad SFDU Length %ld, Rec # %d\n", body, number);
    reader_fatal();
  }
  const uint8_t *buffer = reader.block + reader.pos;
  reader.pos += static_cast<size_t>(record_size);

  long packet, length_field, prefill;
  int pkt_apid, flags, fill;
  bool fits;
  const uint8_t *p;
  int count;
  uint32_t secs;
  int subs;
  Framing &framing = reader.framing;
  char *at = log_room(hlc_log::Listing::kRoom);
  if (at != nullptr && framing.same(buffer, record_size)) {
    packet = framing.packet;
    length_field = framing.length_field;
    prefill = framing.prefill;
    pkt_apid = framing.apid;
    flags = framing.flags;
    fill = framing.fill;
    fits = framing.fits;
    p = buffer + packet;
    count = static_cast<int>(be16(p + 2) & 0x3FFF);
    secs = be32(p + 6);
    subs = p[10];
    log_commit(reader.listing.write_next(at, count, secs, subs, number) - at);
  } else {
    // Header blocks: three length-prefixed blocks from byte 24; block 3
    // holds the fill flag (body byte 0) and the size before fill (body
    // bytes 4-5).
    long block2 = -1, block3 = -1;
    if (record_size >= 28) {
      block2 = 28 + be16(buffer + 26);
      if (block2 + 4 <= record_size) {
        long b3 = block2 + 4 + be16(buffer + block2 + 2);
        if (b3 + 10 <= record_size) block3 = b3;
      }
    }
    if (block3 < 0) {
      printf("WARNING: dropped Rec # %d -- header blocks beyond the record\n", number);
      *apid = 0;
      return finish();
    }
    packet = 28 + static_cast<long>(be16(buffer + 22));
    if (packet + 11 > record_size) {
      printf("WARNING: dropped Rec # %d -- packet header beyond the record\n", number);
      *apid = 0;
      return finish();
    }

    p = buffer + packet;
    pkt_apid = static_cast<int>(be16(p) & 0x7FF);
    flags = static_cast<int>(p[2] >> 6);
    count = static_cast<int>(be16(p + 2) & 0x3FFF);
    length_field = be16(p + 4);
    secs = be32(p + 6);
    subs = p[10];
    fill = buffer[block3 + 4] >> 7;
    prefill = be16(buffer + block3 + 8);
    fits = length_field >= 4 && packet + 11 + (length_field - 4) <= record_size;

    if (at != nullptr) {
      log_commit(reader.listing.write(at, pkt_apid, flags, count, length_field - 4, secs, subs,
                                      number, record_size, packet, record_size - packet - 11, fill,
                                      prefill - 11) -
                 at);
    } else {
      const hlc_log::Line line =
          reader.listing.line(pkt_apid, flags, count, length_field - 4, secs, subs, number,
                              record_size, packet, record_size - packet - 11, fill, prefill - 11);
      log_text(line.data(), line.size());
    }
    framing = {true,
               record_size,
               raw16(buffer + 22),
               raw16(buffer + 26),
               raw16(buffer + block2 + 2),
               raw16(buffer + block3 + 8),
               static_cast<uint8_t>(buffer[block3 + 4] & 0x80),
               Framing::head_of(p),
               block2,
               block3,
               packet,
               length_field,
               prefill,
               pkt_apid,
               flags,
               fill,
               fits};
  }

  *sequence_flags = flags;
  if (fill) {
    printf("WARNING: dropped filled APID %2d @%10u:%03d. Orig size: %ld.\n", pkt_apid, secs, subs,
           prefill);
    *apid = 0;
    return finish();
  }
  const long size = length_field - 4;
  if (!fits) {
    printf("WARNING: dropped APID %2d @%10u:%03d -- packet length %ld does not fit Rec # %d\n",
           pkt_apid, secs, subs, length_field, number);
    *apid = 0;
    return finish();
  }
  *data = buffer + packet + 11;
  *apid = pkt_apid;
  *data_size = static_cast<int>(size);
  *seconds = secs;
  *subseconds = subs;
  *sequence_count = count;
  return finish();
}

// ---------------------------------------------------------------------------
// Decoders
// ---------------------------------------------------------------------------

namespace {

template <class T, size_t N>
constexpr int count(const T (&)[N]) {
  return static_cast<int>(N);
}

uint16 u16(const uint8_t *p) {
  return static_cast<uint16>(be16(p));
}

// A float32 taken bit for bit from four big-endian bytes, straight into its
// place in the record: the value is never loaded or converted, so NaN
// (signalling ones too), infinity and denormal patterns arrive unchanged.
void put_be_float(float32 *dest, const uint8_t *p) {
  const uint32_t bits = be32(p);
  memcpy(dest, &bits, sizeof bits);
}

// Sets the 16-bit members M... of r, in this order, from the big-endian
// words from p on.
template <auto... M, class R>
void put_words(R &r, const uint8_t *p) {
  size_t k = 0;
  ((r.*M = u16(p + 2 * k++)), ...);
}

// Sets the float32 members M... of r, in this order, bit for bit from the
// big-endian values from p on.
template <auto... M, class R>
void put_floats(R &r, const uint8_t *p) {
  size_t k = 0;
  (put_be_float(&(r.*M), p + 4 * k++), ...);
}

// Appends the record that `decode` makes of a record's bytes through its
// module, with the log line `wrote`; a failed write ends the run.
template <class R, size_t N>
void append(int32 (*write)(R, int32), R (*decode)(const uint8_t *), const uint8_t *data,
            const char *module, const char (&wrote)[N]) {
  if (write(decode(data), -1) == -1) {
    printf("ERROR: write_%s() failed\n", module);
    fatal_exit();
  }
  log_text(wrote, N - 1);
}

// The housekeeping records of GEM and GIM: time, status, start level and
// step size, then from byte 12 the readbacks of the voltage levels as (set,
// level) pairs, level by level, then seven words: CEM set and level, AMP
// set, the 5 V and 12 V monitors, software and command status.
template <class R>
void put_hk_record(R &r, const uint8_t *data) {
  r.sclk_seconds = be32(data);
  r.sclk_subseconds = u16(data + 4);
  r.APID_status = u16(data + 6);
  r.start_level = u16(data + 8);
  r.step_size = u16(data + 10);
  for (int j = 0; j < count(r.set); ++j) {
    r.set[j] = u16(data + 12 + 4 * j);
    r.level[j] = u16(data + 14 + 4 * j);
  }
  put_words<&R::CEM_set, &R::CEM_level, &R::AMP_set, &R::MON_5V, &R::MON_12V, &R::SW_status,
            &R::CMD_status>(r, data + 12 + 4 * count(r.set));
}

// The manual/calibration records of GEM and GIM: time, then five words
// (subseconds, status, step time, integration and settling times), then
// from byte 14 the counts, one byte each, CEM by CEM, level fastest.
template <class R>
void put_mancal_record(R &r, const uint8_t *data) {
  r.sclk_seconds = be32(data);
  put_words<&R::sclk_subseconds, &R::APID_status, &R::step_time, &R::integ_time, &R::settle_time>(
      r, data + 4);
  memcpy(r.counts, data + 14, sizeof r.counts);
}

// The first 54 + 2 x levels bytes of the GEM normal, GIM normal and GIM
// diagnostic records: the status word; the values of each of the four spins
// together in a 12-byte group from byte 2 (seconds, subseconds, step time,
// level, step size), which the record keeps as arrays over the spins; the
// integration and settling times; the ESA levels of the cycle.
template <class R>
void put_spin_record_head(R &r, const uint8_t *data) {
  r.APID_status = u16(data);
  for (int s = 0; s < count(r.sclk_seconds); ++s) {
    const uint8_t *b = data + 2 + 12 * s;
    r.sclk_seconds[s] = be32(b);
    r.sclk_subseconds[s] = u16(b + 4);
    r.step_time[s] = u16(b + 6);
    r.level[s] = u16(b + 8);
    r.step_size[s] = u16(b + 10);
  }
  r.integ_time = u16(data + 50);
  r.settle_time = u16(data + 52);
  for (int l = 0; l < count(r.ESA_level); ++l) r.ESA_level[l] = u16(data + 54 + 2 * l);
}

// The GEM and GIM raw records: time and subseconds in an 8-byte head (bytes
// 6-7 carry nothing), then one block per azimuth sector: start level, step
// size, step time and angle, then per voltage level its two readbacks and
// one count per CEM. The record keeps each value as an array over the
// sectors.
template <class R>
void put_raw_record(R &r, const uint8_t *data) {
  r.sclk_seconds = be32(data);
  r.sclk_subseconds = u16(data + 4);
  const int levels = count(r.ESA_set[0]);
  const int cems = count(r.counts[0][0]);
  const int group = 4 + 2 * cems;
  for (int a = 0; a < count(r.angle); ++a) {
    const uint8_t *b = data + 8 + (8 + group * levels) * a;
    r.start_req[a] = u16(b);
    r.step_size[a] = u16(b + 2);
    r.step_time[a] = u16(b + 4);
    r.angle[a] = u16(b + 6);
    for (int v = 0; v < levels; ++v) {
      const uint8_t *g = b + 8 + group * v;
      r.ESA_set[a][v] = u16(g);
      r.ESA_level[a][v] = u16(g + 2);
      for (int c = 0; c < cems; ++c) r.counts[a][v][c] = u16(g + 4 + 2 * c);
    }
  }
}

}  // namespace

// ---- GEM ------------------------------------------------------------------

// One 46-byte GEM housekeeping record: five voltage levels, so the seven
// words start at byte 32.
static GEM_Housekeeping gem_hk_record(const uint8_t *data) {
  GEM_Housekeeping r;
  memset(&r, 0, sizeof r);
  put_hk_record(r, data);
  return r;
}
void put_GEM_hk(const uint8_t *data) {
  append(write_gem_hk, gem_hk_record, data, "gem_hk", "      wrote GEM h/k record\n");
}

// One 50-byte GEM manual/calibration record: its 35 counts are bytes 14-48;
// byte 49 carries nothing.
static GEM_ManCal gem_mancal_record(const uint8_t *data) {
  GEM_ManCal r;
  memset(&r, 0, sizeof r);
  put_mancal_record(r, data);
  static_assert(sizeof r.counts == 35);
  return r;
}
void put_GEM_mancal(const uint8_t *data) {
  append(write_gem_mancal, gem_mancal_record, data, "gem_mancal",
         "      wrote GEM man/cal record\n");
}

// One 3454-byte GEM normal record: the spin head (20 ESA levels), then from
// byte 94 the counts, sector by sector, CEM by CEM, level fastest.
static GEM_Normal gem_normal_record(const uint8_t *data) {
  GEM_Normal r;
  memset(&r, 0, sizeof r);
  put_spin_record_head(r, data);
  static_assert(94 + sizeof r.counts == 3454);
  memcpy(r.counts, data + 94, sizeof r.counts);
  return r;
}
void put_GEM_normal(const uint8_t *data) {
  append(write_gem_normal, gem_normal_record, data, "gem_normal",
         "      wrote GEM normal record\n");
}

// One 2360-byte GEM raw record: 24 sector blocks of 98 bytes, each of five
// 18-byte level groups of two readbacks and seven counts.
static GEM_Raw gem_raw_record(const uint8_t *data) {
  static_assert(8 + 98 * GEM_AZIMUTH_SECTORS == 2360 && 8 + 18 * GEM_SPIN_LEVELS == 98);
  GEM_Raw r;
  memset(&r, 0, sizeof r);
  put_raw_record(r, data);
  return r;
}
void put_GEM_raw(const uint8_t *data) {
  append(write_gem_raw, gem_raw_record, data, "gem_raw", "      wrote GEM raw record\n");
}

// ---- GIM ------------------------------------------------------------------

// One 66-byte GIM housekeeping record: ten voltage levels, so the seven
// words start at byte 52.
static GIM_Housekeeping gim_hk_record(const uint8_t *data) {
  GIM_Housekeeping r;
  memset(&r, 0, sizeof r);
  put_hk_record(r, data);
  return r;
}
void put_GIM_hk(const uint8_t *data) {
  append(write_gim_hk, gim_hk_record, data, "gim_hk", "      wrote GIM h/k record\n");
}

// One 94-byte GIM manual/calibration record: eight CEMs of ten levels.
static GIM_ManCal gim_mancal_record(const uint8_t *data) {
  GIM_ManCal r;
  memset(&r, 0, sizeof r);
  put_mancal_record(r, data);
  static_assert(14 + sizeof r.counts == 94);
  return r;
}
void put_GIM_mancal(const uint8_t *data) {
  append(write_gim_mancal, gim_mancal_record, data, "gim_mancal",
         "      wrote GIM man/cal record\n");
}

// One 3336-byte GIM normal record: the spin head (40 ESA levels), the mask
// table (byte 134) and the peak sector (byte 135), then the counts, mask
// element by mask element, forty levels each.
static GIM_Normal gim_normal_record(const uint8_t *data) {
  GIM_Normal r;
  memset(&r, 0, sizeof r);
  put_spin_record_head(r, data);
  r.mask_table = data[134];
  r.peak_sector = data[135];
  static_assert(136 + sizeof r.counts == 3336);
  memcpy(r.counts, data + 136, sizeof r.counts);
  return r;
}
void put_GIM_normal(const uint8_t *data) {
  append(write_gim_normal, gim_normal_record, data, "gim_normal",
         "      wrote GIM normal record\n");
}

// ---- GIM raw and diagnostic -------------------------------------------------

// One 8328-byte GIM raw record: 40 sector blocks of 208 bytes, each of ten
// 20-byte level groups of two readbacks and eight counts.
static GIM_Raw gim_raw_record(const uint8_t *data) {
  static_assert(8 + 208 * GIM_AZIMUTH_SECTORS == 8328 && 8 + 20 * GIM_SPIN_LEVELS == 208);
  GIM_Raw r;
  memset(&r, 0, sizeof r);
  put_raw_record(r, data);
  return r;
}
void put_GIM_raw(const uint8_t *data) {
  append(write_gim_raw, gim_raw_record, data, "gim_raw", "      wrote GIM raw record\n");
}

// One 12934-byte GIM diagnostic record: the spin head (40 ESA levels), then
// from byte 134 the counts, one byte each, sector outermost, then CEM, then
// level.
static GIM_Diagnostic gim_diag_record(const uint8_t *data) {
  GIM_Diagnostic r;
  memset(&r, 0, sizeof r);
  put_spin_record_head(r, data);
  static_assert(134 + sizeof r.counts == 12934);
  memcpy(r.counts, data + 134, sizeof r.counts);
  return r;
}
void put_GIM_diag(const uint8_t *data) {
  append(write_gim_diag, gim_diag_record, data, "gim_diag", "      wrote GIM diagnostics record\n");
}

// ---- Concentrator -----------------------------------------------------------

// One 52-byte Concentrator housekeeping record: the time, then 24 words.
static Concentrator_Housekeeping con_hk_record_by_member(const uint8_t *data) {
  Concentrator_Housekeeping r;
  memset(&r, 0, sizeof r);
  using R = Concentrator_Housekeeping;
  r.sclk_seconds = be32(data);
  put_words<&R::sclk_subseconds, &R::APID_status, &R::elec_req, &R::accel_req, &R::rej_req,
            &R::elec_level, &R::accel_level, &R::rej_level, &R::elec_set, &R::accel_set,
            &R::rej_set, &R::MON_5V, &R::MON_12V, &R::elec_fault_count, &R::accel_fault_count,
            &R::rej_fault_count, &R::elec_maximum, &R::elec_minimum, &R::accel_maximum,
            &R::accel_minimum, &R::rej_maximum, &R::rej_minimum, &R::SW_status, &R::CMD_status>(
      r, data + 4);
  return r;
}

// The record's members lie as the packet's values do, in the order that
// con_hk_record_by_member gives, back to back: on a little-endian host the
// record is the packet's bytes with each value turned around, made in the
// pieces that passing it on reads (three of 16 bytes and one of 4). A piece
// read while smaller stores into it are still on their way waits for them
// all, which the member-by-member record makes it do on every record.
static_assert(offsetof(Concentrator_Housekeeping, sclk_seconds) == 0 &&
              offsetof(Concentrator_Housekeeping, sclk_subseconds) == 4 &&
              offsetof(Concentrator_Housekeeping, CMD_status) == 50 &&
              sizeof(Concentrator_Housekeeping) == 52);

// Sixteen big-endian bytes as eight 16-bit words of a little-endian host.
typedef uint16_t Words8 __attribute__((vector_size(16)));
inline Words8 turned_words(const uint8_t *p) {
  Words8 v;
  memcpy(&v, p, sizeof v);
  return (v << 8) | (v >> 8);
}

static Concentrator_Housekeeping con_hk_record(const uint8_t *data) {
  if constexpr (std::endian::native != std::endian::little) {
    return con_hk_record_by_member(data);
  } else {
    Concentrator_Housekeeping r;
    unsigned char *to = reinterpret_cast<unsigned char *>(&r);
    // The time's two words exchanged too make it one 32-bit value.
    const Words8 head = __builtin_shuffle(turned_words(data), Words8{1, 0, 2, 3, 4, 5, 6, 7});
    const Words8 middle = turned_words(data + 16), tail = turned_words(data + 32);
    memcpy(to, &head, 16);
    memcpy(to + 16, &middle, 16);
    memcpy(to + 32, &tail, 16);
    const uint32_t last = (uint32_t{u16(data + 50)} << 16) | u16(data + 48);
    memcpy(to + 48, &last, 4);
    return r;
  }
}
void put_CON_hk(const uint8_t *data) {
  append(write_con_hk, con_hk_record, data, "con_hk", "      wrote Concentrator h/k record\n");
}

// ---- MEC ------------------------------------------------------------------

// One 144-byte MEC/WIND housekeeping record, each value at its offset.
static MEC_Housekeeping mec_hk_record(const uint8_t *data) {
  MEC_Housekeeping r;
  memset(&r, 0, sizeof r);
  r.sclk_seconds = be32(data);
  r.sclk_subseconds = u16(data + 4);
  r.WIND_MEC_FLAGS = u16(data + 6);
  r.gim_peak_azim = data[8];
  r.gim_peak_CEM = data[9];
  r.bde_disqual_cnt = data[10];
  r.bde_azim_cnt = data[11];
  r.bde_polar_cnt = data[12];
  r.regime = data[13];
  r.WIND_REGIME_FLAGS = u16(data + 14);
  // Bytes 16-103: 22 float32 values back to back.
  using R = MEC_Housekeeping;
  put_floats<&R::gim_deadtime, &R::gim_bg_level, &R::gem_deadtime, &R::gem_bg_level,
             &R::proton_density_curr, &R::proton_speed_curr, &R::proton_temp_curr,
             &R::proton_temp_exp_ratio_curr, &R::alpha_ratio_curr, &R::proton_density_av,
             &R::proton_speed_av, &R::proton_temp_av, &R::proton_temp_exp_ratio_av,
             &R::alpha_ratio_av, &R::BDE_av, &R::TO_CME, &R::V1_ave, &R::V2_ave, &R::N1_ave,
             &R::N2_ave, &R::T1_ave, &R::T2_ave>(r, data + 16);
  r.TIME_OF_SHOCK = be32(data + 104);
  r.TIME_OF_CME = be32(data + 108);
  put_be_float(&r.F1D_PROT_PEAK, data + 112);
  put_be_float(&r.F1D_MIN, data + 116);
  put_be_float(&r.F1D_HE_PEAK, data + 120);
  r.PROT_PEAK_LEVEL = u16(data + 124);
  r.PROT_ALPHA_MIN_LEVEL = u16(data + 126);
  r.ALPHA_PEAK_LEVEL = u16(data + 128);
  r.HIST_ENTRIES = u16(data + 130);
  put_be_float(&r.HIST_MAX_GAP, data + 132);
  put_be_float(&r.COUNT_PEAK, data + 136);
  r.extra_data = be32(data + 140);
  return r;
}
void put_MEC_hk(const uint8_t *data) {
  append(write_mec_hk, mec_hk_record, data, "mec_hk", "      wrote MEC/WIND h/k record\n");
}

// One 168-byte MEC/WIND F1D record: sclk_seconds at 0, sclk_subseconds at 4,
// two unused bytes (never read), then the 40 float32 values from byte 8.
static MEC_f1d mec_f1d_record(const uint8_t *data) {
  MEC_f1d r;
  memset(&r, 0, sizeof r);
  r.sclk_seconds = be32(data);
  r.sclk_subseconds = u16(data + 4);
  for (int i = 0; i < MEC_F1D_ELEMENTS; ++i) put_be_float(&r.f1d_ion_distr[i], data + 8 + 4 * i);
  return r;
}
void put_MEC_f1d(const uint8_t *data) {
  append(write_mec_f1d, mec_f1d_record, data, "mec_f1d", "      wrote MEC/WIND F1D record\n");
}

// ---------------------------------------------------------------------------
// Output file lifecycle
// ---------------------------------------------------------------------------

namespace {

struct OutputFiles {
  char work_name[1024] = "";
  const char *edr_path = "";
  // The work file as this run created it, open and locked from its
  // creation to the final rename.
  int lock_fd = -1;
  bool edr_open = false;
  bool text_open = false;
  int32 file_id = -1;
  int32 sd_id = -1;
  int32 an_id = -1;
  FILE *text = nullptr;
};
OutputFiles output;

}  // namespace

namespace {

// A run holds an exclusive lock (flock) on its work file from creating it to
// the final rename; the lock goes with the run's process. A work file
// whose lock nobody holds was left by a run that is no longer alive.

// True when `path` names the file open on `fd`.
bool names(const char *path, int fd) {
  struct stat open_file, named;
  return fstat(fd, &open_file) == 0 && lstat(path, &named) == 0 &&
         open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

enum class WorkFile { kAbsent, kHeld, kStale, kUnknown };

// What the work name holds. kStale: anything but a regular file (which no
// run creates; a symbolic link is never followed), with *locked -1, or a
// regular file that no live run holds, with *locked its descriptor, now
// locked by this run. kUnknown (errno set): it cannot be looked at.
WorkFile look_at_work_file(const char *path, int *locked) {
  *locked = -1;
  struct stat st;
  if (lstat(path, &st) != 0) return errno == ENOENT ? WorkFile::kAbsent : WorkFile::kUnknown;
  if (!S_ISREG(st.st_mode)) return WorkFile::kStale;
  const int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return WorkFile::kAbsent;
    return errno == ELOOP ? WorkFile::kStale : WorkFile::kUnknown;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return error == EWOULDBLOCK ? WorkFile::kHeld : WorkFile::kUnknown;
  }
  *locked = fd;
  return WorkFile::kStale;
}

[[noreturn]] void refuse_held_output() {
  printf("ERROR: Output file %s is being written by another run.\n", output.edr_path);
  fatal_exit();
}

// Refuses, before anything is read or created, a run whose output another
// live run is writing.
void refuse_output_held_at_start() {
  int locked;
  if (look_at_work_file(output.work_name, &locked) == WorkFile::kHeld) refuse_held_output();
  if (locked >= 0) close(locked);
}

// Creates the work file as a new regular file and locks it; returns its
// descriptor, or -1 with errno set. A stale work file is removed first
// (never written through: creating over a stale symbolic link would write
// into the file it names); one that a live run holds ends this run before
// it creates anything. Another run may take a file for stale in the moment
// between its creation and its lock; the lock is therefore waited for (the
// other run holds it only while it removes the file) and the work name
// checked again, and the creation tried anew if the file has gone.
int create_work_file() {
  const char *path = output.work_name;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
      while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
      }
      if (names(path, fd)) return fd;
      close(fd);
      continue;
    }
    if (errno != EEXIST) return -1;
    int stale;
    switch (look_at_work_file(path, &stale)) {
      case WorkFile::kAbsent:
        continue;
      case WorkFile::kHeld:
        refuse_held_output();
      case WorkFile::kUnknown:
        return -1;
      case WorkFile::kStale:
        break;
    }
    const bool removed =
        (stale >= 0 && !names(path, stale)) || unlink(path) == 0 || errno == ENOENT;
    const int error = errno;
    if (stale >= 0) close(stale);
    errno = error;
    if (!removed) return -1;
  }
  refuse_held_output();  // every attempt lost to other runs
}

}  // namespace

// Creates the HDF4 work file and starts the V, SD and AN interfaces on it.
// Returns only on success. HDF4 opens the work name that create_work_file
// has just created and truncates that same file.
void open_HDF_file(const char *work_name, int32 *file_id, int32 *sd_id, int32 *an_id) {
  output.lock_fd = create_work_file();
  *file_id = output.lock_fd >= 0 ? Hopen(work_name, DFACC_CREATE, 0) : -1;
  if (*file_id == -1) {
    printf("ERROR: Hopen failed\n");
    perror("Hopen(out)");
    fatal_exit();
  }
  if (Vstart(*file_id) != 0) {
    printf("ERROR: Vstart failed\n");
    fatal_exit();
  }
  *sd_id = SDstart(work_name, DFACC_RDWR);
  if (*sd_id == -1) {
    printf("ERROR: SDstart failed\n");
    fatal_exit();
  }
  // The program only appends, and writes every SDS record that it adds:
  // HDF4's fill values would be written first and overwritten at once.
  // SDsetfillmode returns the previous mode, never a failure here.
  SDsetfillmode(*sd_id, SD_NOFILL);
  *an_id = ANstart(*file_id);
  if (*an_id == -1) {
    printf("ERROR: ANstart failed\n");
    fatal_exit();
  }
}

namespace {

// The text is written through a second descriptor of the locked file.
void open_text_file() {
  output.lock_fd = create_work_file();
  const int fd = output.lock_fd >= 0 ? dup(output.lock_fd) : -1;
  output.text = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (output.text == nullptr) {
    if (fd >= 0) close(fd);
    printf("ERROR: Cannot open output file %s.\n", output.work_name);
    fatal_exit();
  }
  output.text_open = true;
  printf("opened %s\n", output.work_name);
}

// ---------------------------------------------------------------------------
// Packet dispatch and segment reassembly
// ---------------------------------------------------------------------------

struct SegmentReassembly {
  uint8_t data[kBufferSize];
  int size = 0;
  uint32_t first_seconds = 0;
  int first_subseconds = 0;
  int last_count = 0;
  bool complete = false;
  // A first segment came whose record was neither completed nor reported
  // as an orphan: at the end of the input it is reported.
  bool open = false;
};
SegmentReassembly reassembly[5];

// The packet the reader returned last.
struct Packet {
  int apid = 0;
  int flags = 0;
  int size = 0;
  uint32_t seconds = 0;
  int subseconds = 0;
  int count = 0;
};

// The products of the run's instrument by APID, looked up once per packet.
// A product is ready once its output and its table are open and its records
// come whole, one to a packet: such a packet is decoded at once.
struct Routes {
  static constexpr int kApids = 64;  // above every APID of the table
  const Product *by_apid[kApids] = {};
  bool ready[kApids] = {};

  explicit Routes(Unit unit) {
    for (const Product &p : kProducts) {
      if (p.unit == unit && p.apid < kApids) by_apid[p.apid] = &p;
    }
  }
  const Product *find(int apid) const {
    return apid >= 0 && apid < kApids ? by_apid[apid] : nullptr;
  }
};
constexpr bool every_apid_routed() {
  for (const Product &p : kProducts) {
    if (p.apid < 0 || p.apid >= Routes::kApids) return false;
  }
  return true;
}
static_assert(every_apid_routed());

// Whether each product's table has been created, by the product's place in
// kProducts.
bool table_opened[kNumProducts];

[[gnu::noinline]] void open_table_now(const Product &p) {
  bool &opened = table_opened[&p - kProducts];
  if (p.module->init_wr(output.file_id, output.sd_id, output.an_id, kVdataClass) == -1) {
    printf("ERROR: init_wr_%s failed\n", p.module->module);
    fatal_exit();
  }
  opened = true;
  printf("%s", p.initialized);
}

// Creates the product's table before its first record.
inline void open_table(const Product &p) {
  if (!table_opened[&p - kProducts]) open_table_now(p);
}

// The number of the product's records in the packet, when it holds a
// positive whole number of them; otherwise 0, and the packet is dropped with
// the product's warning.
int whole_records(const Product &p, const Packet &pkt) {
  const int n = pkt.size / p.record_size;
  if (pkt.size > 0 && n * p.record_size == pkt.size) return n;
  printf(p.drop, pkt.seconds, pkt.subseconds, pkt.size);
  return 0;
}

void handle_fixed(const Product &p, const Packet &pkt, const uint8_t *data) {
  const int n = whole_records(p, pkt);
  if (n == 0) return;
  open_table(p);
  for (int i = 0; i < n; ++i) p.decoder(data + i * p.record_size);
}

void handle_quats(const Product &p, const Packet &pkt, const uint8_t *data) {
  const int n = whole_records(p, pkt);
  for (int i = 0; i < n; ++i) {
    const uint8_t *rec = data + i * p.record_size;
    double whole;
    double fraction = modf(be_double(rec + 32), &whole);
    fprintf(output.text, "%010.0f:%03.0f %-16.10e %-16.10e %-16.10e %-16.10e\n", whole,
            fraction * 256, be_double(rec), be_double(rec + 8), be_double(rec + 16),
            be_double(rec + 24));
  }
}

bool appends_to(const SegmentReassembly &r, const Packet &pkt, bool by_count) {
  if (pkt.seconds != r.first_seconds || pkt.subseconds != r.first_subseconds) return false;
  return !by_count || pkt.count == r.last_count + 1 || pkt.count == 0;
}

// Appends a segment. The collected size grows by every appended segment,
// but bytes beyond the buffer are never stored: such a record can never
// reach its product's size, so the completion step drops it, and only a new
// first segment starts a clean record. (The size saturates instead of
// wrapping on files of billions of bytes of one record.)
void append(SegmentReassembly &r, const Packet &pkt, const uint8_t *data) {
  const size_t have = static_cast<size_t>(r.size);
  if (have < sizeof r.data) {
    const size_t room = sizeof r.data - have;
    const size_t size = static_cast<size_t>(pkt.size);
    memcpy(r.data + have, data, size < room ? size : room);
  }
  r.size = pkt.size > INT_MAX - r.size ? INT_MAX : r.size + pkt.size;
}

void handle_segment(const Product &p, const Packet &pkt, const uint8_t *data) {
  SegmentReassembly &r = reassembly[p.reassembly];
  const bool three_part = p.handling == kThreePart;
  switch (pkt.flags) {
    case 1:  // first: replaces whatever was being collected
      memcpy(r.data, data, static_cast<size_t>(pkt.size));
      r.size = pkt.size;
      r.first_seconds = pkt.seconds;
      r.first_subseconds = pkt.subseconds;
      r.last_count = pkt.count;
      r.open = true;
      break;
    case 0:  // middle
      if (!three_part) break;
      if (appends_to(r, pkt, true)) {
        append(r, pkt, data);
        r.last_count = pkt.count;
      } else {
        printf(p.orphan_middle, pkt.seconds, pkt.subseconds);
      }
      break;
    case 2:  // last: completes the record; the last count stays that of the
             // segment before it
      if (appends_to(r, pkt, three_part)) {
        append(r, pkt, data);
        r.complete = true;
        r.open = false;
        printf(p.accumulated, r.size);
      } else {
        printf(p.orphan_first, r.first_seconds, r.first_subseconds);
        printf(p.orphan_last, pkt.seconds, pkt.subseconds);
        r.open = false;
      }
      break;
    default:  // unsegmented packets carry no part of these records
      break;
  }
  if (r.complete) {
    if (r.size == p.record_size) {
      open_table(p);
      p.decoder(r.data);
    } else {
      printf(p.drop, pkt.seconds, pkt.subseconds, r.size);
    }
    r.complete = false;
  }
}

void dispatch(Routes &routes, const Packet &pkt, const uint8_t *data) {
  const Product *p = routes.find(pkt.apid);
  if (p == nullptr) return;
  if (routes.ready[pkt.apid] && pkt.size == p->record_size) {
    p->decoder(data);
    return;
  }
  if (p->handling == kQuats) {
    if (!output.text_open) open_text_file();
  } else if (!output.edr_open) {
    open_HDF_file(output.work_name, &output.file_id, &output.sd_id, &output.an_id);
    output.edr_open = true;
    printf("opened %s\n", output.work_name);
  }
  switch (p->handling) {
    case kFixed:
      handle_fixed(*p, pkt, data);
      routes.ready[pkt.apid] = table_opened[p - kProducts];
      break;
    case kTwoPart:
    case kThreePart:
      handle_segment(*p, pkt, data);
      break;
    case kQuats:
      handle_quats(*p, pkt, data);
      break;
  }
}

// The end of the input cuts every record still being collected: each is
// reported as an orphan first segment, with its first segment's time.
void report_cut_records() {
  for (const Product &p : kProducts) {
    if (p.reassembly == kNoReassembly) continue;
    SegmentReassembly &r = reassembly[p.reassembly];
    if (r.open) printf(p.orphan_first, r.first_seconds, r.first_subseconds);
    r.open = false;
  }
}

// A signal that came during the shutdown still ends the run, before the
// rename. The work name must still name the file this run created and
// wrote: a file put there by anyone else is never moved to the EDR path.
[[noreturn]] void rename_work_file(const char *edrf) {
  end_if_signalled();
  if (!names(output.work_name, output.lock_fd)) {
    printf("ERROR: Work file %s was removed or replaced during the run; %s was not changed.\n",
           output.work_name, edrf);
    fatal_exit();
  }
  if (rename(output.work_name, edrf) != 0) {
    printf("ERROR: Failed to rename temporary file.\n");
    fatal_exit();
  }
  printf("Program run completed successfully.\n");
  flush_log();
  exit(0);
}

[[noreturn]] void end_of_run(const char *edrf) {
  if (output.edr_open) {
    bool any = false;
    for (bool opened : table_opened) any = any || opened;
    if (!any) {
      printf("ERROR: Output EDR file is empty.\n");
      fatal_exit();
    }
    // The modules write records behind, a block at a time: what they still
    // keep is written first, and a block that cannot be written ends the
    // run as a failed record write does.
    for (int k = 0; k < kNumProducts; ++k) {
      if (table_opened[k] && kProducts[k].module->flush_wr() == -1) {
        printf("ERROR: write_%s() failed\n", kProducts[k].module->module);
        fatal_exit();
      }
    }
    for (int k = 0; k < kNumProducts; ++k) {
      if (table_opened[k]) kProducts[k].module->close_wr();
    }
    // The annotation interface is ended too, so that the file is closed with
    // no access left open on it.
    if (ANend(output.an_id) == -1) {
      printf("ERROR: ANend failed\n");
      fatal_exit();
    }
    if (SDend(output.sd_id) == -1) {
      printf("ERROR: SDend failed\n");
      fatal_exit();
    }
    if (Vend(output.file_id) == -1) {
      printf("ERROR: Vend failed\n");
      fatal_exit();
    }
    if (Hclose(output.file_id) == -1) {
      printf("ERROR: Hclose failed\n");
      fatal_exit();
    }
    rename_work_file(edrf);
  }
  if (output.text_open) {
    bool failed = ferror(output.text) != 0;
    if (fclose(output.text) != 0 || failed) {
      printf("ERROR: Failed to close output file %s.\n", output.work_name);
      fatal_exit();
    }
    rename_work_file(edrf);
  }
  printf("ERROR: Output EDR or text file was not created.\n");
  fatal_exit();
}

// Refuses a run whose TLM file is the output under another name (the same
// path, a link or another spelling): creating the work file would truncate
// the input, and the final rename would replace it.
void refuse_output_on_input(const char *tlmf, const char *path) {
  struct stat in, out;
  if (stat(tlmf, &in) != 0 || stat(path, &out) != 0) return;
  if (in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
    printf("ERROR: TLM file and output file %s are the same file.\n", path);
    fatal_exit();
  }
}

}  // namespace

int main(int argc, char **argv) {
  // A file-size limit reached while writing makes the write fail, to be
  // reported like any other failed write, instead of killing the run.
  signal(SIGXFSZ, SIG_IGN);
  catch_ending_signals();
  // The log is written in large pieces unless someone watches it; every
  // way the run ends writes it out, and so do every module error report and
  // the reader before it waits for input from a FIFO or a pipe.
  start_log();
  int inst = 0;
  int apid = 0;
  char tlmf[1024];
  char edrf[1024];
  parse_command_line(argc, argv, &inst, &apid, tlmf, edrf);
  printf("\n");
  printf("Command line:\n\n");
  printf("   inst = %i\n", inst);
  printf("   apid = %i\n", apid);
  printf("   tlmf = %s\n", tlmf);
  printf("   edrf = %s\n", edrf);
  printf("\n");
  // The work name, the EDR path followed by ".tmp"; the path is at most
  // kEdrPathMax characters, so it fits.
  const size_t edr_length = strlen(edrf);
  memcpy(output.work_name, edrf, edr_length);
  memcpy(output.work_name + edr_length, ".tmp", 5);
  output.edr_path = edrf;
  refuse_output_on_input(tlmf, output.work_name);
  refuse_output_on_input(tlmf, edrf);
  refuse_output_held_at_start();

  Routes routes(static_cast<Unit>(inst));
  Packet pkt;
  const uint8_t *data = nullptr;
  for (;;) {
    end_if_signalled();
    if (got_good_apid(tlmf, &pkt.apid, &pkt.flags, &pkt.size, &pkt.seconds, &pkt.subseconds,
                      &pkt.count, &data) == 0) {
      break;
    }
    if (apid != 0 && pkt.apid != apid) pkt.apid = 0;
    dispatch(routes, pkt, data);
  }
  report_cut_records();
  end_of_run(edrf);
}
