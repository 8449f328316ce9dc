#pragma once

#include <functional>
#include <memory>
#include <string>

// The secure-layer plug-in point of the TCP socket, with its settings.
namespace od {

class TBlockSocket;

// This base and TSSLNone offer no secure layer: every operation fails with
// "SSL/TLS support is not compiled!".
class TCustomSSL {
public:
  enum TSSLType { LT_all, LT_SSLv2, LT_SSLv3, LT_TLSv1, LT_TLSv1_1, LT_SSHv2 };

  explicit TCustomSSL(TBlockSocket& socket) : socket_(socket) {}
  virtual ~TCustomSSL() = default;
  TCustomSSL(const TCustomSSL&) = delete;
  TCustomSSL& operator=(const TCustomSSL&) = delete;

  virtual std::string LibName() const { return "ssl_none"; }
  virtual std::string LibVersion() const { return ""; }
  virtual bool Connect();
  virtual bool Shutdown();
  virtual int SendBuffer(const void* buffer, int length);
  virtual int RecvBuffer(void* buffer, int length);
  virtual int WaitingData();

  bool SSLEnabled() const noexcept { return enabled_; }
  // 0, -1 for a failure without a socket code, or the socket code of the
  // failure (a refused certificate, a time-out, a stop...).
  int LastError() const noexcept { return lastError_; }
  const std::string& LastErrorDesc() const noexcept { return lastErrorDesc_; }

  TSSLType SSLType = LT_all;
  std::string KeyPassword, Username, Password, Ciphers, CertificateFile, PrivateKeyFile, Certificate, PrivateKey, PFX,
      PFXfile, TrustCertificateFile, TrustCertificate, CertCA, CertCAFile, SSHChannelType, SSHChannelArg1,
      SSHChannelArg2;
  bool VerifyCert = false;
  // The host the server's certificate must name: a DNS name (sent as the
  // server name too) or an IP address.
  std::string SNIHost;
  // The longest single wait of a read in milliseconds (-1: no limit), set
  // by the socket before each read; the handshake's waits take the
  // socket's connect time-out and the writes' its send time-out.
  int WaitTimeout = -1;

protected:
  void NotCompiled();

  TBlockSocket& socket_;
  bool enabled_ = false;
  int lastError_ = 0;
  std::string lastErrorDesc_;
};

class TSSLNone : public TCustomSSL {
public:
  using TCustomSSL::TCustomSSL;
  std::string LibName() const override { return "ssl_none"; }
  std::string LibVersion() const override { return "Without SSL support"; }
};

// The process-wide choice of the secure layer every new TTCPBlockSocket gets.
// Setting it and making sockets may happen on different threads at once.
using TSSLFactory = std::function<std::unique_ptr<TCustomSSL>(TBlockSocket&)>;
void SetSSLImplementation(TSSLFactory factory);
// A secure layer for socket from the factory chosen last.
std::unique_ptr<TCustomSSL> MakeSecureLayer(TBlockSocket& socket);

} // namespace od
