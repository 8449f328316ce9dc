#pragma once

#include "app/SettingsFile.h"
#include "run/ExitStatus.h"
#include "run/RunSettings.h"
#include "window/Form2Description.h"

#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace od {

// What the command line and the environment ask for, read before anything
// is opened or shown.
struct TStartup {
  enum class TAction {
    Run,     // start the run with Settings
    Help,    // print Text to standard output, exit 0
    Version, // print Text to standard output, exit 0
    Refuse,  // print Text (one line) to standard error, exit 2
  };
  TAction Action = TAction::Run;
  std::string Text;
  // The built-in settings with what the options and the environment change.
  TRunSettings Settings;
  // The same run shown in the terminal, with no window and no display.
  bool NoWindow = false;
  // --report: a file that gets the report too; empty when not given.
  std::string ReportFile;
  // --user: the database user, which wins over ISC_USER.
  std::optional<std::string> User;
  // --config: the one settings file to read instead of the user's and the
  // system's; empty when not given.
  std::string ConfigFile;
};

// Where the settings files are looked for; an empty path is not looked at.
struct TSettingsPlaces {
  std::string User;   // UserSettingsFile (SettingsFile.h)
  std::string System; // kSystemSettingsFile
};

// Looks a variable up in the environment; nullptr when it is not set.
using TEnvironment = std::function<const char*(const char*)>;

// `args` without the program name. The options (Options.h) override the
// built-in settings; each option taking a value accepts "--name VALUE" and
// "--name=VALUE". Under the command line come the settings files of
// `places` (by default none): the user's over the system's, over the
// built-in values; --config FILE names the one file read instead. ISC_USER
// and ISC_PASSWORD from the environment replace the files' and the built-in
// user and password; --user wins over ISC_USER. Values go on as the system
// gave their bytes: a connection string is handed back to the system, and
// the server compares credentials with what its administrator typed.
TStartup ReadCommandLine(const std::vector<std::string>& args, const TRunSettings& builtIn,
                         const TEnvironment& environment, const TSettingsPlaces& places = {});

std::string HelpText(const TRunSettings& builtIn);
std::string VersionText();

// The time the run starts at, which names its report file.
using TClock = std::function<std::time_t()>;

// The whole program: reads the command line, answers --help, --version and a
// bad option without creating the application object (so without a display),
// otherwise runs the window, or the terminal's run with --no-window. The
// window is laid out as `builtIn` says. `clock` (by default the system's)
// names the report file. The user's settings file is found through the
// environment; `systemSettings` is the system's (empty: none). Returns the
// exit status.
int RunCommandLine(int argc, char** argv, const TForm2Description& builtIn, const TClock& clock = {},
                   const std::string& systemSettings = kSystemSettingsFile);

} // namespace od
