#pragma once

#include "net/HttpGet.h"
#include "run/RunComponents.h"
#include "run/RunReport.h"
#include "run/RunSettings.h"
#include "run/RunView.h"

#include <string>
#include <vector>

namespace od {

class TGoodsLineWriter;
class TListedLines;
class TOrderRequests;
struct TListedLine;

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
  TGoodsLineOutcome RestoreGoodsLine(const TListedLine& line, TOrderAnswer& answer, TOrderRequests& requests);
  void Ask(TOrderAnswer& answer, const std::string& order, TOrderRequests& requests);
  // How requests reach the service (ServiceAccess.cpp): the secure layer
  // made ready, the proxies and the service's credentials.
  THttpGetOptions ServiceAccess() const;
  // What an answer says about the whole service rather than its order.
  void NoteServiceWide(const THttpGetResult& result);
  TGoodsLineOutcome Write(const TListedLine& line, const TOrderAnswer& answer);
  [[noreturn]] void CountRestOfOrder(TListedLines& lines, const TGoodsLineOutcome& outcome);
  // Ends the run on a failure outside a goods line: reported, then shown.
  void Stop(const std::exception& failure);
  void Ended(const std::string& message);

  const TRunSettings& settings_;
  TRunComponents c_;
  IRunView& view_;
  TRunReport report_;
  TRunState state_ = TRunState::Waiting;
  // The walk's write side, while the walk runs.
  TGoodsLineWriter* writer_ = nullptr;
};

} // namespace od
