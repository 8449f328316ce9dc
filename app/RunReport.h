#pragma once

#include "text/DateTime.h"

#include <cstdint>
#include <functional>
#include <string>

namespace od {

// Why a goods line kept its value.
enum class TKeptReason {
  RequestFailed, // the order's request failed; the text is the error
  NoDate,        // the answer has no date; the text is its first line
  UpdateRefused, // the database refused the UPDATE; the text is its message
};

// Counts what the restoration run did with each goods line and tells it: one
// line per order whose goods lines kept their value, as soon as the order is
// done, and a closing summary. Texts are taken in code page 1251, as the
// program holds them, and written in the terminal's encoding.
class TRunReport {
public:
  // Receives each finished report line, without its line break.
  using TSink = std::function<void(const std::string&)>;

  // The default sink writes to standard error.
  TRunReport();
  void SetSink(TSink sink) { sink_ = std::move(sink); }

  // --- the walk, goods line by goods line ------------------------------
  void BeginGoodsLine();
  // The goods line belongs to this order.
  void Order(const std::string& order);
  // The order's request: answered (with the first line of the answer, empty
  // when it had none) or failed (with the error).
  void Answered(const std::string& firstLine);
  void RequestFailed(const std::string& error);
  // The answer's date was accepted for the goods line.
  void DateAccepted();
  void Updated();
  // The goods line's work failed with this message.
  void Failed(const std::string& message);
  void EndGoodsLine();

  // --- the end of the run ----------------------------------------------
  // Writes the last order's line and the summary.
  void Finish(bool dryRun);
  // The run stopped before its commit with this message.
  void Stopped(const std::string& message);

  std::int64_t GoodsLines() const noexcept { return goodsLines_; }
  std::int64_t UpdatedLines() const noexcept { return updated_; }
  std::int64_t Kept(TKeptReason reason) const noexcept { return kept_[static_cast<int>(reason)]; }
  std::int64_t KeptLines() const noexcept { return goodsLines_ - updated_; }

  // The summary line, "orderdates: updated N of M goods lines (...)".
  std::string Summary(bool dryRun) const;
  // The same counts in Russian, code page 1251, for the final message's
  // details.
  std::string Details(bool dryRun) const;

private:
  void FlushOrder();
  void Emit(const std::string& cp1251Line);

  TSink sink_;
  std::int64_t goodsLines_ = 0;
  std::int64_t updated_ = 0;
  std::int64_t kept_[3] = {0, 0, 0};

  // The order now being walked.
  std::string order_;
  bool orderOpen_ = false;
  bool requestFailed_ = false;
  std::string answerText_; // the error or the first line
  std::int64_t orderLines_ = 0;
  std::int64_t orderKept_ = 0;
  bool orderReasonSet_ = false;
  TKeptReason orderReason_ = TKeptReason::NoDate;
  std::string orderReasonText_;

  // The goods line now being worked on.
  bool lineOpen_ = false;
  bool lineOrderKnown_ = false;
  bool lineDateAccepted_ = false;
  bool lineUpdated_ = false;
  std::string lineFailure_;
};

// Whether a parsed send date names a day: a time alone parses as that time
// on day 0 (30 Dec 1899), which no order was ever sent on.
bool HasDatePart(TDateTime value) noexcept;

// Code page 1251 text for one report line on the terminal: in the locale's
// code set, line breaks as one blank, other control bytes shown as \xNN (an
// answer or a message cannot steer the terminal), cut after `limit` bytes of
// the source.
std::string TerminalText(const std::string& cp1251, size_t limit = 200);

} // namespace od
