#pragma once

#include <string>

#include "base/Exception.h"

// The error numbering of the socket layer: Winsock-style codes (10054,
// 10060, 11001, ...) with an English text each. System errors are mapped onto
// the same numbering, so callers and messages never see raw errno values.
namespace od {

namespace WsaError {
constexpr int Interrupted = 10004;
constexpr int InvalidArgument = 10022;
constexpr int WouldBlock = 10035;
constexpr int InProgress = 10036;
constexpr int ConnectionAborted = 10053;
constexpr int ConnectionReset = 10054;
constexpr int NoBufferSpace = 10055;
constexpr int TimedOut = 10060;
constexpr int ConnectionRefused = 10061;
constexpr int SystemNotReady = 10091;
constexpr int HostNotFound = 11001;
constexpr int TryAgain = 11002;
constexpr int NoRecovery = 11003;
constexpr int NoData = 11004;
// The secure layer's, the tunnel's and the redirects' own failures: no
// system code says them, and a caller must tell them apart (a refused
// certificate is refused again on every try).
constexpr int SecureFailed = 12000;       // the secure session could not be set up or broke down
constexpr int CertificateRefused = 12001; // the server's certificate did not pass the check
constexpr int SecureCutShort = 12002;     // the connection ended without the secure layer's close notice
constexpr int TunnelRefused = 12003;      // the proxy did not open the tunnel
constexpr int RedirectRefused = 12004;    // a redirect that is never followed, or too many of them
} // namespace WsaError

class ESocketError : public Exception {
public:
  ESocketError(std::string message, int errorCode, std::string errorMessage)
      : Exception(std::move(message)), errorCode_(errorCode), errorMessage_(std::move(errorMessage)) {}
  int ErrorCode() const noexcept { return errorCode_; }
  const std::string& ErrorMessage() const noexcept { return errorMessage_; }

private:
  int errorCode_;
  std::string errorMessage_;
};

// Maps an errno value, or a getaddrinfo result (EAI_*), onto the codes above.
// Every system error comes out as a code with a text of its own: one with no
// closer match becomes 10091.
int ErrnoToWsaError(int error) noexcept;
int ResolverToWsaError(int result, int savedErrno) noexcept;

// The text of a code: empty for 0, "Other Winsock error (n)" for a code
// without one. The table is constant, so any thread may ask.
std::string SocketErrorText(int code);

} // namespace od
