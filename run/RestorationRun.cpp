#include "run/RestorationRun.h"

#include "base/Exception.h"
#include "base/StopSignals.h"
#include "db/Database.h"
#include "db/Query.h"
#include "db/Transaction.h"
#include "net/HostResolver.h"
#include "net/HttpClient.h"
#include "run/AnswerReason.h"
#include "run/ErrorText.h"
#include "run/ExitStatus.h"
#include "run/GoodsLineWriter.h"
#include "run/LookAhead.h"
#include "run/OrderUrl.h"
#include "run/Retry.h"
#include "text/Cp1251.h"
#include "text/DateTimeParse.h"
#include "text/StringList.h"
#include "text/SystemText.h"

#include <cmath>
#include <exception>
#include <optional>

namespace od {

namespace {

// Whether an answer's first line is a send date the walk would write: the
// retries never ask again for an answer that has one.
bool ReadsAsSendDate(const std::string& line) {
  try {
    return HasDatePart(ParseDateTimeText(line));
  } catch (...) {
    return false;
  }
}

// However the run ends, the report says what the retries came to.
struct TRetryNotesAtEnd {
  TRunReport& report;
  const TRetries& retries;
  ~TRetryNotesAtEnd() { report.SetRetryNotes(retries.AnsweredOnRetry(), retries.BudgetSpent()); }
};

// One database step of a goods line: whatever it raises keeps the goods line,
// with the database's words as the reason.
template <typename Step> std::optional<TGoodsLineOutcome> DatabaseStep(Step&& step) {
  try {
    step();
    return std::nullopt;
  } catch (...) {
    return TGoodsLineOutcome::Kept(TKeptReason::UpdateRefused, CurrentExceptionMessage());
  }
}

// Lends the walk's writer to the run's steps while the walk runs. A walk that
// stops still reports the goods lines walked before the stop as it would
// have one at a time; nothing is committed all the same.
class TLentWriter {
public:
  TLentWriter(TGoodsLineWriter& writer, TGoodsLineWriter*& lent) : writer_(writer), lent_(lent) { lent_ = &writer; }
  ~TLentWriter() {
    lent_ = nullptr;
    if (std::uncaught_exceptions() == 0) return;
    try {
      writer_.Flush();
    } catch (...) {
    }
  }
  TLentWriter(const TLentWriter&) = delete;
  TLentWriter& operator=(const TLentWriter&) = delete;

private:
  TGoodsLineWriter& writer_;
  TGoodsLineWriter*& lent_;
};

} // namespace

// The order whose answer the goods lines being walked use. The lines and
// the date text carry over from one goods line to the next: the goods lines
// after the first of an order use what was fetched for it.
struct TRestorationRun::TOrderAnswer {
  // The order number the last request was made for.
  std::string Order;
  // Line 0 of the last answer that had a line.
  std::string DateText;
  // The first line with text when line 0 has none (LineAfterEmptyFirst).
  std::string LaterLine;
  // The lines of the last answer; emptied before each request, so a failed
  // request never leaves an earlier order's answer behind.
  TStringList Lines;
  // Why the goods lines of the order keep their value when it has no date:
  // set when the request fails, or when the service refused it.
  TGoodsLineOutcome Unusable;
  bool Refused = false;
};

TRestorationRun::TRestorationRun(const TRunSettings& settings, const TRunComponents& components, IRunView& view)
    : settings_(settings), c_(components), view_(view) {}

void TRestorationRun::Execute() {
  try {
    Walk();
  } catch (const std::exception& e) {
    Stop(e);
  } catch (...) {
    Stop(Exception(kUnknownException));
  }
}

void TRestorationRun::Stop(const std::exception& failure) {
  Ended(MessageOf(failure));
  view_.ShowError(failure);
}

void TRestorationRun::Ended(const std::string& message) {
  if (state_ != TRunState::Committed) {
    state_ = TRunState::Stopped;
    report_.Stopped(message);
  }
  // A termination signal ends the program, not only the run.
  if (ProcessStopRequested()) view_.EndProgram();
}

void TRestorationRun::EndedBeforeStart() {
  if (state_ == TRunState::Waiting) report_.Stopped("the program ended before the run started");
}

void TRestorationRun::EnterPhase(const char* utf8Text) {
  view_.SetStatusText(Cp(utf8Text));
  view_.ShowState();
  ServeEvents();
}

void TRestorationRun::ServeEvents() {
  view_.ProcessPendingEvents();
  // Nothing is committed after a termination signal.
  if (ProcessStopRequested()) throw EAbort();
}

void TRestorationRun::Walk() {
  state_ = TRunState::Running;
  report_.SettingsFrom(settings_.SettingsFiles);
  // However the run ends, the view is left showing where it got to: the
  // last frame may have been skipped.
  struct ShowStateAtEnd {
    IRunView& view;
    ~ShowStateAtEnd() { view.ShowState(); }
  } showStateAtEnd{view_};

  EnterPhase("Открытие БД");
  c_.DB->Open();
  c_.Tr->StartTransaction();

  EnterPhase("Подсчет количества");
  // Neither SELECT is closed: the commit ends their results.
  c_.SQLCount->ExecQuery();
  view_.SetBarMaximum(c_.SQLCount->ColumnAt(0).AsInteger());

  c_.SQLListZakaz->ExecQuery();
  // While the service keeps the run waiting, the view shows what is due; a
  // termination signal abandons the request.
  const THttpWaitHook hook{std::chrono::milliseconds(16), [this] {
                             view_.Waiting();
                             return !ProcessStopRequested();
                           }};
  THttpGetOptions options = ServiceAccess();
  // The service's host is looked up once for the run, not once a request.
  THostResolver resolver;
  options.Resolver = &resolver;
  if (settings_.AnswerTimeout > 0) options.Timeouts = THttpTimeouts::AnswerWithin(settings_.AnswerTimeout);
  TRetries retries(settings_.Retry, ReadsAsSendDate);
  const TRetryNotesAtEnd retryNotesAtEnd{report_, retries};
  TOrderRequests requests(
      settings_.Parallel, options, [this](const std::string& order) { return OrderUrl(settings_.ServiceHost, order); },
      [&retries](const std::string& url, const THttpGetOptions& options) {
        return retries.Get(url, options, FetchFirstLine);
      },
      hook, settings_.GiveUpAfter);
  TListedLines lines(*c_.SQLListZakaz, requests);
  TGoodsLineWriter writer(*c_.SQLUpdateID, report_, settings_.Batch);
  const TLentWriter lent(writer, writer_);
  writer.Start();
  TOrderAnswer answer;
  while (!lines.AtEnd()) {
    view_.StepBar();
    view_.RepaintNow();
    ServeEvents();
    // Only resets the UPDATE's row state; it never fails.
    c_.SQLUpdateID->Close();
    const TListedLine& line = lines.Current();
    const TGoodsLineOutcome outcome = RestoreGoodsLine(line, answer, requests);
    writer.GoodsLine(line.OrderRead ? &line.Order : nullptr, outcome);
    if (outcome.Reason == TKeptReason::Stopped && !outcome.Updated) CountRestOfOrder(lines, outcome);
    lines.Advance();
  }
  writer.Flush();
  requests.Close();
  report_.SetRetryNotes(retries.AnsweredOnRetry(), retries.BudgetSpent());
  Finish();
}

void TRestorationRun::CountRestOfOrder(TListedLines& lines, const TGoodsLineOutcome& outcome) {
  // A signal cut the order's request: the run ends without its commit, and
  // the report counts every goods line of the order as kept for it.
  const std::string order = lines.Current().Order;
  lines.Advance();
  while (!lines.AtEnd() && lines.Current().OrderRead && lines.Current().Order == order) {
    writer_->GoodsLine(&order, outcome);
    lines.Advance();
  }
  throw EAbort();
}

void TRestorationRun::Finish() {
  // A signal taken during the last goods line leaves the run uncommitted too.
  if (ProcessStopRequested()) throw EAbort();
  // A dry run did every UPDATE inside the transaction; rolling back leaves
  // the database as it was.
  if (settings_.DryRun)
    c_.Tr->Rollback();
  else
    c_.Tr->Commit();
  state_ = TRunState::Committed;
  const bool noneRestored = report_.NoneRestored(settings_.DryRun);
  SetSecondStopExitStatus(RunExitStatus(true, report_.KeptLines() > 0, noneRestored));
  report_.Finish(settings_.DryRun);
  c_.DB->Close();
  view_.ShowState();
  const std::string details = report_.KeptLines() > 0 ? report_.Details(settings_.DryRun) : std::string();
  // Not a word of success when nothing was restored: the counts and the
  // reasons under the headline say why.
  const char* headline = settings_.DryRun ? "Проверка завершена, изменения не сохранены"
                         : noneRestored ? "Даты не восстановлены"
                                        : "Даты восстановлены";
  view_.ShowFinalMessage(Cp(headline), details);
  view_.EndProgram();
}

TGoodsLineOutcome TRestorationRun::RestoreGoodsLine(const TListedLine& line, TOrderAnswer& answer,
                                                    TOrderRequests& requests) {
  // Whatever fails here costs this goods line only: it keeps its value and
  // the run goes on with the next one.
  if (!line.OrderRead) return TGoodsLineOutcome::Kept(TKeptReason::OrderUnusable, line.Order);
  if (StartsNewOrder(line, answer.Order)) {
    if (!requests.SilentAfter().empty())
      return TGoodsLineOutcome::Kept(TKeptReason::NotAsked,
                                     "the service stopped answering after order " + requests.SilentAfter());
    Ask(answer, line.Order, requests);
  }
  if (answer.Lines.Count() == 0) return answer.Unusable;
  return Write(line, answer);
}

void TRestorationRun::Ask(TOrderAnswer& answer, const std::string& order, TOrderRequests& requests) {
  // Emptied first: a failed request must not leave an earlier order's
  // answer behind for this order's goods lines.
  answer.Lines.Clear();
  THttpPoolAnswer got = requests.Answer(order);
  const THttpGetResult& result = got.Result;
  if (result.Ok) answer.Lines = std::move(got.Lines);
  answer.Order = order;
  answer.Refused = result.Ok && result.ResultCode != 0 && (result.ResultCode < 200 || result.ResultCode > 299);
  NoteServiceWide(result);
  if (!result.Ok) {
    const bool stopped = result.Failure == THttpFailure::Stopped && ProcessStopRequested();
    answer.Unusable = TGoodsLineOutcome::Kept(stopped ? TKeptReason::Stopped : TKeptReason::RequestFailed,
                                              stopped ? std::string("the run was stopped before the answer came")
                                                      : RequestFailureText(result, settings_.AnswerTimeout),
                                              got.Tries);
  } else if (answer.Refused) {
    // The service refused the request: its status line, and the start of
    // the page that says why.
    answer.Unusable =
        TGoodsLineOutcome::Kept(TKeptReason::RequestFailed, RefusedAnswerText(result, answer.Lines), got.Tries);
  } else {
    answer.Unusable = TGoodsLineOutcome::Kept(TKeptReason::NoDate, std::string());
  }
  if (answer.Lines.Count() > 0) answer.DateText = answer.Lines[0];
  answer.LaterLine = LineAfterEmptyFirst(answer.Lines);
}

TGoodsLineOutcome TRestorationRun::Write(const TListedLine& line, const TOrderAnswer& answer) {
  auto noDate = [&answer] {
    if (answer.Refused) return answer.Unusable;
    TGoodsLineOutcome kept = TGoodsLineOutcome::Kept(TKeptReason::NoDate, answer.DateText);
    kept.LaterLine = answer.LaterLine;
    return kept;
  };
  if (!line.KeyRead) return TGoodsLineOutcome::Kept(TKeptReason::KeyUnusable, line.KeyError);
  if (auto refused = DatabaseStep([&] { c_.SQLUpdateID->ParameterByName("ID").SetAsInt64(line.Key); })) return *refused;
  TDateTime sent = 0;
  try {
    sent = ParseDateTimeText(answer.DateText);
  } catch (...) {
    return noDate();
  }
  // A time alone parses onto day 0: there is no send date to write.
  if (!HasDatePart(sent)) return noDate();
  if (auto refused = DatabaseStep([&] {
        c_.SQLUpdateID->ParameterByName("DATA_TIME_SEND").SetAsDateTime(sent);
        static const std::string orderWord = Cp("Заказ ");
        view_.SetStatusText(orderWord + answer.Order + " - " + answer.DateText);
        writer_->Execute();
      }))
    return *refused;
  TGoodsLineOutcome written = TGoodsLineOutcome::Written();
  // A day alone is written as its midnight; the summary counts such lines.
  written.NoTime = sent == std::floor(sent) && answer.DateText.find(':') == std::string::npos;
  return written;
}

} // namespace od
