#include "app/RestorationRun.h"

#include "app/LookAhead.h"
#include "base/Ascii.h"
#include "base/Exception.h"
#include "base/StopSignals.h"
#include "db/Database.h"
#include "db/Query.h"
#include "db/Transaction.h"
#include "net/HttpClient.h"
#include "text/Cp1251.h"
#include "text/DateTimeParse.h"
#include "text/StringList.h"
#include "text/SystemText.h"

#include <cstdio>

namespace od {

namespace {

const char kOrderPath[] = "/server_scripts/get_zakaz_dt.php?zakaz_id=";

// The socket's code for a wait that a signal, or the run's own hook, cut.
constexpr int kInterruptedCode = 10004;

bool IsQueryByte(unsigned char byte) {
  // Unreserved characters and the delimiters that mean nothing inside one
  // query value; '&', '+', '=' and ';' would split or change it.
  if (IsAlnum(static_cast<char>(byte))) return true;
  switch (byte) {
  case '-':
  case '.':
  case '_':
  case '~':
  case '!':
  case '$':
  case '\'':
  case '(':
  case ')':
  case '*':
  case ',':
  case ':':
  case '@':
  case '/':
  case '?': return true;
  default: return false;
  }
}

} // namespace

std::string OrderQueryValue(const std::string& order) {
  std::string value;
  value.reserve(order.size());
  for (const char c : order) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsQueryByte(byte)) {
      value += c;
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
      value += escaped;
    }
  }
  return value;
}

TFbDatabase* CreateRunDatabase(TComponent& owner, const TRunSettings& settings) {
  auto* db = new TFbDatabase(&owner);
  db->SetName("DB");
  db->SetDBName(settings.DBName);
  for (const std::string& line : settings.DBParams) db->DBParams().Add(line);
  db->SetSQLDialect(settings.SQLDialect);
  db->SetTimeout(settings.Timeout);
  db->SetWaitForRestoreConnect(settings.WaitForRestoreConnect);
  return db;
}

TFbTransaction* CreateRunTransaction(TComponent& owner, TFbDatabase& db) {
  auto* tr = new TFbTransaction(&owner);
  tr->SetName("Tr");
  tr->SetDefaultDatabase(&db);
  tr->SetTimeoutAction(TARollback);
  // The connection was created first; its references to the transaction
  // are set once the transaction exists.
  db.SetDefaultTransaction(tr);
  db.SetDefaultUpdateTransaction(tr);
  return tr;
}

TFbQuery* CreateRunQuery(TComponent& owner, const char* name, const std::vector<std::string>& sql, TFbDatabase& db,
                         TFbTransaction& tr) {
  auto* query = new TFbQuery(&owner);
  query->SetName(name);
  query->SetDatabase(&db);
  query->SetTransaction(&tr);
  // The text arrives line by line; it is judged once it is complete.
  query->SetLoading(true);
  for (const std::string& line : sql) query->SQL().Add(line);
  query->SetLoading(false);
  return query;
}

TRunComponents CreateRunComponents(TComponent& owner, const TRunSettings& settings) {
  TRunComponents c;
  c.DB = CreateRunDatabase(owner, settings);
  c.Tr = CreateRunTransaction(owner, *c.DB);
  c.SQLCount = CreateRunQuery(owner, "SQLCount", settings.SQLCount, *c.DB, *c.Tr);
  c.SQLListZakaz = CreateRunQuery(owner, "SQLListZakaz", settings.SQLListZakaz, *c.DB, *c.Tr);
  c.SQLUpdateID = CreateRunQuery(owner, "SQLUpdateID", settings.SQLUpdateID, *c.DB, *c.Tr);
  return c;
}

// The order whose answer the goods lines being walked use. The lines and
// the date text carry over from one goods line to the next: the goods lines
// after the first of an order use what was fetched for it.
struct TRestorationRun::TOrderAnswer {
  // The order number the last request was made for.
  std::string Order;
  // Line 0 of the last answer that had a line.
  std::string DateText;
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
    Ended(MessageOf(e));
    view_.ShowError(e);
  } catch (...) {
    Ended("Unknown exception");
    view_.ShowError(Exception("Unknown exception"));
  }
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
  THttpGetOptions options;
  if (settings_.AnswerTimeout > 0) options.Timeouts = THttpTimeouts::AnswerWithin(settings_.AnswerTimeout);
  TOrderRequests requests(
      settings_.Parallel, options, [this](const std::string& order) { return OrderUrl(order); }, hook);
  TListedLines lines(*c_.SQLListZakaz, requests);
  TOrderAnswer answer;
  while (!lines.AtEnd()) {
    view_.StepBar();
    view_.RepaintNow();
    ServeEvents();
    // Only resets the UPDATE's row state; it never fails.
    c_.SQLUpdateID->Close();
    const TListedLine& line = lines.Current();
    const TGoodsLineOutcome outcome = RestoreGoodsLine(line, answer, requests);
    report_.GoodsLine(line.OrderRead ? &line.Order : nullptr, outcome);
    if (outcome.Reason == TKeptReason::Stopped && !outcome.Updated) CountRestOfOrder(lines, outcome);
    lines.Advance();
  }
  Finish();
}

void TRestorationRun::CountRestOfOrder(TListedLines& lines, const TGoodsLineOutcome& outcome) {
  // A signal cut the order's request: the run ends without its commit, and
  // the report counts every goods line of the order as kept for it.
  const std::string order = lines.Current().Order;
  lines.Advance();
  while (!lines.AtEnd() && lines.Current().OrderRead && lines.Current().Order == order) {
    report_.GoodsLine(&order, outcome);
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
  report_.Finish(settings_.DryRun);
  c_.DB->Close();
  view_.ShowState();
  const std::string details = report_.KeptLines() > 0 ? report_.Details(settings_.DryRun) : std::string();
  view_.ShowFinalMessage(settings_.DryRun ? Cp("Проверка завершена, изменения не сохранены") : Cp("Даты восстановлены"),
                         details);
  view_.EndProgram();
}

std::string TRestorationRun::OrderUrl(const std::string& order) const {
  return "http://" + settings_.ServiceHost + kOrderPath + OrderQueryValue(order);
}

TGoodsLineOutcome TRestorationRun::RestoreGoodsLine(const TListedLine& line, TOrderAnswer& answer,
                                                    TOrderRequests& requests) {
  // Whatever fails here costs this goods line only: it keeps its value and
  // the run goes on with the next one.
  if (!line.OrderRead) return TGoodsLineOutcome::Kept(TKeptReason::UpdateRefused, line.Order);
  if (line.Order != answer.Order) Ask(answer, line.Order, requests);
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
  if (!result.Ok) {
    const bool stopped = result.ErrorCode == kInterruptedCode && ProcessStopRequested();
    answer.Unusable =
        TGoodsLineOutcome::Kept(stopped ? TKeptReason::Stopped : TKeptReason::RequestFailed,
                                stopped ? std::string("the run was stopped before the answer came") : result.Error);
  } else if (answer.Refused) {
    // The service refused the request: its status line says more than the
    // page it sent along.
    answer.Unusable = TGoodsLineOutcome::Kept(TKeptReason::RequestFailed, result.StatusLine);
  } else {
    answer.Unusable = TGoodsLineOutcome::Kept(TKeptReason::NoDate, std::string());
  }
  if (answer.Lines.Count() > 0) answer.DateText = answer.Lines[0];
}

TGoodsLineOutcome TRestorationRun::Write(const TListedLine& line, const TOrderAnswer& answer) {
  auto noDate = [&answer] {
    return answer.Refused ? answer.Unusable : TGoodsLineOutcome::Kept(TKeptReason::NoDate, answer.DateText);
  };
  if (!line.KeyRead) return TGoodsLineOutcome::Kept(TKeptReason::KeyUnusable, line.KeyError);
  try {
    c_.SQLUpdateID->ParameterByName("ID").SetAsInt64(line.Key);
  } catch (const std::exception& e) {
    return TGoodsLineOutcome::Kept(TKeptReason::UpdateRefused, MessageOf(e));
  } catch (...) {
    return TGoodsLineOutcome::Kept(TKeptReason::UpdateRefused, "Unknown exception");
  }
  TDateTime sent = 0;
  try {
    sent = ParseDateTimeText(answer.DateText);
  } catch (...) {
    return noDate();
  }
  // A time alone parses onto day 0: there is no send date to write.
  if (!HasDatePart(sent)) return noDate();
  try {
    c_.SQLUpdateID->ParameterByName("DATA_TIME_SEND").SetAsDateTime(sent);
    static const std::string orderWord = Cp("Заказ ");
    view_.SetStatusText(orderWord + answer.Order + " - " + answer.DateText);
    c_.SQLUpdateID->ExecQuery();
  } catch (const std::exception& e) {
    return TGoodsLineOutcome::Kept(TKeptReason::UpdateRefused, MessageOf(e));
  } catch (...) {
    return TGoodsLineOutcome::Kept(TKeptReason::UpdateRefused, "Unknown exception");
  }
  return TGoodsLineOutcome::Written();
}

} // namespace od
