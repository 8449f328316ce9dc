#include "db/Database.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <mutex>
#include <type_traits>

#include "base/Exception.h"
#include "base/PointerList.h"
#include "db/ClientLibrary.h"
#include "db/FbErrors.h"
#include "db/QueryValue.h"
#include "db/Transaction.h"
#include "text/SystemText.h"

namespace od {

static_assert(std::is_same_v<TFbHandle, isc_db_handle>, "handles are stored as the client library declares them");

namespace {

std::mutex gDatabasesMutex;
std::vector<TFbCustomDatabase*> gDatabases;

// The statement side runs the one-value queries (it owns the statements and
// their cache); tests put a handler of their own, or none, in its place.
constinit std::atomic<TFbQueryValueHandler> gQueryValueHandler{&RunQueryValue};

// The local wall-clock time as days since 30 December 1899.
double LocalNow() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t seconds = system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&seconds, &local);
  const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  // Days from the civil date (proleptic Gregorian), anchored at 1899-12-30.
  const year_month_day date{year{local.tm_year + 1900}, month{static_cast<unsigned>(local.tm_mon + 1)},
                            day{static_cast<unsigned>(local.tm_mday)}};
  const auto days = (sys_days(date) - sys_days(year{1899} / December / 30)).count();
  const double time = ((local.tm_hour * 60.0 + local.tm_min) * 60.0 + local.tm_sec) * 1000.0 + double(millis);
  return double(days) + time / 86'400'000.0;
}

// A handler's failure as the close reports it; while the connection is being
// destroyed the message adds the likely cause.
[[noreturn]] void RaiseHandlerError(const std::string& component, const char* which, bool destroying,
                                    const std::string& message) {
  const char* hint = destroying ? "Probably you are trying to get access to destroyed components. " : "";
  throw Exception(Format("Error of %s.%s. %s%s", component.c_str(), which, hint, message.c_str()));
}

// The connection character sets by the lc_ctype setting, for servers that
// cannot report the attachment's own.
bool IsUtf8CType(const std::string& ctype) noexcept { return ctype == "UNICODE_FSS" || ctype == "UTF8"; }
bool IsUtf8OrNoneCType(const std::string& ctype) noexcept {
  return IsUtf8CType(ctype) || ctype == "NONE" || ctype.empty();
}
bool IsKoi8CType(const std::string& ctype) noexcept { return ctype == "KOI8R" || ctype == "KOI8U"; }

} // namespace

void SettleClientSignalHandling(const std::string& libraryName) noexcept {
  try {
    const std::shared_ptr<IIBClientLibrary> library = AcquireClientLibrary(libraryName);
    TFbHandle handle = 0;
    // An empty name names no database: the call fails once the library has
    // set itself up.
    if (library->isc_attach_database(StatusVector(), 0, "", &handle, 0, nullptr) == 0 && handle != 0)
      library->isc_detach_database(StatusVector(), &handle);
    RestoreDefaultFpuControlWord();
  } catch (const std::exception&) {
    // Not loadable: Open says so when it is called.
  }
}

TFbCustomDatabase::TFbCustomDatabase(TComponent* owner)
    : TComponent(owner), dbParams_([this] { BeforeSettingChange(); }) {
  {
    std::lock_guard lock(gDatabasesMutex);
    gDatabases.push_back(this);
  }
  internalTransaction_ = std::make_unique<TFbCustomTransaction>();
  internalTransaction_->TRParams().Assign({"write", "isc_tpb_nowait", "read_committed", "rec_version"});
  internalTransaction_->SetDefaultDatabase(this);
}

TFbCustomDatabase::~TFbCustomDatabase() {
  destroying_ = true;
  {
    std::lock_guard lock(gDatabasesMutex);
    EraseOne(gDatabases, this);
  }
  if (internalTransaction_) {
    if (internalTransaction_->Active()) {
      try {
        internalTransaction_->Commit();
      } catch (...) {
        // The forced close below rolls it back.
      }
    }
    internalTransaction_.reset();
  }
  CloseForDestruction();
  // A listener may unregister itself (or statements) while it is told.
  const std::vector<IFbDatabaseListener*> listeners(listeners_);
  for (auto it = listeners.rbegin(); it != listeners.rend(); ++it) (*it)->DatabaseDestroying(*this);
  for (IFbStatementLink* statement : std::vector(statements_)) statement->DatabaseFreed(*this);
  statements_.clear();
  for (TFbCustomTransaction* transaction : std::vector(transactions_)) transaction->DatabaseGone(this);
  transactions_.clear();
}

void TFbCustomDatabase::BeforeSettingChange() const {
  if (Connected()) RaiseClientError(fbceDatabaseOpen);
}

void TFbCustomDatabase::SetDBName(std::string name) {
  BeforeSettingChange();
  dbName_ = std::move(name);
}

void TFbCustomDatabase::SetLibraryName(std::string name) {
  BeforeSettingChange();
  if (name == libraryName_) return;
  libraryName_ = std::move(name);
  library_.reset();
}

void TFbCustomDatabase::SetSQLDialect(int dialect) {
  if (dialect < 1) RaiseClientError(fbceSQLDialectInvalid);
  if (Connected() && dialect > DatabaseSQLDialect()) RaiseClientError(fbceSQLDialectInvalid);
  sqlDialect_ = dialect;
}

void TFbCustomDatabase::SetTimeout(int milliseconds) { timeout_ = CheckedTimeout(milliseconds); }

void TFbCustomDatabase::SetDefaultTransaction(TFbCustomTransaction* transaction) {
  if (transaction == defaultTransaction_) return;
  if (transaction != nullptr) transaction->AddDatabase(this);
  defaultTransaction_ = transaction;
}

void TFbCustomDatabase::SetDefaultUpdateTransaction(TFbCustomTransaction* transaction) {
  if (transaction == defaultUpdateTransaction_) return;
  if (transaction != nullptr) transaction->AddDatabase(this);
  defaultUpdateTransaction_ = transaction;
}

void TFbCustomDatabase::CheckActive() const {
  if (!Connected()) RaiseClientError(fbceDatabaseClosed, {FullName()});
}

std::intptr_t TFbCustomDatabase::CallCheck(std::intptr_t result, bool raise) {
  RestoreDefaultFpuControlWord();
  idle_ = false;
  if (raise && result > 0) {
    // Without a library nothing was called through this connection.
    if (!library_) CheckActive();
    RaiseServerError(*library_, this);
  }
  return result;
}

void TFbCustomDatabase::Open() {
  if (Connected()) return;
  DoOpen();
}

void TFbCustomDatabase::NotifyStatements(TFbDatabaseEvent event) {
  // A statement may unregister itself (or others) while it is told.
  for (IFbStatementLink* statement : std::vector(statements_)) statement->DatabaseEvent(*this, event);
}

void TFbCustomDatabase::DoOpen() {
  for (int& part : serverVersion_) part = -1;
  firebirdServer_ = false;
  if (dbName_.empty()) RaiseClientError(fbceDatabaseNameMissing);
  if (!library_) library_ = AcquireClientLibrary(libraryName_);

  NotifyStatements(TFbDatabaseEvent::Connecting);

  if (useLoginPrompt_) {
    // No login dialog belongs to this layer: a prompt that nobody can answer
    // counts as cancelled.
    RaiseClientError(fbceOperationCancelled);
  }

  dpb_ = BuildDPB(dbParams_.Lines());
  if (dbName_.size() > 32767) RaiseClientErrorText("Database name is too long (%d bytes).", {int(dbName_.size())});

  const ISC_STATUS result =
      library_->isc_attach_database(StatusVector(), static_cast<short>(dbName_.size()), dbName_.c_str(), &handle_,
                                    static_cast<short>(dpb_.size()), dpb_.data());
  if (CallCheck(result, false) > 0) {
    handle_ = 0;
    RaiseServerError(*library_, this);
  }

  NotifyStatements(TFbDatabaseEvent::Connected);

  timeDifference_ = 0;
  const int databaseDialect = DatabaseSQLDialect();
  if (databaseDialect < sqlDialect_) sqlDialect_ = databaseDialect;

  if (synchronizeTime_) SynchronizeServerTime();

  RecordCharSetFacts();
  if (OnConnect) OnConnect(*this);
  for (IFbDatabaseListener* listener : std::vector(listeners_)) listener->AfterConnect(*this);
}

void TFbCustomDatabase::SynchronizeServerTime() {
  // With the handler taken away there is nobody to run the query; the
  // difference then stays 0.
  if (QueryValueHandler() == nullptr) return;
  const char* sql = sqlDialect_ >= 2 ? "SELECT CAST('NOW' AS TIMESTAMP) from RDB$DATABASE"
                                     : "SELECT CAST('NOW' AS DATE) from RDB$DATABASE";
  const TFbValue value = QueryValue(sql, 0);
  if (const auto* serverTime = std::get_if<double>(&value)) timeDifference_ = LocalNow() - *serverTime;
}

void TFbCustomDatabase::RecordCharSetFacts() {
  const std::string firebirdVersion = DatabaseInfoString(isc_info_firebird_version, 512);
  if (!firebirdVersion.empty() && ServerMajorVersion() > 1) {
    const int charSet = DatabaseInfoInteger(frb_info_att_charset, -1);
    utf8Connection_ = charSet == 3 || charSet == 4;
    utf8OrNoneConnection_ = utf8Connection_ || charSet == 0;
    const int major = ServerMajorVersion();
    const int minor = ServerMinorVersion();
    const bool version21 = major > 2 || (major == 2 && minor > 0);
    bool odsAbove11 = false;
    if (utf8OrNoneConnection_ && version21) {
      const int odsMajor = DatabaseInfoInteger(isc_info_ods_version, 0);
      const int odsMinor = DatabaseInfoInteger(isc_info_ods_minor_version, 0);
      odsAbove11 = odsMajor > 11 || (odsMajor == 11 && odsMinor > 0);
    }
    unicodeMetadata_ = utf8OrNoneConnection_ && version21 && odsAbove11;
    koi8Connection_ = charSet == 63 || charSet == 64;
  } else {
    const std::string ctype = LcCtype();
    utf8Connection_ = IsUtf8CType(ctype);
    utf8OrNoneConnection_ = IsUtf8OrNoneCType(ctype);
    unicodeMetadata_ = false;
    koi8Connection_ = false;
  }
}

std::string TFbCustomDatabase::LcCtype() const { return dbParams_.Value("lc_ctype"); }

bool TFbCustomDatabase::Utf8Connection() const {
  if (Connected()) return utf8Connection_;
  return IsUtf8CType(LcCtype());
}

bool TFbCustomDatabase::Utf8OrNoneConnection() const {
  if (Connected()) return utf8OrNoneConnection_;
  return IsUtf8OrNoneCType(LcCtype());
}

bool TFbCustomDatabase::Koi8Connection() const {
  if (Connected()) return koi8Connection_;
  return IsKoi8CType(LcCtype());
}

std::vector<int> TFbCustomDatabase::Utf8CharSetIds() {
  if (Connected()) {
    ReadServerVersion();
    if (firebirdServer_) return {3, 4};
    if (serverVersion_[0] > 7) return {3, 8, 59, 64};
  }
  return {3};
}

// --- information requests ----------------------------------------------------

int TFbCustomDatabase::DatabaseInfoInteger(int item, int missing) {
  CheckActive();
  char request = static_cast<char>(item);
  char answer[64] = {};
  CallCheck(
      library_->isc_database_info(StatusVector(), &handle_, 1, &request, static_cast<short>(sizeof answer), answer));
  if (static_cast<unsigned char>(answer[0]) != static_cast<unsigned char>(item)) return missing;
  const int length = static_cast<int>(library_->isc_vax_integer(answer + 1, 2));
  // The value must lie inside the answer and fit the integer.
  if (length < 0 || length > 4) return missing;
  return static_cast<int>(library_->isc_vax_integer(answer + 3, static_cast<short>(length)));
}

std::string TFbCustomDatabase::DatabaseInfoString(int item, int bufferSize) {
  CheckActive();
  char request = static_cast<char>(item);
  bufferSize = std::clamp(bufferSize, 8, 32767);
  std::string answer(static_cast<size_t>(bufferSize), '\0');
  CallCheck(library_->isc_database_info(StatusVector(), &handle_, 1, &request, static_cast<short>(bufferSize),
                                        answer.data()));
  if (static_cast<unsigned char>(answer[0]) != static_cast<unsigned char>(item)) return {};
  const int length = static_cast<int>(library_->isc_vax_integer(answer.data() + 1, 2));
  if (length < 2 || 3 + length > bufferSize) return {};
  // The value is a count of strings, then each string as a length byte and
  // its bytes; the first one is the text.
  const size_t textLength = static_cast<unsigned char>(answer[4]);
  if (textLength + 2 > static_cast<size_t>(length)) return {};
  return answer.substr(5, textLength);
}

int TFbCustomDatabase::DatabaseSQLDialect() { return DatabaseInfoInteger(isc_info_db_sql_dialect, 1); }

void TFbCustomDatabase::ReadServerVersion() {
  if (serverVersion_[0] != -1) return;
  std::string text = DatabaseInfoString(isc_info_firebird_version, 512);
  firebirdServer_ = !text.empty();
  if (text.empty()) text = DatabaseInfoString(isc_info_isc_version, 1024);
  // "LI-V3.0.11.33637 Firebird 3.0": the numbers start at the 5th character;
  // each non-digit ends one, and the last character is not read.
  int parts[4] = {0, 0, 0, 0};
  int stored = 0;
  long long current = 0;
  for (size_t i = 4; i + 1 < text.size() && stored < 4; ++i) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      current = std::min<long long>(current * 10 + (c - '0'), 1'000'000'000);
    } else {
      parts[stored++] = static_cast<int>(current);
      current = 0;
    }
  }
  std::copy(std::begin(parts), std::end(parts), std::begin(serverVersion_));
}

int TFbCustomDatabase::ServerVersionPart(int index) {
  ReadServerVersion();
  return serverVersion_[index];
}

int TFbCustomDatabase::ServerMajorVersion() { return ServerVersionPart(0); }
int TFbCustomDatabase::ServerMinorVersion() { return ServerVersionPart(1); }
int TFbCustomDatabase::ServerRelease() { return ServerVersionPart(2); }
int TFbCustomDatabase::ServerBuild() { return ServerVersionPart(3); }

// --- one-value queries -------------------------------------------------------

void TFbCustomDatabase::SetQueryValueHandler(TFbQueryValueHandler handler) noexcept {
  gQueryValueHandler.store(handler);
}

TFbQueryValueHandler TFbCustomDatabase::QueryValueHandler() noexcept { return gQueryValueHandler.load(); }

TFbValue TFbCustomDatabase::QueryValue(const std::string& sql, int column) {
  const TFbQueryValueHandler handler = QueryValueHandler();
  if (handler == nullptr) RaiseClientError(fbceNotSupported);
  return handler(*this, sql, column);
}

// --- close -------------------------------------------------------------------

template <typename Fn> void TFbCustomDatabase::CallHandlerWrapped(const char* which, Fn&& fn) {
  try {
    fn();
  } catch (const Exception& error) {
    RaiseHandlerError(FullName(), which, destroying_, error.Message());
  } catch (const std::exception& error) {
    RaiseHandlerError(FullName(), which, destroying_, SystemTextToCp1251(error.what()));
  }
}

void TFbCustomDatabase::DoClose(bool force) {
  if (!Connected()) return;
  if (!ProbeBeforeClose()) return;
  CheckActive();

  CallHandlerWrapped("BeforeDisconnect", [this] {
    if (BeforeDisconnect) BeforeDisconnect(*this);
    for (IFbDatabaseListener* listener : std::vector(listeners_)) listener->BeforeDisconnect(*this);
  });

  for (TFbCustomTransaction* transaction : std::vector(transactions_)) {
    if (!transaction->Active()) continue;
    TTransactionAction action = transaction->TimeoutAction();
    if (action == TARollbackRetaining) action = TARollback;
    if (action == TACommitRetaining) action = TACommit;
    try {
      transaction->EndTransaction(action, true);
    } catch (...) {
      if (!force) throw;
    }
  }
  for (IFbStatementLink* statement : std::vector(statements_)) {
    try {
      statement->DatabaseEvent(*this, TFbDatabaseEvent::Disconnecting);
    } catch (...) {
      if (!force) throw;
    }
  }

  try {
    CallCheck(library_->isc_detach_database(StatusVector(), &handle_));
  } catch (const Exception&) {
    // The attachment is gone either way; a server that went away first
    // must not keep the connection looking open.
  }
  handle_ = 0;

  NotifyStatements(TFbDatabaseEvent::Disconnected);

  CallHandlerWrapped("AfterDisconnect", [this] {
    if (AfterDisconnect) AfterDisconnect(*this);
  });
}

void TFbCustomDatabase::ForgetLostConnection() noexcept {
  for (TFbCustomTransaction* transaction : std::vector(transactions_)) transaction->ForgetHandle();
  // Releases what the client still holds for the attachment; the server
  // side is gone already, so the answer does not matter.
  library_->isc_detach_database(StatusVector(), &handle_);
  RestoreDefaultFpuControlWord();
  handle_ = 0;
  for (IFbStatementLink* statement : std::vector(statements_)) {
    try {
      statement->DatabaseEvent(*this, TFbDatabaseEvent::Disconnected);
    } catch (...) {
    }
  }
}

void TFbCustomDatabase::CloseForDestruction() noexcept {
  destroying_ = true;
  try {
    DoClose(true);
  } catch (...) {
  }
  handle_ = 0;
}

// --- registration ------------------------------------------------------------

void TFbCustomDatabase::RegisterTransaction(TFbCustomTransaction* transaction) { AddOnce(transactions_, transaction); }

void TFbCustomDatabase::UnregisterTransaction(TFbCustomTransaction* transaction) noexcept {
  EraseOne(transactions_, transaction);
  if (defaultTransaction_ == transaction) defaultTransaction_ = nullptr;
  if (defaultUpdateTransaction_ == transaction) defaultUpdateTransaction_ = nullptr;
}

void TFbCustomDatabase::RegisterStatement(IFbStatementLink* statement) { AddOnce(statements_, statement); }

void TFbCustomDatabase::UnregisterStatement(IFbStatementLink* statement) noexcept { EraseOne(statements_, statement); }

void TFbCustomDatabase::AddListener(IFbDatabaseListener* listener) { AddOnce(listeners_, listener); }

void TFbCustomDatabase::RemoveListener(IFbDatabaseListener* listener) noexcept { EraseOne(listeners_, listener); }

std::vector<TFbCustomDatabase*> TFbCustomDatabase::Databases() {
  std::lock_guard lock(gDatabasesMutex);
  return gDatabases;
}

// --- TFbDatabase -------------------------------------------------------------

TFbDatabase::TFbDatabase(TComponent* owner) : TFbCustomDatabase(owner) {}

TFbDatabase::~TFbDatabase() {
  // Close while the object is still a TFbDatabase, so that the probe of
  // Close runs as for any other close.
  if (Connected()) {
    if (InternalTransaction().Active()) {
      try {
        InternalTransaction().Commit();
      } catch (...) {
      }
    }
    CloseForDestruction();
  }
}

void TFbDatabase::SetWaitForRestoreConnect(int milliseconds) { waitForRestoreConnect_ = CheckedTimeout(milliseconds); }

void TFbDatabase::Open() {
  if (Connected()) return;
  if (BeforeConnect) {
    bool proceed = true;
    BeforeConnect(*this, DBParams(), proceed);
    if (!proceed) return;
  }
  DoOpen();
  // Schema-cache loading and alias saving are off; nothing more to do.
}

bool TFbDatabase::ProbeBeforeClose() {
  try {
    DatabaseInfoInteger(isc_info_base_level, 0);
    return true;
  } catch (const EDatabaseError&) {
    ForgetLostConnection();
    if (OnLostConnect) OnLostConnect(*this);
    return false;
  }
}

} // namespace od
