#include "net/BlockSocket.h"

#include <sys/socket.h>

#include <cerrno>

// The TCP socket: the plain socket with the secure layer in between once it
// has started, and the orderly close that a TCP peer expects.
namespace od {

TSocksBlockSocket::TSocksBlockSocket() = default;

TTCPBlockSocket::TTCPBlockSocket() : ssl_(MakeSecureLayer(*this)) {}

TTCPBlockSocket::~TTCPBlockSocket() {
  try {
    CloseConnection();
  } catch (...) {
    // A destructor never throws, even for a socket told to raise.
  }
}

void TTCPBlockSocket::ConnectTo(const std::string& host, const std::string& port) {
  if (!HTTPTunnelIP.empty()) {
    ConnectThroughTunnel(host, port);
    if (lastError_ == 0 && OnAfterConnect) OnAfterConnect(*this);
    return;
  }
  if (!SocksIP.empty()) {
    // Connecting through a SOCKS server is not offered.
    ClearLastError();
    lastError_ = ErrnoToWsaError(EOPNOTSUPP);
    ReportError();
    return;
  }
  PlainConnect(host, port);
  if (lastError_ == 0 && OnAfterConnect) OnAfterConnect(*this);
}

void TTCPBlockSocket::CloseConnection() {
  if (ssl_->SSLEnabled()) ssl_->Shutdown();
  // Usually the peer has closed already and its answer has been read: the
  // close then sends the FIN, with nothing unread that would turn it into
  // a reset, and there is nothing to half-close or drain.
  if (socket_ != -1 && lastError_ == 0 && !PeerClosedWithNothingUnread()) {
    ::shutdown(socket_, SHUT_WR);
    DrainInput();
  }
  AbortConnection();
}

void TTCPBlockSocket::StartSecureLayer() {
  ClearLastError();
  if (!ssl_->Connect()) lastError_ = SecureLayerCode();
  ReportError();
}

int TTCPBlockSocket::SendBytes(const void* buffer, int length) {
  if (!ssl_->SSLEnabled()) return TBlockSocket::SendBytes(buffer, length);
  return SendPieces(buffer, length, [this](const char* piece, int n, int& error) -> long {
    const int result = ssl_->SendBuffer(piece, n);
    error = ssl_->LastError() != 0 ? SecureLayerCode() : 0;
    return error != 0 ? -1 : result;
  });
}

int TTCPBlockSocket::ReceiveBytes(void* buffer, int length) {
  if (!ssl_->SSLEnabled()) return TBlockSocket::ReceiveBytes(buffer, length);
  if (StopRequested()) return 0;
  const int result = ssl_->RecvBuffer(buffer, length);
  if (ssl_->LastError() != 0) {
    lastError_ = SecureLayerCode();
    ReportError();
    return -1;
  }
  return AfterReceive(buffer, length, result);
}

bool TTCPBlockSocket::ReadsSystemDirectly() const noexcept { return !ssl_->SSLEnabled(); }

int TTCPBlockSocket::SecureLayerCode() const noexcept {
  return ssl_->LastError() > 0 ? ssl_->LastError() : WsaError::SystemNotReady;
}

void TTCPBlockSocket::ReceivePendingPacket(int timeout, std::string& packet) {
  // A TLS record is at most 16 KiB: one read hands out at most one.
  thread_local char buffer[16384];
  ssl_->WaitTimeout = timeout;
  const int got = ReceiveBytes(buffer, sizeof buffer);
  if (got > 0) packet.assign(buffer, static_cast<size_t>(got));
}

int TTCPBlockSocket::PendingBytes() {
  if (ssl_->SSLEnabled() && socket_ != -1) {
    const int count = ssl_->WaitingData();
    if (count != 0) return count;
  }
  return TBlockSocket::PendingBytes();
}

std::string TTCPBlockSocket::GetErrorDescEx() {
  if (ssl_->LastError() != 0 && lastError_ == SecureLayerCode() && !ssl_->LastErrorDesc().empty())
    return ssl_->LastErrorDesc();
  return TBlockSocket::GetErrorDescEx();
}

} // namespace od
