#pragma once

#include "run/ErrorText.h"

#include <exception>
#include <string>

namespace od {

// The error box of the exception display: the program title as caption, the
// error icon and one OK button. Returns when it is dismissed.
void ShowExceptionBox(const std::string& text);

enum class TMessageIcon { None, Warning };

// The modal message window: the program title as caption, no icon (or the
// warning icon), one "OK" button that is default and cancel button at once.
// Returns when it is dismissed, or by itself once the program has been asked
// to end. The box is at least as wide as the text's longest line.
void ShowMessage(const std::string& text, TMessageIcon icon = TMessageIcon::None);

// "Exception %s in module %s at %p." plus the message for a failure during
// start-up, before the event loop runs.
std::string StartupErrorText(const std::string& className, const std::string& module, const void* address,
                             const std::string& message);
// The class name of an exception as the start-up failure box names it.
std::string ExceptionClassName(const std::exception& e);
// The task-modal "Application Error" box with the error icon.
void ShowStartupErrorBox(const std::string& text);

} // namespace od
