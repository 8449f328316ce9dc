#pragma once

#include "net/HttpGet.h"
#include "text/StringList.h"

#include <cstdint>
#include <string>

namespace od {

// Why an order's request failed, in the report's words: the socket's text,
// except for a time-out, which says which wait ran out and its bound
// (`answerTimeout` in ms, 0 for the client's own), so that a silent service
// does not read like a failed connect.
std::string RequestFailureText(const THttpGetResult& result, std::int32_t answerTimeout);

// An answer outside 2xx, in the service's own bytes: its status line, where
// a 3xx points, and the start of the body that says why ("Нет такого
// заказа"), bounded; the report defuses it.
std::string RefusedAnswerText(const THttpGetResult& result, const TStringList& lines);

// The first line with more than blanks, when the answer's first line has
// none; empty otherwise. A blank line printed before a script's date puts
// the date on line two, where nobody looks for it.
std::string LineAfterEmptyFirst(const TStringList& lines);

} // namespace od
