#include "run/AnswerReason.h"

#include "base/Ascii.h"
#include "net/HttpTimeouts.h"

namespace od {

namespace {

// The start of a body worth quoting: a line or two of a page that says why.
constexpr size_t kBodyStart = 200;

} // namespace

std::string RequestFailureText(const THttpGetResult& result, std::int32_t answerTimeout) {
  if (result.Failure != THttpFailure::TimedOut) return result.Error;
  const std::int32_t bound = answerTimeout > 0 ? answerTimeout : THttpTimeouts{}.Wait;
  // --timeout takes seconds; a bound of its own below them is said as it is.
  const std::string seconds = bound % 1000 == 0 ? std::to_string(bound / 1000) + " s" : std::to_string(bound) + " ms";
  return result.Connected ? "no answer within " + seconds + " (--timeout)" : "could not connect within " + seconds;
}

std::string RefusedAnswerText(const THttpGetResult& result, const TStringList& lines) {
  std::string text = result.StatusLine;
  if (result.ResultCode >= 300 && result.ResultCode <= 399)
    text += result.Location.empty() ? std::string(", without a Location") : ", Location: " + result.Location;
  // Whole lines, so that a character is never cut in two here; the report
  // bounds the one long line a page may be.
  std::string body;
  for (const std::string& line : lines) {
    const std::string_view words = TrimView(line);
    if (words.empty()) continue;
    body += (body.empty() ? "" : " ") + std::string(words);
    if (body.size() >= kBodyStart) break;
  }
  if (!body.empty()) text += ": \"" + body + "\"";
  return text;
}

std::string LineAfterEmptyFirst(const TStringList& lines) {
  if (lines.Count() == 0 || !TrimView(lines[0]).empty()) return {};
  for (const std::string& line : lines)
    if (!TrimView(line).empty()) return line;
  return {};
}

} // namespace od
