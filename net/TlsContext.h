#pragma once

#include <openssl/ssl.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

// The process's one TLS context: the trust it checks servers against, the
// protocol floor and the sessions servers gave, for every request and every
// thread of the run.
namespace od {

class TTlsContext {
public:
  // A context trusting caFile alone, or the system's store when it is
  // empty; null, with why, when caFile cannot be used.
  static std::shared_ptr<TTlsContext> Make(const std::string& caFile, std::string& error);
  ~TTlsContext();
  TTlsContext(const TTlsContext&) = delete;
  TTlsContext& operator=(const TTlsContext&) = delete;

  SSL_CTX* Handle() const noexcept { return ctx_; }
  // Offers the session last given by the server under key to ssl.
  void OfferSession(SSL* ssl, const std::string& key);
  // Keeps session for key (taking the reference), in place of the last.
  void KeepSession(const std::string& key, SSL_SESSION* session);

  // The slot of an SSL object that points at its session key.
  static int KeySlot();

private:
  explicit TTlsContext(SSL_CTX* ctx) : ctx_(ctx) {}

  SSL_CTX* ctx_;
  std::mutex lock_;
  std::map<std::string, SSL_SESSION*> sessions_;
};

// The context new secure layers take: the one UseTlsLayer set up last.
std::shared_ptr<TTlsContext> CurrentTlsContext();
void SetCurrentTlsContext(std::shared_ptr<TTlsContext> context);
bool TlsResumption();
void SetTlsResumptionFlag(bool on);

// A socket BIO that sends with MSG_NOSIGNAL: a peer gone away is an error,
// never a signal that ends the process.
BIO* NewQuietSocketBio(int fd);

// What a certificate check's result means for the shop's administrator.
std::string CertificateRefusalText(long verifyResult, const std::string& host);

} // namespace od
