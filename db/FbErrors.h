#pragma once

// The database layer's exceptions: server errors built from the status
// vector after a failed client call, and client errors from the layer's own
// checks, worded by a fixed table.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

#include "base/Exception.h"

namespace od {

class TComponent;
class IIBClientLibrary;

class EDatabaseError : public Exception {
public:
  using Exception::Exception;
};

// Bits of the process-wide message options.
enum : int {
  kFbMsgServer = 2,     // include the server message
  kFbMsgSql = 4,        // include the SQL message
  kFbMsgRaiserName = 8, // begin with the raiser's full name
  kFbMsgDefault = kFbMsgServer | kFbMsgSql | kFbMsgRaiserName,
};
int FbMessageOptions();
void SetFbMessageOptions(int options);

class EFbError : public EDatabaseError {
public:
  EFbError(std::int32_t sqlCode, TComponent* raiser, std::string sqlMessage, std::string serverMessage,
           std::string customMessage, std::string messageBody);

  std::int32_t SQLCode() const noexcept { return sqlCode_; }
  // Element 1 of the thread's status vector when the exception was built.
  std::int32_t ErrorCode() const noexcept { return errorCode_; }
  const std::string& RaiserName() const noexcept { return raiserName_; }
  const std::string& SQLMessage() const noexcept { return sqlMessage_; }
  const std::string& ServerMessage() const noexcept { return serverMessage_; }
  const std::string& CustomMessage() const noexcept { return customMessage_; }
  const std::string& MessageBody() const noexcept { return messageBody_; }
  // Not owned; only meaningful while the raising component lives.
  TComponent* Raiser() const noexcept { return raiser_; }

  // Replaces the body and composes the message again.
  void SetMessageBody(std::string body);

private:
  void Compose();

  std::int32_t sqlCode_;
  std::int32_t errorCode_;
  std::string raiserName_;
  std::string sqlMessage_;
  std::string serverMessage_;
  std::string customMessage_;
  std::string messageBody_;
  TComponent* raiser_;
};

class EFbServerError : public EFbError {
public:
  using EFbError::EFbError;
};

class EFbClientError : public EFbError {
public:
  using EFbError::EFbError;
};

// Indices into the client message table (79 entries, 0..78).
enum TFbClientErrorIndex : int {
  fbceUnknownError = 0,
  fbceNotSupported = 1,
  fbceNotPermitted = 2,
  fbceFileAccessError = 3,
  fbceConnectionTimeout = 4,
  fbceCannotSetDatabase = 5,
  fbceCannotSetTransaction = 6,
  fbceOperationCancelled = 7,
  fbceDPBConstantNotSupported = 8,
  fbceDPBConstantUnknown = 9,
  fbceTPBConstantNotSupported = 10,
  fbceTPBConstantUnknown = 11,
  fbceDatabaseClosed = 12,
  fbceDatabaseOpen = 13,
  fbceDatabaseNameMissing = 14,
  fbceNotInTransaction = 15,
  fbceInTransaction = 16,
  fbceTimeoutNegative = 17,
  fbceNoDatabasesInTransaction = 18,
  fbceUpdateWrongDB = 19,
  fbceUpdateWrongTR = 20,
  fbceDatabaseNotAssigned = 21,
  fbceTransactionNotAssigned = 22,
  fbceXSQLDAIndexOutOfRange = 23,
  fbceXSQLDANameDoesNotExist = 24,
  fbceEOF = 25,
  fbceBOF = 26,
  fbceInvalidStatementHandle = 27,
  fbceSQLOpen = 28,
  fbceSQLClosed = 29,
  fbceUnknownSQLDataType = 30,
  fbceInvalidColumnIndex = 31,
  fbceInvalidParamColumnIndex = 32,
  fbceInvalidDataConversion = 33,
  fbceColumnIsNotNullable = 34,
  fbceBlobCannotBeRead = 35,
  fbceBlobCannotBeWritten = 36,
  fbceEmptyQuery = 37,
  fbceCannotOpenNonSQLSelect = 38,
  fbceNoFieldAccess = 39,
  fbceFieldReadOnly = 40,
  fbceFieldNotFound = 41,
  fbceDataSetNotEditing = 42,
  fbceNotEditing = 43,
  fbceCannotInsert = 44,
  fbceCannotPost = 45,
  fbceCannotUpdate = 46,
  fbceCannotDelete = 47,
  fbceCannotRefresh = 48,
  fbceBufferNotSet = 49,
  fbceCircularReference = 50,
  fbceSQLParseError = 51,
  fbceUserAbort = 52,
  fbceDataSetUniDirectional = 53,
  fbceCannotCreateSharedResource = 54,
  fbceWindowsAPIError = 55,
  fbceColumnListsDontMatch = 56,
  fbceColumnTypesDontMatch = 57,
  fbceCantEndSharedTransaction = 58,
  fbceFieldUnsupportedType = 59,
  fbceDimensionDoesNotExist = 60,
  fbceSQLDialectInvalid = 61,
  fbceInterBaseMissing = 62,
  fbceIB60Feature = 63,
  fbceIBInstallMissing = 64,
  fbceServiceNotAttached = 65,
  fbceServiceAttached = 66,
  fbceServerNameMissing = 67,
  fbceQueryParamsError = 68,
  fbceStartParamsError = 69,
  fbceOutputParsingError = 70,
  fbceUseSpecificProcedures = 71,
  fbceSPBConstantNotSupported = 72,
  fbceSPBConstantUnknown = 73,
  fbceFieldSizeTooSmall = 74,
  fbceCantUseLimitedCache = 75,
  fbceFieldListEmpty = 76,
  fbceCantUseField = 77,
  fbceFirebird2Feature = 78,
  fbceClientMessageCount = 79,
};

// The table text of entry `index` (taken modulo 128; an index past the table
// gives an empty text).
std::string_view ClientErrorText(int index);

// One argument of a client error: "%s" takes text, "%d" and "%x" forms take
// a number. A text given for a number (or the reverse) is written as it is,
// a missing argument as nothing: nothing is ever read from the wrong place.
using TFbErrorArg = std::variant<std::string_view, long long>;
struct TFbArg {
  TFbArg(std::string_view text) : value(text) {}
  TFbArg(const std::string& text) : value(std::string_view(text)) {}
  TFbArg(const char* text) : value(std::string_view(text == nullptr ? "" : text)) {}
  TFbArg(int number) : value(static_cast<long long>(number)) {}
  TFbArg(long number) : value(static_cast<long long>(number)) {}
  TFbArg(long long number) : value(number) {}
  TFbArg(unsigned number) : value(static_cast<long long>(number)) {}
  TFbErrorArg value;
};

// printf-like formatting of "%s", "%d", "%.8x" (and "%%") over `args`.
std::string FormatFbMessage(std::string_view format, std::initializer_list<TFbArg> args);

// Raises EFbClientError for table entry `index`, SQL code = index, no raiser.
[[noreturn]] void RaiseClientError(int index, std::initializer_list<TFbArg> args = {});
// The free-text variant: SQL code -1.
[[noreturn]] void RaiseClientErrorText(std::string_view format, std::initializer_list<TFbArg> args = {});

// A time-out setting in milliseconds, returned as it is; a negative one is
// refused with the client error "Timeout can't be negative".
int CheckedTimeout(int milliseconds);

// Builds the server error from the calling thread's status vector after a
// client call returned a value greater than 0, and raises it (or hands it to
// the installed error handler, which may swallow it).
void RaiseServerError(const IIBClientLibrary& library, TComponent* raiser);

// Checks a client call's result: restores the floating-point control word
// and, when `raise` is set and the result is greater than 0, raises the
// server error for `raiser`. Returns the result.
std::intptr_t CheckFbResult(const IIBClientLibrary& library, std::intptr_t result, TComponent* raiser,
                            bool raise = true);

// The process-wide error handler hook: called with the raiser, the built
// exception and a flag preset to true; clearing the flag swallows the error,
// raising from the handler replaces it. None is installed by default.
using TFbErrorHandler = std::function<void(TComponent* raiser, EFbError& error, bool& raise)>;
void SetFbErrorHandler(TFbErrorHandler handler);

} // namespace od
