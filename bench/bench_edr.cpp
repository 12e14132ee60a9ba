// Whole-run benchmarks of hlc_edr on generated TLM files: wall time, bytes
// and records per second, and the peak resident memory of the program.
// Prints figures; checks nothing.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tlm_builder.h"

namespace {

struct Figures {
  double seconds;
  long peak_kib;
  int status;
};

Figures run(const std::vector<std::string> &args) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    std::vector<char *> argv;
    for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return {seconds, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

void report(const char *name, const std::string &tlm, size_t bytes, size_t records,
            const std::string &inst) {
  const std::string edr = tlm + ".out";
  Figures f = run({HLC_EDR_PROGRAM, "-inst", inst, "-tlm", tlm, "-edr", edr});
  std::printf(
      "%-34s %9zu bytes %7zu records %7.3f s %8.1f MB/s %9.0f rec/s  peak %6ld KiB  exit %d\n",
      name, bytes, records, f.seconds, bytes / f.seconds / 1e6, records / f.seconds, f.peak_kib,
      f.status);
  unlink(edr.c_str());
  unlink((edr + ".tmp").c_str());
}

// Writes a TLM file record by record, so that this process stays small and
// the children's peak memory is the program's own.
class TlmWriter {
 public:
  explicit TlmWriter(const std::string &path) : file_(std::fopen(path.c_str(), "wb")) {}
  ~TlmWriter() { std::fclose(file_); }
  void add(const tlm::Packet &p) {
    std::vector<uint8_t> rec = tlm::record(p);
    std::fwrite(rec.data(), 1, rec.size(), file_);
    bytes_ += rec.size();
  }
  size_t bytes() const { return bytes_; }

 private:
  std::FILE *file_;
  size_t bytes_ = 0;
};

}  // namespace

int main(int argc, char **argv) {
  const size_t packets = argc > 1 ? std::stoul(argv[1]) : 50000;
  char dir_template[] = "/tmp/hlc_bench_XXXXXX";
  const std::string dir = mkdtemp(dir_template);
  size_t bytes = 0;

  {  // Concentrator housekeeping: two records per packet, all written.
    TlmWriter w(dir + "/con.tlm");
    for (size_t i = 0; i < packets; ++i) {
      tlm::Packet p;
      p.apid = 25;
      p.count = static_cast<uint16_t>(i & 0x3FFF);
      p.seconds = static_cast<uint32_t>(1000000 + i);
      p.data = tlm::ramp(104, static_cast<uint8_t>(i));
      w.add(p);
    }
    bytes = w.bytes();
  }
  report("con hk (write 2 records/packet)", dir + "/con.tlm", bytes, 2 * packets, "con");

  {  // GEM normal segments reassembled (no table yet): the read and match path.
    TlmWriter w(dir + "/gem.tlm");
    for (size_t i = 0; i < packets; ++i) {
      tlm::Packet p;
      p.apid = 31;
      p.flags = (i % 2 == 0) ? 1 : 2;
      p.seconds = static_cast<uint32_t>(2000000 + i / 2);
      p.data = tlm::ramp(1727);
      w.add(p);
    }
    bytes = w.bytes();
  }
  report("gem normal (reassemble 2 segments)", dir + "/gem.tlm", bytes, packets / 2, "gem");

  {  // Quaternions to text.
    TlmWriter w(dir + "/acs.tlm");
    for (size_t i = 0; i < packets; ++i) {
      tlm::Packet p;
      p.apid = 27;
      p.seconds = static_cast<uint32_t>(3000000 + i);
      for (int r = 0; r < 3; ++r) {
        for (double v : {0.5, -0.5, 0.5, 0.5, 3000000.0 + i + r / 4.0}) {
          tlm::put_be_double(p.data, v);
        }
      }
      w.add(p);
    }
    bytes = w.bytes();
  }
  report("acs quaternions (3 lines/packet)", dir + "/acs.tlm", bytes, 3 * packets, "acs");

  for (const char *f : {"/con.tlm", "/gem.tlm", "/acs.tlm"}) unlink((dir + f).c_str());
  rmdir(dir.c_str());
  return 0;
}
