#pragma once

#include "run/RunSettings.h"
#include "window/WindowLayout.h"

#include <string>

namespace od {

// Everything the program is built from: the window's layout and the run's
// settings. The program has exactly one of these, fixed at build time
// (Form2Description) and adjusted by the command line; tests build the
// window from their own copy.
struct TForm2Description : TWindowLayout, TRunSettings {};

// The program's own description, with the database path and the service
// host fixed when the program was built.
extern const TForm2Description Form2Description;

// The program title: names the program and captions every message box.
std::string ProgramTitle();

} // namespace od
