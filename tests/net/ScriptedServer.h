#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// An HTTP-ish test peer on a loopback port chosen by the system. It serves a
// fixed script per accepted connection, in order: read the request (unless
// told not to), then send bytes, pause, and end with an orderly close, a
// reset, or by holding the connection until the client closes it. It records
// every byte each client sent.
namespace od::test {

struct ServerStep {
  enum Kind { Send, Pause, Close, Reset, Hold, ReadRequest };
  Kind kind = Send;
  std::string bytes;
  int ms = 0;
};

inline ServerStep Send(std::string bytes) { return {ServerStep::Send, std::move(bytes), 0}; }
inline ServerStep Pause(int ms) { return {ServerStep::Pause, {}, ms}; }
inline ServerStep Close() { return {ServerStep::Close, {}, 0}; }
inline ServerStep Reset() { return {ServerStep::Reset, {}, 0}; }
inline ServerStep Hold() { return {ServerStep::Hold, {}, 0}; }
// Reads one more whole request on the same connection.
inline ServerStep ReadRequest() { return {ServerStep::ReadRequest, {}, 0}; }

struct ServerScript {
  std::vector<ServerStep> steps;
  // Wait for a whole request (header block and a Content-Length body) before
  // the first step.
  bool readRequest = true;
};

// A loopback port that refuses connections: a bound socket that never
// listens, held for the object's life so that no other test takes the port.
class RefusingPort {
public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;

  std::string PortText() const { return std::to_string(port_); }

private:
  int holder_ = -1;
  int port_ = 0;
};

// A loopback port whose connects never complete: it listens with a backlog
// of 0, and one connection that nobody accepts fills its queue, so the
// system drops every further SYN and the connecting side waits on its own.
class UnansweredPort {
public:
  UnansweredPort();
  ~UnansweredPort();
  UnansweredPort(const UnansweredPort&) = delete;
  UnansweredPort& operator=(const UnansweredPort&) = delete;

  std::string PortText() const { return std::to_string(port_); }

private:
  int listener_ = -1;
  int filler_ = -1;
  int port_ = 0;
};

class ScriptedServer {
public:
  // family AF_INET listens on 127.0.0.1, AF_INET6 on ::1.
  explicit ScriptedServer(std::vector<ServerScript> connections, int family = AF_INET);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  // False when the address family has no loopback on this machine.
  bool Listening() const { return listener_ != -1; }
  int Port() const { return port_; }
  std::string PortText() const { return std::to_string(port_); }
  // Waits (bounded) until every scripted connection has ended, then returns
  // what each client sent.
  std::vector<std::string> Requests();
  // How many connections were accepted so far.
  int Accepted() const { return accepted_; }

private:
  void Run();
  void Serve(int client, const ServerScript& script, std::string& request);

  std::vector<ServerScript> scripts_;
  std::vector<std::string> requests_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::mutex mutex_;
  std::condition_variable done_;
  bool finished_ = false;
  std::thread thread_;
};

// Bounded wait for a condition, polled every few milliseconds.
template <class Predicate> bool WaitUntil(Predicate predicate, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

} // namespace od::test
