#pragma once

#include "run/ExitStatus.h"
#include "window/Application.h"
#include "window/Form2Description.h"

namespace od {

class TReportFile;

// Start-up, the event loop and the end of the program, with the main window
// built from `description`. The report goes to standard error and, when
// `reportFile` is given, to that file too. Returns the process exit status
// (ExitStatus.h).

int RunProgram(TApplication& app, const TForm2Description& description, TReportFile* reportFile = nullptr);

} // namespace od
