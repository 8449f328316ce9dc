// The run's resolver: one lookup for many requests, another after a failed
// connect, and a lookup that never answers bounded by the wait and ended by
// a stop. The lookup is injected: the system's cannot be made to hang.
#include "net/HostResolver.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "net/HttpGet.h"
#include "net/SocketErrors.h"
#include "tests/net/ScriptedServer.h"

using namespace od;
using namespace std::chrono_literals;

namespace {

const char* const kAnswer = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\ndated";

// Gives 127.0.0.1 for any name, and counts how often it was asked.
THostResolver::TLookup Loopback(std::shared_ptr<std::atomic<int>> calls) {
  return [calls](TVarSin& address, const std::string&, const std::string& port) {
    ++*calls;
    address = TVarSin{};
    address.in4.sin_family = AF_INET;
    address.in4.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
    address.in4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return 0;
  };
}

THttpGetResult Get(const std::string& url, THostResolver& resolver, const THttpWaitHook* hook = nullptr,
                   std::int32_t timeout = 30000) {
  TStringList lines;
  THttpGetOptions options;
  options.Timeouts = THttpTimeouts::AnswerWithin(timeout);
  options.Hook = hook;
  options.Resolver = &resolver;
  return HttpGetFirstLine(url, lines, options);
}

TEST(HostResolver, LooksUpOnceAndAgainAfterAFailedConnectOrAMinute) {
  test::ScriptedServer server(std::vector<test::ServerScript>(3, test::ServerScript{{test::Send(kAnswer)}}));
  auto calls = std::make_shared<std::atomic<int>>(0);
  auto now = std::chrono::steady_clock::now();
  THostResolver resolver(Loopback(calls), [&now] { return now; });
  const std::string url = "http://orders.example:" + server.PortText() + "/dt";
  EXPECT_TRUE(Get(url, resolver).Ok);
  EXPECT_TRUE(Get(url, resolver).Ok);
  EXPECT_EQ(calls->load(), 1);

  test::RefusingPort refusing;
  const std::string refused = "http://orders.example:" + refusing.PortText() + "/dt";
  EXPECT_EQ(Get(refused, resolver).Failure, THttpFailure::Refused);
  EXPECT_EQ(Get(refused, resolver).Failure, THttpFailure::Refused);
  EXPECT_EQ(calls->load(), 3);

  now += THostResolver::kKeep;
  EXPECT_TRUE(Get(url, resolver).Ok);
  EXPECT_EQ(calls->load(), 4);
}

// A lookup that only ends when the test ends.
struct THangingLookup {
  std::shared_ptr<std::mutex> Mutex = std::make_shared<std::mutex>();
  std::shared_ptr<std::condition_variable> Released = std::make_shared<std::condition_variable>();
  std::shared_ptr<bool> Release = std::make_shared<bool>(false);

  THostResolver::TLookup Lookup() const {
    return [mutex = Mutex, released = Released, release = Release](TVarSin&, const std::string&, const std::string&) {
      std::unique_lock<std::mutex> lock(*mutex);
      released->wait(lock, [&] { return *release; });
      return static_cast<int>(WsaError::TryAgain);
    };
  }
  ~THangingLookup() {
    std::lock_guard<std::mutex> lock(*Mutex);
    *Release = true;
    Released->notify_all();
  }
};

TEST(HostResolver, ALookupThatNeverAnswersIsBoundedAndEndsAtAStop) {
  THangingLookup hanging;
  THostResolver resolver(hanging.Lookup());
  const auto start = std::chrono::steady_clock::now();
  const THttpGetResult timedOut = Get("http://orders.example:8088/dt", resolver, nullptr, 200);
  EXPECT_EQ(timedOut.Failure, THttpFailure::TimedOut);

  std::atomic<bool> stop{false};
  const THttpWaitHook hook{5ms, [&] { return !stop.load(); }};
  stop = true;
  const THttpGetResult stopped = Get("http://orders.example:8088/dt", resolver, &hook);
  EXPECT_EQ(stopped.Failure, THttpFailure::Stopped);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

} // namespace
