#include "net/HttpGetPool.h"

#include <algorithm>
#include <exception>
#include <system_error>

#include "base/StopSignals.h"
#include "net/SocketErrors.h"

namespace od {

namespace {

THttpGetResult AbandonedResult() {
  return FailedHttpGet(WsaError::Interrupted, SocketErrorText(WsaError::Interrupted));
}

} // namespace

THttpGetPool::THttpGetPool(int workers, THttpGetOptions options)
    : maxWorkers_(static_cast<std::size_t>(std::max(workers, 1))), options_(std::move(options)) {
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
  work_.notify_all();
  answered_.notify_all();
}

void THttpGetPool::Work() {
  // Set by a taker that gives up on this worker's request, under mutex_ and
  // only while the request is in flight.
  std::atomic<bool> givenUp{false};
  THttpWaitHook hook{kWorkerInterval,
                     [this, &givenUp] { return !abandoned_.load() && !givenUp.load() && !ProcessStopRequested(); }};
  THttpGetOptions options = options_;
  options.Hook = &hook;
  std::unique_lock<std::mutex> lock(mutex_);
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
    slot.GivenUp = &givenUp;
    const std::string url = std::move(slot.Url);
    lock.unlock();

    THttpPoolAnswer answer;
    if (ProcessStopRequested()) {
      // Its first wait would end it anyway.
      answer.Result = AbandonedResult();
    } else {
      // A worker thread must not end the process with an exception: what
      // the request raised becomes its failed answer.
      try {
        answer.Result = HttpGetLines(url, answer.Lines, options);
      } catch (const ESocketError& error) {
        answer.Result = FailedHttpGet(error.ErrorCode(), error.ErrorMessage());
      } catch (const std::exception& error) {
        answer.Result = FailedHttpGet(WsaError::SystemNotReady, error.what());
      }
    }

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

} // namespace od
