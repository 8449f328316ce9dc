#pragma once

#include "run/RunReport.h"

#include <ctime>
#include <string>

namespace od {

// A copy of the run's report in a file, UTF-8, one report line per line,
// each written as soon as the report has it, so that the report is kept
// however the program was started (a menu entry, cron, a pipe) and a later
// run can be checked against the orders it names. A file that cannot be
// created or written is said once on standard error; the run goes on
// without it.
class TReportFile {
public:
  TReportFile() = default;
  ~TReportFile();
  TReportFile(const TReportFile&) = delete;
  TReportFile& operator=(const TReportFile&) = delete;

  // The file for this run: `named` (the --report option) is created, or
  // emptied when it is there. Without a name, and only when standard error
  // is not a terminal (where nobody reads the report as it comes), a new
  // file in the user's state folder (ReportFolder) named after `now` in
  // local time: orderdates-2026-12-09T02-30-00.log, with -2, -3, ...
  // before the extension when a run of the same second has that name.
  void Open(const std::string& named, std::time_t now);

  // The file's path (absolute), empty when there is none.
  const std::string& Path() const noexcept { return path_; }

  // The report's lines go to `viewSink` and to the file, and the report's
  // counts name the file as the place of the full list.
  void Attach(TRunReport& report, TRunReport::TSink viewSink);

private:
  void Create(const std::string& path, bool exclusive);
  void Write(const std::string& line, TRunReport& report, const TRunReport::TSink& viewSink);
  void Close() noexcept;

  int fd_ = -1;
  std::string path_;
};

// $XDG_STATE_HOME/orderdates, or ~/.local/state/orderdates when the
// variable is unset, empty or not an absolute path; empty when neither is
// known.
std::string ReportFolder(const char* stateHome, const char* home);

// The report file's name for a run started at `now` (local time).
std::string ReportFileName(std::time_t now);

} // namespace od
