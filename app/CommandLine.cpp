#include "app/CommandLine.h"
#include "app/ServiceOptions.h"

#include "app/Options.h"
#include "base/Ascii.h"
#include "base/StopSignals.h"
#include "db/Database.h"
#include "run/OnlyMissing.h"
#include "run/ReportFile.h"
#include "terminal/TerminalRun.h"
#include "text/Defuse.h"
#include "window/Program.h"
#include "window/ToolkitStart.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

namespace od {

namespace {

constexpr char kProgram[] = "orderdates";

std::string Refusal(const std::string& what) {
  return std::string(kProgram) + ": " + what + " (see '" + kProgram + " --help')";
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

// One option met on the command line, with its value as given.
struct TGiven {
  const TOption* Option;
  std::string Value;
};

// Sorts the arguments into the options they name, before any value is
// judged; the refusal's words when one cannot be taken.
std::optional<std::string> ScanArguments(const std::vector<std::string>& args, std::vector<TGiven>& given) {
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
    const TOption* option = FindOption(name);
    if (option != nullptr && option->TakesValue()) {
      std::string value;
      if (inlineValue)
        value = *inlineValue;
      else if (i + 1 < args.size())
        value = args[++i];
      if (value.empty()) return "option '" + name + "' needs a value";
      for (const TGiven& earlier : given)
        if (earlier.Option == option) return "option '" + name + "' given twice";
      given.push_back({option, std::move(value)});
      continue;
    }
    if (inlineValue) return "option '" + Defused(name) + "' takes no value";
    if (option != nullptr)
      given.push_back({option, {}});
    else if (!arg.empty() && arg.front() == '-')
      return "unknown option '" + Defused(arg) + "'";
    else
      return "unexpected argument '" + Defused(arg) + "'";
  }
  return std::nullopt;
}

// Judges the values in the table's order, so that the first bad one is the
// one refused whatever the order of the arguments.
std::optional<std::string> TakeOptions(const std::vector<TGiven>& given, TStartup& startup) {
  for (const TOption& option : Options())
    for (const TGiven& one : given)
      if (one.Option == &option)
        if (std::optional<std::string> refusal = option.Take(startup, one.Value)) return refusal;
  return std::nullopt;
}

// A value's refusal as a settings file's line says it: the setting's name
// as the file has it.
std::string AsSetting(const std::string& refusal) {
  constexpr std::string_view kOptionWord = "option '--";
  return refusal.rfind(kOptionWord, 0) == 0 ? "'" + refusal.substr(kOptionWord.size()) : refusal;
}

// The settings of one file, judged in the table's order.
std::optional<std::string> TakeSettings(const std::vector<TSetting>& settings, TStartup& startup) {
  for (const TOption& option : Options())
    for (const TSetting& setting : settings) {
      // A switch set to "no" is left as it is.
      if (setting.Option != &option || (!option.TakesValue() && setting.Value.empty())) continue;
      if (std::optional<std::string> refusal = option.Take(startup, setting.Value))
        return setting.Where + ": " + AsSetting(*refusal);
    }
  return std::nullopt;
}

// The settings files, the system's first, so that the user's take its place
// where both name a setting; each file's values are judged on their own, so
// that a bad one is refused even where another file overrides it.
std::optional<std::string> TakeSettingsFiles(const std::string& named, const TSettingsPlaces& places, TStartup& startup,
                                             std::optional<std::string>& password) {
  std::vector<std::pair<std::string, bool>> files;
  if (!named.empty())
    files.emplace_back(named, true);
  else
    for (const std::string* path : {&places.System, &places.User})
      if (!path->empty()) files.emplace_back(*path, false);
  std::vector<TSetting> effective;
  for (const auto& [path, required] : files) {
    const TSettingsFileRead read = ReadSettingsFile(path, required);
    if (read.Refusal) return read.Refusal;
    if (!read.Read) continue;
    TStartup judged = startup;
    if (std::optional<std::string> refusal = TakeSettings(read.Settings, judged)) return refusal;
    for (const TSetting& setting : read.Settings) {
      std::erase_if(effective, [&setting](const TSetting& earlier) { return earlier.Option == setting.Option; });
      effective.push_back(setting);
    }
    if (read.Password) password = read.Password;
    startup.Settings.SettingsFiles.push_back(path);
  }
  return TakeSettings(effective, startup);
}

// ISC_USER and ISC_PASSWORD into the connection's parameter lines, over
// what the settings files said; --user (`userGiven`) over ISC_USER.
std::optional<std::string> TakeCredentials(TStartup& startup, const TEnvironment& environment, bool userGiven,
                                           const std::optional<std::string>& filePassword) {
  // An empty variable counts as unset, as a shell's "ISC_USER=" means.
  auto fromEnvironment = [&environment](const char* name) -> std::optional<std::string> {
    const char* value = environment ? environment(name) : nullptr;
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
  };
  std::optional<std::string> user = userGiven ? startup.User : std::nullopt;
  if (!user) {
    user = fromEnvironment("ISC_USER");
    if (user && !ValidCredential(*user))
      return "ISC_USER wants a name without blanks at its ends or control characters";
  }
  if (!user) user = startup.User;
  std::optional<std::string> password = fromEnvironment("ISC_PASSWORD");
  // The password itself is never echoed.
  if (password && !ValidCredential(*password))
    return "ISC_PASSWORD cannot be used: it has blanks at its ends or control characters";
  if (!password && filePassword) {
    if (!ValidCredential(*filePassword))
      return "the settings file's password cannot be used: it has control characters";
    password = filePassword;
  }

  std::vector<std::string>& params = startup.Settings.DBParams;
  if (user) SetParameter(params, "user_name", *user);
  if (password)
    SetParameter(params, "password", *password);
  else if (user)
    // The built-in password belongs to the built-in user: another user
    // without ISC_PASSWORD logs in without one, and a server says so.
    RemoveParameter(params, "password");
  return std::nullopt;
}

// Before any other thread exists and before anything is opened.
void PrepareProcess() {
  // A reader of the report or of the final text that goes away (a closed
  // pipe, `| head`) costs the lines it would have read, not the run: every
  // write then fails with EPIPE instead of ending the program.
  std::signal(SIGPIPE, SIG_IGN);
  // While this is the only thread, with the termination signals held back:
  // the database client sets up its own handling of them, and ours takes its
  // place before any of them is taken.
  const TStopSignalsHeld held;
  SettleClientSignalHandling();
  InstallStopSignalHandlers();
}

int RunWindow(char** argv, const TForm2Description& description, const TStartup& startup, std::time_t started) {
  if (!DisplayNamed()) {
    std::fprintf(stderr, "%s\n", NoDisplayText("DISPLAY and WAYLAND_DISPLAY are not set").c_str());
    return kExitStartupFailed;
  }
  TReportFile reportFile;
  const std::unique_ptr<TApplication> app = StartToolkit(argv);
  // Once the display is known to work: a program that cannot show its
  // window leaves no empty report behind.
  reportFile.Open(startup.ReportFile, started);
  return RunProgram(*app, description, &reportFile);
}

} // namespace

TStartup ReadCommandLine(const std::vector<std::string>& args, const TRunSettings& builtIn,
                         const TEnvironment& environment, const TSettingsPlaces& places) {
  TStartup startup;
  startup.Settings = builtIn;
  auto refuse = [&startup](const std::string& what) {
    startup.Action = TStartup::TAction::Refuse;
    startup.Text = Refusal(what);
    return startup;
  };
  std::vector<TGiven> given;
  if (const std::optional<std::string> refusal = ScanArguments(args, given)) return refuse(*refusal);
  if (const std::optional<std::string> refusal = TakeOptions(given, startup)) return refuse(*refusal);
  switch (startup.Action) {
  case TStartup::TAction::Help: startup.Text = HelpText(builtIn); return startup;
  case TStartup::TAction::Version: startup.Text = VersionText(); return startup;
  case TStartup::TAction::Run:
  case TStartup::TAction::Refuse: break;
  }
  // The command line is judged on its own first, so that its refusals read
  // as they do without settings files; then its values go over the files'.
  TStartup fromFiles;
  fromFiles.Settings = builtIn;
  std::optional<std::string> filePassword;
  if (const std::optional<std::string> refusal = TakeSettingsFiles(startup.ConfigFile, places, fromFiles, filePassword))
    return refuse(*refusal);
  if (const std::optional<std::string> refusal = TakeOptions(given, fromFiles)) return refuse(*refusal);
  startup = std::move(fromFiles);
  const bool userGiven =
      std::any_of(given.begin(), given.end(), [](const TGiven& one) { return one.Option->Name == "user"; });
  if (const std::optional<std::string> refusal = TakeCredentials(startup, environment, userGiven, filePassword))
    return refuse(*refusal);
  if (const std::optional<std::string> refusal = TakeProxyEnvironment(startup, environment)) return refuse(*refusal);
  if (startup.Settings.OnlyMissing) LimitToMissingDates(startup.Settings);
  return startup;
}

int RunCommandLine(int argc, char** argv, const TForm2Description& builtIn, const TClock& clock,
                   const std::string& systemSettings) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  const TSettingsPlaces places{UserSettingsFile(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME")), systemSettings};
  const TStartup startup = ReadCommandLine(
      args, builtIn, [](const char* name) { return std::getenv(name); }, places);
  switch (startup.Action) {
  case TStartup::TAction::Help:
  case TStartup::TAction::Version: std::fputs(startup.Text.c_str(), stdout); return std::fflush(stdout) == 0 ? 0 : 1;
  case TStartup::TAction::Refuse: std::fprintf(stderr, "%s\n", startup.Text.c_str()); return kExitBadOption;
  case TStartup::TAction::Run: break;
  }
  PrepareProcess();
  const std::time_t started = clock ? clock() : std::time(nullptr);
  if (startup.NoWindow) {
    TReportFile reportFile;
    reportFile.Open(startup.ReportFile, started);
    return RunWithoutWindow(startup.Settings, reportFile);
  }
  // The window as built, with the run's settings as this run has them.
  TForm2Description description = builtIn;
  static_cast<TRunSettings&>(description) = startup.Settings;
  return RunWindow(argv, description, startup, started);
}

} // namespace od
