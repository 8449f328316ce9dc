#include "net/HttpGetPool.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/SocketErrors.h"
#include "tests/net/ScriptedServer.h"

using namespace od;

namespace {

using namespace std::chrono_literals;

// What the order server has seen so far.
struct TServerCounts {
  std::vector<std::string> Paths; // in the order the requests arrived
  std::size_t Answered = 0;
  std::size_t Active = 0; // requests arrived and not answered yet
  std::size_t MaxActive = 0;
};

// A loopback server that serves every connection on a thread of its own,
// so that the pool's requests can be in flight at once. Each request is
// held until `release` (asked under the server's lock whenever its counts
// change) lets its answer go; one that is never let go is held in silence
// until the client closes. A request counts as active from its arrival until
// just before its answer is sent, so a client that starts another request
// after an answer never finds the old one still counted.
class TOrderServer {
public:
  using TRelease = std::function<bool(std::size_t arrival, const std::string& path, const TServerCounts& counts)>;

  // `trickle`: an answer let go sends its body a byte every 10 ms, without
  // end, until the client goes away or the server stops.
  explicit TOrderServer(TRelease release, bool trickle = false) : release_(std::move(release)), trickle_(trickle) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listener_ == -1 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener_, 128) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("cannot listen on a loopback port");
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
  }

  ~TOrderServer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    acceptor_.join();
    for (std::thread& handler : handlers_) handler.join();
    ::close(listener_);
  }

  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

  TServerCounts Counts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_;
  }

  // Bounded wait until `n` requests have arrived.
  bool WaitArrived(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 20s, [&] { return counts_.Paths.size() >= n; });
  }

  // Bounded wait until no request is held any more.
  bool WaitIdle() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, 20s, [&] { return counts_.Active == 0; });
  }

  static std::string Body(const std::string& path) { return "order " + path + "\r\nsent " + path; }

private:
  static bool Readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0;
  }

  void Accept() {
    while (true) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return;
      }
      if (!Readable(listener_, 20)) continue;
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client != -1) handlers_.emplace_back([this, client] { Serve(client); });
    }
  }

  void Serve(int client) {
    std::string request;
    char buffer[4096];
    const auto readUntil = std::chrono::steady_clock::now() + 10s;
    while (request.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < readUntil) {
      if (!Readable(client, 20)) continue;
      const ssize_t n = ::recv(client, buffer, sizeof(buffer), 0);
      if (n <= 0) break;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    // "GET /path HTTP/1.x"
    const std::size_t from = request.find(' ') + 1;
    const std::string path = request.substr(from, request.find(' ', from) - from);

    std::unique_lock<std::mutex> lock(mutex_);
    const std::size_t arrival = counts_.Paths.size();
    counts_.Paths.push_back(path);
    counts_.MaxActive = std::max(counts_.MaxActive, ++counts_.Active);
    changed_.notify_all();
    // Held until released, the server stops, the client goes away or, for a
    // broken client, a generous bound passes.
    const auto holdUntil = std::chrono::steady_clock::now() + 20s;
    bool release = false;
    while (!stop_ && std::chrono::steady_clock::now() < holdUntil) {
      if ((release = release_(arrival, path, counts_))) break;
      changed_.wait_for(lock, 20ms);
      lock.unlock();
      const bool gone = Readable(client, 0) && ::recv(client, buffer, sizeof(buffer), MSG_DONTWAIT) <= 0;
      lock.lock();
      if (gone) break;
    }
    --counts_.Active;
    if (release) ++counts_.Answered;
    changed_.notify_all();
    lock.unlock();
    if (release && trickle_) {
      const std::string head = "HTTP/1.0 200 OK\r\n\r\n";
      bool sent = ::send(client, head.data(), head.size(), MSG_NOSIGNAL) > 0;
      while (sent && !Stopping()) {
        std::this_thread::sleep_for(10ms);
        sent = ::send(client, "x", 1, MSG_NOSIGNAL) == 1;
      }
    } else if (release) {
      const std::string body = Body(path);
      const std::string answer =
          "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
      ::send(client, answer.data(), answer.size(), MSG_NOSIGNAL);
    }
    ::close(client);
  }

  bool Stopping() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_;
  }

  TRelease release_;
  bool trickle_ = false;
  int listener_ = -1;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  TServerCounts counts_;
  bool stop_ = false;
  std::thread acceptor_;
  std::vector<std::thread> handlers_; // only the acceptor adds, only the destructor joins after it
};

THttpGetOptions Options(std::int32_t answerWithin = 30000) {
  THttpGetOptions options;
  options.Timeouts = THttpTimeouts::AnswerWithin(answerWithin);
  return options;
}

std::string OrderPath(std::size_t order) { return "/orders/" + std::to_string(order); }

// A finished answer keeps its first line and the lines with text after it,
// bounded: what waits for its turn never holds the whole body.
void ExpectOwnAnswer(const THttpPoolAnswer& answer, std::size_t order) {
  ASSERT_TRUE(answer.Result.Ok) << order << ": " << answer.Result.Error;
  EXPECT_EQ(answer.Result.ResultCode, 200) << order;
  ASSERT_GE(answer.Lines.Count(), 1) << order;
  std::size_t kept = 0;
  for (int i = 1; i < answer.Lines.Count(); ++i) kept += answer.Lines.Get(i).size();
  EXPECT_LE(kept, kHttpLinesAfterFirst + kHttpFirstLineMax) << order;
  const std::string body = TOrderServer::Body(OrderPath(order));
  EXPECT_EQ(answer.Lines.Get(0), body.substr(0, body.find("\r\n")));
}

void ExpectAbandoned(const THttpPoolAnswer& answer) {
  EXPECT_FALSE(answer.Result.Ok);
  EXPECT_EQ(answer.Result.ErrorCode, WsaError::Interrupted);
  EXPECT_EQ(answer.Result.Error, SocketErrorText(WsaError::Interrupted));
  EXPECT_EQ(answer.Result.Failure, THttpFailure::Stopped);
  EXPECT_EQ(answer.Lines.Count(), 0);
}

struct TLimitCase {
  int Workers;
  std::size_t Orders;
};

void PrintTo(const TLimitCase& limit, std::ostream* out) {
  *out << limit.Workers << " workers, " << limit.Orders << " orders";
}

class HttpGetPoolLimit : public ::testing::TestWithParam<TLimitCase> {};

// The server lets the answers go a batch of `workers` requests at a time,
// once the whole batch is in flight: a pool that keeps fewer requests in
// flight than it may stalls a batch (and the maximum falls short), one that
// starts more shows them all active at once.
TEST_P(HttpGetPoolLimit, EachTicketGetsItsOwnAnswerWithAtMostNInFlight) {
  const auto [workers, orders] = GetParam();
  const std::size_t batch = static_cast<std::size_t>(workers);
  TOrderServer server([&](std::size_t arrival, const std::string&, const TServerCounts& counts) {
    return counts.Paths.size() >= std::min(orders, (arrival / batch + 1) * batch);
  });
  THttpGetPool pool(workers, Options());
  for (std::size_t order = 0; order < orders; ++order) EXPECT_EQ(pool.Submit(server.Url(OrderPath(order))), order);
  EXPECT_EQ(pool.Pending(), orders);
  for (std::size_t order = 0; order < orders; ++order) ExpectOwnAnswer(pool.Take(order, nullptr), order);
  EXPECT_EQ(pool.Pending(), 0u);

  const TServerCounts counts = server.Counts();
  EXPECT_EQ(counts.MaxActive, std::min(batch, orders));
  EXPECT_EQ(pool.Workers(), std::min(batch, orders));
  std::vector<std::string> expected;
  for (std::size_t order = 0; order < orders; ++order) expected.push_back(OrderPath(order));
  if (workers == 1) {
    EXPECT_EQ(counts.Paths, expected); // one at a time: in submit order
  }
  std::vector<std::string> seen = counts.Paths;
  std::sort(seen.begin(), seen.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(seen, expected); // each exactly once
}

INSTANTIATE_TEST_SUITE_P(Workers, HttpGetPoolLimit,
                         ::testing::Values(TLimitCase{1, 5}, TLimitCase{4, 12}, TLimitCase{8, 20}, TLimitCase{64, 3}),
                         [](const auto& info) {
                           return "N" + std::to_string(info.param.Workers) + "x" + std::to_string(info.param.Orders);
                         });

// Ticket 0's answer comes only after all the others have gone out: taking
// it first still gives its own, and the later tickets theirs.
TEST(HttpGetPool, SlowFirstAnswerStaysWithItsTicket) {
  constexpr std::size_t kOrders = 4;
  TOrderServer server([](std::size_t, const std::string& path, const TServerCounts& counts) {
    return path != OrderPath(0) || counts.Answered == kOrders - 1;
  });
  THttpGetPool pool(static_cast<int>(kOrders), Options());
  for (std::size_t order = 0; order < kOrders; ++order) pool.Submit(server.Url(OrderPath(order)));
  ExpectOwnAnswer(pool.Take(0, nullptr), 0);
  for (std::size_t order = 1; order < kOrders; ++order) ExpectOwnAnswer(pool.Take(order, nullptr), order);
}

// Every worker hangs on a server that never answers and more requests wait
// behind them: abandoning, or destroying without a word, ends all of it at
// once, and the waiting requests never reach the server.
TEST(HttpGetPool, AbandonEndsHangingRequests) {
  for (const bool abandonFirst : {true, false}) {
    SCOPED_TRACE(abandonFirst ? "Abandon" : "destructor");
    constexpr int kWorkers = 4;
    constexpr std::size_t kOrders = kWorkers + 2;
    TOrderServer server([](std::size_t, const std::string&, const TServerCounts&) { return false; });
    const auto start = std::chrono::steady_clock::now();
    {
      THttpGetPool pool(kWorkers, Options());
      for (std::size_t order = 0; order < kOrders; ++order) pool.Submit(server.Url(OrderPath(order)));
      ASSERT_TRUE(server.WaitArrived(kWorkers));
      if (abandonFirst) {
        pool.Abandon();
        for (std::size_t order = 0; order < kOrders; ++order) ExpectAbandoned(pool.Take(order, nullptr));
        ExpectAbandoned(pool.Take(pool.Submit(server.Url(OrderPath(kOrders))), nullptr));
      }
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(server.Counts().Paths.size(), static_cast<std::size_t>(kWorkers));
  }
}

// A taker that gives up gets an abandoned answer without the server ever
// answering, and its ticket is taken: one still queued never starts, one in
// flight is dropped at once, and the worker goes on with the next request.
TEST(HttpGetPool, TakeEndsWhenItsHookSaysSo) {
  TOrderServer server([](std::size_t, const std::string& path, const TServerCounts&) { return path == OrderPath(2); });
  THttpGetPool pool(1, Options());
  pool.Submit(server.Url(OrderPath(0)));
  pool.Submit(server.Url(OrderPath(1))); // queued behind the hanging one
  ASSERT_TRUE(server.WaitArrived(1));

  const std::thread::id taker = std::this_thread::get_id();
  int calls = 0;
  const THttpWaitHook hook{1ms, [&] { return std::this_thread::get_id() == taker && ++calls < 3; }};
  for (const std::size_t ticket : {std::size_t{1}, std::size_t{0}}) {
    SCOPED_TRACE(ticket);
    calls = 0;
    ExpectAbandoned(pool.Take(ticket, &hook));
    EXPECT_EQ(calls, 3);
  }
  EXPECT_EQ(pool.Pending(), 0u);
  EXPECT_THROW(pool.Take(0, nullptr), EHttpPoolError);
  ASSERT_TRUE(server.WaitIdle());
  EXPECT_EQ(server.Counts().Paths, std::vector<std::string>{OrderPath(0)});

  ExpectOwnAnswer(pool.Take(pool.Submit(server.Url(OrderPath(2))), nullptr), 2);
  EXPECT_EQ(pool.Workers(), 1u);
}

// Every worker receives a body that keeps trickling in, a byte every 10 ms:
// no wait ever stays silent for a whole slice, yet abandoning the pool ends
// them all at once, as does a taker giving up on its own ticket.
TEST(HttpGetPool, AStopEndsRequestsWhoseBodiesKeepTrickling) {
  constexpr int kWorkers = 4;
  TOrderServer server([](std::size_t, const std::string&, const TServerCounts&) { return true; }, true);
  auto pool = std::make_unique<THttpGetPool>(kWorkers, Options(60000));
  for (std::size_t order = 0; order < kWorkers; ++order) pool->Submit(server.Url(OrderPath(order)));
  ASSERT_TRUE(server.WaitArrived(kWorkers));

  const auto start = std::chrono::steady_clock::now();
  int calls = 0;
  const THttpWaitHook giveUp{1ms, [&] { return ++calls < 2; }};
  ExpectAbandoned(pool->Take(0, &giveUp));
  // Only the worker set free by giving up can take the next request.
  pool->Submit(server.Url(OrderPath(kWorkers)));
  ASSERT_TRUE(server.WaitArrived(kWorkers + 1));
  pool->Abandon();
  for (std::size_t ticket = 1; ticket <= kWorkers; ++ticket) ExpectAbandoned(pool->Take(ticket, nullptr));
  // Joins every worker: each request has ended.
  pool.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

// Whatever a fetch raises, known or not, becomes that request's failed
// answer; the process and the pool go on.
TEST(HttpGetPool, AnUnexpectedExceptionIsTheRequestsFailure) {
  struct TStrange {};
  THttpGetPool pool(2, Options(), [](const std::string& url, const THttpGetOptions&) -> THttpPoolAnswer {
    if (url == "strange") throw TStrange{};
    throw std::runtime_error("no way to " + url);
  });
  const THttpPoolAnswer strange = pool.Take(pool.Submit("strange"), nullptr);
  EXPECT_FALSE(strange.Result.Ok);
  EXPECT_EQ(strange.Result.Failure, THttpFailure::Other);
  const THttpPoolAnswer known = pool.Take(pool.Submit("there"), nullptr);
  EXPECT_EQ(known.Result.Error, "no way to there");
}

} // namespace
