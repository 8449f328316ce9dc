#pragma once

#include "app/RunReport.h"
#include "app/RunSettings.h"
#include "app/RunView.h"

#include <string>
#include <vector>

namespace od {

class TComponent;
class TFbDatabase;
class TFbTransaction;
class TFbQuery;
class TListedLines;
class TOrderRequests;
struct TListedLine;

// The data components the run works with. Whoever shows the run owns them
// (the main window, or the terminal's holder), so that messages name them
// as "Form2.DB", "Form2.SQLUpdateID" however the program was started.
struct TRunComponents {
  TFbDatabase* DB = nullptr;
  TFbTransaction* Tr = nullptr;
  TFbQuery* SQLCount = nullptr;
  TFbQuery* SQLListZakaz = nullptr;
  TFbQuery* SQLUpdateID = nullptr;
};

// The components one at a time, for an owner that puts others between them
// (the window's timer comes after the count), configured from the settings.
TFbDatabase* CreateRunDatabase(TComponent& owner, const TRunSettings& settings);
TFbTransaction* CreateRunTransaction(TComponent& owner, TFbDatabase& db);
TFbQuery* CreateRunQuery(TComponent& owner, const char* name, const std::vector<std::string>& sql, TFbDatabase& db,
                         TFbTransaction& tr);
// All five, in the order the window creates them.
TRunComponents CreateRunComponents(TComponent& owner, const TRunSettings& settings);

// Where the restoration run stands. Committed also after a dry run's
// rollback: the run completed.
enum class TRunState { Waiting, Running, Committed, Stopped };

// The restoration run: opens the database, counts the goods lines, walks
// them in order-number order asking the order service once per order,
// writes each goods line's send date, and commits it all in one
// transaction. It shows itself through the view and tells the report what
// became of every goods line. One thread: the one that owns the components.
class TRestorationRun {
public:
  TRestorationRun(const TRunSettings& settings, const TRunComponents& components, IRunView& view);

  // The whole run, once. A failure that ends it is reported and shown
  // through the view; it never leaves this call.
  void Execute();

  TRunState State() const noexcept { return state_; }
  TRunReport& Report() noexcept { return report_; }
  // The program ends without the run having started: the report says so.
  void EndedBeforeStart();

private:
  struct TOrderAnswer;

  void Walk();
  void Finish();
  // The status text, shown at once, then the events that wait.
  void EnterPhase(const char* utf8Text);
  // Serves pending events; a termination signal ends the run here.
  void ServeEvents();
  std::string OrderUrl(const std::string& order) const;
  TGoodsLineOutcome RestoreGoodsLine(const TListedLine& line, TOrderAnswer& answer, TOrderRequests& requests);
  void Ask(TOrderAnswer& answer, const std::string& order, TOrderRequests& requests);
  TGoodsLineOutcome Write(const TListedLine& line, const TOrderAnswer& answer);
  [[noreturn]] void CountRestOfOrder(TListedLines& lines, const TGoodsLineOutcome& outcome);
  void Ended(const std::string& message);

  const TRunSettings& settings_;
  TRunComponents c_;
  IRunView& view_;
  TRunReport report_;
  TRunState state_ = TRunState::Waiting;
};

// An order number as it stands in the request's query: bytes that may not
// stand there (blanks, control bytes, bytes above 0x7F, '#', '%', '&', '+',
// ...) percent-encoded; an order number of digits goes out as it is.
std::string OrderQueryValue(const std::string& order);

} // namespace od
