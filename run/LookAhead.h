#pragma once

#include "net/HttpGetPool.h"
#include "run/Retry.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace od {

class TFbQuery;

// One goods line as the list query gave it. A value that could not be read
// carries the message that says why; the walk decides what that costs.
struct TListedLine {
  bool OrderRead = false;
  std::string Order; // the order number as text, or why it could not be read
  bool KeyRead = false;
  std::int64_t Key = 0;
  std::string KeyError;
};

// Whether the goods line starts an order of its own, one that needs its
// answer: its order number was read and is not the one asked for last. The
// walk and the read-ahead ask the same question, so that they agree on which
// goods lines make a request.
inline bool StartsNewOrder(const TListedLine& line, const std::string& lastAsked) {
  return line.OrderRead && line.Order != lastAsked;
}

// The answers of the order service, one per order, handed over in the order
// the orders were listed. With one request at a time the request is made
// when the walk asks for the answer; with more, it is started as soon as its
// order's first goods line is listed, on a worker of a pool.
class TOrderRequests {
public:
  // `url` turns an order number into its request's URL; `fetch` makes one
  // order's request (with its retries, say). `hook` is called while the
  // walk waits for an answer; returning false abandons it.
  // After `giveUpAfter` orders in a row without any answer (0: never) no
  // more orders are asked.
  TOrderRequests(int parallel, THttpGetOptions options, std::function<std::string(const std::string&)> url,
                 THttpFetch fetch, const THttpWaitHook& hook, int giveUpAfter);
  ~TOrderRequests();
  TOrderRequests(const TOrderRequests&) = delete;
  TOrderRequests& operator=(const TOrderRequests&) = delete;

  bool Ahead() const noexcept { return pool_ != nullptr; }
  // Answers started and not yet handed over.
  std::size_t Pending() const noexcept { return started_.size(); }
  std::size_t Limit() const noexcept { return limit_; }
  // The order's first goods line has been listed ahead of the walk.
  void Start(const std::string& order);
  // The order's answer: the one started for it, or a request made now.
  THttpPoolAnswer Answer(const std::string& order);
  // No more requests: those in flight are abandoned, none starts again.
  void GiveUp();
  // The order after which the service was given up on; empty while it is
  // still asked.
  const std::string& SilentAfter() const noexcept { return silentAfter_; }
  // The requests are over: the workers end now, not with the run.
  void Close() { pool_.reset(); }

private:
  const std::size_t limit_;
  const THttpGetOptions options_;
  const std::function<std::string(const std::string&)> url_;
  const THttpFetch fetch_;
  const THttpWaitHook& hook_;
  std::unique_ptr<THttpGetPool> pool_;
  bool givenUp_ = false;
  TSilentService silence_;
  std::string silentAfter_;
  struct TStarted {
    std::string Order;
    std::size_t Ticket;
  };
  std::deque<TStarted> started_;
};

// The goods lines of the list query as the walk takes them. With one request
// at a time each line is read from the query's current row when the walk
// reaches it, and the query moves on when the walk is done with it. With
// more, lines are read ahead, and each new order's request is started, while
// the walk still writes the goods lines before them: up to the requests'
// limit of orders, and never more than a bounded number of lines, however
// many goods lines one order has.
class TListedLines {
public:
  TListedLines(TFbQuery& list, TOrderRequests& requests);

  // No goods line left. Reads ahead first, where that is wanted.
  bool AtEnd();
  // The goods line the walk is at.
  const TListedLine& Current();
  // Done with the current goods line.
  void Advance();

  // The most lines read ahead at once, and the most bytes they may hold
  // (order numbers and messages are texts of any length).
  static constexpr std::size_t kMaxLinesAhead = 4096;
  static constexpr std::size_t kMaxBytesAhead = 4 * 1024 * 1024;

private:
  void ReadAhead();
  TListedLine ReadRow();

  TFbQuery& list_;
  TOrderRequests& requests_;
  std::deque<TListedLine> ahead_;
  std::size_t aheadBytes_ = 0;
  // The order whose request was started last, as the walk compares them.
  std::string lastOrder_;
  bool rowRead_ = false;
  TListedLine row_;
  // What reading ahead raised, for the walk to meet at its row.
  std::exception_ptr failed_;
};

} // namespace od
