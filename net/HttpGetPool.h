#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/Exception.h"
#include "net/HttpGet.h"
#include "net/WaitHook.h"
#include "text/StringList.h"

// GETs ahead of the caller: the caller walks its work in its own order and
// submits the requests for the next items before it needs their answers, so
// that several slow answers are awaited at once instead of one after the
// other. Only the submitting thread touches the answers; the workers only
// talk to the network.
namespace od {

// One answer as the pool hands it back.
struct THttpPoolAnswer {
  THttpGetResult Result;
  TStringList Lines; // the body's first line when Result.Ok and it has one
  int Tries = 1;     // how many times the request was made
};

// How a worker makes one request: HttpGetFirstLine by default; a caller may
// put more around it (tries again, say), waiting only through the hook that
// `options` carries, so that the pool's stop ends those waits too.
using THttpFetch = std::function<THttpPoolAnswer(const std::string& url, const THttpGetOptions& options)>;

// The default fetch: one HttpGetFirstLine.
THttpPoolAnswer FetchFirstLine(const std::string& url, const THttpGetOptions& options);

// Up to `workers` GETs at once, each on a worker thread with a fresh client
// (one HttpGetLines call per URL, never repeated). Requests start in the order
// they were submitted. Answers are taken by ticket, in any order, on the
// submitting thread.
class THttpGetPool {
public:
  // How often a worker's waits ask whether to go on.
  static constexpr std::chrono::milliseconds kWorkerInterval{16};

  // `options.Hook` is ignored: the workers' waits use a hook of the pool's
  // own (every kWorkerInterval) that abandons the request once the pool is
  // abandoned, its taker has given up on it or a termination signal has
  // arrived. Abandoning and giving up also wake each worker's waits through
  // an eventfd of its own, so that they end at once even while data keeps
  // arriving. Signals reach the main thread only, so the workers ask for
  // them rather than being woken; their signal mask stays as they inherit
  // it. `workers` below 1 counts as 1.
  THttpGetPool(int workers, THttpGetOptions options, THttpFetch fetch = FetchFirstLine);
  // Abandons what is queued or in flight and joins the workers: within about
  // a second even when every request hangs on a silent server.
  ~THttpGetPool();
  THttpGetPool(const THttpGetPool&) = delete;
  THttpGetPool& operator=(const THttpGetPool&) = delete;

  // Queues one GET; returns its ticket (0, 1, 2, ... in submit order). After
  // Abandon the ticket's answer is an abandoned one at once.
  std::size_t Submit(std::string url);
  // How many submitted answers have not been taken yet (queued + in flight +
  // done).
  std::size_t Pending() const;
  // Waits for the ticket's answer and hands it over; each ticket is taken
  // once (another Take of it, or of a ticket never submitted, raises
  // EHttpPoolError). While it waits, `hook` (when not null) is called on
  // this thread every hook->Interval; when it returns false the wait ends and
  // the answer is an abandoned one: Ok false, ErrorCode 10004 and that code's
  // text. The ticket is taken all the same: a request of it not started yet
  // never starts, and one in flight is abandoned like those of Abandon.
  THttpPoolAnswer Take(std::size_t ticket, const THttpWaitHook* hook);
  // No new request starts; requests in flight end within about one
  // kWorkerInterval. Their answers, and those of requests never started, are
  // abandoned ones (10004); answers that had arrived before stay as they
  // came.
  void Abandon();
  // How many worker threads have been started so far.
  std::size_t Workers() const;

private:
  struct TSlot {
    std::string Url; // until a worker takes the request
    bool Started = false;
    bool Done = false;
    // The flag its worker's wait hook asks while the request is in flight.
    std::atomic<bool>* GivenUp = nullptr;
    int WakeFd = -1; // that worker's wake descriptor
    THttpPoolAnswer Answer;
  };

  void Work();
  // The fetch of one request; whatever it raises becomes its failed answer.
  THttpPoolAnswer Fetch(const std::string& url, const THttpGetOptions& options) const;
  // Starts one more worker when the queue holds more requests than there
  // are idle workers and the limit allows. Called with mutex_ held.
  void AddWorkerIfNeeded();

  const std::size_t maxWorkers_;
  THttpGetOptions options_;
  const THttpFetch fetch_;

  mutable std::mutex mutex_;
  std::condition_variable work_;                 // workers: a request queued, or abandoned
  std::condition_variable answered_;             // the taker: an answer arrived
  std::deque<std::size_t> queue_;                // tickets not started, in submit order
  std::unordered_map<std::size_t, TSlot> slots_; // every ticket not taken yet
  std::size_t nextTicket_ = 0;
  std::size_t idle_ = 0; // workers waiting for a request
  std::vector<std::thread> workers_;
  std::vector<int> wakeFds_; // every worker's, while it runs
  // Written under mutex_; read without it by the workers' wait hook.
  std::atomic<bool> abandoned_{false};
};

class EHttpPoolError : public Exception {
public:
  using Exception::Exception;
};

} // namespace od
