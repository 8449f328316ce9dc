#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace od::demo {

// What the service does with one request.
struct TServiceReply {
  enum TKind {
    Send,  // send Bytes, then close the connection
    Close, // close the connection without answering
    Reset, // abort the connection (the peer sees a reset)
  };
  TKind Kind = Send;
  std::string Bytes;
};

// A small HTTP/1.x service on 127.0.0.1: one request per connection,
// answered by a handler that gets the request target
// ("/server_scripts/get_zakaz_dt.php?zakaz_id=7"). It serves one connection
// at a time, or up to `concurrency` at once, each on a thread of its own
// (the handler must then be safe to call from several threads). It keeps the
// head of every request it saw.
class TOrderService {
public:
  using THandler = std::function<TServiceReply(const std::string& target)>;

  // Listens on 127.0.0.1:`port` (0: a free port the system picks) and serves
  // on a thread of its own until Stop or destruction. Throws std::runtime_error
  // when it cannot listen.
  TOrderService(THandler handler, std::uint16_t port = 0, int concurrency = 1);
  ~TOrderService();

  TOrderService(const TOrderService&) = delete;
  TOrderService& operator=(const TOrderService&) = delete;

  std::uint16_t Port() const noexcept { return port_; }
  // "127.0.0.1:<port>".
  std::string Host() const;
  void Stop();

  // Request heads seen so far, each the request line and the header lines as
  // received, joined by "\r\n".
  std::vector<std::string> Requests() const;
  // Request targets seen so far.
  std::vector<std::string> Targets() const;
  std::size_t RequestCount() const;
  // The most requests it was serving at one moment: from the end of a
  // request's head to the start of its answer, so that one client's next
  // request can never overlap its last.
  int MostAtOnce() const;

  // "HTTP/1.0 <status> <reason>" with Content-Type text/plain and
  // Content-Length, then the body.
  static TServiceReply TextReply(int status, const std::string& body);

private:
  void Serve();
  void HandleConnection(int fd);
  void ServeAside(int fd);

  THandler handler_;
  int listenFd_ = -1;
  int wakeFds_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::thread thread_;
  int concurrency_ = 1;
  mutable std::mutex mutex_;
  std::condition_variable slotFree_;
  std::vector<std::thread> aside_;
  int serving_ = 0;
  int connections_ = 0;
  int mostAtOnce_ = 0;
  std::vector<std::string> requests_;
  std::vector<std::string> targets_;
};

// The order number of a target of the order path, or "" for another target.
std::string OrderOfTarget(const std::string& target);

} // namespace od::demo
