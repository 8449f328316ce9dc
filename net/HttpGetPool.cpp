#include "net/HttpGetPool.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <system_error>

#include "base/StopSignals.h"
#include "net/SocketErrors.h"

namespace od {

namespace {

THttpGetResult AbandonedResult() {
  return FailedHttpGet(WsaError::Interrupted, SocketErrorText(WsaError::Interrupted));
}

// Makes the worker's waits ask their hook at once.
void Wake(int fd) {
  if (fd == -1) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof(one));
}

// Clears the worker's wake descriptor before its next request.
void Rearm(int fd) {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t read = ::read(fd, &count, sizeof(count));
}

} // namespace

THttpPoolAnswer FetchFirstLine(const std::string& url, const THttpGetOptions& options) {
  THttpPoolAnswer answer;
  answer.Result = HttpGetFirstLine(url, answer.Lines, options);
  return answer;
}

THttpGetPool::THttpGetPool(int workers, THttpGetOptions options, THttpFetch fetch)
    : maxWorkers_(static_cast<std::size_t>(std::max(workers, 1))), options_(std::move(options)),
      fetch_(std::move(fetch)) {
  options_.Hook = nullptr;
}

THttpGetPool::~THttpGetPool() {
  Abandon();
  std::vector<std::thread> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    workers.swap(workers_);
  }
  for (std::thread& worker : workers) worker.join();
}

std::size_t THttpGetPool::Submit(std::string url) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t ticket = nextTicket_++;
  TSlot& slot = slots_[ticket];
  if (abandoned_) {
    slot.Done = true;
    slot.Answer.Result = AbandonedResult();
    return ticket;
  }
  slot.Url = std::move(url);
  queue_.push_back(ticket);
  AddWorkerIfNeeded();
  work_.notify_one();
  return ticket;
}

void THttpGetPool::AddWorkerIfNeeded() {
  if (queue_.size() <= idle_ || workers_.size() >= maxWorkers_) return;
  try {
    workers_.emplace_back([this] { Work(); });
  } catch (const std::system_error&) {
    // The workers there are drain the queue all the same; without any, no
    // request would ever start.
    if (workers_.empty()) {
      slots_.erase(queue_.back());
      queue_.pop_back();
      --nextTicket_;
      throw;
    }
  }
}

std::size_t THttpGetPool::Pending() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return slots_.size();
}

std::size_t THttpGetPool::Workers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return workers_.size();
}

THttpPoolAnswer THttpGetPool::Take(std::size_t ticket, const THttpWaitHook* hook) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto done = [this, ticket] {
    const auto slot = slots_.find(ticket);
    return slot == slots_.end() || slot->second.Done;
  };
  if (slots_.count(ticket) == 0) throw EHttpPoolError(Format("No answer to take for ticket %zu", ticket));
  if (hook == nullptr || !hook->OnWait) {
    answered_.wait(lock, done);
  } else {
    // Counted from the last call, so that other tickets' answers waking this
    // wait do not put the hook off.
    auto next = std::chrono::steady_clock::now() + hook->Interval;
    while (!answered_.wait_until(lock, next, done)) {
      // Unlocked: the hook may do anything, even submit more.
      lock.unlock();
      const bool goOn = hook->OnWait();
      lock.lock();
      next = std::chrono::steady_clock::now() + hook->Interval;
      if (goOn || done()) continue;
      const TSlot& slot = slots_.at(ticket);
      if (slot.Started) {
        slot.GivenUp->store(true);
        Wake(slot.WakeFd);
      } else {
        queue_.erase(std::find(queue_.begin(), queue_.end(), ticket));
      }
      slots_.erase(ticket);
      return THttpPoolAnswer{AbandonedResult(), {}};
    }
  }
  const auto slot = slots_.find(ticket);
  if (slot == slots_.end()) throw EHttpPoolError(Format("Ticket %zu was taken meanwhile", ticket));
  THttpPoolAnswer answer = std::move(slot->second.Answer);
  slots_.erase(slot);
  return answer;
}

void THttpGetPool::Abandon() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (abandoned_) return;
  abandoned_ = true;
  for (auto& [ticket, slot] : slots_) {
    if (slot.Done) continue;
    slot.Done = true;
    slot.Url.clear();
    slot.Answer.Result = AbandonedResult();
  }
  queue_.clear();
  for (const int fd : wakeFds_) Wake(fd);
  work_.notify_all();
  answered_.notify_all();
}

void THttpGetPool::Work() {
  // Written when this worker's request is given up on or the pool is
  // abandoned; without one (no descriptors left) the waits still ask the
  // hook every interval.
  const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  struct CloseAtEnd {
    int fd;
    ~CloseAtEnd() {
      if (fd != -1) ::close(fd);
    }
  } closeAtEnd{wakeFd};
  // Set by a taker that gives up on this worker's request, under mutex_ and
  // only while the request is in flight.
  std::atomic<bool> givenUp{false};
  THttpWaitHook hook{kWorkerInterval,
                     [this, &givenUp] { return !abandoned_.load() && !givenUp.load() && !ProcessStopRequested(); },
                     wakeFd};
  THttpGetOptions options = options_;
  options.Hook = &hook;
  std::unique_lock<std::mutex> lock(mutex_);
  if (wakeFd != -1) wakeFds_.push_back(wakeFd);
  struct Unlist {
    std::vector<int>& fds;
    int fd;
    ~Unlist() { std::erase(fds, fd); } // under mutex_: the lock outlives this
  } unlist{wakeFds_, wakeFd};
  while (true) {
    ++idle_;
    work_.wait(lock, [this] { return abandoned_ || !queue_.empty(); });
    --idle_;
    if (abandoned_) return;
    const std::size_t ticket = queue_.front();
    queue_.pop_front();
    TSlot& slot = slots_.at(ticket);
    slot.Started = true;
    givenUp.store(false);
    if (wakeFd != -1) Rearm(wakeFd);
    slot.GivenUp = &givenUp;
    slot.WakeFd = wakeFd;
    const std::string url = std::move(slot.Url);
    lock.unlock();

    THttpPoolAnswer answer = Fetch(url, options);

    lock.lock();
    // Gone when its taker gave up on it; done already when the pool was
    // abandoned meanwhile, and then it stays an abandoned one.
    const auto taken = slots_.find(ticket);
    if (taken == slots_.end() || taken->second.Done) continue;
    taken->second.Answer = std::move(answer);
    taken->second.Done = true;
    answered_.notify_all();
  }
}

THttpPoolAnswer THttpGetPool::Fetch(const std::string& url, const THttpGetOptions& options) const {
  // Its first wait would end it anyway.
  if (ProcessStopRequested()) return THttpPoolAnswer{AbandonedResult(), {}};
  // A worker thread must not end the process with an exception: what the
  // request raised becomes its failed answer.
  try {
    return fetch_(url, options);
  } catch (const ESocketError& error) {
    return THttpPoolAnswer{FailedHttpGet(error.ErrorCode(), error.ErrorMessage()), {}};
  } catch (const std::exception& error) {
    return THttpPoolAnswer{FailedHttpGet(WsaError::SystemNotReady, error.what()), {}};
  } catch (...) {
    return THttpPoolAnswer{FailedHttpGet(WsaError::SystemNotReady, "unknown exception"), {}};
  }
}

} // namespace od
