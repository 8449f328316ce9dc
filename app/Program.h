#pragma once

#include "app/Application.h"
#include "app/ExitStatus.h"
#include "app/Form2Description.h"

namespace od {

// Start-up, the event loop and the end of the program, with the main window
// built from `description`. Returns the process exit status (ExitStatus.h).

int RunProgram(TApplication& app, const TForm2Description& description);

} // namespace od
