#include "net/TlsContext.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>

namespace od {

namespace {

std::mutex& CurrentLock() {
  static std::mutex lock;
  return lock;
}

std::shared_ptr<TTlsContext>& Current() {
  static std::shared_ptr<TTlsContext> context;
  return context;
}

std::atomic<bool> resumption{true};

// Called by the library whenever a server hands out a session (in TLS 1.3
// after the handshake, with the first answer): kept for the next
// connection to the same server.
int NewSession(SSL* ssl, SSL_SESSION* session) {
  auto* key = static_cast<const std::string*>(SSL_get_ex_data(ssl, TTlsContext::KeySlot()));
  auto* context = static_cast<TTlsContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  if (key == nullptr || context == nullptr) return 0;
  context->KeepSession(*key, session);
  return 1;
}

std::string LibraryError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "no certificate in it";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

int QuietWrite(BIO* bio, const char* data, int length) {
  const int fd = static_cast<int>(BIO_get_fd(bio, nullptr));
  long sent;
  do sent = ::send(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL);
  while (sent == -1 && errno == EINTR);
  BIO_clear_retry_flags(bio);
  if (sent == -1 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_write(bio);
  return static_cast<int>(sent);
}

const BIO_METHOD* QuietSocketMethod() {
  static BIO_METHOD* method = [] {
    const BIO_METHOD* socket = BIO_s_socket();
    BIO_METHOD* made = BIO_meth_new(BIO_TYPE_SOCKET, "quiet socket");
    BIO_meth_set_write(made, QuietWrite);
    BIO_meth_set_read(made, BIO_meth_get_read(socket));
    BIO_meth_set_puts(made, BIO_meth_get_puts(socket));
    BIO_meth_set_ctrl(made, BIO_meth_get_ctrl(socket));
    BIO_meth_set_create(made, BIO_meth_get_create(socket));
    BIO_meth_set_destroy(made, BIO_meth_get_destroy(socket));
    return made;
  }();
  return method;
}

} // namespace

std::shared_ptr<TTlsContext> TTlsContext::Make(const std::string& caFile, std::string& error) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) {
    error = "the secure layer cannot start: " + LibraryError();
    return nullptr;
  }
  std::shared_ptr<TTlsContext> context(new TTlsContext(ctx));
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  const bool trusted = caFile.empty() ? SSL_CTX_set_default_verify_paths(ctx) == 1
                                      : SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) == 1;
  if (!trusted) {
    error = "'" + caFile + "' holds no usable certificate: " + LibraryError();
    return nullptr;
  }
  ERR_clear_error();
  SSL_CTX_set_app_data(ctx, context.get());
  // The client keeps the sessions itself, by server, so that every worker
  // resumes what any of them was given.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, NewSession);
  return context;
}

TTlsContext::~TTlsContext() {
  for (auto& [key, session] : sessions_) SSL_SESSION_free(session);
  SSL_CTX_free(ctx_);
}

int TTlsContext::KeySlot() {
  static const int slot = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return slot;
}

void TTlsContext::OfferSession(SSL* ssl, const std::string& key) {
  if (!TlsResumption()) return;
  std::lock_guard<std::mutex> guard(lock_);
  const auto found = sessions_.find(key);
  if (found != sessions_.end()) SSL_set_session(ssl, found->second);
}

void TTlsContext::KeepSession(const std::string& key, SSL_SESSION* session) {
  std::lock_guard<std::mutex> guard(lock_);
  SSL_SESSION*& kept = sessions_[key];
  if (kept != nullptr) SSL_SESSION_free(kept);
  kept = session;
}

std::shared_ptr<TTlsContext> CurrentTlsContext() {
  std::lock_guard<std::mutex> guard(CurrentLock());
  return Current();
}

void SetCurrentTlsContext(std::shared_ptr<TTlsContext> context) {
  std::lock_guard<std::mutex> guard(CurrentLock());
  Current() = std::move(context);
}

bool TlsResumption() { return resumption.load(); }

void SetTlsResumptionFlag(bool on) { resumption.store(on); }

BIO* NewQuietSocketBio(int fd) {
  BIO* bio = BIO_new(QuietSocketMethod());
  if (bio != nullptr) BIO_set_fd(bio, fd, BIO_NOCLOSE);
  return bio;
}

std::string CertificateRefusalText(long verifyResult, const std::string& host) {
  const std::string lead = "the service's certificate was refused: ";
  switch (verifyResult) {
  case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
  case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    return lead + "it is self-signed, and nothing trusted vouches for it (a shop's own CA goes to --ca-file)";
  case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
  case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
  case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    return lead + "it is issued by an unknown authority (neither in the system's trust store nor in --ca-file)";
  case X509_V_ERR_CERT_HAS_EXPIRED: return lead + "it has expired";
  case X509_V_ERR_CERT_NOT_YET_VALID: return lead + "it is not valid yet (is this machine's clock right?)";
  case X509_V_ERR_HOSTNAME_MISMATCH:
  case X509_V_ERR_IP_ADDRESS_MISMATCH: return lead + "it is another host's certificate, not one for " + host;
  case X509_V_ERR_CERT_REVOKED: return lead + "it has been revoked";
  default: return lead + X509_verify_cert_error_string(verifyResult);
  }
}

} // namespace od
