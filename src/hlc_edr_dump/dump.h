// hlc_edr_dump: what the sources of the dump share besides the EDR itself
// (edr.h): how a run ends with a message, the commands that the reading
// process runs, the export's work file and the reading process. Like edr.h it
// needs no HDF4 or netCDF header.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "edr.h"

namespace hlc_dump {

// ---- messages (process.cpp) -------------------------------------------------

// An "ERROR: " line on standard error, after what standard output holds.
void error_line(const std::string &message);

// Ends the run at once: HDF4's own clean-up at exit is skipped, as it would
// walk the structures of a damaged file that the run gave up on.
[[noreturn]] void die(const std::string &message);

// Why a write failed, from its errno: the system's text, and for EFBIG under
// a file size limit (ulimit -f) that limit as the cause.
std::string write_failure(int err);

// ---- text output (text.cpp) -------------------------------------------------

// The readable products on standard output; then every damaged one, and a
// file without any product, end the run with a message.
void list(const Edr &edr);
// Every record of the product, as CSV (a header row first) or JSON Lines.
void dump(const Edr &edr, const Product &p, bool jsonl);
// The product's stored description text.
void describe(const Edr &edr, const Product &p);
// The module name of every product of the registry, one a line.
void print_products();

// ---- the reading process (process.cpp) --------------------------------------

// The netCDF export's work file: a name of its own beside the output, made
// by this run (exclusive creation, never through a link) and open on `fd`.
// It is renamed to the output only when complete, and removed otherwise,
// as long as that name still leads to the file this run made.
struct WorkFile {
  std::string name;
  int fd = -1;

  bool ours() const;
  void discard();
  // Moves the complete file to `out`, or ends the run with a message.
  void commit(const std::string &out);
};

// HDF4 trusts the sizes and places that a file's headers give, and a
// damaged file can make the library itself fail, or loop, in ways that no
// check ahead of it foresees. The file is therefore read in a process of its
// own, bounded in CPU time, whose end by a signal the dump reports as a
// damaged file. The dump's end signals (SIGINT, SIGTERM, SIGHUP) end the
// reading process first; the dump then ends by the same signal.
class ReadingProcess {
 public:
  // From here on an end signal is held until the reading process runs, so
  // that the dump never ends by one without removing its work file. For an
  // export (`netcdf` not empty) creates the work file beside the output.
  ReadingProcess(const std::string &edr, const Input &input, const std::string &netcdf);
  ~ReadingProcess();
  ReadingProcess(const ReadingProcess &) = delete;
  ReadingProcess &operator=(const ReadingProcess &) = delete;

  // Starts the reading process: true in it, which then reads the file and
  // returns from main; false in the dump.
  bool start();
  // The export's work file.
  const WorkFile &work() const;
  // In the dump: waits for the reading process, keeps the export when it
  // ended successfully, and ends the run as it ended; its exit status.
  int wait();

 private:
  struct State;  // its end signals, limits and work file
  std::unique_ptr<State> state_;
};

// ---- the netCDF-4 export (netcdf_export.cpp) --------------------------------

// What the export records of its own making.
struct ExportInfo {
  std::string edr;           // the EDR file, as named on the command line
  std::string source;        // the program and its version
  std::string history;       // the UTC time, the program and the command line
  std::string date_created;  // the UTC time, ISO 8601
  std::string epoch;         // the UTC reference time of --sclk-epoch, "" without
  bool flat = false;         // the one product at the root, no groups (--flat)
};

// Runs in the reading process: writes the export of every product (or of
// `only`) to the work file, which the dump renames to `out` once this
// process has ended successfully; a failure ends the run with a message.
void export_netcdf(const Edr &edr, const Product *only, const WorkFile &work,
                   const std::string &out, const ExportInfo &info);

// The errno of the first system call on the netCDF file that failed (a
// write on a full disk, ENOSPC, or past the file size limit, EFBIG), as the
// HDF5 library beneath netCDF records it where the call fails; 0 while none
// has. A failure of the writer after one is that failure's consequence.
int netcdf_io_errno();
// Keeps that errno at `where` (0 there) from now on: memory that the dump
// shares with the process that writes, so that it learns of the failure
// even when that process does not live to report it.
void share_netcdf_io_errno(std::atomic<int> *where);

}  // namespace hlc_dump
