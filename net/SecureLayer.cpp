#include "net/SecureLayer.h"

#include <mutex>

namespace od {

namespace {

std::mutex& FactoryLock() {
  static std::mutex lock;
  return lock;
}

TSSLFactory& SSLFactory() {
  static TSSLFactory factory = [](TBlockSocket& socket) { return std::make_unique<TSSLNone>(socket); };
  return factory;
}

} // namespace

void SetSSLImplementation(TSSLFactory factory) {
  std::lock_guard<std::mutex> guard(FactoryLock());
  SSLFactory() = std::move(factory);
}

std::unique_ptr<TCustomSSL> MakeSecureLayer(TBlockSocket& socket) {
  TSSLFactory factory;
  {
    // A copy, so that the layer is made outside the lock: a factory may take
    // its time, and one that makes sockets of its own must not deadlock.
    std::lock_guard<std::mutex> guard(FactoryLock());
    factory = SSLFactory();
  }
  return factory(socket);
}

void TCustomSSL::NotCompiled() {
  lastError_ = -1;
  lastErrorDesc_ = "SSL/TLS support is not compiled!";
}

bool TCustomSSL::Connect() {
  NotCompiled();
  return false;
}

bool TCustomSSL::Shutdown() {
  NotCompiled();
  return false;
}

int TCustomSSL::SendBuffer(const void*, int) {
  NotCompiled();
  return -1;
}

int TCustomSSL::RecvBuffer(void*, int) {
  NotCompiled();
  return -1;
}

int TCustomSSL::WaitingData() {
  NotCompiled();
  return 0;
}

} // namespace od
