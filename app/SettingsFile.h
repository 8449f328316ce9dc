#pragma once

#include <optional>
#include <string>
#include <vector>

namespace od {

struct TOption;

// The settings file every user of a shop's machine gets from the package.
inline constexpr char kSystemSettingsFile[] = "/etc/orderdates.conf";

// $XDG_CONFIG_HOME/orderdates/orderdates.conf, or
// ~/.config/orderdates/orderdates.conf when the variable is unset, empty or
// not an absolute path; empty when neither is known.
std::string UserSettingsFile(const char* configHome, const char* home);

// One `name = value` line of a settings file.
struct TSetting {
  // The option the name is the long name of.
  const TOption* Option = nullptr;
  // As written, blanks at its ends dropped; empty for a switch set to "no".
  std::string Value;
  // "FILE:LINE", for a refusal to point at.
  std::string Where;
};

// What one settings file says.
struct TSettingsFileRead {
  // The file was there and has been read.
  bool Read = false;
  std::vector<TSetting> Settings;
  // The `password` entry, honoured only in a file of the user's own that
  // nobody else can read.
  std::optional<std::string> Password;
  // Why the file cannot be taken: "FILE:LINE: ...", or "FILE: ..." for the
  // file as a whole.
  std::optional<std::string> Refusal;
};

// Reads the settings file at `path`: lines `name = value`, the names those
// of the long options that a file may hold (not help, version, config) and
// `password`; `#` starts a comment line; blank lines are skipped. A switch
// takes yes or no. A file that is not there is no fault unless `required`
// (the user named it with --config).
TSettingsFileRead ReadSettingsFile(const std::string& path, bool required);

} // namespace od
