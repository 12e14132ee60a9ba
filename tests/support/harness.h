// Test harness: runs the real hlc_edr program and gives back what it printed.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tlm_builder.h"

namespace harness {

struct Run {
  std::string out;  // standard output, whole
  std::string err;  // standard error, whole
  int status;       // exit status 0-255, or 1000 + signal number
  long peak_kib;    // peak resident memory of the program, KiB
};

// Runs hlc_edr with these arguments (program name excluded), with these
// "NAME=value" settings added to its environment.
Run run_edr(const std::vector<std::string> &args, const std::vector<std::string> &env = {});

// Runs any program with arguments (argv[0] included).
Run run(const std::vector<std::string> &argv, const std::vector<std::string> &env = {});

// A fresh directory, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string slurp(const std::string &path);
bool exists(const std::string &path);
void write_file(const std::string &path, const std::string &content);

// The configuration echo that every run prints after a good command line.
std::string echo(int inst, int apid, const std::string &tlm, const std::string &edr);

// The reader's listing line for one record.
std::string listing(int apid, int flags, int count, int size, unsigned seconds, int subseconds,
                    int recno, int record_size, int offset, int fill, int prefill);

// A packet of `size` bytes of user data, bytes (ramp_start + i) & 0xFF.
tlm::Packet packet(uint16_t apid, uint8_t flags, uint16_t count, uint32_t seconds,
                   uint8_t subseconds, size_t size, uint8_t ramp_start = 0);

// The "ERROR in  ..." lines of a record module's standard-error report, in order.
std::vector<std::string> reports(const std::string &err);

// Constants of the builder's default framing.
constexpr int kOffset = 60;    // packet offset in the record
constexpr int kOverhead = 71;  // record size minus user data size

// printf into a std::string.
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// The instrument words of the command line by instrument code 1-5.
inline const char *const kInstWords[] = {"", "gem", "gim", "con", "mec", "acs"};

// One run: its TLM file, built packet by packet, and the standard output
// expected from it, built alongside (each packet adds its listing line).
class Script {
 public:
  Script(const TempDir &dir, const std::string &name, int inst, const std::string &kind = "",
         int apid = 0);

  std::string edr;  // may be changed before any line that names it
  std::string tmp() const { return edr + ".tmp"; }
  const std::string &tlm() const { return tlm_; }

  Script &add(const tlm::Packet &p);
  // A packet of `size` ramp bytes starting at the count's low byte.
  Script &add(uint16_t apid, uint8_t flags, uint16_t count, uint32_t seconds, uint8_t subseconds,
              size_t size);
  Script &say(const std::string &text);
  Script &opened() { return say("opened " + tmp() + "\n"); }

  // The output up to the last packet, configuration echo included.
  std::string text() const;
  // The whole output of a run that reads to the end and then prints `last`.
  std::string expected(const std::string &last) const;

  Run run() const;
  // The command line of the run (program name excluded).
  std::vector<std::string> args() const;
  // The TLM file's bytes so far.
  const std::vector<uint8_t> &bytes() const { return builder_.bytes(); }

 private:
  std::string tlm_;
  int inst_;
  int apid_;
  std::string kind_;
  tlm::Builder builder_;
  std::string body_;
  int records_ = 0;
  long bytes_ = 0;
};

// A program to start: argv[0] is its path; env adds "NAME=value" settings.
struct Command {
  std::vector<std::string> argv;
  std::vector<std::string> env;
};

// A program started in the background, its standard output read through a
// pipe as the run goes (standard error goes to a file). SIGINT, SIGTERM and
// SIGHUP start at their default actions, as a shell starts a program. A run
// still going when the object goes is killed.
class Background {
 public:
  // hlc_edr with these arguments; `ignored`: signals set to be ignored in
  // the program from its start.
  explicit Background(const std::vector<std::string> &args, const std::vector<int> &ignored = {});
  explicit Background(const Command &command, const std::vector<int> &ignored = {});
  ~Background();
  Background(const Background &) = delete;
  Background &operator=(const Background &) = delete;

  // Reads standard output until it holds as many bytes as `expected` (or it
  // ends) and returns it whole.
  const std::string &read_until(const std::string &expected);
  void signal(int number);
  pid_t pid() const { return pid_; }
  // Reads standard output to its end and waits for the program.
  Run finish();

 private:
  // Reads what comes next; false at the end. A run that writes nothing for
  // a minute fails the test and is killed, so that it cannot hang it.
  bool read_more();
  int pid_ = -1;
  int out_fd_ = -1;
  std::string err_name_;
  std::string out_;
  bool ended_ = false;
};

// A FIFO under `path`, open for writing (and for reading, so that opening it
// never waits for the program): the test feeds it in parts.
class Fifo {
 public:
  explicit Fifo(const std::string &path);
  ~Fifo() { close(); }
  Fifo(const Fifo &) = delete;
  Fifo &operator=(const Fifo &) = delete;
  // Writes bytes [from, to) of `bytes`.
  void write(const std::vector<uint8_t> &bytes, size_t from, size_t to);
  // The end of the input.
  void close();

 private:
  int fd_ = -1;
};

}  // namespace harness
