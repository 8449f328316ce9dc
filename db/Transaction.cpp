#include "db/Transaction.h"

#include <algorithm>
#include <type_traits>

#include "base/Exception.h"
#include "base/PointerList.h"
#include "db/ClientLibrary.h"
#include "db/Database.h"
#include "db/FbErrors.h"

namespace od {

static_assert(std::is_same_v<TFbHandle, isc_tr_handle>, "handles are stored as the client library declares them");

namespace {

// One entry of the transaction-existence block of isc_start_multiple.
struct TTransactionExistence {
  isc_db_handle* database;
  ISC_LONG tpbLength;
  const ISC_SCHAR* tpb;
};

// The derived connection of the transaction's default database, whose
// handlers are told of the transaction's start and end; null for any other.
TFbDatabase* HandlerDatabase(const TFbCustomTransaction& transaction) {
  return dynamic_cast<TFbDatabase*>(transaction.DefaultDatabase());
}

TTransactionAction PlainForm(TTransactionAction action) noexcept {
  if (action == TARollbackRetaining) return TARollback;
  if (action == TACommitRetaining) return TACommit;
  return action;
}

} // namespace

TFbCustomTransaction::TFbCustomTransaction(TComponent* owner)
    : TComponent(owner), trParams_([this] { CheckNotInTransaction(); }) {}

TFbCustomTransaction::~TFbCustomTransaction() {
  EndForDestruction();
  for (IFbStatementLink* statement : std::vector(statements_)) statement->TransactionFreed(*this);
  statements_.clear();
  for (TFbCustomDatabase* database : databases_) database->UnregisterTransaction(this);
  databases_.clear();
  defaultDatabase_ = nullptr;
}

void TFbCustomTransaction::CheckInTransaction() const {
  if (!Active()) RaiseClientError(fbceNotInTransaction, {FullName()});
}

void TFbCustomTransaction::CheckNotInTransaction() const {
  if (Active()) RaiseClientError(fbceInTransaction, {FullName()});
}

void TFbCustomTransaction::SetDefaultDatabase(TFbCustomDatabase* database) {
  CheckNotInTransaction();
  if (database == defaultDatabase_) return;
  if (database != nullptr) AddDatabase(database); // may refuse a different client library
  if (defaultDatabase_ != nullptr) RemoveDatabase(defaultDatabase_);
  defaultDatabase_ = database;
}

void TFbCustomTransaction::SetTimeout(int milliseconds) { timeout_ = CheckedTimeout(milliseconds); }

void TFbCustomTransaction::AddDatabase(TFbCustomDatabase* database) {
  if (database == nullptr) return;
  if (std::find(databases_.begin(), databases_.end(), database) != databases_.end()) return;
  if (!databases_.empty() && databases_.front()->LibraryName() != database->LibraryName())
    throw Exception(Format("%s.\r\nTransaction can't work with different client library.", FullName().c_str()));
  databases_.push_back(database);
  database->RegisterTransaction(this);
}

void TFbCustomTransaction::RemoveDatabase(TFbCustomDatabase* database) noexcept {
  if (database == nullptr) return;
  EraseOne(databases_, database);
  database->UnregisterTransaction(this);
  if (defaultDatabase_ == database) defaultDatabase_ = nullptr;
}

void TFbCustomTransaction::DatabaseGone(TFbCustomDatabase* database) noexcept {
  EraseOne(databases_, database);
  if (defaultDatabase_ == database) defaultDatabase_ = nullptr;
}

void TFbCustomTransaction::ForgetHandle() noexcept {
  if (!Active()) return;
  handle_ = 0;
  endState_ = kEndStateInactive;
  for (auto it = statements_.rbegin(); it != statements_.rend(); ++it) {
    try {
      (*it)->TransactionEvent(*this, TFbTransactionEvent::Ended);
    } catch (...) {
    }
  }
}

IIBClientLibrary& TFbCustomTransaction::Library() const {
  if (databases_.empty() || !databases_.front()->ClientLibrary())
    RaiseClientError(fbceNoDatabasesInTransaction, {FullName()});
  return *databases_.front()->ClientLibrary();
}

std::intptr_t TFbCustomTransaction::CallCheck(std::intptr_t result, bool raise) {
  RestoreDefaultFpuControlWord();
  for (TFbCustomDatabase* database : databases_) database->SetIdle(false);
  idle_ = false;
  if (raise && result > 0) RaiseServerError(Library(), this);
  return result;
}

void TFbCustomTransaction::NotifyStatements(TFbTransactionEvent event, bool newestFirst) {
  const std::vector<IFbStatementLink*> statements(statements_);
  if (newestFirst) {
    for (auto it = statements.rbegin(); it != statements.rend(); ++it) (*it)->TransactionEvent(*this, event);
  } else {
    for (IFbStatementLink* statement : statements) statement->TransactionEvent(*this, event);
  }
}

void TFbCustomTransaction::StartTransaction() {
  if (Active()) return;
  DoStartTransaction();
}

void TFbCustomTransaction::DoStartTransaction() {
  if (databases_.empty()) RaiseClientError(fbceNoDatabasesInTransaction, {FullName()});

  if (trParams_.Changed()) {
    tpb_ = BuildTPB(trParams_.Lines());
    trParams_.ClearChanged();
  }

  std::vector<TTransactionExistence> existence;
  existence.reserve(databases_.size());
  for (TFbCustomDatabase* database : databases_) {
    database->CheckActive();
    existence.push_back({database->HandleAddress(), static_cast<ISC_LONG>(tpb_.size()), tpb_.data()});
  }

  NotifyStatements(TFbTransactionEvent::Starting, false);

  if (!Active()) {
    const std::vector<IFbTransactionListener*> listeners(listeners_);
    for (auto it = listeners.rbegin(); it != listeners.rend(); ++it) (*it)->BeforeStart(*this);
    IIBClientLibrary& library = Library();
    const ISC_STATUS result =
        library.isc_start_multiple(StatusVector(), &handle_, static_cast<short>(existence.size()), existence.data());
    if (CallCheck(result, false) > 0) {
      handle_ = 0;
      RaiseServerError(library, this);
    }
    for (auto it = listeners.rbegin(); it != listeners.rend(); ++it) (*it)->AfterStart(*this);
  }

  NotifyStatements(TFbTransactionEvent::Started, false);
  endState_ = kEndStateActive;
}

void TFbCustomTransaction::EndTransaction(TTransactionAction action, bool force) {
  CheckInTransaction();
  idle_ = false;

  // Whatever stops the end half-way, the end state must again say what the
  // handle says: still active, or ended.
  struct TEndStateGuard {
    TFbCustomTransaction& transaction;
    ~TEndStateGuard() { transaction.endState_ = transaction.Active() ? kEndStateActive : kEndStateInactive; }
  } guard{*this};

  IIBClientLibrary& library = Library();
  if (action == TARollback || action == TACommit) {
    if (shared_ && action != timeoutAction_ && !force) RaiseClientError(fbceCantEndSharedTransaction);
    endState_ = action == TACommit ? kEndStateCommitting : kEndStateRollingBack;

    // A forced end must reach the server even when a listener fails;
    // otherwise the server transaction would outlive its handle.
    try {
      TellEnding();
    } catch (...) {
      if (!force) throw;
    }

    std::intptr_t result = 0;
    if (shared_) {
      handle_ = 0;
      shared_ = false;
    } else if (action == TACommit) {
      result = CallCheck(library.isc_commit_transaction(StatusVector(), &handle_), false);
    } else {
      result = CallCheck(library.isc_rollback_transaction(StatusVector(), &handle_), false);
    }
    if (force && result > 0) CallCheck(library.isc_rollback_transaction(StatusVector(), &handle_), false);

    if (force) {
      handle_ = 0;
    } else if (result > 0) {
      RaiseServerError(library, this);
    }

    TellEnded();
  } else {
    endState_ = action == TACommitRetaining ? kEndStateCommittingRetaining : kEndStateRollingBackRetaining;
    TellEnding();
    if (action == TACommitRetaining)
      CallCheck(library.isc_commit_retaining(StatusVector(), &handle_));
    else
      CallCheck(library.isc_rollback_retaining(StatusVector(), &handle_));
    TellEnded();
  }
}

void TFbCustomTransaction::TellEnding() {
  NotifyStatements(TFbTransactionEvent::Ending, true);
  for (IFbTransactionListener* listener : std::vector(listeners_)) listener->BeforeEnd(*this);
}

void TFbCustomTransaction::TellEnded() {
  NotifyStatements(TFbTransactionEvent::Ended, true);
  for (IFbTransactionListener* listener : std::vector(listeners_)) listener->AfterEnd(*this);
}

void TFbCustomTransaction::SQLExecuteNotify(TComponent* /*statement*/, int /*phase*/) {}

void TFbCustomTransaction::EndForDestruction() noexcept {
  if (!Active()) return;
  try {
    TFbCustomTransaction::EndTransaction(PlainForm(timeoutAction_), true);
  } catch (...) {
    // A forced end always leaves the transaction inactive.
  }
  handle_ = 0;
  endState_ = kEndStateInactive;
}

void TFbCustomTransaction::RegisterStatement(IFbStatementLink* statement) { AddOnce(statements_, statement); }

void TFbCustomTransaction::UnregisterStatement(IFbStatementLink* statement) noexcept {
  EraseOne(statements_, statement);
}

void TFbCustomTransaction::AddListener(IFbTransactionListener* listener) { AddOnce(listeners_, listener); }

void TFbCustomTransaction::RemoveListener(IFbTransactionListener* listener) noexcept { EraseOne(listeners_, listener); }

// --- TFbTransaction ------------------------------------------------------------

TFbTransaction::TFbTransaction(TComponent* owner) : TFbCustomTransaction(owner) {}

TFbTransaction::~TFbTransaction() = default;

void TFbTransaction::StartTransaction() {
  if (Active()) return;
  switch (tpbMode_) {
  case tpbReadCommitted: TRParams().Assign({"write", "isc_tpb_nowait", "read_committed", "rec_version"}); break;
  case tpbRepeatableRead: TRParams().Assign({"write", "isc_tpb_nowait", "concurrency"}); break;
  case tpbDefault: break;
  }
  auto* database = HandlerDatabase(*this);
  if (database != nullptr && database->BeforeStartTransaction) database->BeforeStartTransaction(*this);
  if (BeforeStart) BeforeStart(*this);
  DoStartTransaction();
  if (AfterStart) AfterStart(*this);
  database = HandlerDatabase(*this);
  if (database != nullptr && database->AfterStartTransaction) database->AfterStartTransaction(*this);
}

void TFbTransaction::EndTransaction(TTransactionAction action, bool force) {
  auto* database = HandlerDatabase(*this);
  if (database != nullptr && database->BeforeEndTransaction) database->BeforeEndTransaction(*this, action, force);
  if (BeforeEnd) BeforeEnd(*this, action, force);
  TFbCustomTransaction::EndTransaction(action, force);
  if (AfterEnd) AfterEnd(*this, action, force);
  database = HandlerDatabase(*this);
  if (database != nullptr && database->AfterEndTransaction) database->AfterEndTransaction(*this, action, force);
}

void TFbTransaction::SQLExecuteNotify(TComponent* statement, int phase) {
  if (phase == 0 && BeforeSQLExecute) BeforeSQLExecute(*this, statement);
  if (phase == 1 && AfterSQLExecute) AfterSQLExecute(*this, statement);
}

} // namespace od
