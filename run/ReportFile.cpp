#include "run/ReportFile.h"

#include "text/Defuse.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace od {

namespace {

constexpr char kPrefix[] = "orderdates: ";
// Runs that start within the same second get a number after the time; past
// this many the run goes without a file.
constexpr int kMaxSameSecond = 100;

// Each missing folder of `path`, created for this user alone: the report
// names orders and carries the database's messages.
bool MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

// A folder the report may go into: a real folder (not a link to one), the
// user's own, that no one else may write to (who could, could swap the file
// for a link to another, or read what it names). Empty when it is one; else
// why not.
std::string PrivateFolderFault(const std::string& folder) {
  struct stat info {};
  if (::lstat(folder.c_str(), &info) != 0) return std::strerror(errno);
  if (!S_ISDIR(info.st_mode)) return "it is not a folder";
  if (info.st_uid != ::geteuid()) return "it belongs to another user";
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return "others may write to it";
  return {};
}

std::string Absolute(const std::string& path) {
  if (!path.empty() && path.front() == '/') return path;
  char* cwd = ::getcwd(nullptr, 0);
  if (cwd == nullptr) return path;
  std::string absolute = std::string(cwd) + "/" + path;
  std::free(cwd);
  return absolute;
}

// Said on standard error as it comes, before anything else is drawn there;
// the system's words are in the locale's code set already.
void SayCannot(const char* what, const std::string& path, int error) {
  std::fprintf(stderr, "%scannot %s the report file '%s': %s; the report goes to standard error only\n", kPrefix, what,
               Defused(path).c_str(), std::strerror(error));
  std::fflush(stderr);
}

} // namespace

std::string ReportFolder(const char* stateHome, const char* home) {
  if (stateHome != nullptr && stateHome[0] == '/') return std::string(stateHome) + "/orderdates";
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/orderdates";
  return {};
}

std::string ReportFileName(std::time_t now) {
  std::tm local{};
  ::localtime_r(&now, &local);
  char name[64];
  std::strftime(name, sizeof name, "orderdates-%Y-%m-%dT%H-%M-%S.log", &local);
  return name;
}

TReportFile::~TReportFile() { Close(); }

void TReportFile::Close() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  path_.clear();
}

void TReportFile::Open(const std::string& named, std::time_t now) {
  Close();
  if (!named.empty()) {
    Create(Absolute(named), false);
    return;
  }
  if (::isatty(STDERR_FILENO) == 1) return;
  const std::string folder = ReportFolder(std::getenv("XDG_STATE_HOME"), std::getenv("HOME"));
  if (folder.empty()) {
    std::fprintf(stderr,
                 "%sno folder for the report file (neither XDG_STATE_HOME nor HOME is set); the report "
                 "goes to standard error only\n",
                 kPrefix);
    return;
  }
  const std::string name = ReportFileName(now);
  if (!MakeFolders(folder)) {
    SayCannot("create", folder + "/" + name, errno);
    return;
  }
  if (const std::string fault = PrivateFolderFault(folder); !fault.empty()) {
    std::fprintf(stderr, "%sthe report folder '%s' is not used: %s; the report goes to standard error only\n", kPrefix,
                 Defused(folder).c_str(), fault.c_str());
    std::fflush(stderr);
    return;
  }
  const std::string stem = folder + "/" + name.substr(0, name.size() - 4);
  for (int n = 1; n <= kMaxSameSecond && fd_ < 0; ++n) {
    const std::string path = stem + (n > 1 ? "-" + std::to_string(n) : std::string()) + ".log";
    Create(path, true);
    if (errno != EEXIST) break;
  }
}

void TReportFile::Create(const std::string& path, bool exclusive) {
  // For the user alone, and never through a link: the report names orders
  // and carries the database's messages.
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (exclusive ? O_EXCL : O_TRUNC);
  fd_ = ::open(path.c_str(), flags, 0600);
  // A file that was there is made as private as a new one.
  if (fd_ >= 0 && !exclusive) ::fchmod(fd_, 0600);
  if (fd_ >= 0) {
    path_ = path;
    errno = 0;
  } else if (!exclusive || errno != EEXIST) {
    const int error = errno;
    SayCannot("create", path, error);
    errno = error;
  }
}

void TReportFile::Attach(TRunReport& report, TRunReport::TSink viewSink) {
  report.SetListFile(path_);
  report.SetSink([this, &report, viewSink = std::move(viewSink)](const std::string& line) {
    viewSink(line);
    Write(line, report, viewSink);
  });
}

void TReportFile::Write(const std::string& line, TRunReport& report, const TRunReport::TSink& viewSink) {
  if (fd_ < 0) return;
  // The file is read on a terminal too (less, cat).
  const std::string text = Defused(line, TCodeSet::Utf8) + "\n";
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd_, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // A full disk: standard error has had every line, the file not all of
      // them; the final message points there instead.
      const std::string path = path_;
      const int error = n < 0 ? errno : ENOSPC;
      Close();
      report.SetListFile({});
      viewSink(std::string(kPrefix) + "cannot write the report file '" + path + "': " + std::strerror(error) +
               "; the report goes to standard error only");
      return;
    }
    written += static_cast<size_t>(n);
  }
}

} // namespace od
