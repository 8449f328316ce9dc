#pragma once

#include <exception>
#include <string>

namespace od::test {

// The message of the exception an action raises, or "<no exception>": lets a
// table of misuses compare exact message texts in one line each.
template <typename Action> std::string MessageOf(Action&& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return error.what();
  }
  return "<no exception>";
}

} // namespace od::test
