#include "net/TlsLayer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "net/AddressText.h"
#include "net/BlockSocket.h"
#include "net/TlsContext.h"

namespace od {

namespace {

std::atomic<std::int64_t> handshakes{0};
std::atomic<std::int64_t> resumed{0};

// The TLS session of one connection. The descriptor is switched to
// non-blocking while the session lasts: every time the library needs the
// peer, the wait is the socket's own, with its time-out, its deadline, its
// wait hook and the termination signals, exactly as for a plain read.
class TTlsLayer : public TCustomSSL {
public:
  TTlsLayer(TBlockSocket& socket, std::shared_ptr<TTlsContext> context)
      : TCustomSSL(socket), context_(std::move(context)) {}
  ~TTlsLayer() override { Free(); }

  std::string LibName() const override { return "ssl_openssl"; }
  std::string LibVersion() const override { return OpenSSL_version(OPENSSL_VERSION); }
  bool Connect() override;
  bool Shutdown() override;
  int SendBuffer(const void* buffer, int length) override;
  int RecvBuffer(void* buffer, int length) override;
  int WaitingData() override { return ssl_ != nullptr ? SSL_pending(ssl_) : 0; }

private:
  bool Start();
  // One wait for what the library asked for (err: SSL_ERROR_WANT_...);
  // false, with the failure recorded, when it ran out or was stopped.
  bool WaitForPeer(int err, int timeout);
  // Records why the library gave up on an operation that returned result.
  void Fail(int result);
  void Failed(int code, std::string text);
  void Free();

  std::shared_ptr<TTlsContext> context_;
  SSL* ssl_ = nullptr;
  std::string sessionKey_;
};

bool TTlsLayer::Start() {
  lastError_ = 0;
  lastErrorDesc_.clear();
  Free();
  if (!context_) {
    Failed(WsaError::SecureFailed, "the secure layer has no context");
    return false;
  }
  if (SNIHost.empty()) {
    Failed(WsaError::SecureFailed, "the secure layer has no host to check the certificate against");
    return false;
  }
  const int fd = socket_.SocketHandle();
  ssl_ = SSL_new(context_->Handle());
  BIO* bio = ssl_ != nullptr ? NewQuietSocketBio(fd) : nullptr;
  if (bio == nullptr) {
    Failed(WsaError::SecureFailed, "the secure layer cannot start");
    return false;
  }
  SSL_set_bio(ssl_, bio, bio);
  const int flags = fcntl(fd, F_GETFL);
  if (flags != -1) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  // The handshake's last flight and the request go out as records of their
  // own, one right after the other: held back until the first is
  // acknowledged, the request would wait for the server's delayed ACK.
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  // An address is checked as an address and sent no server name, which
  // names hosts only; a name is both sent and checked.
  if (IsIPv4Text(SNIHost) || IsIPv6Text(SNIHost)) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), SNIHost.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl_, SNIHost.c_str());
    SSL_set_hostflags(ssl_, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    SSL_set1_host(ssl_, SNIHost.c_str());
  }
  sessionKey_ = SNIHost + " " + NumericAddress(socket_.RemoteAddress()) + " " +
                std::to_string(PortNumber(socket_.RemoteAddress()));
  SSL_set_ex_data(ssl_, TTlsContext::KeySlot(), &sessionKey_);
  context_->OfferSession(ssl_, sessionKey_);
  return true;
}

bool TTlsLayer::Connect() {
  if (!Start()) return false;
  while (true) {
    ERR_clear_error();
    const int result = SSL_connect(ssl_);
    if (result == 1) break;
    const int err = SSL_get_error(ssl_, result);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
      if (!WaitForPeer(err, socket_.ConnectTimeout)) return false;
      continue;
    }
    const long verified = SSL_get_verify_result(ssl_);
    if (verified != X509_V_OK)
      Failed(WsaError::CertificateRefused, CertificateRefusalText(verified, SNIHost));
    else
      Fail(result);
    return false;
  }
  ++handshakes;
  if (SSL_session_reused(ssl_) == 1) ++resumed;
  enabled_ = true;
  return true;
}

bool TTlsLayer::Shutdown() {
  // The close notice goes out once, without waiting for the server's: the
  // answer has been read, and the server may have gone already.
  if (ssl_ != nullptr && enabled_) {
    ERR_clear_error();
    SSL_shutdown(ssl_);
  }
  Free();
  return true;
}

int TTlsLayer::SendBuffer(const void* buffer, int length) {
  lastError_ = 0;
  lastErrorDesc_.clear();
  while (true) {
    ERR_clear_error();
    size_t written = 0;
    if (SSL_write_ex(ssl_, buffer, static_cast<size_t>(length), &written) == 1) return static_cast<int>(written);
    const int err = SSL_get_error(ssl_, 0);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
      if (!WaitForPeer(err, socket_.NonblockSendTimeout)) return -1;
      continue;
    }
    Fail(0);
    return -1;
  }
}

int TTlsLayer::RecvBuffer(void* buffer, int length) {
  lastError_ = 0;
  lastErrorDesc_.clear();
  while (true) {
    ERR_clear_error();
    size_t got = 0;
    if (SSL_read_ex(ssl_, buffer, static_cast<size_t>(length), &got) == 1) return static_cast<int>(got);
    const int err = SSL_get_error(ssl_, 0);
    // The server's close notice: the end of what it sends, as it meant it.
    if (err == SSL_ERROR_ZERO_RETURN) return 0;
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
      if (!WaitForPeer(err, WaitTimeout)) return -1;
      continue;
    }
    Fail(0);
    return -1;
  }
}

bool TTlsLayer::WaitForPeer(int err, int timeout) {
  const bool ready = err == SSL_ERROR_WANT_READ ? socket_.WaitReadable(timeout) : socket_.WaitWritable(timeout);
  if (ready) return true;
  const int code = socket_.LastErrorCode() != 0 ? socket_.LastErrorCode() : WsaError::TimedOut;
  Failed(code, SocketErrorText(code));
  return false;
}

void TTlsLayer::Fail(int result) {
  const int err = SSL_get_error(ssl_, result);
  const unsigned long code = ERR_peek_error();
  if (ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING || (err == SSL_ERROR_SYSCALL && errno == 0)) {
    // The connection ended without the close notice: whatever came last
    // may have been cut by anyone on the way.
    Failed(WsaError::SecureCutShort, SocketErrorText(WsaError::SecureCutShort));
  } else if (err == SSL_ERROR_SYSCALL && code == 0) {
    const int wsa = ErrnoToWsaError(errno);
    Failed(wsa, SocketErrorText(wsa));
  } else {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    Failed(WsaError::SecureFailed, std::string("the secure connection failed: ") + text);
  }
  ERR_clear_error();
}

void TTlsLayer::Failed(int code, std::string text) {
  lastError_ = code;
  lastErrorDesc_ = std::move(text);
}

void TTlsLayer::Free() {
  enabled_ = false;
  if (ssl_ == nullptr) return;
  SSL_free(ssl_);
  ssl_ = nullptr;
}

} // namespace

bool CheckCaFile(const std::string& path, std::string& error) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) {
    error = "no file '" + path + "' can be read";
    return false;
  }
  X509* certificate = PEM_read_X509(file, nullptr, nullptr, nullptr);
  std::fclose(file);
  ERR_clear_error();
  if (certificate == nullptr) {
    error = "'" + path + "' holds no PEM certificate";
    return false;
  }
  X509_free(certificate);
  return true;
}

bool UseTlsLayer(const std::string& caFile, std::string& error) {
  if (!caFile.empty() && !CheckCaFile(caFile, error)) return false;
  std::shared_ptr<TTlsContext> context = TTlsContext::Make(caFile, error);
  if (!context) return false;
  SetCurrentTlsContext(context);
  SetSSLImplementation([](TBlockSocket& socket) -> std::unique_ptr<TCustomSSL> {
    return std::make_unique<TTlsLayer>(socket, CurrentTlsContext());
  });
  return true;
}

TTlsCounts TlsCounts() { return {handshakes.load(), resumed.load()}; }

void SetTlsResumption(bool on) { SetTlsResumptionFlag(on); }

} // namespace od
