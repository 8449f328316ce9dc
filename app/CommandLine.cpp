#include "app/CommandLine.h"

#include "app/Program.h"
#include "app/ReportFile.h"
#include "app/TerminalRun.h"
#include "base/Ascii.h"
#include "base/StopSignals.h"
#include "db/Database.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include <QtGlobal>
#include <string_view>

#ifndef ORDERDATES_VERSION
#error "ORDERDATES_VERSION must be defined by the build"
#endif

namespace od {

namespace {

constexpr char kProgram[] = "orderdates";
constexpr int kMaxParallel = 64;
// An hour: longer than any answer is worth waiting for, short of no bound.
constexpr int kMaxTimeoutSeconds = 3600;

// A value echoed back to the terminal: control bytes (an escape sequence in a
// mistyped argument) are shown, not obeyed.
std::string Shown(std::string_view text) {
  std::string shown;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      shown += escaped;
    } else {
      shown += c;
    }
  }
  return shown;
}

std::string Refusal(const std::string& what) {
  return std::string(kProgram) + ": " + what + " (see '" + kProgram + " --help')";
}

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

// A parameter line of the connection is trimmed and ends at a line break:
// a credential with such bytes would silently become another one.
bool ValidCredential(std::string_view value) {
  if (value.empty() || IsBlankOrControl(value.front()) || IsBlankOrControl(value.back())) return false;
  for (const char c : value)
    if (static_cast<unsigned char>(c) < 0x20) return false;
  return true;
}

bool HasName(const std::string& line, std::string_view name) {
  const std::string_view text = TrimView(line);
  const size_t equals = text.find('=');
  return EqualsIgnoreCaseAscii(TrimView(text.substr(0, equals)), name);
}

// Replaces the parameter `name` in the connection's lines, or adds it.
void SetParameter(std::vector<std::string>& lines, std::string_view name, const std::string& value) {
  for (std::string& line : lines) {
    if (HasName(line, name)) {
      line = std::string(name) + "=" + value;
      return;
    }
  }
  lines.push_back(std::string(name) + "=" + value);
}

void RemoveParameter(std::vector<std::string>& lines, std::string_view name) {
  std::erase_if(lines, [name](const std::string& line) { return HasName(line, name); });
}

// Whether the environment names a display the toolkit can try: an X or
// Wayland one, or a platform chosen outright (offscreen, say).
bool DisplayNamed() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return true;
  }
  return false;
}

std::string NoDisplayText(const std::string& why) {
  return std::string(kProgram) + ": no display to show the window on (" + why + "); --no-window runs without one";
}

// While the toolkit starts: a display it cannot use ends the program with
// one line that says what to do, not with the toolkit's abort and its advice
// to reinstall. What else the toolkit says meanwhile is passed on once it
// has started.
class TToolkitStartGuard {
public:
  TToolkitStartGuard() { previous_ = qInstallMessageHandler(&TToolkitStartGuard::Handle); }
  ~TToolkitStartGuard() {
    qInstallMessageHandler(previous_);
    for (const THeld& held : held_) {
      const QMessageLogContext context;
      if (previous_ != nullptr)
        previous_(held.Type, context, held.Text);
      else
        std::fprintf(stderr, "%s\n", held.Text.toLocal8Bit().constData());
    }
    held_.clear();
  }
  TToolkitStartGuard(const TToolkitStartGuard&) = delete;
  TToolkitStartGuard& operator=(const TToolkitStartGuard&) = delete;

private:
  struct THeld {
    QtMsgType Type;
    QString Text;
  };

  static void Handle(QtMsgType type, const QMessageLogContext& /*context*/, const QString& text) {
    if (type != QtFatalMsg) {
      held_.push_back({type, text});
      return;
    }
    const char* display = std::getenv("WAYLAND_DISPLAY");
    if (display == nullptr || *display == '\0') display = std::getenv("DISPLAY");
    const std::string why = display != nullptr && *display != '\0' ? "cannot connect to '" + Shown(display) + "'"
                                                                   : std::string("the toolkit's platform cannot start");
    std::fprintf(stderr, "%s\n", NoDisplayText(why).c_str());
    std::fflush(stderr);
    // Nothing has been opened yet; no exit handler has anything to do.
    std::_Exit(kExitStartupFailed);
  }

  static inline QtMessageHandler previous_ = nullptr;
  static inline std::vector<THeld> held_;
};

// What the arguments say, before any value is judged.
struct TArguments {
  std::optional<std::string> Database;
  std::optional<std::string> Service;
  std::optional<std::string> User;
  std::optional<std::string> Parallel;
  std::optional<std::string> Timeout;
  std::optional<std::string> Report;
  bool DryRun = false;
  bool NoWindow = false;
  bool Help = false;
  bool Version = false;
};

// Sorts the arguments into `found`; the refusal's words when one cannot be
// taken.
std::optional<std::string> ScanArguments(const std::vector<std::string>& args, TArguments& found) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string name = arg;
    std::optional<std::string> inlineValue;
    if (arg.rfind("--", 0) == 0) {
      const size_t equals = arg.find('=');
      if (equals != std::string::npos) {
        name = arg.substr(0, equals);
        inlineValue = arg.substr(equals + 1);
      }
    }
    std::optional<std::string>* target = name == "--database"   ? &found.Database
                                         : name == "--service"  ? &found.Service
                                         : name == "--user"     ? &found.User
                                         : name == "--parallel" ? &found.Parallel
                                         : name == "--timeout"  ? &found.Timeout
                                         : name == "--report"   ? &found.Report
                                                                : nullptr;
    if (target != nullptr) {
      std::string value;
      if (inlineValue)
        value = *inlineValue;
      else if (i + 1 < args.size())
        value = args[++i];
      if (value.empty()) return "option '" + name + "' needs a value";
      if (*target) return "option '" + name + "' given twice";
      *target = std::move(value);
      continue;
    }
    if (inlineValue) return "option '" + Shown(name) + "' takes no value";
    bool* flag = arg == "--dry-run"     ? &found.DryRun
                 : arg == "--no-window" ? &found.NoWindow
                 : arg == "--help"      ? &found.Help
                 : arg == "--version"   ? &found.Version
                                        : nullptr;
    if (flag != nullptr)
      *flag = true;
    else if (!arg.empty() && arg.front() == '-')
      return "unknown option '" + Shown(arg) + "'";
    else
      return "unexpected argument '" + Shown(arg) + "'";
  }
  return std::nullopt;
}

} // namespace

TStartup ReadCommandLine(const std::vector<std::string>& args, const TForm2Description& builtIn,
                         const TEnvironment& environment) {
  TStartup startup;
  startup.Description = builtIn;
  auto refuse = [&startup](const std::string& what) {
    startup.Action = TStartup::TAction::Refuse;
    startup.Text = Refusal(what);
    return startup;
  };

  TArguments found;
  if (const std::optional<std::string> refusal = ScanArguments(args, found)) return refuse(*refusal);
  auto& [database, service, user, parallel, timeout, report, dryRun, noWindow, help, version] = found;
  if (service && !ValidServiceHost(*service))
    return refuse("option '--service' wants HOST[:PORT], not '" + Shown(*service) + "'");
  if (user && !ValidCredential(*user))
    return refuse("option '--user' wants a name without blanks at its ends or control characters");
  int requestsAtOnce = 1;
  if (parallel && !ReadWholeNumber(*parallel, 1, kMaxParallel, requestsAtOnce))
    return refuse("option '--parallel' wants a number from 1 to " + std::to_string(kMaxParallel) + ", not '" +
                  Shown(*parallel) + "'");
  int timeoutSeconds = 0;
  if (timeout && !ReadWholeNumber(*timeout, 1, kMaxTimeoutSeconds, timeoutSeconds))
    return refuse("option '--timeout' wants seconds from 1 to " + std::to_string(kMaxTimeoutSeconds) + ", not '" +
                  Shown(*timeout) + "'");
  if (help) {
    startup.Action = TStartup::TAction::Help;
    startup.Text = HelpText(builtIn);
    return startup;
  }
  if (version) {
    startup.Action = TStartup::TAction::Version;
    startup.Text = VersionText();
    return startup;
  }

  // An empty variable counts as unset, as a shell's "ISC_USER=" means.
  auto fromEnvironment = [&environment](const char* name) -> std::optional<std::string> {
    const char* value = environment ? environment(name) : nullptr;
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
  };
  if (!user) {
    user = fromEnvironment("ISC_USER");
    if (user && !ValidCredential(*user))
      return refuse("ISC_USER wants a name without blanks at its ends or control characters");
  }
  const std::optional<std::string> password = fromEnvironment("ISC_PASSWORD");
  // The password itself is never echoed.
  if (password && !ValidCredential(*password))
    return refuse("ISC_PASSWORD cannot be used: it has blanks at its ends or control characters");

  startup.Description.DryRun = startup.Description.DryRun || dryRun;
  startup.NoWindow = noWindow;
  startup.Description.Parallel = requestsAtOnce;
  startup.Description.AnswerTimeout = timeoutSeconds * 1000;
  if (report) startup.ReportFile = *report;
  if (database) startup.Description.DBName = *database;
  if (service) startup.Description.ServiceHost = *service;
  if (user) SetParameter(startup.Description.DBParams, "user_name", *user);
  if (password)
    SetParameter(startup.Description.DBParams, "password", *password);
  else if (user)
    // The built-in password belongs to the built-in user: another user
    // without ISC_PASSWORD logs in without one, and a server says so.
    RemoveParameter(startup.Description.DBParams, "password");
  return startup;
}

std::string HelpText(const TForm2Description& builtIn) {
  return "Usage: orderdates [OPTION]...\n"
         "Restores the send date of every goods line in the shop's database from the\n"
         "order service, one request per order, in one transaction.\n"
         "\n"
         "  --database CONNECTION  the database: a file path opens it with the embedded\n"
         "                         engine, HOST:PATH or HOST/PORT:PATH asks a server\n"
         "                         (built in: " +
         builtIn.DBName +
         ")\n"
         "  --service HOST[:PORT]  the order service (built in: " +
         builtIn.ServiceHost +
         ")\n"
         "  --user NAME            the database user (instead of ISC_USER)\n"
         "  --dry-run              do the whole run, then roll it back: nothing is saved\n"
         "  --parallel N           up to N requests to the order service at once (1 to 64;\n"
         "                         1 by default): for a service far away, 4 to 8; it puts\n"
         "                         up to N times the load on the service\n"
         "  --timeout SECONDS      the longest wait for one answer of the service (by\n"
         "                         default 90 s a wait, two minutes a request)\n"
         "  --no-window            run in the terminal, without a window or a display:\n"
         "                         a progress line when standard error is a terminal,\n"
         "                         the final message on standard output\n"
         "  --report FILE          write the report to FILE too, in UTF-8 (a new file:\n"
         "                         one that is there is emptied first)\n"
         "  --help                 print this help and exit\n"
         "  --version              print the version and exit\n"
         "\n"
         "Environment:\n"
         "  ISC_USER       the database user, when --user is not given\n"
         "  ISC_PASSWORD   the database password (never on the command line)\n"
         "\n"
         "A report goes to standard error: one line per order whose goods lines kept\n"
         "their value, with the reason, then 'orderdates: updated N of M goods lines'.\n"
         "When standard error is not a terminal and --report is not given, the report\n"
         "goes to a new file too, named after the run's date and time, in\n"
         "$XDG_STATE_HOME/orderdates/ (by default ~/.local/state/orderdates/).\n"
         "\n"
         "The service's dates are read in the form of the regional settings (LC_TIME);\n"
         "the shop's service writes them the Russian way:\n"
         "  LC_ALL=ru_RU.UTF-8 orderdates --database /srv/shop/SHOP.FDB\n"
         "\n"
         "Exit status:\n"
         "  0  the run committed (with --dry-run: the run completed), every goods line\n"
         "     got its date\n"
         "  1  start-up failed\n"
         "  2  bad option or value\n"
         "  3  the run stopped before its commit; nothing was saved\n"
         "  4  the run committed (with --dry-run: completed), but goods lines kept\n"
         "     their value (see the report)\n"
         "  128+N  ended by signal N (SIGTERM, SIGINT, SIGHUP) before the commit;\n"
         "     nothing was saved (after the commit: 0 or 4)\n";
}

std::string VersionText() { return std::string(kProgram) + " " + ORDERDATES_VERSION + "\n"; }

int RunCommandLine(int argc, char** argv, const TForm2Description& builtIn, const TClock& clock) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  const TStartup startup = ReadCommandLine(args, builtIn, [](const char* name) { return std::getenv(name); });
  switch (startup.Action) {
  case TStartup::TAction::Help:
  case TStartup::TAction::Version: std::fputs(startup.Text.c_str(), stdout); return std::fflush(stdout) == 0 ? 0 : 1;
  case TStartup::TAction::Refuse: std::fprintf(stderr, "%s\n", startup.Text.c_str()); return kExitBadOption;
  case TStartup::TAction::Run: break;
  }
  // A reader of the report or of the final text that goes away (a closed
  // pipe, `| head`) costs the lines it would have read, not the run: every
  // write then fails with EPIPE instead of ending the program.
  std::signal(SIGPIPE, SIG_IGN);
  {
    // While this is the only thread, with the termination signals held
    // back: the database client sets up its own handling of them, and ours
    // takes its place before any of them is taken.
    const TStopSignalsHeld held;
    SettleClientSignalHandling();
    InstallStopSignalHandlers();
  }
  const std::time_t started = clock ? clock() : std::time(nullptr);
  TReportFile reportFile;
  if (startup.NoWindow) {
    reportFile.Open(startup.ReportFile, started);
    return RunWithoutWindow(startup.Description, reportFile);
  }
  if (!DisplayNamed()) {
    std::fprintf(stderr, "%s\n", NoDisplayText("DISPLAY and WAYLAND_DISPLAY are not set").c_str());
    return kExitStartupFailed;
  }
  // Every argument has been taken as the program's own: none is left for the
  // toolkit to interpret.
  int toolkitArgc = 1;
  std::unique_ptr<TApplication> app;
  {
    const TToolkitStartGuard guard;
    app = std::make_unique<TApplication>(toolkitArgc, argv);
  }
  // Once the display is known to work: a program that cannot show its
  // window leaves no empty report behind.
  reportFile.Open(startup.ReportFile, started);
  return RunProgram(*app, startup.Description, &reportFile);
}

} // namespace od
