// Feeds arbitrary server bytes to THttpClient::PerformRequest over a real
// loopback connection, in one thread and without a single timed wait. The
// server side is driven by the client's own socket events: the connection is
// accepted once the client's connect is through, the request is read away
// after each of the client's sends and reads, and the next packet goes out
// only after the client has read the one before. Each packet boundary of the
// input is thus one the client really meets, a run is the same every time,
// and no request ever sits idle waiting for a timer.
//
// Input layout: byte 0 holds flags (bit 0: method HEAD instead of GET,
// bit 1: HTTP/1.1, bit 2: end with a reset). The rest is sent as it is,
// except that each pair FF FE marks a boundary between two packets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/HttpClient.h"

namespace {

// The listening socket, made once per process: the client's connect
// completes against its backlog before the connection is accepted. Accepted
// connections inherit its no-delay option, so that each packet goes out when
// it is sent rather than when the client's acknowledgement comes.
class Listener {
public:
  Listener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int one = 1;
    if (fd_ == -1 || setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0) std::abort();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ == -1 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || ::listen(fd_, 8) != 0)
      std::abort();
    socklen_t length = sizeof(address);
    if (getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) std::abort();
    url_ = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/f";
  }

  int Fd() const { return fd_; }
  const std::string& Url() const { return url_; }

private:
  int fd_ = -1;
  std::string url_;
};

Listener& TheListener() {
  static Listener* listener = new Listener(); // lives until the process ends
  return *listener;
}

// The server's side of one input. Every step runs inside a status event of
// the client's socket, so no step ever waits for the other side.
class ScriptedServer {
public:
  ScriptedServer(std::vector<std::string> segments, bool reset) : segments_(std::move(segments)), reset_(reset) {}
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;
  ~ScriptedServer() { Close(); }

  void OnStatus(od::TBlockSocket& sender, od::THookSocketReason reason) {
    switch (reason) {
    case od::HR_Connect:
      if (sender.LastErrorCode() == 0) Accept();
      break;
    case od::HR_WriteCount:
      // Nothing goes out before the whole request is in, as a server would
      // answer; the first packet may end the exchange already.
      ReadRequest();
      if (!answering_ && requestDone_) {
        answering_ = true;
        SendNext();
      }
      break;
    case od::HR_ReadCount:
      ReadRequest();
      answering_ = answering_ || requestDone_;
      SendNext();
      break;
    default: break;
    }
  }

  // Whatever is left of the connection once the request has returned.
  void Close() {
    if (fd_ != -1) ::close(fd_);
    fd_ = -1;
  }

private:
  void Accept() {
    Close(); // the client connects once per request; a second one starts over
    // The connect has completed, so the connection is in the backlog
    // already: the wait is a guard against a broken harness, not a delay.
    const int listener = TheListener().Fd();
    fd_ = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd_ == -1) {
      pollfd p{listener, POLLIN, 0};
      if (::poll(&p, 1, 5000) != 1) return;
      fd_ = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd_ == -1) return;
    }
    request_.clear();
    requestDone_ = false;
    answering_ = false;
    ended_ = false;
    next_ = 0;
    sent_ = 0;
  }

  // Reads away what has arrived of the request, without waiting. A GET
  // sends nothing after its empty line but its FIN.
  void ReadRequest() {
    if (fd_ == -1 || requestDone_) return;
    char buffer[4096];
    ssize_t n;
    do {
      n = ::recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT);
      if (n > 0) request_.append(buffer, static_cast<size_t>(n));
    } while (n == static_cast<ssize_t>(sizeof(buffer)));
    requestDone_ = request_.find("\r\n\r\n") != std::string::npos;
  }

  // Sends the next packet that holds anything: an empty one would leave the
  // client waiting for bytes that never come. A packet larger than the
  // client's receive buffer goes out over several of its reads. After the
  // last one the connection ends, once the request is in.
  void SendNext() {
    if (fd_ == -1 || ended_ || !answering_) return;
    while (next_ < segments_.size() && sent_ == segments_[next_].size()) {
      ++next_;
      sent_ = 0;
    }
    if (next_ < segments_.size()) {
      const std::string& segment = segments_[next_];
      const ssize_t n = ::send(fd_, segment.data() + sent_, segment.size() - sent_, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) return;
      sent_ += static_cast<size_t>(n);
    }
    while (next_ < segments_.size() && sent_ == segments_[next_].size()) {
      ++next_;
      sent_ = 0;
    }
    if (next_ == segments_.size()) End();
  }

  void End() {
    ended_ = true;
    if (reset_) {
      linger hard{1, 0};
      setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
      Close();
    } else {
      // A FIN only: the descriptor stays open until the request returns, so
      // that the client's own close never meets a reset from this side.
      ::shutdown(fd_, SHUT_WR);
    }
  }

  std::vector<std::string> segments_;
  bool reset_;
  int fd_ = -1;
  std::string request_;
  bool requestDone_ = false;
  bool answering_ = false;
  bool ended_ = false;
  size_t next_ = 0; // the packet going out
  size_t sent_ = 0; // how much of it is out
};

// What every request must leave behind, whatever the server sent: a body
// within the bound, a success that agrees with the error code and is readable
// from its start, and an error code that has a text of its own.
void CheckOutcome(od::THttpClient& client, bool result) {
  const int error = client.Sock->LastErrorCode();
  if (static_cast<std::int64_t>(client.Document.Size()) > od::kHttpMaxBodySize) std::abort();
  if (result != (error == 0)) std::abort();
  if (result && client.Document.Position() != 0) std::abort();
  if (error != 0 && od::TBlockSocket::GetErrorDesc(error).rfind("Other Winsock error", 0) == 0) std::abort();
  if (client.Headers.Count() > od::kHttpMaxHeaderLines + 2) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  const std::uint8_t flags = size > 0 ? data[0] : 0;
  std::vector<std::string> segments(1);
  for (size_t i = 1; i < size; ++i) {
    if (data[i] == 0xFF && i + 1 < size && data[i + 1] == 0xFE) {
      segments.emplace_back();
      ++i;
    } else {
      segments.back() += static_cast<char>(data[i]);
    }
  }
  ScriptedServer server(std::move(segments), (flags & 4) != 0);
  od::THttpClient client;
  // Neither bound is ever reached when the harness works: they only keep a
  // broken one from hanging the run.
  client.Timeout = 3000;
  client.RequestDeadline = 10000;
  if (flags & 2) client.Protocol = "1.1";
  client.Sock->OnStatus = [&server](od::TBlockSocket& sender, od::THookSocketReason reason, const std::string&) {
    server.OnStatus(sender, reason);
  };
  const bool result = client.PerformRequest((flags & 1) ? "HEAD" : "GET", TheListener().Url());
  // The server's side ends here, before the client's own close reads what
  // is left: that close then finds the end of stream at once.
  client.Sock->OnStatus = nullptr;
  server.Close();
  CheckOutcome(client, result);
  // What the caller would do next with the answer.
  od::TStringList lines;
  lines.LoadFromStream(client.Document);
  return 0;
}
