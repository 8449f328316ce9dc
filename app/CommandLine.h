#pragma once

#include "app/ExitStatus.h"
#include "app/Form2Description.h"

#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace od {

// What the command line and the environment ask for, read before anything
// is opened or shown.
struct TStartup {
  enum class TAction {
    Run,     // start the window with Description
    Help,    // print Text to standard output, exit 0
    Version, // print Text to standard output, exit 0
    Refuse,  // print Text (one line) to standard error, exit 2
  };
  TAction Action = TAction::Run;
  std::string Text;
  TForm2Description Description;
  // The same run shown in the terminal, with no window and no display.
  bool NoWindow = false;
  // --report: a file that gets the report too; empty when not given.
  std::string ReportFile;
};

// Looks a variable up in the environment; nullptr when it is not set.
using TEnvironment = std::function<const char*(const char*)>;

// `args` without the program name. The options override the built-in
// description: --database CONNECTION, --service HOST[:PORT], --user NAME,
// --dry-run, --no-window, --report FILE; each option taking a value accepts "--name VALUE" and
// "--name=VALUE". ISC_USER and ISC_PASSWORD from the environment replace the
// built-in user and password; --user wins over ISC_USER. Values go on as the
// system gave their bytes: a connection string is handed back to the system,
// and the server compares credentials with what its administrator typed.
TStartup ReadCommandLine(const std::vector<std::string>& args, const TForm2Description& builtIn,
                         const TEnvironment& environment);

std::string HelpText(const TForm2Description& builtIn);
std::string VersionText();

// The time the run starts at, which names its report file.
using TClock = std::function<std::time_t()>;

// The whole program: reads the command line, answers --help, --version and a
// bad option without creating the application object (so without a display),
// otherwise runs RunProgram. `clock` (by default the system's) names the
// report file. Returns the exit status.
int RunCommandLine(int argc, char** argv, const TForm2Description& builtIn, const TClock& clock = {});

} // namespace od
