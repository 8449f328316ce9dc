#include "tests/net/ScriptedServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "base/Ascii.h"

namespace od::test {

namespace {

constexpr auto kRequestWait = std::chrono::seconds(5);
constexpr auto kHoldWait = std::chrono::seconds(20);
constexpr auto kAcceptWait = std::chrono::seconds(20);

// Waits up to ms for the descriptor to become readable.
bool Readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

size_t RequestBodyLength(const std::string& head) {
  const std::string lower = LowerAscii(head);
  const size_t at = lower.find("\r\ncontent-length: ");
  if (at == std::string::npos) return 0;
  size_t value = 0;
  for (size_t i = at + 18; i < lower.size() && IsDigit(lower[i]); ++i) value = value * 10 + (lower[i] - '0');
  return value;
}

} // namespace

RefusingPort::RefusingPort() : holder_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (holder_ == -1 || ::bind(holder_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::getsockname(holder_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error(std::string("cannot bind a loopback port: ") + std::strerror(errno));
  port_ = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort() {
  if (holder_ != -1) ::close(holder_);
}

UnansweredPort::UnansweredPort()
    : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)),
      filler_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (listener_ == -1 || filler_ == -1 ||
      ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(listener_, 0) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::connect(filler_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
    throw std::runtime_error(std::string("cannot fill a loopback listener: ") + std::strerror(errno));
  // The filler counts against the backlog once it stands in the accept queue.
  if (!Readable(listener_, 5000)) throw std::runtime_error("the filler connection never reached the accept queue");
  port_ = ntohs(address.sin_port);
}

UnansweredPort::~UnansweredPort() {
  if (filler_ != -1) ::close(filler_);
  if (listener_ != -1) ::close(listener_);
}

ScriptedServer::ScriptedServer(std::vector<ServerScript> connections, int family)
    : scripts_(std::move(connections)), requests_(scripts_.size()) {
  listener_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ == -1) return;
  sockaddr_storage address{};
  socklen_t length;
  if (family == AF_INET6) {
    auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
    in6.sin6_family = AF_INET6;
    in6.sin6_addr = in6addr_loopback;
    length = sizeof(in6);
  } else {
    auto& in4 = reinterpret_cast<sockaddr_in&>(address);
    in4.sin_family = AF_INET;
    in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof(in4);
  }
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 16) != 0) {
    ::close(listener_);
    listener_ = -1;
    return;
  }
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                   : reinterpret_cast<sockaddr_in&>(address).sin_port);
  thread_ = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ != -1) ::close(listener_);
}

std::vector<std::string> ScriptedServer::Requests() {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait_for(lock, std::chrono::seconds(30), [this] { return finished_; });
  return requests_;
}

void ScriptedServer::Run() {
  for (size_t i = 0; i < scripts_.size() && !stop_; ++i) {
    const auto deadline = std::chrono::steady_clock::now() + kAcceptWait;
    int client = -1;
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
      if (!Readable(listener_, 20)) continue;
      client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client != -1) break;
    }
    if (client == -1) break;
    ++accepted_;
    std::string request;
    Serve(client, scripts_[i], request);
    std::lock_guard<std::mutex> lock(mutex_);
    requests_[i] = std::move(request);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  finished_ = true;
  done_.notify_all();
}

void ScriptedServer::Serve(int client, const ServerScript& script, std::string& request) {
  char buffer[65536];
  auto readRequest = [&] {
    const size_t start = request.size();
    const auto deadline = std::chrono::steady_clock::now() + kRequestWait;
    while (!stop_ && std::chrono::steady_clock::now() < deadline) {
      const size_t end = request.find("\r\n\r\n", start);
      if (end != std::string::npos &&
          request.size() >= end + 4 + RequestBodyLength(request.substr(start, end + 2 - start)))
        break;
      if (!Readable(client, 20)) continue;
      const ssize_t n = ::recv(client, buffer, sizeof(buffer), 0);
      if (n <= 0) break; // the client closed without a whole request
      request.append(buffer, static_cast<size_t>(n));
    }
  };
  if (script.readRequest) readRequest();
  bool closed = false;
  for (const ServerStep& step : script.steps) {
    if (stop_) break;
    switch (step.kind) {
    case ServerStep::Send: ::send(client, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL); break;
    case ServerStep::Pause: std::this_thread::sleep_for(std::chrono::milliseconds(step.ms)); break;
    case ServerStep::Close: break;
    case ServerStep::ReadRequest: readRequest(); break;
    case ServerStep::Reset: {
      linger hard{1, 0};
      setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
      ::close(client);
      closed = true;
      break;
    }
    case ServerStep::Hold: {
      const auto deadline = std::chrono::steady_clock::now() + kHoldWait;
      while (!stop_ && std::chrono::steady_clock::now() < deadline) {
        if (!Readable(client, 20)) continue;
        const ssize_t n = ::recv(client, buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
      }
      break;
    }
    }
    if (closed || step.kind == ServerStep::Close) break;
  }
  if (!closed) {
    // Take what the client still sent, so that the close is an orderly one
    // and not a reset for unread data.
    while (Readable(client, 0)) {
      const ssize_t n = ::recv(client, buffer, sizeof(buffer), MSG_DONTWAIT);
      if (n <= 0) break;
      request.append(buffer, static_cast<size_t>(n));
    }
    ::close(client);
  }
}

} // namespace od::test
