#pragma once

#include "text/DateTime.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace od {

// Why a goods line kept its value.
enum class TKeptReason {
  RequestFailed, // the order's request failed; the text is the error or the service's status line
  NoDate,        // the answer has no date; the text is its first line
  UpdateRefused, // the database refused the goods line's work; the text is its message
  KeyUnusable,   // the goods line's key cannot be carried exactly; the text says why
  Stopped,       // the run was stopped while the order's request was under way
  Count
};
constexpr int kKeptReasonCount = static_cast<int>(TKeptReason::Count);

// What became of one goods line: updated, or kept for a reason. Texts are
// code page 1251 as the program holds them, except the service's own words
// (a first line, a status line), which are its bytes as they came.
struct TGoodsLineOutcome {
  bool Updated = false;
  TKeptReason Reason = TKeptReason::NoDate;
  std::string Text;

  static TGoodsLineOutcome Written() { return {true, TKeptReason::NoDate, {}}; }
  static TGoodsLineOutcome Kept(TKeptReason reason, std::string text) { return {false, reason, std::move(text)}; }
};

// Counts what the restoration run did with each goods line and tells it: one
// line per order whose goods lines kept their value, as soon as the order is
// done, and a closing summary, written in the terminal's encoding.
class TRunReport {
public:
  // Receives each finished report line, without its line break.
  using TSink = std::function<void(const std::string&)>;

  // The default sink writes to standard error; a line that cannot be written
  // (the reader has gone) is dropped.
  TRunReport();
  void SetSink(TSink sink) { sink_ = std::move(sink); }

  // One goods line of `order` (nullptr when its order number could not be
  // read: it counts with the order walked before it) and what became of it.
  void GoodsLine(const std::string* order, const TGoodsLineOutcome& outcome);

  // Writes the last order's line and the summary.
  void Finish(bool dryRun);
  // The run stopped before its commit with this message.
  void Stopped(const std::string& message);

  std::int64_t GoodsLines() const noexcept { return goodsLines_; }
  std::int64_t UpdatedLines() const noexcept { return updated_; }
  std::int64_t Kept(TKeptReason reason) const noexcept { return kept_[static_cast<size_t>(reason)]; }
  std::int64_t KeptLines() const noexcept { return goodsLines_ - updated_; }

  // The summary line, "orderdates: updated N of M goods lines; kept: ...".
  std::string Summary(bool dryRun) const;
  // The same counts in Russian, code page 1251, for the final message.
  std::string Details(bool dryRun) const;

private:
  void FlushOrder();

  TSink sink_;
  std::int64_t goodsLines_ = 0;
  std::int64_t updated_ = 0;
  std::array<std::int64_t, kKeptReasonCount> kept_{};

  // The order now being walked, and its first kept goods line.
  std::string order_;
  bool orderOpen_ = false;
  std::int64_t orderLines_ = 0;
  std::int64_t orderKept_ = 0;
  TGoodsLineOutcome orderFirstKept_;
};

// Whether a parsed send date names a day: a time alone parses as that time
// on day 0 (30 Dec 1899), which no order was ever sent on.
bool HasDatePart(TDateTime value) noexcept;

// Code page 1251 text for one report line on the terminal: in the locale's
// code set, line breaks as one blank, other control bytes shown as \xNN (an
// answer or a message cannot steer the terminal), cut after `limit` bytes of
// the source.
std::string TerminalText(const std::string& cp1251, size_t limit = 200);
// The same for the service's own bytes: text that is valid UTF-8 (and not
// plain ASCII) is taken as UTF-8, as most web scripts write today; anything
// else as code page 1251.
std::string ServiceTerminalText(const std::string& bytes, size_t limit = 200);

} // namespace od
