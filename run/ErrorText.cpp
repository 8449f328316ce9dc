#include "run/ErrorText.h"

#include "text/SystemText.h"

namespace od {

std::string CurrentExceptionMessage() {
  try {
    throw;
  } catch (const std::exception& e) {
    return MessageOf(e);
  } catch (...) {
    return kUnknownException;
  }
}

std::string ExceptionDisplayText(const std::string& message) {
  std::string text = message;
  if (!text.empty() && static_cast<unsigned char>(text.back()) > static_cast<unsigned char>('.')) text += '.';
  return text;
}

} // namespace od
