#pragma once

#include "app/Application.h"
#include "app/Form2Description.h"

namespace od {

// Start-up, the event loop and the end of the program, with the main window
// built from `description`. Returns the process exit code: 0 after the event
// loop has ended, 1 when start-up failed (the failure has been shown).
int RunProgram(TApplication& app, const TForm2Description& description);

} // namespace od
