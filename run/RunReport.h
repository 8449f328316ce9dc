#pragma once

#include "text/DateTime.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace od {

// Why a goods line kept its value.
enum class TKeptReason {
  RequestFailed, // the order's request failed; the text is the error or the service's status line
  NoDate,        // the answer has no date; the text is its first line
  UpdateRefused, // the database refused the goods line's work; the text is its message
  KeyUnusable,   // the goods line's key cannot be carried exactly; the text says why
  Stopped,       // the run was stopped while the order's request was under way
  OrderUnusable, // the goods line's order number cannot be read (NULL, say); the text says why
  NotAsked,      // the service had stopped answering, so the order was not asked; the text says after which order
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
  // NoDate with an empty first line: the first line with text after it.
  std::string LaterLine;
  // Updated with a date that named no time: written as its midnight.
  bool NoTime = false;
  // How many times the order's request was made.
  int Tries = 1;

  static TGoodsLineOutcome Written() { return {true, TKeptReason::NoDate, {}, {}, false, 1}; }
  static TGoodsLineOutcome Kept(TKeptReason reason, std::string text, int tries = 1) {
    return {false, reason, std::move(text), {}, false, tries};
  }
};

// Counts what the restoration run did with each goods line and tells it: one
// line per order whose goods lines kept their value, as soon as the order is
// done, and a closing summary. Lines are UTF-8, whatever the locale, so that
// a copy in a file reads the same everywhere; a terminal gets them in its
// own code set.
class TRunReport {
public:
  // Receives each finished report line, UTF-8, without its line break.
  using TSink = std::function<void(const std::string&)>;

  // The default sink writes to standard error (WriteToStandardError).
  TRunReport();
  void SetSink(TSink sink) { sink_ = std::move(sink); }
  // The file that holds every report line, for the final message to name;
  // empty when standard error alone has them. In the system's bytes.
  void SetListFile(std::string path) { listFile_ = std::move(path); }

  // The settings files the run's settings were read from (system bytes),
  // said before anything else; nothing when there were none.
  void SettingsFrom(const std::vector<std::string>& files);

  // One goods line of `order` and what became of it. nullptr when its order
  // number could not be read: such a goods line belongs to no order, and the
  // goods lines in a row that share the reason get a report line of their
  // own, so that no reason is folded into a neighbouring order's.
  void GoodsLine(const std::string* order, const TGoodsLineOutcome& outcome);

  // A failure of the whole service rather than of one order (a refused
  // certificate, a refused tunnel): the orders it ends get no line each;
  // the report says it once, with how many orders it hit.
  void ServiceWide(const std::string& text);
  // The service answered from service, where it has moved for good.
  void ServiceMoved(const std::string& service);

  // Writes the last order's line and the summary.
  void Finish(bool dryRun);
  // The run stopped before its commit with this message.
  void Stopped(const std::string& message);
  // What the retries came to, said before the summary: the orders answered
  // only on a retry, and whether the retries were given up.
  void SetRetryNotes(std::int64_t answeredOnRetry, bool givenUp) {
    answeredOnRetry_ = answeredOnRetry;
    retriesGivenUp_ = givenUp;
  }

  // A line of its own about how the run goes, UTF-8, before the first goods
  // line.
  void Note(const std::string& utf8Text);

  std::int64_t GoodsLines() const noexcept { return goodsLines_; }
  std::int64_t UpdatedLines() const noexcept { return updated_; }
  std::int64_t Kept(TKeptReason reason) const noexcept { return kept_[static_cast<size_t>(reason)]; }
  std::int64_t KeptLines() const noexcept { return goodsLines_ - updated_; }
  // Goods lines were listed and none of them got its date; a dry run only
  // looks, so it restores nothing by design.
  bool NoneRestored(bool dryRun) const noexcept { return !dryRun && goodsLines_ > 0 && updated_ == 0; }

  // The summary line, "orderdates: updated N of M goods lines; kept: ...".
  std::string Summary(bool dryRun) const;
  // The same counts in Russian, code page 1251, for the final message, with
  // where the list of orders is.
  std::string Details(bool dryRun) const;

private:
  void FlushOrder();
  void FlushLocaleHint();
  void FlushEmptyFirstLineHint();
  void FlushRetryNotes();

  void FlushServiceNotes();

  TSink sink_;
  std::string listFile_;
  // The first answer that looked like a date and did not read as one.
  std::string dateLikeAnswer_;
  std::int64_t goodsLines_ = 0;
  std::int64_t updated_ = 0;
  // Updated goods lines whose date named no time.
  std::int64_t noTime_ = 0;
  // Goods lines without a date whose answer had the text after an empty
  // first line.
  std::int64_t emptyFirstLine_ = 0;
  std::array<std::int64_t, kKeptReasonCount> kept_{};
  std::int64_t answeredOnRetry_ = 0;
  bool retriesGivenUp_ = false;
  // The orders not asked are said once, not an order at a time.
  bool notAskedSaid_ = false;

  // The order now being walked, and its first kept goods line.
  std::string order_;
  bool orderOpen_ = false;
  // The goods lines being counted have no order number that could be read.
  bool withoutOrder_ = false;
  std::int64_t orderLines_ = 0;
  std::int64_t orderKept_ = 0;
  TGoodsLineOutcome orderFirstKept_;
  // Service-wide failures and moves, in the order they came, with the
  // number of orders each hit.
  std::vector<std::pair<std::string, std::int64_t>> serviceWide_;
  std::vector<std::pair<std::string, std::int64_t>> moves_;
};

// Whether a parsed send date names a day: a time alone parses as that time
// on day 0 (30 Dec 1899), which no order was ever sent on.
bool HasDatePart(TDateTime value) noexcept;

// A report line as standard error gets it: in the locale's code set; a line
// that cannot be written (the reader has gone) is dropped.
void WriteToStandardError(const std::string& utf8Line);

// Whether an answer looks like a date: three groups of digits joined by one
// of the date delimiters ('.', '/', '-'), optionally followed by a time
// ("01.03.2024 16:19:45", "2024-03-01").
bool LooksLikeDate(std::string_view text) noexcept;

// How much of a message a report line quotes.
constexpr size_t kReportMessageLimit = 400;

// Code page 1251 text for one report line, as UTF-8: line breaks as one
// blank, other control bytes shown as \xNN (an answer or a message cannot
// steer the terminal), cut after `limit` bytes of the source.
std::string ReportText(const std::string& cp1251, size_t limit = 200);
// The same for the service's own bytes: text that is valid UTF-8 (and not
// plain ASCII) is taken as UTF-8, as most web scripts write today; anything
// else as code page 1251.
std::string ServiceReportText(const std::string& bytes, size_t limit = 200);
// ReportText in the locale's code set, for the terminal.
std::string TerminalText(const std::string& cp1251, size_t limit = 200);

} // namespace od
