#pragma once

#include <exception>
#include <string>

namespace od {

// Root of every exception the program raises. The message is composed once,
// when the exception is built, and travels as code page 1251 bytes.
class Exception : public std::exception {
public:
  explicit Exception(std::string message) : message_(std::move(message)) {}

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const noexcept { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }

private:
  std::string message_;
};

// The silent kind: it unwinds like any other exception, but the exception
// display shows nothing for it.
class EAbort : public Exception {
public:
  using Exception::Exception;
  EAbort() : Exception("Operation aborted") {}
};

// A failed request to the operating system (a library or symbol look-up).
class EOSError : public Exception {
public:
  EOSError(std::string message, int code) : Exception(std::move(message)), code_(code) {}
  int ErrorCode() const noexcept { return code_; }

private:
  int code_;
};

// printf-style composition of a message text.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace od
