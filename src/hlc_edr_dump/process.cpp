// hlc_edr_dump: process control. How a run ends with a message, and why a
// write failed (the output's failure, never the EDR's); the export's work
// file beside the output; and the reading process: started by fork, bounded
// in CPU time, ended with the dump and by its end signals (SIGINT, SIGTERM,
// SIGHUP), waited for, and its end told as what it means for the run.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <new>
#include <random>
#include <string>

#include "dump.h"
#include "edr.h"

namespace hlc_dump {

// ---- messages -----------------------------------------------------------------

void error_line(const std::string &message) {
  std::fflush(stdout);
  std::fprintf(stderr, "ERROR: %s\n", message.c_str());
  std::fflush(stderr);
}

void die(const std::string &message) {
  error_line(message);
  _exit(1);
}

std::string write_failure(int err) {
  if (err == 0) return "";
  std::string why = std::strerror(err);
  rlimit fsize{};
  if (err == EFBIG && getrlimit(RLIMIT_FSIZE, &fsize) == 0 && fsize.rlim_cur != RLIM_INFINITY) {
    why += " (the file size limit, RLIMIT_FSIZE, was reached)";
  }
  return why;
}

// ---- the export's work file -----------------------------------------------------

bool WorkFile::ours() const {
  struct stat named {
  }, made{};
  return fd >= 0 && lstat(name.c_str(), &named) == 0 && fstat(fd, &made) == 0 &&
         S_ISREG(named.st_mode) && named.st_dev == made.st_dev && named.st_ino == made.st_ino;
}

void WorkFile::discard() {
  if (ours()) unlink(name.c_str());
  if (fd >= 0) close(fd);
  fd = -1;
}

void WorkFile::commit(const std::string &out) {
  if (fsync(fd) != 0) {
    const std::string why = write_failure(errno);
    discard();
    die("cannot write " + out + ": " + why);
  }
  if (!ours())
    die("the work file " + name + " was replaced by another file; " + out + " is left as it was");
  if (std::rename(name.c_str(), out.c_str()) != 0) {
    const std::string why = std::strerror(errno);
    discard();
    die("cannot rename " + name + " to " + out + ": " + why);
  }
  close(fd);
  fd = -1;
}

namespace {

bool same_file(const std::string &a, const std::string &b) {
  struct stat sa {
  }, sb{};
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

WorkFile create_work_file(const std::string &out) {
  static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  WorkFile w;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string suffix;
    for (int k = 0; k < 6; ++k) suffix += kLetters[random() % (sizeof kLetters - 1)];
    w.name = out + "." + suffix + ".tmp";
    w.fd = open(w.name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (w.fd >= 0) return w;
    if (errno != EEXIST) break;
  }
  die("cannot create " + out + ": " + std::strerror(errno));
}

// ---- the reading process ----------------------------------------------------

// CPU seconds that reading a file may take: far more than any sound EDR
// needs, so that only a file on which the HDF4 library loops reaches it.
constexpr rlim_t kCpuSeconds = 60;
constexpr off_t kBytesPerCpuSecond = 1 << 20;

// The reading process's CPU time limit: soft (SIGXCPU) and hard (SIGKILL),
// under any lower limit that the dump itself runs with.
struct CpuLimit {
  rlim_t soft, hard;
};

CpuLimit cpu_limit(off_t size) {
  rlimit own{};
  getrlimit(RLIMIT_CPU, &own);
  CpuLimit l{kCpuSeconds + static_cast<rlim_t>(size / kBytesPerCpuSecond), 0};
  if (own.rlim_cur != RLIM_INFINITY) l.soft = std::min(l.soft, own.rlim_cur);
  if (own.rlim_max != RLIM_INFINITY)
    l.soft = std::min(l.soft, std::max<rlim_t>(own.rlim_max, 2) - 1);
  l.soft = std::max<rlim_t>(l.soft, 1);
  l.hard = own.rlim_max == RLIM_INFINITY ? l.soft + 5 : own.rlim_max;
  return l;
}

// The signals that end the dump: they end the reading process first.
constexpr int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP};
volatile sig_atomic_t g_signal = 0;
volatile sig_atomic_t g_reader = 0;  // the reading process while it runs

extern "C" void on_end_signal(int sig) {
  g_signal = sig;
  if (g_reader > 0) kill(static_cast<pid_t>(g_reader), SIGKILL);
}

// Blocked while the reading process starts and while it is reaped.
class EndSignals {
 public:
  EndSignals() {
    sigemptyset(&set_);
    for (int sig : kEndSignals) sigaddset(&set_, sig);
    sigprocmask(SIG_BLOCK, &set_, nullptr);
    for (size_t k = 0; k < std::size(kEndSignals); ++k) {
      sigaction(kEndSignals[k], nullptr, &old_[k]);
      if (old_[k].sa_handler == SIG_IGN) continue;  // as the caller wants
      struct sigaction sa {};
      sa.sa_handler = on_end_signal;
      sigemptyset(&sa.sa_mask);
      sa.sa_flags = 0;  // no SA_RESTART: the wait returns
      sigaction(kEndSignals[k], &sa, nullptr);
    }
  }
  void block() { sigprocmask(SIG_BLOCK, &set_, nullptr); }
  void unblock() { sigprocmask(SIG_UNBLOCK, &set_, nullptr); }
  // In the reading process: the dispositions the dump started with.
  void restore() {
    for (size_t k = 0; k < std::size(kEndSignals); ++k)
      sigaction(kEndSignals[k], &old_[k], nullptr);
    unblock();
  }

 private:
  sigset_t set_;
  struct sigaction old_[std::size(kEndSignals)];
};

// The reading process ends with the dump, even one ended by SIGKILL, and
// within its CPU time; it leaves no core file.
void become_reader(EndSignals &signals, pid_t dump, const CpuLimit &limit) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != dump) _exit(1);
  signals.restore();
  const rlimit cpu{limit.soft, limit.hard}, core{0, 0};
  setrlimit(RLIMIT_CPU, &cpu);
  setrlimit(RLIMIT_CORE, &core);
}

std::string signal_name(int sig) {
  const char *abbrev = sigabbrev_np(sig);
  return abbrev ? std::string("SIG") + abbrev : "signal " + std::to_string(sig);
}

// Waits for the reading process; its status.
int wait_for(EndSignals &signals, pid_t reader) {
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(reader), &info, WEXITED | WNOWAIT) == -1 &&
         errno == EINTR) {
  }
  signals.block();
  g_reader = 0;
  int status = 0;
  while (waitpid(reader, &status, 0) == -1 && errno == EINTR) {
  }
  signals.unblock();  // a signal that came meanwhile is taken now
  return status;
}

}  // namespace

struct ReadingProcess::State {
  State(const std::string &edr, off_t size, const std::string &netcdf)
      : edr(edr), netcdf(netcdf), size(size) {}
  std::string edr;
  std::string netcdf;  // empty: no export
  off_t size;
  EndSignals signals;
  WorkFile work;
  CpuLimit limit{};
  pid_t reader = -1;
};

ReadingProcess::ReadingProcess(const std::string &edr, const Input &input,
                               const std::string &netcdf) {
  // A write past the file size limit (ulimit -f) fails with EFBIG, reported
  // as the output's failure, instead of ending the writing process by
  // SIGXFSZ, which would read as a failure of the HDF4 library on the EDR.
  signal(SIGXFSZ, SIG_IGN);
  state_ = std::make_unique<State>(edr, input.size, netcdf);
  if (!netcdf.empty()) {
    if (same_file(netcdf, edr))
      die("the netCDF output " + netcdf + " would replace the EDR itself");
    state_->work = create_work_file(netcdf);
    // A failed write on the export's file is known here even when the
    // reading process does not live to report it: netCDF's clean-up after
    // a close that failed can end it by a signal.
    void *shared = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared != MAP_FAILED) share_netcdf_io_errno(new (shared) std::atomic<int>(0));
  }
}

ReadingProcess::~ReadingProcess() = default;

const WorkFile &ReadingProcess::work() const {
  return state_->work;
}

bool ReadingProcess::start() {
  State &s = *state_;
  s.limit = cpu_limit(s.size);
  std::fflush(stdout);
  const pid_t dump_pid = getpid();
  s.reader = fork();
  if (s.reader == 0) {
    become_reader(s.signals, dump_pid, s.limit);
    return true;
  }
  if (s.reader < 0) {
    const std::string why = std::strerror(errno);
    s.work.discard();
    die("cannot start the reading process: " + why);
  }
  g_reader = s.reader;
  s.signals.unblock();
  return false;
}

int ReadingProcess::wait() {
  State &s = *state_;
  const std::string &path = s.edr;
  const bool to_netcdf = !s.netcdf.empty();
  const int status = wait_for(s.signals, s.reader);

  if (g_signal != 0) {
    const int sig = g_signal;
    s.work.discard();
    error_line(path + ": interrupted by " + signal_name(sig));
    signal(sig, SIG_DFL);
    raise(sig);
    _exit(1);
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    if (to_netcdf) s.work.commit(s.netcdf);
    return 0;
  }
  s.work.discard();
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  // Ended by a signal after a write on the export's file failed: the
  // output's failure, not the EDR's.
  const int io_errno = to_netcdf ? netcdf_io_errno() : 0;
  if (io_errno != 0) die("cannot write " + s.netcdf + ": " + write_failure(io_errno));
  const int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  if (sig == SIGPIPE) {  // the reader went away: end as the child did
    signal(SIGPIPE, SIG_DFL);
    raise(SIGPIPE);
  }
  if (sig == SIGXCPU) {
    die(path + ": reading it took more than " + std::to_string(s.limit.soft) +
        " s of CPU time: the file is damaged");
  }
  if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP || sig == SIGKILL || sig == SIGQUIT) {
    die(path + ": reading it was ended by " + signal_name(sig));
  }
  die(path + ": the HDF4 library failed reading it (signal " + std::to_string(sig) +
      "): the file is damaged");
}

}  // namespace hlc_dump
