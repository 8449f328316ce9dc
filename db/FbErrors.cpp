#include "db/FbErrors.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <mutex>

#include "base/Ascii.h"
#include "base/Component.h"
#include "db/ClientLibrary.h"
#include "text/SystemText.h"

namespace od {

namespace {

std::atomic<int> gMessageOptions{kFbMsgDefault};

std::mutex gHandlerMutex;
TFbErrorHandler gErrorHandler;

// Worded exactly as users and scripts have always seen them.
constexpr std::array<std::string_view, fbceClientMessageCount> kClientMessages = {
    "Unknown error.",
    "Unsupported feature.",
    "Not permitted.",
    "Temporary file access error.",
    "Database connection timed out.",
    "Cannot set database.",
    "Cannot set transaction.",
    "Operation cancelled at user's request.",
    "DPB Constant (isc_dpb_%s) is unsupported.",
    "DPB Constant (%s) is unknown.",
    "TPB Constant (isc_tpb_%s) is unsupported.",
    "TPB Constant (%s) is unknown.",
    "%s: Cannot perform operation -- DB is not open.",
    "Cannot perform operation -- DB is currently open.",
    "Database name is missing.",
    "%s :Transaction is not active.",
    "%s :Transaction is active.",
    "Timeout values cannot be negative.",
    "%s :No databases are listed in transaction component.",
    "%s :Updating wrong database.",
    "%s :Updating wrong transaction.",
    "Database not assigned for %s.",
    "Transaction not assigned for %s.",
    "XSQLDA index out of range.",
    "XSQLDA name does not exist (%s).",
    "End of file.",
    "Beginning of file.",
    "%s:Invalid statement handle.",
    "Can't %s because %s dataset open.",
    "Can't %s because %s dataset closed.",
    "Unknown SQL Data type (%d).",
    "Invalid column index (index exceeds permitted range).",
    "Invalid parameter index (index exceeds permitted range).",
    "Invalid data conversion.",
    "Column cannot be set to null (%s)",
    "Blob stream cannot be read.",
    "Blob stream cannot be written.",
    "Can't %s , because  query is empty",
    "Can't \"open\" a non-select statement. Use ExecQuery.",
    "No access to field \"%s\".",
    "Field \"%s\" is read-only.",
    "Field \"%s\" not found.",
    "DataSet not in Edit or Insert mode.(%s)",
    "Not editing.",
    "Can't insert into dataset. (%s)",
    "Can't post. (%s) ",
    "Can't update. (%s)",
    "Can't delete from dataset. (%s)",
    "Can't refresh row. (%s)",
    "Buffer not set.",
    "Circular references not permitted.(%s)",
    "SQL Parse Error in :%s \r\n\r\n%s",
    "User abort.",
    "Data set is uni-directional.",
    "Cannot create shared resource. (Windows error %d)",
    "Windows API error. (Windows error %d [$%.8x])",
    "Column lists do not match.",
    "Column types don't match. (From index: %d, To index: %d)",
    "Can't end a shared transaction unless it is forced and equal to the transaction's TimeoutAction.",
    "Column types \"%s\" is not array field",
    "Dimension %d don't exist in \"%s\" ",
    "SQL Dialect invalid",
    "InterBase library gds32.dll not found in the path. Please install InterBase to use this functionality",
    "%s is an InterBase6 function. Please upgrade to InterBase6 to use this functonality",
    "InterBase Install DLL ibinstall.dll not found in the path. Please install InterBase 6 to use this functionality",
    "Cannot perform operation -- service is not attached",
    "Cannot perform operation -- service is attached",
    "Server Name Missing",
    "Query Parameters missing or incorrect",
    "Start Parameters missing or incorrect",
    "Unexpected Output buffer value",
    "Generic ServiceStart not applicable: Use Specific Procedures to set configuration params",
    "SPB Constant Not supported",
    "SPB Constant Unknown",
    "Field Size too small. Field %s.%s",
    "%s. Can't use limited cache. \r\nCachedUpdates must be False,\r\nSelect must have \"Order by\" clause ,\r\nAll "
    "order fields must exist in fields section\r\nSelect can't use params with prefix \"NEW_\"\r\nUpdateTransaction "
    "must be equel Transaction or AutoCommit=True ",
    "Error in %s. FieldList is empty.",
    "%s can't use field \"%s\"",
    "%s is an Firebird 2 function. Please upgrade to Firebird 2 to use this functonality",
};

std::int32_t PrimaryErrorCode() noexcept { return static_cast<std::int32_t>(StatusVector()[1]); }

void CapitaliseFirst(std::string& text) noexcept {
  if (!text.empty()) text[0] = ToUpperAscii(text[0]);
}

// The text up to the first zero byte of a buffer the library filled.
std::string BufferText(const char* buffer, size_t size) {
  size_t length = 0;
  while (length < size && buffer[length] != '\0') ++length;
  return std::string(buffer, length);
}

// One line of the server message, as the program holds text. A line of an
// operating-system error (errno and the like) is the C library's text in the
// locale's code set. A line of an engine message may carry a file name in
// the system's bytes as well as database text already in code page 1251.
std::string LineToCp1251(ISC_STATUS kind, std::string line) {
  if (kind == isc_arg_gds || kind == isc_arg_warning) return MixedTextToCp1251(line);
  return SystemTextToCp1251(line);
}

void AppendNumber(std::string& out, long long value, bool hex8) {
  if (hex8) {
    out += Format("%.8llx", static_cast<unsigned long long>(value) & 0xFFFFFFFFULL);
  } else {
    out += Format("%lld", value);
  }
}

} // namespace

int FbMessageOptions() { return gMessageOptions.load(); }
void SetFbMessageOptions(int options) { gMessageOptions.store(options); }

EFbError::EFbError(std::int32_t sqlCode, TComponent* raiser, std::string sqlMessage, std::string serverMessage,
                   std::string customMessage, std::string messageBody)
    : EDatabaseError(std::string()), sqlCode_(sqlCode), errorCode_(PrimaryErrorCode()),
      raiserName_(raiser != nullptr ? raiser->FullName() : std::string()), sqlMessage_(std::move(sqlMessage)),
      serverMessage_(std::move(serverMessage)), customMessage_(std::move(customMessage)),
      messageBody_(std::move(messageBody)), raiser_(raiser) {
  Compose();
}

void EFbError::SetMessageBody(std::string body) {
  messageBody_ = std::move(body);
  Compose();
}

void EFbError::Compose() {
  const int options = FbMessageOptions();
  std::string text;
  if ((options & kFbMsgRaiserName) != 0 && raiserName_.size() > 1) text += raiserName_ + ":\r\n";
  if ((options & kFbMsgSql) != 0) text += sqlMessage_;
  if ((options & kFbMsgServer) != 0) text += serverMessage_;
  if (!customMessage_.empty()) text += customMessage_;
  text += messageBody_;
  SetMessage(std::move(text));
}

std::string_view ClientErrorText(int index) {
  const int slot = ((index % 128) + 128) % 128;
  if (slot >= fbceClientMessageCount) return {};
  return kClientMessages[static_cast<size_t>(slot)];
}

std::string FormatFbMessage(std::string_view format, std::initializer_list<TFbArg> args) {
  std::string out;
  auto next = args.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    if (c != '%' || i + 1 >= format.size()) {
      out += c;
      continue;
    }
    if (format[i + 1] == '%') {
      out += '%';
      ++i;
      continue;
    }
    // The conversions the table uses: %s, %d, %x and %.8x.
    size_t j = i + 1;
    bool hex8 = false;
    if (format.substr(j, 3) == ".8x") {
      hex8 = true;
      j += 2;
    }
    const char conversion = format[j];
    if (conversion != 's' && conversion != 'd' && conversion != 'x') {
      out += c;
      continue;
    }
    i = j;
    if (next == args.end()) continue; // a missing argument writes nothing
    const TFbErrorArg& value = (next++)->value;
    if (const auto* text = std::get_if<std::string_view>(&value)) {
      out.append(*text);
    } else {
      const long long number = std::get<long long>(value);
      AppendNumber(out, number, hex8 || conversion == 'x');
    }
  }
  return out;
}

void RaiseClientError(int index, std::initializer_list<TFbArg> args) {
  const int slot = ((index % 128) + 128) % 128;
  throw EFbClientError(slot, nullptr, "", "", "", FormatFbMessage(ClientErrorText(slot), args));
}

void RaiseClientErrorText(std::string_view format, std::initializer_list<TFbArg> args) {
  throw EFbClientError(-1, nullptr, "", "", "", FormatFbMessage(format, args));
}

int CheckedTimeout(int milliseconds) {
  if (milliseconds < 0) RaiseClientError(fbceTimeoutNegative);
  return milliseconds;
}

void RaiseServerError(const IIBClientLibrary& library, TComponent* raiser) {
  ISC_STATUS* status = StatusVector();
  const int options = FbMessageOptions();

  const std::int32_t sqlCode = static_cast<std::int32_t>(library.isc_sqlcode(status));

  std::string sqlMessage;
  if ((options & kFbMsgSql) != 0) {
    char buffer[512] = {};
    library.isc_sql_interprete(static_cast<short>(sqlCode), buffer, static_cast<short>(sizeof buffer));
    std::string text = BufferText(buffer, sizeof buffer);
    for (size_t at = text.find("\\n"); at != std::string::npos; at = text.find("\\n", at)) text.erase(at, 2);
    if (!text.empty()) {
      CapitaliseFirst(text);
      if (text.back() != '.') text += ".\r\n";
    }
    sqlMessage = std::move(text);
  }

  std::string serverMessage;
  if ((options & kFbMsgServer) != 0) {
    // isc_interprete takes no buffer size; the client writes at most about a
    // kilobyte per line, so this leaves a wide margin.
    auto buffer = std::make_unique<char[]>(4096);
    ISC_STATUS* cursor = status;
    for (;;) {
      std::fill_n(buffer.get(), 4096, '\0');
      const ISC_STATUS kind = cursor[0];
      if (library.isc_interprete(buffer.get(), &cursor) <= 0) break;
      std::string line = LineToCp1251(kind, BufferText(buffer.get(), 4095));
      if (line.empty()) continue;
      CapitaliseFirst(line);
      serverMessage += line;
      if (serverMessage.back() != '.') serverMessage += '.';
      serverMessage += "\r\n";
    }
  }

  auto error = std::make_unique<EFbServerError>(sqlCode, raiser, std::move(sqlMessage), std::move(serverMessage),
                                                std::string(), std::string());
  TFbErrorHandler handler;
  {
    std::lock_guard lock(gHandlerMutex);
    handler = gErrorHandler;
  }
  if (handler) {
    bool raise = true;
    handler(raiser, *error, raise); // an exception from the handler replaces ours
    if (!raise) return;
  }
  throw EFbServerError(std::move(*error));
}

std::intptr_t CheckFbResult(const IIBClientLibrary& library, std::intptr_t result, TComponent* raiser, bool raise) {
  RestoreDefaultFpuControlWord();
  if (raise && result > 0) RaiseServerError(library, raiser);
  return result;
}

void SetFbErrorHandler(TFbErrorHandler handler) {
  std::lock_guard lock(gHandlerMutex);
  gErrorHandler = std::move(handler);
}

} // namespace od
