#include "demo/OrderService.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace od::demo {

namespace {

constexpr std::size_t kMaxHead = 16 * 1024;
constexpr int kReadTimeoutMs = 10000;
const std::string kOrderPath = "/server_scripts/get_zakaz_dt.php?zakaz_id=";

void SendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

// Reads up to the empty line that ends the head; "" when the peer went away,
// sent too much or took too long.
std::string ReadHead(int fd) {
  std::string head;
  char buffer[1024];
  while (head.find("\r\n\r\n") == std::string::npos) {
    if (head.size() > kMaxHead) return {};
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, kReadTimeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return {};
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return {};
    head.append(buffer, static_cast<std::size_t>(n));
  }
  head.erase(head.find("\r\n\r\n"));
  return head;
}

} // namespace

std::string OrderOfTarget(const std::string& target) {
  if (target.compare(0, kOrderPath.size(), kOrderPath) != 0) return {};
  return target.substr(kOrderPath.size());
}

TOrderService::TOrderService(THandler handler, std::uint16_t port, int concurrency)
    : handler_(std::move(handler)), concurrency_(concurrency > 1 ? concurrency : 1) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  const int on = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listenFd_, 16) != 0) {
    const std::string error = std::strerror(errno);
    ::close(listenFd_);
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + error);
  }
  socklen_t length = sizeof address;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  if (::pipe2(wakeFds_, O_CLOEXEC) != 0) {
    ::close(listenFd_);
    throw std::runtime_error("pipe failed");
  }
  thread_ = std::thread([this] { Serve(); });
}

TOrderService::~TOrderService() { Stop(); }

std::string TOrderService::Host() const { return "127.0.0.1:" + std::to_string(port_); }

void TOrderService::Stop() {
  if (!thread_.joinable()) return;
  const char wake = 1;
  [[maybe_unused]] ssize_t n = ::write(wakeFds_[1], &wake, 1);
  thread_.join();
  for (std::thread& aside : aside_) aside.join();
  aside_.clear();
  ::close(listenFd_);
  ::close(wakeFds_[0]);
  ::close(wakeFds_[1]);
  listenFd_ = wakeFds_[0] = wakeFds_[1] = -1;
}

std::vector<std::string> TOrderService::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<std::string> TOrderService::Targets() const {
  std::lock_guard lock(mutex_);
  return targets_;
}

std::size_t TOrderService::RequestCount() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

int TOrderService::MostAtOnce() const {
  std::lock_guard lock(mutex_);
  return mostAtOnce_;
}

TServiceReply TOrderService::TextReply(int status, const std::string& body) {
  const char* reason = status == 200 ? "OK" : status == 404 ? "Not Found" : status == 400 ? "Bad Request" : "Status";
  TServiceReply reply;
  reply.Bytes = "HTTP/1.0 " + std::to_string(status) + " " + reason +
                "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
                "\r\nConnection: close\r\n\r\n" + body;
  return reply;
}

void TOrderService::Serve() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || (fds[1].revents & POLLIN) != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    if (concurrency_ == 1)
      HandleConnection(fd);
    else
      ServeAside(fd);
  }
}

void TOrderService::ServeAside(int fd) {
  std::unique_lock lock(mutex_);
  // A connection beyond the limit waits in the queue of the listening
  // socket, as it would at a server with that many workers.
  slotFree_.wait(lock, [this] { return connections_ < concurrency_; });
  ++connections_;
  aside_.emplace_back([this, fd] {
    HandleConnection(fd);
    std::lock_guard done(mutex_);
    --connections_;
    slotFree_.notify_all();
  });
}

void TOrderService::HandleConnection(int fd) {
  const std::string head = ReadHead(fd);
  if (head.empty()) {
    ::close(fd);
    return;
  }
  // "GET <target> HTTP/1.0"
  const std::size_t lineEnd = head.find("\r\n");
  const std::string requestLine = head.substr(0, lineEnd);
  std::string target;
  const std::size_t first = requestLine.find(' ');
  const std::size_t last = requestLine.rfind(' ');
  if (first != std::string::npos && last > first) target = requestLine.substr(first + 1, last - first - 1);
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(head);
    targets_.push_back(target);
    mostAtOnce_ = std::max(mostAtOnce_, ++serving_);
  }
  const TServiceReply reply = handler_(target);
  {
    std::lock_guard lock(mutex_);
    --serving_;
  }
  switch (reply.Kind) {
  case TServiceReply::Send:
    SendAll(fd, reply.Bytes);
    ::shutdown(fd, SHUT_WR);
    break;
  case TServiceReply::Close: break;
  case TServiceReply::Reset: {
    const linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    break;
  }
  }
  ::close(fd);
}

} // namespace od::demo
