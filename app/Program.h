#pragma once

#include "app/Application.h"
#include "app/Form2Description.h"

namespace od {

// Start-up, the event loop and the end of the program, with the main window
// built from `description`. Returns the process exit code: 0 when the run
// committed (a dry run: completed), 1 when start-up failed (the failure has
// been shown), 3 when the program ended without the run's commit.
constexpr int kExitCommitted = 0;
constexpr int kExitStartupFailed = 1;
constexpr int kExitNotCommitted = 3;

int RunProgram(TApplication& app, const TForm2Description& description);

} // namespace od
