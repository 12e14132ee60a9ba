#include "harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace harness {

Run run(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
  char out_name[] = "/tmp/hlc_out_XXXXXX";
  char err_name[] = "/tmp/hlc_err_XXXXXX";
  int out_fd = mkstemp(out_name);
  int err_fd = mkstemp(err_name);
  if (out_fd < 0 || err_fd < 0) throw std::runtime_error("mkstemp failed");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    for (const std::string &e : env) putenv(const_cast<char *>(e.c_str()));
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int wstatus = 0;
  struct rusage usage {};
  wait4(pid, &wstatus, 0, &usage);
  close(out_fd);
  close(err_fd);
  Run r{slurp(out_name), slurp(err_name), 0, usage.ru_maxrss};
  unlink(out_name);
  unlink(err_name);
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 1000 + WTERMSIG(wstatus);
  return r;
}

Run run_edr(const std::vector<std::string> &args, const std::vector<std::string> &env) {
  std::vector<std::string> argv{HLC_EDR_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv, env);
}

TempDir::TempDir() {
  char name[] = "/tmp/hlc_test_XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = name;
}

TempDir::~TempDir() {
  std::error_code ec;
  // Directories made read-only by a test are made writable again first.
  for (auto &e : std::filesystem::recursive_directory_iterator(path_, ec)) {
    if (e.is_directory(ec)) chmod(e.path().c_str(), 0700);
  }
  chmod(path_.c_str(), 0700);
  std::filesystem::remove_all(path_, ec);
}

std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool exists(const std::string &path) {
  return std::filesystem::exists(path);
}

void write_file(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

std::string format(const char *fmt, ...) {
  char buf[4096];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

std::string echo(int inst, int apid, const std::string &tlm, const std::string &edr) {
  return format("\nCommand line:\n\n   inst = %d\n   apid = %d\n   tlmf = %s\n   edrf = %s\n\n",
                inst, apid, tlm.c_str(), edr.c_str());
}

std::string listing(int apid, int flags, int count, int size, unsigned seconds, int subseconds,
                    int recno, int record_size, int offset, int fill, int prefill) {
  return format("%2d %1d %6d %4d %10u:%03d (%d/%d/%d/%d) (fill:%d/%d)\n", apid, flags, count, size,
                seconds, subseconds, recno, record_size, offset, record_size - offset - 11, fill,
                prefill - 11);
}

tlm::Packet packet(uint16_t apid, uint8_t flags, uint16_t count, uint32_t seconds,
                   uint8_t subseconds, size_t size, uint8_t ramp_start) {
  tlm::Packet p;
  p.apid = apid;
  p.flags = flags;
  p.count = count;
  p.seconds = seconds;
  p.subseconds = subseconds;
  p.data = tlm::ramp(size, ramp_start);
  return p;
}

std::vector<std::string> reports(const std::string &err) {
  std::vector<std::string> out;
  for (size_t p = err.find("\nERROR in  "); p != std::string::npos;
       p = err.find("\nERROR in  ", p + 1)) {
    out.push_back(err.substr(p + 1, err.find('\n', p + 1) - p - 1));
  }
  return out;
}

Script::Script(const TempDir &dir, const std::string &name, int inst, const std::string &kind,
               int apid)
    : edr(dir / (name + ".hdf")),
      tlm_(dir / (name + ".tlm")),
      inst_(inst),
      apid_(apid),
      kind_(kind) {}

Script &Script::add(const tlm::Packet &p) {
  builder_.add(p);
  const int size = static_cast<int>(p.data.size());
  body_ += listing(p.apid, p.flags, p.count, size, p.seconds, p.subseconds, ++records_,
                   kOverhead + size, kOffset, p.fill ? 1 : 0, p.prefill_size.value_or(11 + size));
  bytes_ += kOverhead + size;
  return *this;
}

Script &Script::add(uint16_t apid, uint8_t flags, uint16_t count, uint32_t seconds,
                    uint8_t subseconds, size_t size) {
  return add(packet(apid, flags, count, seconds, subseconds, size, static_cast<uint8_t>(count)));
}

Script &Script::say(const std::string &text) {
  body_ += text;
  return *this;
}

std::string Script::text() const {
  return echo(inst_, apid_, tlm_, edr) + body_;
}

std::string Script::expected(const std::string &last) const {
  return text() + format("Accumulated processed byte count: %ld\n", bytes_) + last;
}

std::vector<std::string> Script::args() const {
  std::vector<std::string> args{"-inst", kInstWords[inst_]};
  if (!kind_.empty()) args.insert(args.end(), {"-apid", kind_});
  args.insert(args.end(), {"-tlm", tlm_, "-edr", edr});
  return args;
}

Run Script::run() const {
  builder_.write(tlm_);
  return run_edr(args());
}

Background::Background(const std::vector<std::string> &args, const std::vector<int> &ignored)
    : Background(Command{[&] {
                           std::vector<std::string> argv{HLC_EDR_PROGRAM};
                           argv.insert(argv.end(), args.begin(), args.end());
                           return argv;
                         }(),
                         {}},
                 ignored) {}

Background::Background(const Command &command, const std::vector<int> &ignored) {
  char err_name[] = "/tmp/hlc_err_XXXXXX";
  const int err_fd = mkstemp(err_name);
  int out[2];
  if (err_fd < 0 || pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("mkstemp or pipe failed");
  err_name_ = err_name;
  std::vector<char *> c_args;
  for (const std::string &a : command.argv) c_args.push_back(const_cast<char *>(a.c_str()));
  c_args.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    dup2(out[1], 1);
    dup2(err_fd, 2);
    for (int number : {SIGINT, SIGTERM, SIGHUP}) ::signal(number, SIG_DFL);
    for (int number : ignored) ::signal(number, SIG_IGN);
    for (const std::string &e : command.env) putenv(const_cast<char *>(e.c_str()));
    execv(c_args[0], c_args.data());
    _exit(127);
  }
  ::close(out[1]);
  ::close(err_fd);
  out_fd_ = out[0];
}

Background::~Background() {
  if (!ended_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  ::close(out_fd_);
  unlink(err_name_.c_str());
}

bool Background::read_more() {
  pollfd p{out_fd_, POLLIN, 0};
  if (poll(&p, 1, 60000) == 0) {
    ADD_FAILURE() << "no output for a minute; so far:\n" << out_;
    kill(pid_, SIGKILL);
    return false;
  }
  char buf[4096];
  const ssize_t n = read(out_fd_, buf, sizeof buf);
  if (n <= 0) return false;
  out_.append(buf, static_cast<size_t>(n));
  return true;
}

const std::string &Background::read_until(const std::string &expected) {
  while (out_.size() < expected.size() && read_more()) {
  }
  return out_;
}

void Background::signal(int number) {
  kill(pid_, number);
}

Run Background::finish() {
  while (read_more()) {
  }
  int wstatus = 0;
  struct rusage usage {};
  wait4(pid_, &wstatus, 0, &usage);
  ended_ = true;
  Run r{out_, slurp(err_name_), 0, usage.ru_maxrss};
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 1000 + WTERMSIG(wstatus);
  return r;
}

Fifo::Fifo(const std::string &path) {
  if (mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
  fd_ = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error("cannot open the FIFO");
}

void Fifo::write(const std::vector<uint8_t> &bytes, size_t from, size_t to) {
  while (from < to) {
    const ssize_t n = ::write(fd_, bytes.data() + from, to - from);
    if (n <= 0) throw std::runtime_error("cannot write to the FIFO");
    from += static_cast<size_t>(n);
  }
}

void Fifo::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace harness
