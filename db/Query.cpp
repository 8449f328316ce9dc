#include "db/Query.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>

#include "base/Ascii.h"
#include "base/Exception.h"
#include "db/ClientLibrary.h"
#include "db/Database.h"
#include "db/FbErrors.h"
#include "db/Transaction.h"
#include "db/ibase_api.h"
#include "text/Cp1251.h"

namespace od {

namespace {

std::mutex gMonitorLock;
std::function<void(const TFbCustomQuery&, const std::string&)> gPrepareMonitor;

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

bool NeedsQuoting(std::string_view name) noexcept {
  if (name.empty() || !IsAlpha(name.front())) return true;
  return std::any_of(name.begin(), name.end(), [](char c) { return !(IsAlnum(c) || c == '_' || c == '$'); });
}

} // namespace

// ---------------------------------------------------------------------------
// TFbSQLLines

template <typename Fn> void TFbSQLLines::Change(Fn&& fn) {
  owner_.SQLChanging();
  fn();
  owner_.SQLChanged();
}

void TFbSQLLines::Add(std::string line) {
  Change([&] { lines_.Add(std::move(line)); });
}
void TFbSQLLines::Put(int index, std::string line) {
  Change([&] { lines_.Put(index, std::move(line)); });
}
void TFbSQLLines::Insert(int index, std::string line) {
  Change([&] { lines_.Insert(index, std::move(line)); });
}
void TFbSQLLines::Delete(int index) {
  Change([&] { lines_.Delete(index); });
}
void TFbSQLLines::Clear() {
  Change([&] { lines_.Clear(); });
}
void TFbSQLLines::SetText(std::string_view text) {
  Change([&] { lines_.SetText(text); });
}
void TFbSQLLines::Assign(std::initializer_list<std::string_view> lines) {
  Change([&] {
    lines_.Clear();
    for (std::string_view line : lines) lines_.Add(std::string(line));
  });
}
void TFbSQLLines::Assign(const TStringList& lines) {
  Change([&] { lines_ = lines; });
}

// ---------------------------------------------------------------------------
// construction

TFbCustomQuery::TFbCustomQuery(TComponent* owner)
    : TComponent(owner), sql_(*this), columns_(std::make_unique<TFbXSQLDA>(this, false)),
      userParams_(std::make_unique<TFbXSQLDA>(this, true)), execParams_(std::make_unique<TFbXSQLDA>(this, true)) {
  if (auto* database = dynamic_cast<TFbCustomDatabase*>(owner)) {
    SetDatabase(database);
  } else if (auto* transaction = dynamic_cast<TFbCustomTransaction*>(owner)) {
    SetTransaction(transaction);
  }
}

TFbCustomQuery::~TFbCustomQuery() {
  try {
    if (open_) Close();
  } catch (...) {
  }
  try {
    if (handle_ != 0) FreeHandle();
  } catch (...) {
  }
  if (transaction_ != nullptr) transaction_->UnregisterStatement(this);
  if (database_ != nullptr) database_->UnregisterStatement(this);
}

void TFbCustomQuery::SetPrepareMonitor(std::function<void(const TFbCustomQuery&, const std::string&)> monitor) {
  std::lock_guard lock(gMonitorLock);
  gPrepareMonitor = std::move(monitor);
}

void TFbCustomQuery::SetDatabase(TFbCustomDatabase* database) {
  if (database == database_) return;
  // A server statement belongs to the attachment it was made on.
  if (open_) Close();
  if (handle_ != 0) FreeHandle();
  if (database_ != nullptr) database_->UnregisterStatement(this);
  database_ = database;
  if (database_ != nullptr) {
    database_->RegisterStatement(this);
    if (transaction_ == nullptr && !loading_ && database_->DefaultTransaction() != nullptr) {
      SetTransaction(database_->DefaultTransaction());
    }
  }
}

void TFbCustomQuery::SetTransaction(TFbCustomTransaction* transaction) {
  if (transaction == transaction_) return;
  if (open_) Close();
  if (transaction_ != nullptr) transaction_->UnregisterStatement(this);
  transaction_ = transaction;
  if (transaction_ == nullptr) return;
  transaction_->RegisterStatement(this);
  bool listed = false;
  for (int i = 0; i < transaction_->DatabaseCount(); ++i) {
    if (transaction_->Databases(i) == database_) listed = true;
  }
  if ((database_ == nullptr || !listed) && transaction_->DatabaseCount() > 0) SetDatabase(transaction_->Databases(0));
}

void TFbCustomQuery::SetParamCheck(bool value) {
  if (value == paramCheck_) return;
  SQLChanging();
  paramCheck_ = value;
  SQLChanged();
}

// ---------------------------------------------------------------------------
// helpers for the areas

bool TFbCustomQuery::UpperCaseLookup(std::string_view name) const noexcept {
  if (database_ == nullptr) return true;
  if (database_->SQLDialect() < 3) return true;
  return database_->UpperOldNames() && !NeedsQuoting(name);
}

bool TFbCustomQuery::IsUtf8CharSet(int charSetId) const {
  if (database_ == nullptr) return false;
  // Code page 1251 connections (this program's) never decode: skip the list.
  if (charSetId == 0 || charSetId == 52) return false;
  const std::vector<int> ids = database_->Utf8CharSetIds();
  return std::find(ids.begin(), ids.end(), charSetId) != ids.end();
}

bool TFbCustomQuery::Utf8Names() const { return database_ != nullptr && database_->Utf8Connection(); }
bool TFbCustomQuery::Koi8Names() const { return database_ != nullptr && database_->Koi8Connection(); }

void TFbCustomQuery::Regenerate() { Generate(executing_); }

TFbXSQLDA& TFbCustomQuery::Params() {
  if (!scanned_) Rescan();
  return *userParams_;
}

// ---------------------------------------------------------------------------
// status check

IIBClientLibrary& TFbCustomQuery::Library() const {
  if (database_ == nullptr || !database_->ClientLibrary()) RaiseClientError(fbceDatabaseNotAssigned, {FullName()});
  return *database_->ClientLibrary();
}

std::intptr_t TFbCustomQuery::Check(std::intptr_t result, bool raise) {
  ++serverCalls_;
  if (transaction_ != nullptr) {
    transaction_->CallCheck(result, false);
  } else {
    RestoreDefaultFpuControlWord();
  }
  if (raise && result > 0) RaiseFromStatus();
  return result;
}

void TFbCustomQuery::RaiseFromStatus() {
  RaiseServerError(Library(), this);
  // An installed error handler chose to swallow the error; the operation
  // still cannot go on, so it ends silently.
  throw EAbort();
}

// ---------------------------------------------------------------------------
// text change protocol

void TFbCustomQuery::SQLChanging() {
  if (open_) RaiseClientError(fbceSQLOpen, {"change sql text", FullName()});
  if (OnSQLChanging) OnSQLChanging(*this);
  if (handle_ != 0) FreeHandle();
  regenerate_ = false;
}

void TFbCustomQuery::SQLChanged() {
  kind_ = ClassifySql(sql_.Text());
  if (changeLock_ > 0) return;
  ++changeCounter_;
  Rescan();
}

void TFbCustomQuery::Rescan() {
  const std::string text = sql_.Text();
  charSetConverted_ = false;
  textRefused_ = false;
  if (!paramCheck_ || sql_.Count() == 0 || !HasParamMarkers(text, macroChar_)) {
    userParams_->Resize(0);
    execParams_->Resize(0);
    occurrences_.clear();
    processed_ = text;
  } else {
    try {
      Scan();
    } catch (...) {
      // The parameter area of the earlier text stays readable, but nothing
      // of that text may be prepared or executed in place of the refused
      // one: Prepare scans again and raises again.
      textRefused_ = true;
      processed_.clear();
      throw;
    }
  }
  if (handle_ != 0) FreeHandle();
  scanned_ = true;
}

void TFbCustomQuery::Scan() {
  const std::string text = sql_.Text();
  TParamScanOptions options;
  options.MacroChar = macroChar_;
  options.QuietOnEmptyName = loading_;
  TParamScanResult result = ScanParams(text, kind_, options);
  if (result.Error != TParamScanError::None) {
    RaiseClientError(fbceSQLParseError, {FullName(), ParamScanErrorText(result.Error)});
  }
  if (result.StoppedQuietly) return;

  auto area = std::make_unique<TFbXSQLDA>(this, true);
  const int n = static_cast<int>(result.Params.size());
  area->Resize(n);
  for (int i = 0; i < n; ++i) {
    const TParamOccurrence& param = result.Params[static_cast<size_t>(i)];
    area->At(i).MakeUnset();
    area->RegisterName(param.Name, i, param.Quoted);
  }
  // Parameters that keep their name keep their value.
  for (int i = 0; i < n; ++i) {
    TFbXSQLVAR& entry = area->At(i);
    const int old = userParams_->FindNameIndex(entry.Name());
    if (old >= 0) entry.CopyFrom(userParams_->At(old));
  }
  userParams_ = std::move(area);
  occurrences_ = std::move(result.Params);
  processed_ = n > 0 ? std::string() : text;
}

void TFbCustomQuery::Generate(bool rewriteNulls) {
  const std::string text = sql_.Text();
  std::string source = text;
  useExecArea_ = false;
  if (rewriteNulls && (options_ & qoNoForceIsNull) == 0 &&
      userParams_->Count() == static_cast<int>(occurrences_.size())) {
    std::vector<bool> isNull(occurrences_.size());
    for (size_t i = 0; i < occurrences_.size(); ++i) isNull[i] = userParams_->At(static_cast<int>(i)).IsNull();
    std::vector<bool> rewritten;
    std::string changed = RewriteNullComparisons(text, occurrences_, isNull, rewritten);
    if (std::find(rewritten.begin(), rewritten.end(), true) != rewritten.end()) {
      source = std::move(changed);
      useExecArea_ = true;
    }
  }

  TParamScanOptions options;
  options.Generate = true;
  options.MacroChar = macroChar_;
  TParamScanResult result = ScanParams(source, kind_, options);
  if (result.Error != TParamScanError::None) {
    RaiseClientError(fbceSQLParseError, {FullName(), ParamScanErrorText(result.Error)});
  }
  auto area = std::make_unique<TFbXSQLDA>(this, true);
  const int n = static_cast<int>(result.Params.size());
  area->Resize(n);
  for (int i = 0; i < n; ++i) {
    const TParamOccurrence& param = result.Params[static_cast<size_t>(i)];
    area->At(i).MakeNullText();
    area->RegisterName(param.Name, i, param.Quoted);
  }
  for (int i = 0; i < n; ++i) {
    TFbXSQLVAR& entry = area->At(i);
    const int old = execParams_->FindNameIndex(entry.Name());
    if (old >= 0) entry.CopyFrom(execParams_->At(old));
  }
  execParams_ = std::move(area);
  processed_ = std::move(result.Processed);
  charSetConverted_ = false;
}

void TFbCustomQuery::ConvertCharSet() {
  if (charSetConverted_) return;
  charSetConverted_ = true;
  if (database_ == nullptr) return;
  if (database_->Utf8Connection()) {
    processed_ = Cp1251ToUtf8(processed_);
  } else if (database_->Koi8Connection()) {
    processed_ = Cp1251ToKoi8(processed_);
  }
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

bool TFbCustomQuery::RegenerationDue() const {
  const int n = std::min(userParams_->Count(), static_cast<int>(occurrences_.size()));
  for (int i = 0; i < n; ++i) {
    if (!occurrences_[static_cast<size_t>(i)].NotFollowedByOperator) continue;
    const TFbXSQLVAR& param = userParams_->At(i);
    if (param.IsNull() != param.LastExecutedNull()) return true;
  }
  return false;
}

void TFbCustomQuery::PrepareText() {
  if (textRefused_) Rescan();
  if (ParamSearchActive() && Params().Count() > 0) {
    if (!prepared_ || regenerate_ || RegenerationDue()) {
      Generate(executing_);
      ConvertCharSet();
      regenerate_ = false;
      if (handle_ != 0) FreeHandle();
    }
  } else {
    ConvertCharSet();
  }
}

void TFbCustomQuery::DescribeParameters() {
  TFbXSQLDA& input = useExecArea_ ? *execParams_ : *userParams_;
  const unsigned short dialect = static_cast<unsigned short>(database_->SQLDialect());
  if (input.Count() > 0) {
    if (execParams_->Count() < input.Count()) execParams_->Resize(input.Count());
    const std::intptr_t result =
        Check(Library().isc_dsql_describe_bind(StatusVector(), &handle_, dialect, Descriptor(*execParams_)), false);
    if (result > 0) RaiseFromStatus();
    if (&input == userParams_.get()) {
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
  }
  execParams_->InitialiseAfterDescribe();
}

void TFbCustomQuery::Prepare() {
  TFlagScope preparing(preparing_);
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
    Check(library.isc_dsql_alloc_statement2(StatusVector(), database_->HandleAddress(), &handle_), true);
    columns_->Resize(1);
    Check(library.isc_dsql_prepare(StatusVector(), transaction_->HandleAddress(), &handle_, 0, processed_.c_str(),
                                   dialect, Descriptor(*columns_)),
          true);
    ++prepareCount_;
    {
      std::function<void(const TFbCustomQuery&, const std::string&)> monitor;
      {
        std::lock_guard lock(gMonitorLock);
        monitor = gPrepareMonitor;
      }
      if (monitor) monitor(*this, processed_);
    }

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

    switch (sqlType_) {
    case SQLSelect:
    case SQLInsert:
    case SQLUpdate:
    case SQLDelete:
    case SQLExecProcedure:
    case SQLSelectForUpdate:
      DescribeParameters();
      if (sqlType_ == SQLSelect || sqlType_ == SQLExecProcedure || sqlType_ == SQLSelectForUpdate) {
        const int described = columns_->DescribedCount();
        if (described > columns_->Count()) {
          columns_->Resize(described);
          Check(library.isc_dsql_describe(StatusVector(), &handle_, dialect, Descriptor(*columns_)), true);
        } else if (described == 0) {
          columns_->Resize(0);
        }
        columns_->InitialiseAfterDescribe();
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
  TFbXSQLDA& input = useExecArea_ ? *execParams_ : *userParams_;
  Check(Library().isc_dsql_execute_immediate(
            StatusVector(), database_->HandleAddress(), transaction_->HandleAddress(), 0, processed_.c_str(),
            static_cast<unsigned short>(database_->SQLDialect()), InputDescriptor(input)),
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

  TFbXSQLDA* input = userParams_.get();
  if (useExecArea_ && hasParams) {
    for (int i = 0; i < execParams_->Count(); ++i) {
      TFbXSQLVAR& target = execParams_->At(i);
      const int source = userParams_->FindNameIndex(target.Name());
      if (source >= 0) target.CopyFrom(userParams_->At(source));
    }
    input = execParams_.get();
  }

  IIBClientLibrary& library = Library();
  const unsigned short dialect = static_cast<unsigned short>(database_->SQLDialect());
  const auto started = std::chrono::steady_clock::now();
  switch (sqlType_) {
  case SQLSelect:
  case SQLSelectForUpdate:
    if (open_) Close();
    Check(library.isc_dsql_execute(StatusVector(), transaction_->HandleAddress(), &handle_, dialect,
                                   InputDescriptor(*input)),
          true);
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
                                        InputDescriptor(*input), InputDescriptor(*columns_)),
              false);
    if (result > 0) RaiseFromStatus();
    procedureOutput_ = true;
    break;
  }
  case SQLCommit: transaction_->Commit(); break;
  case SQLRollback: transaction_->Rollback(); break;
  default:
    Check(library.isc_dsql_execute(StatusVector(), transaction_->HandleAddress(), &handle_, dialect,
                                   InputDescriptor(*input)),
          true);
    break;
  }
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
  atEnd_ = false;
  atStart_ = false;
  open_ = false;
  procedureOutput_ = false;
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

TFbXSQLVAR& TFbCustomQuery::ColumnAt(int index) {
  if (index < 0 || index >= columns_->Count()) {
    RaiseClientError(fbceFieldNotFound, {"Field No: " + std::to_string(index)});
  }
  return columns_->At(index);
}

TFbXSQLVAR& TFbCustomQuery::ColumnByName(std::string_view name) {
  TFbXSQLVAR* column = columns_->FindByName(name);
  if (column == nullptr) RaiseClientError(fbceFieldNotFound, {name});
  return *column;
}

TFbXSQLVAR& TFbCustomQuery::ParameterByName(std::string_view name) {
  TFbXSQLVAR* param = Params().FindByName(name);
  if (param != nullptr) return *param;
  const std::string full = sql_.Text();
  const std::string_view text = TrimView(full);
  if (text.size() >= 8 && UpperAscii(text.substr(0, 8)) == "EXECUTE ") return ColumnByName(name);
  throw Exception(Format("Parameter \"%.*s\" does not exist in %s", static_cast<int>(name.size()), name.data(),
                         FullName().c_str()));
}

// ---------------------------------------------------------------------------
// BLOBs

bool TFbCustomQuery::ReadBlob(const void* blobId, std::string& contents) {
  if (database_ == nullptr || transaction_ == nullptr || !database_->Connected() || !transaction_->Active()) {
    return false;
  }
  IIBClientLibrary& library = Library();
  ISC_QUAD id;
  std::memcpy(&id, blobId, sizeof id);
  isc_blob_handle blob = 0;
  if (Check(library.isc_open_blob2(StatusVector(), database_->HandleAddress(), transaction_->HandleAddress(), &blob,
                                   &id, 0, nullptr),
            false) > 0) {
    return false;
  }
  contents.clear();
  char buffer[16384];
  bool ok = true;
  for (;;) {
    unsigned short got = 0;
    const ISC_STATUS result =
        library.isc_get_segment(StatusVector(), &blob, &got, static_cast<unsigned short>(sizeof buffer), buffer);
    Check(result, false);
    if (result == 0 || StatusVector()[1] == isc_segment) {
      contents.append(buffer, got);
      continue;
    }
    ok = StatusVector()[1] == isc_segstr_eof;
    break;
  }
  Check(library.isc_close_blob(StatusVector(), &blob), false);
  return ok;
}

bool TFbCustomQuery::WriteBlob(std::string_view contents, void* blobId) {
  if (database_ == nullptr || transaction_ == nullptr || !database_->Connected() || !transaction_->Active()) {
    return false;
  }
  IIBClientLibrary& library = Library();
  ISC_QUAD id{};
  isc_blob_handle blob = 0;
  if (Check(library.isc_create_blob2(StatusVector(), database_->HandleAddress(), transaction_->HandleAddress(), &blob,
                                     &id, 0, nullptr),
            false) > 0) {
    return false;
  }
  // A BLOB that cannot be completed is cancelled: the client keeps the
  // handle of a BLOB that failed to write or to close until it is.
  auto cancel = [&] {
    Check(library.isc_cancel_blob(StatusVector(), &blob), false);
    return false;
  };
  size_t offset = 0;
  while (offset < contents.size()) {
    const size_t chunk = std::min<size_t>(contents.size() - offset, 32767);
    if (Check(library.isc_put_segment(StatusVector(), &blob, static_cast<unsigned short>(chunk),
                                      contents.data() + offset),
              false) > 0) {
      return cancel();
    }
    offset += chunk;
  }
  if (Check(library.isc_close_blob(StatusVector(), &blob), false) > 0) return cancel();
  std::memcpy(blobId, &id, sizeof id);
  return true;
}

// ---------------------------------------------------------------------------
// notifications

void TFbCustomQuery::DatabaseEvent(TFbCustomDatabase& /*database*/, TFbDatabaseEvent event) {
  if (event == TFbDatabaseEvent::Disconnected) {
    // The attachment is gone, and with it every server statement made on
    // it. After a lost connection nothing was freed before: the handle is
    // dead, and a later attachment must prepare the text anew.
    ForgetServerStatement();
    return;
  }
  if (event != TFbDatabaseEvent::Disconnecting) return;
  if (handle_ == 0 && !open_) return;
  struct TFree {
    TFbCustomQuery& q;
    ~TFree() {
      try {
        q.FreeHandle();
      } catch (...) {
      }
    }
  } free{*this};
  Close();
}

void TFbCustomQuery::ForgetServerStatement() noexcept {
  if (handle_ == 0 && !open_ && !prepared_) return;
  columns_->Resize(0);
  handle_ = 0;
  prepared_ = false;
  open_ = false;
  atEnd_ = false;
  atStart_ = false;
  procedureOutput_ = false;
}

void TFbCustomQuery::DatabaseFreed(TFbCustomDatabase& database) noexcept {
  if (&database != database_) return;
  database_ = nullptr;
  handle_ = 0;
  prepared_ = false;
  open_ = false;
  atEnd_ = false;
}

void TFbCustomQuery::TransactionEvent(TFbCustomTransaction& transaction, TFbTransactionEvent event) {
  if (event != TFbTransactionEvent::Ending || !open_ || !closeOnTransactionEnd_) return;
  const int state = transaction.EndState();
  if (state == kEndStateRollingBack || state == kEndStateCommitting) Close();
}

void TFbCustomQuery::TransactionFreed(TFbCustomTransaction& transaction) noexcept {
  if (&transaction != transaction_) return;
  transaction_ = nullptr;
  open_ = false;
  atEnd_ = false;
}

// ---------------------------------------------------------------------------
// TFbQuery

TFbQuery::TFbQuery(TComponent* owner) : TFbCustomQuery(owner) {}
TFbQuery::~TFbQuery() = default;

const char* TFbQuery::About() noexcept { return "orderdates statement component 1.0"; }

void TFbQuery::DoBeforeExecute() {
  if (BeforeExecute) BeforeExecute(*this);
}

void TFbQuery::DoAfterExecute() {
  if (AfterExecute) AfterExecute(*this);
}

void TFbQuery::ExecQuery() {
  TDataAction action = daRetry;
  while (action == daRetry) {
    action = daFail;
    try {
      TFbCustomQuery::ExecQuery();
    } catch (EFbError& error) {
      if (!OnExecuteError) throw;
      OnExecuteError(*this, error, action);
      if (action == daFail) throw;
      if (action == daAbort) throw EAbort();
    }
  }
}

} // namespace od
