#include "net/HttpMessage.h"

#include "base/Ascii.h"

namespace od {

using namespace httptext;

void ParseStatusLine(const std::string& line, std::int32_t& code, std::string& reason) {
  const std::string_view status = TrimView(TextAfter(line, " "));
  code = IntegerValue(TrimView(TextBefore(status, " ")), 0);
  reason = Trim(TextAfter(status, " "));
  if (reason == status) reason.clear();
}

} // namespace od
