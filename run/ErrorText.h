#pragma once

#include <exception>
#include <string>

namespace od {

// How a failure reads wherever the program shows it: the window's box, the
// terminal, the report. Both faces of the run share these rules, so that an
// error reads the same however the program was started.

// What a failure that is not a std::exception is called.
inline constexpr char kUnknownException[] = "Unknown exception";

// The message of the exception being handled: for use inside a catch
// block only. One that is not a std::exception is kUnknownException.
std::string CurrentExceptionMessage();

// The text the exception display shows for a message: a "." is appended when
// the last byte, taken as unsigned, is above "." (a letter, a digit or any
// byte above 127), so "...", "!" and ")" endings stay as they are.
std::string ExceptionDisplayText(const std::string& message);

} // namespace od
