#include "app/Options.h"

#include "app/CommandLine.h"
#include "app/ServiceOptions.h"
#include "base/Ascii.h"
#include "text/Defuse.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>

namespace od {

namespace {

constexpr int kMaxParallel = 64;
constexpr int kMaxBatch = 1000;
constexpr int kMaxRetry = 10;
// More silent orders than this in a row are not worth waiting for.
constexpr int kMaxGiveUpAfter = 100000;
// An hour: longer than any answer is worth waiting for, short of no bound.
constexpr int kMaxTimeoutSeconds = 3600;
// The help's first column: "  --database CONNECTION  " and the rows under it.
constexpr size_t kHelpNameColumns = 21;

// A number of decimal digits within [least, most].
bool ReadWholeNumber(std::string_view text, int least, int most, int& value) {
  if (text.empty() || text.size() > 9) return false;
  value = 0;
  for (const char c : text) {
    if (!IsDigit(c)) return false;
    value = value * 10 + (c - '0');
  }
  return value >= least && value <= most;
}

bool ValidPort(std::string_view port) {
  int value = 0;
  return port.size() <= 5 && ReadWholeNumber(port, 1, 65535, value);
}

// "option '--name' wants WHAT, not 'VALUE'".
std::string Wants(std::string_view name, const std::string& what, const std::string& value) {
  return "option '--" + std::string(name) + "' wants " + what + ", not '" + Defused(value) + "'";
}

std::optional<std::string> TakeDatabase(TStartup& startup, const std::string& value) {
  startup.Settings.DBName = value;
  return std::nullopt;
}

std::optional<std::string> TakeService(TStartup& startup, const std::string& value) {
  if (value.find("://") != std::string::npos) return TakeServiceUrl(startup, value);
  if (!ValidServiceHost(value)) return Wants("service", "HOST[:PORT]", WithoutCredentials(value));
  startup.Settings.ServiceHost = value;
  return std::nullopt;
}

std::optional<std::string> TakeUser(TStartup& startup, const std::string& value) {
  if (!ValidCredential(value)) return "option '--user' wants a name without blanks at its ends or control characters";
  startup.User = value;
  return std::nullopt;
}

std::optional<std::string> TakeDryRun(TStartup& startup, const std::string& /*value*/) {
  startup.Settings.DryRun = true;
  return std::nullopt;
}

std::optional<std::string> TakeOnlyMissing(TStartup& startup, const std::string& /*value*/) {
  // The statements are edited once every value is in (ReadCommandLine).
  startup.Settings.OnlyMissing = true;
  return std::nullopt;
}

// A whole number from `least` to `most` into `target`.
std::optional<std::string> TakeWholeNumber(std::string_view name, const std::string& value, int least, int most,
                                           int& target) {
  if (ReadWholeNumber(value, least, most, target)) return std::nullopt;
  return Wants(name, "a number from " + std::to_string(least) + " to " + std::to_string(most), value);
}

std::optional<std::string> TakeParallel(TStartup& startup, const std::string& value) {
  return TakeWholeNumber("parallel", value, 1, kMaxParallel, startup.Settings.Parallel);
}

std::optional<std::string> TakeBatch(TStartup& startup, const std::string& value) {
  return TakeWholeNumber("batch", value, 1, kMaxBatch, startup.Settings.Batch);
}

std::optional<std::string> TakeTimeout(TStartup& startup, const std::string& value) {
  int seconds = 0;
  if (!ReadWholeNumber(value, 1, kMaxTimeoutSeconds, seconds))
    return Wants("timeout", "seconds from 1 to " + std::to_string(kMaxTimeoutSeconds), value);
  startup.Settings.AnswerTimeout = seconds * 1000;
  return std::nullopt;
}

std::optional<std::string> TakeRetry(TStartup& startup, const std::string& value) {
  return TakeWholeNumber("retry", value, 0, kMaxRetry, startup.Settings.Retry);
}

std::optional<std::string> TakeGiveUpAfter(TStartup& startup, const std::string& value) {
  return TakeWholeNumber("give-up-after", value, 0, kMaxGiveUpAfter, startup.Settings.GiveUpAfter);
}

std::optional<std::string> TakeNoWindow(TStartup& startup, const std::string& /*value*/) {
  startup.NoWindow = true;
  return std::nullopt;
}

std::optional<std::string> TakeReport(TStartup& startup, const std::string& value) {
  // The file is emptied and written: never through a link, never another
  // user's file (a link planted in a shared folder would have the report
  // overwrite whatever it points at).
  struct stat info {};
  if (::lstat(value.c_str(), &info) == 0) {
    if (S_ISLNK(info.st_mode)) return "option '--report' wants a file, not the symbolic link '" + Defused(value) + "'";
    if (info.st_uid != ::geteuid())
      return "option '--report' wants a file of your own, not '" + Defused(value) + "' of another user";
  }
  startup.ReportFile = value;
  return std::nullopt;
}

std::optional<std::string> TakeConfig(TStartup& startup, const std::string& value) {
  // Read before the other values are taken (ReadCommandLine).
  startup.ConfigFile = value;
  return std::nullopt;
}

// --help wins over --version: its row comes first.
std::optional<std::string> TakeHelp(TStartup& startup, const std::string& /*value*/) {
  startup.Action = TStartup::TAction::Help;
  return std::nullopt;
}

std::optional<std::string> TakeVersion(TStartup& startup, const std::string& /*value*/) {
  if (startup.Action == TStartup::TAction::Run) startup.Action = TStartup::TAction::Version;
  return std::nullopt;
}

std::string BuiltInDatabase(const TRunSettings& builtIn) { return builtIn.DBName; }
std::string BuiltInService(const TRunSettings& builtIn) { return builtIn.ServiceHost; }

constexpr std::array kOptions{
    TOption{"database", "CONNECTION",
            "the database: a file path opens it with the embedded\n"
            "engine, HOST:PATH or HOST/PORT:PATH asks a server\n"
            "(built in: %s)",
            BuiltInDatabase, TakeDatabase},
    TOption{"service", "URL",
            "the order service: https://HOST[:PORT][/PREFIX],\n"
            "http://HOST[:PORT][/PREFIX] or HOST[:PORT] (plain\n"
            "http) (built in: %s)",
            BuiltInService, TakeService},
    TOption{"ca-file", "FILE",
            "trust only the certificates in FILE (PEM) for the\n"
            "service, not the system's trust store",
            nullptr, TakeCaFile},
    TOption{"proxy", "URL",
            "the proxy, [http://][USER:PASSWORD@]HOST[:PORT], in\n"
            "place of https_proxy, http_proxy and all_proxy",
            nullptr, TakeProxy},
    TOption{"noproxy", "LIST",
            "hosts reached without the proxy (comma list of host\n"
            "suffixes, addresses, or *), in place of no_proxy",
            nullptr, TakeNoProxy},
    TOption{"user", "NAME", "the database user (instead of ISC_USER)", nullptr, TakeUser},
    TOption{"dry-run", "", "do the whole run, then roll it back: nothing is saved", nullptr, TakeDryRun},
    TOption{"only-missing", "",
            "take only goods lines without a send date: a second run\n"
            "asks only the orders still missing theirs",
            nullptr, TakeOnlyMissing},
    TOption{"parallel", "N",
            "up to N requests to the order service at once (1 to 64;\n"
            "1 by default): for a service far away, 4 to 8; it puts\n"
            "up to N times the load on the service",
            nullptr, TakeParallel},
    TOption{"batch", "N",
            "send the UPDATEs of up to N goods lines to the database\n"
            "in one round trip (1 to 1000; 1 by default): for a\n"
            "database across a network, 256",
            nullptr, TakeBatch},
    TOption{"timeout", "SECONDS",
            "the longest wait for one answer of the service (by\n"
            "default 90 s a wait, two minutes a request)",
            nullptr, TakeTimeout},
    TOption{"retry", "N",
            "ask an order's request again up to N times (0 to 10;\n"
            "0 by default) when it failed in a way that may pass:\n"
            "refused, reset, timed out or cut short, a name lookup\n"
            "that failed for now, 408, 429, 500, 502, 503 or 504\n"
            "without a date; never an answer the service meant",
            nullptr, TakeRetry},
    TOption{"give-up-after", "K",
            "ask no more orders after K orders in a row had no\n"
            "answer at all (10 by default; 0: never give up)",
            nullptr, TakeGiveUpAfter},
    TOption{"no-window", "",
            "run in the terminal, without a window or a display:\n"
            "a progress line when standard error is a terminal,\n"
            "the final message on standard output",
            nullptr, TakeNoWindow},
    TOption{"report", "FILE",
            "write the report to FILE too, in UTF-8 (a new file:\n"
            "one that is there is emptied first)",
            nullptr, TakeReport},
    TOption{"config", "FILE",
            "read the settings from FILE alone, instead of the\n"
            "user's and the system's settings files (below)",
            nullptr, TakeConfig},
    TOption{"help", "", "print this help and exit", nullptr, TakeHelp},
    TOption{"version", "", "print the version and exit", nullptr, TakeVersion},
};

// One row of the help: the name and value form, then the help's lines in
// the second column.
std::string HelpRow(const TOption& option, const TRunSettings& builtIn) {
  std::string help(option.Help);
  if (option.BuiltIn != nullptr) {
    const size_t mark = help.find("%s");
    if (mark != std::string::npos) help.replace(mark, 2, option.BuiltIn(builtIn));
  }
  std::string left = "--" + std::string(option.Name);
  if (option.TakesValue()) left += " " + std::string(option.ValueForm);
  left.resize(std::max(left.size(), kHelpNameColumns), ' ');
  std::string row;
  size_t start = 0;
  while (start <= help.size()) {
    size_t end = help.find('\n', start);
    if (end == std::string::npos) end = help.size();
    row +=
        "  " + (start == 0 ? left : std::string(kHelpNameColumns, ' ')) + "  " + help.substr(start, end - start) + "\n";
    start = end + 1;
  }
  return row;
}

} // namespace

// HOST[:PORT], the host a name, an IPv4 address or a bracketed IPv6 address:
// the value becomes the authority of every request's URL, so nothing that
// could change the URL's meaning (a path, a user part, blanks) gets through.
bool ValidServiceHost(std::string_view value) {
  std::string_view host = value;
  std::string_view port;
  bool hasPort = false;
  if (!value.empty() && value.front() == '[') {
    const size_t close = value.find(']');
    if (close == std::string_view::npos || close < 3) return false;
    for (const char c : value.substr(1, close - 1))
      if (!IsHexDigit(c) && c != ':' && c != '.') return false;
    host = value.substr(0, close + 1);
    if (close + 1 < value.size()) {
      if (value[close + 1] != ':') return false;
      port = value.substr(close + 2);
      hasPort = true;
    }
  } else {
    const size_t colon = value.find(':');
    if (colon != std::string_view::npos) {
      host = value.substr(0, colon);
      port = value.substr(colon + 1);
      hasPort = true;
    }
    if (host.empty()) return false;
    for (const char c : host)
      if (!IsAlnum(c) && c != '.' && c != '-' && c != '_') return false;
  }
  return !hasPort || ValidPort(port);
}

std::span<const TOption> Options() { return kOptions; }

const TOption* FindOption(std::string_view name) {
  if (name.substr(0, 2) != "--") return nullptr;
  for (const TOption& option : kOptions)
    if (option.Name == name.substr(2)) return &option;
  return nullptr;
}

std::string OptionsHelp(const TRunSettings& builtIn) {
  std::string help;
  for (const TOption& option : kOptions) help += HelpRow(option, builtIn);
  return help;
}

bool ValidCredential(std::string_view value) {
  if (value.empty() || IsBlankOrControl(value.front()) || IsBlankOrControl(value.back())) return false;
  for (const char c : value)
    if (static_cast<unsigned char>(c) < 0x20) return false;
  return true;
}

} // namespace od
