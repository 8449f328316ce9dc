#pragma once

#include "window/Application.h"

#include <memory>
#include <string>

namespace od {

// Whether the environment names a display the toolkit can try: an X or
// Wayland one, or a platform chosen outright (offscreen, say).
bool DisplayNamed();

// The one line that says there is no display and what to do instead.
std::string NoDisplayText(const std::string& why);

// Starts the toolkit for the window. A display it cannot use ends the program
// with NoDisplayText and the start-up failure's status, not with the
// toolkit's abort and its advice to reinstall. None of the arguments is left
// for the toolkit to interpret: they have all been taken as the program's
// own.
std::unique_ptr<TApplication> StartToolkit(char** argv);

} // namespace od
