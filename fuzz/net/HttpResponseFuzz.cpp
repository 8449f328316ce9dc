// Feeds arbitrary server bytes to THttpClient::PerformRequest over a real
// loopback connection. One server thread per process listens on a port the
// system picks and serves each input over a fresh connection: it reads the
// request, then sends the input in segments and ends with a close or a reset.
//
// Input layout: byte 0 holds flags (bit 0: method HEAD instead of GET,
// bit 1: HTTP/1.1, bit 2: end with a reset). The rest is sent as it is,
// except that each pair FF FE marks a pause between two packets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/HttpClient.h"

namespace {

struct Job {
  std::vector<std::string> segments;
  bool reset = false;
};

class FuzzServer {
public:
  FuzzServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (listener_ == -1 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener_, 8) != 0)
      std::abort();
    socklen_t length = sizeof(address);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    std::thread([this] { Run(); }).detach();
  }

  int Port() const { return port_; }

  // Hands the next connection its script.
  void Post(Job job) {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = std::move(job);
    posted_ = true;
    served_ = false;
    changed_.notify_all();
  }

  // Bounded wait until the posted job's connection has ended.
  void WaitServed() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [this] { return served_; });
    posted_ = false;
  }

private:
  void Run() {
    while (true) {
      Job job;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return posted_ && !served_; });
        job = job_;
      }
      Serve(job);
      std::lock_guard<std::mutex> lock(mutex_);
      served_ = true;
      changed_.notify_all();
    }
  }

  void Serve(const Job& job) {
    pollfd p{listener_, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return;
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client == -1) return;
    int one = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    std::string request;
    char buffer[4096];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (request.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd c{client, POLLIN, 0};
      if (poll(&c, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(client, buffer, sizeof(buffer), 0);
      if (n <= 0) break;
      request.append(buffer, static_cast<size_t>(n));
    }
    for (size_t i = 0; i < job.segments.size(); ++i) {
      if (i > 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
      const std::string& segment = job.segments[i];
      if (!segment.empty() && ::send(client, segment.data(), segment.size(), MSG_NOSIGNAL) < 0) break;
    }
    if (job.reset) {
      linger hard{1, 0};
      setsockopt(client, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    }
    ::close(client);
  }

  int listener_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  Job job_;
  bool posted_ = false;
  bool served_ = false;
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

FuzzServer& Server() {
  static FuzzServer* server = new FuzzServer(); // lives until the process ends
  return *server;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
  FuzzServer& server = Server();
  const std::uint8_t flags = size > 0 ? data[0] : 0;
  Job job;
  job.reset = (flags & 4) != 0;
  job.segments.emplace_back();
  for (size_t i = 1; i < size; ++i) {
    if (data[i] == 0xFF && i + 1 < size && data[i + 1] == 0xFE) {
      job.segments.emplace_back();
      ++i;
    } else {
      job.segments.back() += static_cast<char>(data[i]);
    }
  }
  server.Post(std::move(job));
  {
    od::THttpClient client;
    client.Timeout = 3000;
    client.RequestDeadline = 10000;
    if (flags & 2) client.Protocol = "1.1";
    const bool result =
        client.PerformRequest((flags & 1) ? "HEAD" : "GET", "http://127.0.0.1:" + std::to_string(server.Port()) + "/f");
    CheckOutcome(client, result);
    // What the caller would do next with the answer.
    od::TStringList lines;
    lines.LoadFromStream(client.Document);
  }
  server.WaitServed();
  return 0;
}
