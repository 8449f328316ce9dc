// Running a statement on the server: prepare (allocate, prepare, describe),
// execute, walk the rows of a cursor, close it and free the server statement.

#include <algorithm>
#include <chrono>
#include <mutex>
#include <random>

#include "base/Ascii.h"
#include "db/ClientLibrary.h"
#include "db/Database.h"
#include "db/FbErrors.h"
#include "db/Query.h"
#include "db/Transaction.h"
#include "db/ibase_api.h"

namespace od {

namespace {

std::mutex gMonitorLock;
std::function<void(const TFbCustomQuery&, const std::string&)> gPrepareMonitor;

void TellPrepareMonitor(const TFbCustomQuery& query, const std::string& text) {
  std::function<void(const TFbCustomQuery&, const std::string&)> monitor;
  {
    std::lock_guard lock(gMonitorLock);
    monitor = gPrepareMonitor;
  }
  if (monitor) monitor(query, text);
}

XSQLDA* Descriptor(TFbXSQLDA& area) noexcept { return static_cast<XSQLDA*>(area.Descriptor()); }
XSQLDA* InputDescriptor(TFbXSQLDA& area) noexcept {
  return area.Count() > 0 ? static_cast<XSQLDA*>(area.Descriptor()) : nullptr;
}

// Does the status vector carry `code` as an error code or a number argument?
bool StatusHolds(const ISC_STATUS* status, ISC_STATUS code) noexcept {
  int i = 0;
  while (i < kStatusVectorLength && status[i] != isc_arg_end) {
    const ISC_STATUS kind = status[i];
    if (i + 1 < kStatusVectorLength && (kind == isc_arg_gds || kind == isc_arg_number) && status[i + 1] == code) {
      return true;
    }
    i += kind == isc_arg_cstring ? 3 : 2;
  }
  return false;
}

// Sets a flag for the duration of a scope, also when an exception passes.
class TFlagScope {
public:
  explicit TFlagScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~TFlagScope() { flag_ = false; }
  TFlagScope(const TFlagScope&) = delete;
  TFlagScope& operator=(const TFlagScope&) = delete;

private:
  bool& flag_;
};

std::string RandomCursorName() {
  static thread_local std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<std::int32_t> distribution(0, 2147483646);
  std::string name;
  while (name.size() < 10) name += std::to_string(distribution(generator));
  name.resize(10);
  return name;
}

bool ReturnsColumns(TFbSQLTypes type) noexcept {
  return type == SQLSelect || type == SQLExecProcedure || type == SQLSelectForUpdate;
}

} // namespace

void TFbCustomQuery::SetPrepareMonitor(std::function<void(const TFbCustomQuery&, const std::string&)> monitor) {
  std::lock_guard lock(gMonitorLock);
  gPrepareMonitor = std::move(monitor);
}

// ---------------------------------------------------------------------------
// Prepare

void TFbCustomQuery::CheckDatabase() {
  if (database_ == nullptr) RaiseClientError(fbceDatabaseNotAssigned, {FullName()});
  database_->CheckActive();
}

void TFbCustomQuery::CheckTransaction() {
  if (transaction_ == nullptr) RaiseClientError(fbceTransactionNotAssigned, {FullName()});
  transaction_->CheckInTransaction();
}

void TFbCustomQuery::DescribeParameters() {
  TFbXSQLDA& input = TextInputArea();
  const unsigned short dialect = static_cast<unsigned short>(database_->SQLDialect());
  if (input.Count() > 0) {
    if (execParams_->Count() < input.Count()) execParams_->Resize(input.Count());
    const std::intptr_t result =
        Check(Library().isc_dsql_describe_bind(StatusVector(), &handle_, dialect, Descriptor(*execParams_)), false);
    if (result > 0) RaiseFromStatus();
    if (&input == userParams_.get()) TakeDescribedParameters();
  }
  execParams_->InitialiseAfterDescribe();
}

void TFbCustomQuery::TakeDescribedParameters() {
  const int n = std::min(userParams_->Count(), execParams_->Count());
  for (int i = 0; i < n; ++i) {
    TFbXSQLVAR& param = userParams_->At(i);
    const TFbXSQLVAR& described = execParams_->At(i);
    if (param.IsNull()) {
      param.TakeDescribedType(described);
    } else if ((described.DataType() == kSqlBlob || described.DataType() == kSqlArray) &&
               param.DataType() != kSqlBlob) {
      // A value given for a BLOB goes to the server as a BLOB of its text.
      ISC_QUAD id{};
      if (!WriteBlob(param.AsString(), &id)) RaiseClientError(fbceBlobCannotBeWritten);
      param.SetRawValue(kSqlBlob, sizeof id, &id);
    }
  }
}

void TFbCustomQuery::Prepare() {
  if (open_) Close();
  CheckDatabase();
  if ((options_ & qoStartTransaction) != 0 && transaction_ != nullptr && !transaction_->Active()) {
    transaction_->StartTransaction();
  }
  CheckTransaction();
  PrepareText();
  if (prepared_) return;

  if (std::all_of(processed_.begin(), processed_.end(), [](char c) { return IsBlankOrControl(c); })) {
    RaiseClientError(fbceEmptyQuery, {"Prepare"});
  }
  IIBClientLibrary& library = Library();
  const unsigned short dialect = static_cast<unsigned short>(database_->SQLDialect());
  try {
    PrepareOnServer(library, dialect);
    ReadStatementType(library);
    DescribeStatement(library, dialect);
  } catch (...) {
    if (handle_ != 0) {
      try {
        FreeHandle();
      } catch (...) {
      }
    }
    throw;
  }
}

void TFbCustomQuery::PrepareOnServer(IIBClientLibrary& library, unsigned short dialect) {
  Check(library.isc_dsql_alloc_statement2(StatusVector(), database_->HandleAddress(), &handle_), true);
  columns_->Resize(1);
  Check(library.isc_dsql_prepare(StatusVector(), transaction_->HandleAddress(), &handle_, 0, processed_.c_str(),
                                 dialect, Descriptor(*columns_)),
        true);
  ++prepareCount_;
  TellPrepareMonitor(*this, processed_);
}

void TFbCustomQuery::ReadStatementType(IIBClientLibrary& library) {
  const char item = isc_info_sql_stmt_type;
  char answer[8] = {};
  Check(library.isc_dsql_sql_info(StatusVector(), &handle_, 1, &item, sizeof answer, answer), true);
  if (answer[0] != isc_info_sql_stmt_type) RaiseClientError(fbceUnknownError);
  const short length = static_cast<short>(std::clamp<ISC_LONG>(library.isc_vax_integer(answer + 1, 2), 0, 4));
  sqlType_ = static_cast<TFbSQLTypes>(library.isc_vax_integer(answer + 3, length));

  if (sqlType_ == SQLSelectForUpdate && cursorName_.empty()) {
    cursorName_ = RandomCursorName();
    Check(library.isc_dsql_set_cursor_name(StatusVector(), &handle_, cursorName_.c_str(), 0), true);
  }
}

void TFbCustomQuery::DescribeStatement(IIBClientLibrary& library, unsigned short dialect) {
  switch (sqlType_) {
  case SQLSelect:
  case SQLInsert:
  case SQLUpdate:
  case SQLDelete:
  case SQLExecProcedure:
  case SQLSelectForUpdate:
    DescribeParameters();
    if (ReturnsColumns(sqlType_)) {
      DescribeColumns(library, dialect);
    } else {
      columns_->Resize(0);
    }
    prepared_ = true;
    break;
  case SQLGetSegment:
  case SQLPutSegment:
  case SQLStartTransaction: FreeHandle(); RaiseClientError(fbceNotPermitted);
  default: prepared_ = true; break;
  }
}

void TFbCustomQuery::DescribeColumns(IIBClientLibrary& library, unsigned short dialect) {
  const int described = columns_->DescribedCount();
  if (described > columns_->Count()) {
    columns_->Resize(described);
    Check(library.isc_dsql_describe(StatusVector(), &handle_, dialect, Descriptor(*columns_)), true);
  } else if (described == 0) {
    columns_->Resize(0);
  }
  columns_->InitialiseAfterDescribe();
}

// ---------------------------------------------------------------------------
// ExecQuery

void TFbCustomQuery::BeforeExecute() {
  DoBeforeExecute();
  if (transaction_ == nullptr) RaiseClientError(fbceTransactionNotAssigned, {FullName()});
  columns_->ResetToNull();
  if ((options_ & qoStartTransaction) != 0 && !transaction_->Active()) transaction_->StartTransaction();
  transaction_->SQLExecuteNotify(this, 0);
}

void TFbCustomQuery::AfterExecute() {
  DoAfterExecute();
  if (transaction_ != nullptr) transaction_->SQLExecuteNotify(this, 1);
  userParams_->ClearAssigned();
  regenerate_ = false;
  if ((options_ & qoAutoCommit) != 0 && transaction_ != nullptr) {
    if (transaction_->TimeoutAction() == TACommitRetaining) {
      transaction_->CommitRetaining();
    } else {
      transaction_->Commit();
    }
  }
}

void TFbCustomQuery::ExecuteImmediate() {
  BeforeExecute();
  CheckDatabase();
  CheckTransaction();
  PrepareText();
  if (handle_ != 0) FreeHandle();
  Check(Library().isc_dsql_execute_immediate(
            StatusVector(), database_->HandleAddress(), transaction_->HandleAddress(), 0, processed_.c_str(),
            static_cast<unsigned short>(database_->SQLDialect()), InputDescriptor(TextInputArea())),
        true);
  ++executeCount_;
  AfterExecute();
}

void TFbCustomQuery::ExecQuery() { DoExecQuery(); }

void TFbCustomQuery::DoExecQuery() {
  TFlagScope executing(executing_);
  if (kind_ == TSqlKind::DDL) {
    ExecuteImmediate();
    return;
  }
  BeforeExecute();
  const bool hasParams = Params().Count() > 0;
  // With parameters, Prepare itself decides whether their NULL states ask
  // for a rewritten text; without, only an unprepared statement needs it.
  if ((ParamSearchActive() && hasParams) || !prepared_) Prepare();
  TFbXSQLDA& input = useExecArea_ && hasParams ? FilledExecutionParams() : *userParams_;

  IIBClientLibrary& library = Library();
  const unsigned short dialect = static_cast<unsigned short>(database_->SQLDialect());
  const auto started = std::chrono::steady_clock::now();
  ExecutePrepared(library, dialect, input);
  ++executeCount_;
  executionTime_ =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
  if (ParamSearchActive() && hasParams) {
    for (int i = 0; i < userParams_->Count(); ++i) {
      TFbXSQLVAR& param = userParams_->At(i);
      if (param.HasValue()) param.RecordExecuted();
    }
  }
  AfterExecute();
  if (!open_ && (options_ & qoFreeHandleAfterExecute) != 0) FreeHandle();
}

TFbXSQLDA& TFbCustomQuery::FilledExecutionParams() {
  for (int i = 0; i < execParams_->Count(); ++i) {
    TFbXSQLVAR& target = execParams_->At(i);
    const int source = userParams_->FindNameIndex(target.Name());
    if (source >= 0) target.CopyFrom(userParams_->At(source));
  }
  return *execParams_;
}

void TFbCustomQuery::ExecutePrepared(IIBClientLibrary& library, unsigned short dialect, TFbXSQLDA& input) {
  auto execute = [&] {
    Check(library.isc_dsql_execute(StatusVector(), transaction_->HandleAddress(), &handle_, dialect,
                                   InputDescriptor(input)),
          true);
  };
  switch (sqlType_) {
  case SQLSelect:
  case SQLSelectForUpdate:
    if (open_) Close();
    execute();
    open_ = true;
    atStart_ = true;
    atEnd_ = false;
    recordCount_ = 0;
    columns_->ResetToNull();
    if (goToFirstRecord_) FetchNext();
    break;
  case SQLExecProcedure: {
    const std::intptr_t result =
        Check(library.isc_dsql_execute2(StatusVector(), transaction_->HandleAddress(), &handle_, dialect,
                                        InputDescriptor(input), InputDescriptor(*columns_)),
              false);
    if (result > 0) RaiseFromStatus();
    procedureOutput_ = true;
    break;
  }
  case SQLCommit: transaction_->Commit(); break;
  case SQLRollback: transaction_->Rollback(); break;
  default: execute(); break;
  }
}

// ---------------------------------------------------------------------------
// rows

TFbXSQLDA* TFbCustomQuery::FetchNext() {
  if (atEnd_) return nullptr;
  if (!open_) RaiseClientError(fbceSQLClosed, {"fetch next record", FullName()});
  const std::intptr_t result =
      Check(Library().isc_dsql_fetch(StatusVector(), &handle_, static_cast<unsigned short>(database_->SQLDialect()),
                                     Descriptor(*columns_)),
            false);
  if (result <= 0) {
    ++recordCount_;
    atStart_ = false;
    return columns_.get();
  }
  if (result == 100 || StatusHolds(StatusVector(), isc_dsql_cursor_err)) {
    atEnd_ = true;
    return nullptr;
  }
  try {
    RaiseFromStatus();
  } catch (...) {
    try {
      Close();
    } catch (...) {
    }
    throw;
  }
}

bool TFbCustomQuery::AtEnd() {
  const bool result = atEnd_ || !open_;
  if (atEnd_ && open_ && (options_ & qoFreeHandleAfterExecute) != 0) FreeHandle();
  return result;
}

void TFbCustomQuery::Close() {
  const bool callServer = handle_ != 0 && open_ && (sqlType_ == SQLSelect || sqlType_ == SQLSelectForUpdate);
  ForgetCursor();
  if (!callServer) return;
  const std::intptr_t result = Check(Library().isc_dsql_free_statement(StatusVector(), &handle_, DSQL_close), false);
  if (result > 0 && !StatusHolds(StatusVector(), isc_bad_stmt_handle) &&
      !StatusHolds(StatusVector(), isc_dsql_cursor_close_err)) {
    RaiseFromStatus();
  }
}

void TFbCustomQuery::FreeHandle() {
  columns_->Resize(0);
  if (handle_ == 0) {
    prepared_ = false;
    return;
  }
  struct TReset {
    TFbCustomQuery& q;
    ~TReset() {
      q.prepared_ = false;
      q.handle_ = 0;
    }
  } reset{*this};
  if (database_ == nullptr || !database_->ClientLibrary()) return;
  const std::intptr_t result = Check(Library().isc_dsql_free_statement(StatusVector(), &handle_, DSQL_drop), false);
  if (result > 0 && !StatusHolds(StatusVector(), isc_bad_stmt_handle)) RaiseFromStatus();
}

} // namespace od
