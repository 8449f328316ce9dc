#include "app/SettingsFile.h"

#include "app/Options.h"
#include "base/Ascii.h"
#include "text/Defuse.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace od {

namespace {

// A settings file is a screenful of lines; anything larger is not one.
constexpr size_t kMaxSettingsBytes = 64 * 1024;

// Options that act on the program itself, not on a run: a file that held
// them would stop every start of the program at the help.
constexpr std::array<std::string_view, 3> kNotSettings{"help", "version", "config"};

constexpr char kPassword[] = "password";

const TOption* SettingNamed(std::string_view name) {
  for (const std::string_view notSetting : kNotSettings)
    if (name == notSetting) return nullptr;
  return FindOption("--" + std::string(name));
}

// The whole file, or the refusal's words. A file that is not there is
// `missing`, with no words.
std::optional<std::string> ReadWhole(const std::string& path, std::string& text, struct stat& info, bool& missing) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    missing = errno == ENOENT || errno == ENOTDIR;
    return std::string("cannot be read: ") + std::strerror(errno);
  }
  std::optional<std::string> refusal;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    refusal = "is not a file";
  } else {
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() <= kMaxSettingsBytes)
      text.append(buffer, static_cast<size_t>(got));
    if (got < 0) refusal = std::string("cannot be read: ") + std::strerror(errno);
    if (text.size() > kMaxSettingsBytes)
      refusal = "is larger than " + std::to_string(kMaxSettingsBytes / 1024) + " KiB: not a settings file";
  }
  ::close(fd);
  return refusal;
}

// A password may stand only where nobody but its owner reads it: the
// user's own file, closed to the group and to others.
bool PrivateFile(const struct stat& info) { return info.st_uid == ::geteuid() && (info.st_mode & 077) == 0; }

// One line that is not blank and not a comment; the refusal's words when it
// cannot be taken.
std::optional<std::string> TakeLine(std::string_view line, const std::string& where, const struct stat& info,
                                    TSettingsFileRead& read) {
  const size_t equals = line.find('=');
  if (equals == std::string_view::npos) return "wants 'name = value', not '" + Defused(line) + "'";
  const std::string name(TrimView(line.substr(0, equals)));
  const std::string value(TrimView(line.substr(equals + 1)));
  if (value.empty()) return "'" + Defused(name) + "' needs a value";
  if (name == kPassword) {
    if (!PrivateFile(info))
      return "a password is taken only from a file of your own that others cannot read (chmod 600 the file)";
    if (read.Password) return "'password' given twice";
    read.Password = value;
    return std::nullopt;
  }
  const TOption* option = SettingNamed(name);
  if (option == nullptr) return "unknown setting '" + Defused(name) + "'";
  for (const TSetting& earlier : read.Settings)
    if (earlier.Option == option) return "'" + name + "' given twice";
  std::string taken = value;
  if (!option->TakesValue()) {
    if (value != "yes" && value != "no") return "'" + name + "' wants yes or no, not '" + Defused(value) + "'";
    if (value == "no") taken.clear();
  }
  read.Settings.push_back({option, std::move(taken), where});
  return std::nullopt;
}

} // namespace

std::string UserSettingsFile(const char* configHome, const char* home) {
  if (configHome != nullptr && configHome[0] == '/') return std::string(configHome) + "/orderdates/orderdates.conf";
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.config/orderdates/orderdates.conf";
  return {};
}

TSettingsFileRead ReadSettingsFile(const std::string& path, bool required) {
  TSettingsFileRead read;
  std::string text;
  struct stat info {};
  bool missing = false;
  if (std::optional<std::string> refusal = ReadWhole(path, text, info, missing)) {
    if (!missing || required) read.Refusal = Defused(path) + ": " + *refusal;
    return read;
  }
  read.Read = true;
  int number = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view line = TrimView(std::string_view(text).substr(start, end - start));
    start = end + 1;
    ++number;
    if (line.empty() || line.front() == '#') continue;
    const std::string where = Defused(path) + ":" + std::to_string(number);
    if (std::optional<std::string> refusal = TakeLine(line, where, info, read)) {
      read.Refusal = where + ": " + *refusal;
      return read;
    }
  }
  return read;
}

} // namespace od
