// Test harness: runs the real hlc_edr program and gives back what it printed.
#pragma once

#include <string>
#include <vector>

namespace harness {

struct Run {
  std::string out;  // standard output, whole
  std::string err;  // standard error, whole
  int status;       // exit status 0-255, or 1000 + signal number
};

// Runs hlc_edr with these arguments (program name excluded).
Run run_edr(const std::vector<std::string> &args);

// Runs any program with arguments (argv[0] included).
Run run(const std::vector<std::string> &argv);

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

// printf into a std::string.
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace harness
