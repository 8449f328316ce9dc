#include "run/LookAhead.h"

#include "base/StopSignals.h"
#include "db/Query.h"
#include "db/XSQLDA.h"
#include "run/ErrorText.h"

namespace od {

TOrderRequests::TOrderRequests(int parallel, THttpGetOptions options,
                               std::function<std::string(const std::string&)> url, THttpFetch fetch,
                               const THttpWaitHook& hook, int giveUpAfter)
    : limit_(static_cast<std::size_t>(parallel > 1 ? parallel : 1)), options_(std::move(options)), url_(std::move(url)),
      fetch_(std::move(fetch)), hook_(hook), silence_(giveUpAfter) {
  if (parallel > 1) pool_ = std::make_unique<THttpGetPool>(parallel, options_, fetch_);
}

// The pool abandons what is still in flight: a run that stops waits for no
// answer.
TOrderRequests::~TOrderRequests() = default;

void TOrderRequests::Start(const std::string& order) {
  if (givenUp_) return;
  started_.push_back({order, pool_->Submit(url_(order))});
}

void TOrderRequests::GiveUp() {
  givenUp_ = true;
  started_.clear();
  if (pool_ != nullptr) pool_->Abandon();
}

THttpPoolAnswer TOrderRequests::Answer(const std::string& order) {
  THttpPoolAnswer answer;
  if (pool_ != nullptr && !started_.empty() && started_.front().Order == order) {
    const std::size_t ticket = started_.front().Ticket;
    started_.pop_front();
    answer = pool_->Take(ticket, &hook_);
  } else {
    THttpGetOptions options = options_;
    options.Hook = &hook_;
    answer = fetch_(url_(order), options);
  }
  // Counted in the walk's order, so that any number of requests in flight
  // gives the service up after the same order.
  if (silence_.Note(answer.Result)) {
    silentAfter_ = order;
    GiveUp();
  }
  return answer;
}

TListedLines::TListedLines(TFbQuery& list, TOrderRequests& requests) : list_(list), requests_(requests) {}

namespace {

// One column of the list query's current row, handed to `take`; false, and
// `why` says why, when it is NULL or cannot be read. A NULL is no value at
// all: a NULL order number is no order, and a NULL key read as 0 would write
// whichever row has the key 0.
template <typename Take>
bool ReadColumn(TFbQuery& list, const char* name, const char* whenNull, std::string& why, Take take) {
  try {
    const TFbXSQLVAR& column = list.ColumnByName(name);
    if (column.IsNull()) {
      why = whenNull;
      return false;
    }
    take(column);
    return true;
  } catch (...) {
    why = CurrentExceptionMessage();
    return false;
  }
}

// What one goods line read ahead holds, roughly: its texts and the entry.
std::size_t LineBytes(const TListedLine& line) {
  return sizeof(TListedLine) + line.Order.capacity() + line.KeyError.capacity();
}

} // namespace

TListedLine TListedLines::ReadRow() {
  TListedLine line;
  line.OrderRead = ReadColumn(list_, "ZAKAZ_ID", "the order number is NULL", line.Order,
                              [&line](const TFbXSQLVAR& column) { line.Order = column.AsString(); });
  // At its full width: a key that cannot be carried exactly is never rounded
  // into another row's.
  line.KeyRead = ReadColumn(list_, "ID", "the key is NULL", line.KeyError,
                            [&line](const TFbXSQLVAR& column) { line.Key = column.AsInt64(); });
  return line;
}

void TListedLines::ReadAhead() {
  // After a termination signal no new request starts. A failure of the list
  // query (or of starting a request) waits where it happened: the walk meets
  // it once it has taken every goods line read before it, as it would have
  // without reading ahead.
  while (!failed_ && ahead_.size() < kMaxLinesAhead && aheadBytes_ < kMaxBytesAhead && !ProcessStopRequested() &&
         !list_.AtEnd()) {
    try {
      TListedLine line = ReadRow();
      const bool newOrder = StartsNewOrder(line, lastOrder_);
      if (newOrder && requests_.Pending() >= requests_.Limit()) return;
      if (newOrder) {
        requests_.Start(line.Order);
        lastOrder_ = line.Order;
      }
      aheadBytes_ += LineBytes(line);
      ahead_.push_back(std::move(line));
      list_.FetchNext();
    } catch (...) {
      failed_ = std::current_exception();
    }
  }
}

bool TListedLines::AtEnd() {
  if (requests_.Ahead()) ReadAhead();
  if (ahead_.empty() && failed_) std::rethrow_exception(failed_);
  return ahead_.empty() && list_.AtEnd();
}

const TListedLine& TListedLines::Current() {
  if (!ahead_.empty()) return ahead_.front();
  if (!rowRead_) {
    row_ = ReadRow();
    rowRead_ = true;
  }
  return row_;
}

void TListedLines::Advance() {
  if (!ahead_.empty()) {
    aheadBytes_ -= LineBytes(ahead_.front());
    ahead_.pop_front();
    return;
  }
  rowRead_ = false;
  list_.FetchNext();
}

} // namespace od
