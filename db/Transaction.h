#pragma once

// One server transaction spanning one or more connections.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/Component.h"
#include "db/Notifications.h"
#include "db/ParamBlocks.h"

namespace od {

class TFbCustomDatabase;
class IIBClientLibrary;

enum TTransactionAction : int {
  TARollback = 0,
  TARollbackRetaining = 1,
  TACommit = 2,
  TACommitRetaining = 3,
};

enum TTPBMode : int {
  tpbDefault = 0,
  tpbReadCommitted = 1,
  tpbRepeatableRead = 2,
};

// End states: where the transaction is in its life, and while an end is in
// progress, which end.
enum : int {
  kEndStateActive = 0,
  kEndStateInactive = 1,
  kEndStateRollingBack = 2,
  kEndStateRollingBackRetaining = 3,
  kEndStateCommitting = 4,
  kEndStateCommittingRetaining = 5,
};

class TFbCustomTransaction : public TComponent {
public:
  explicit TFbCustomTransaction(TComponent* owner = nullptr);
  ~TFbCustomTransaction() override;

  // --- settings ---------------------------------------------------------
  TFbCustomDatabase* DefaultDatabase() const noexcept { return defaultDatabase_; }
  // Refused while active; enters the connection into the database list.
  void SetDefaultDatabase(TFbCustomDatabase* database);
  // Line changes refused while active ("%s :Transaction is active.").
  TFbParamList& TRParams() noexcept { return trParams_; }
  const TFbParamList& TRParams() const noexcept { return trParams_; }
  int Timeout() const noexcept { return timeout_; }
  void SetTimeout(int milliseconds);
  TTransactionAction TimeoutAction() const noexcept { return timeoutAction_; }
  void SetTimeoutAction(TTransactionAction action) noexcept { timeoutAction_ = action; }

  // --- the databases it spans ---------------------------------------------
  // All must use the same LibraryName as the first one.
  void AddDatabase(TFbCustomDatabase* database);
  void RemoveDatabase(TFbCustomDatabase* database) noexcept;
  int DatabaseCount() const noexcept { return static_cast<int>(databases_.size()); }
  TFbCustomDatabase* Databases(int index) const { return databases_.at(static_cast<size_t>(index)); }

  // --- state --------------------------------------------------------------
  bool Active() const noexcept { return handle_ != 0; }
  TFbHandle Handle() const noexcept { return handle_; }
  TFbHandle* HandleAddress() noexcept { return &handle_; }
  int EndState() const noexcept { return endState_; }
  // The TPB of the last start (empty before the first start).
  const std::string& ParamBlock() const noexcept { return tpb_; }
  bool Shared() const noexcept { return shared_; }
  void SetShared(bool value) noexcept { shared_ = value; }
  bool Idle() const noexcept { return idle_; }
  void SetIdle(bool value) noexcept { idle_ = value; }
  // Raises "%s :Transaction is not active." when inactive.
  void CheckInTransaction() const;
  // Raises "%s :Transaction is active." when active.
  void CheckNotInTransaction() const;

  // --- operations ---------------------------------------------------------
  virtual void EndTransaction(TTransactionAction action, bool force);
  // Told before (phase 0) and after (phase 1) a statement executes.
  virtual void SQLExecuteNotify(TComponent* statement, int phase);
  virtual void StartTransaction();
  virtual void Commit() { EndTransaction(TACommit, false); }
  virtual void CommitRetaining() { EndTransaction(TACommitRetaining, false); }
  virtual void Rollback() { EndTransaction(TARollback, false); }
  virtual void RollbackRetaining() { EndTransaction(TARollbackRetaining, false); }

  // Restores the floating-point control word, clears the idle marks of the
  // transaction and its databases and, when `raise` is set and the result
  // is above 0, raises the server error with this transaction as raiser.
  std::intptr_t CallCheck(std::intptr_t result, bool raise = true);

  // --- registration -------------------------------------------------------
  void RegisterStatement(IFbStatementLink* statement);
  void UnregisterStatement(IFbStatementLink* statement) noexcept;
  int StatementCount() const noexcept { return static_cast<int>(statements_.size()); }
  void AddListener(IFbTransactionListener* listener);
  void RemoveListener(IFbTransactionListener* listener) noexcept;

protected:
  // The work of StartTransaction between the derived class's handlers.
  void DoStartTransaction();
  // Ends with TimeoutAction (retaining forms as their plain form), forced.
  void EndForDestruction() noexcept;

private:
  friend class TFbCustomDatabase;
  IIBClientLibrary& Library() const;
  void NotifyStatements(TFbTransactionEvent event, bool newestFirst);
  // The statements, then the listeners, told of an end before and after it.
  void TellEnding();
  void TellEnded();
  // The connection is being destroyed (it removes itself from the list).
  void DatabaseGone(TFbCustomDatabase* database) noexcept;
  // The connection was lost: the transaction ended with it, without a
  // server call.
  void ForgetHandle() noexcept;

  TFbCustomDatabase* defaultDatabase_ = nullptr;
  TFbParamList trParams_;
  int timeout_ = 0;
  TTransactionAction timeoutAction_ = TARollback;

  TFbHandle handle_ = 0;
  std::string tpb_;
  int endState_ = kEndStateInactive;
  bool shared_ = false;
  bool idle_ = false;
  std::vector<TFbCustomDatabase*> databases_;
  std::vector<IFbStatementLink*> statements_;
  std::vector<IFbTransactionListener*> listeners_;
};

class TFbTransaction : public TFbCustomTransaction {
public:
  explicit TFbTransaction(TComponent* owner = nullptr);
  ~TFbTransaction() override;

  TTPBMode TPBMode() const noexcept { return tpbMode_; }
  void SetTPBMode(TTPBMode mode) noexcept { tpbMode_ = mode; }
  const std::string& UserKindTransaction() const noexcept { return userKind_; }
  void SetUserKindTransaction(std::string kind) { userKind_ = std::move(kind); }

  std::function<void(TFbTransaction&)> BeforeStart;
  std::function<void(TFbTransaction&)> AfterStart;
  std::function<void(TFbTransaction&, TTransactionAction action, bool force)> BeforeEnd;
  std::function<void(TFbTransaction&, TTransactionAction action, bool force)> AfterEnd;
  std::function<void(TFbTransaction&, TComponent* statement)> BeforeSQLExecute;
  std::function<void(TFbTransaction&, TComponent* statement)> AfterSQLExecute;

  void StartTransaction() override;
  void EndTransaction(TTransactionAction action, bool force) override;
  void SQLExecuteNotify(TComponent* statement, int phase) override;

private:
  TTPBMode tpbMode_ = tpbReadCommitted;
  std::string userKind_ = "NoUserKind";
};

} // namespace od
