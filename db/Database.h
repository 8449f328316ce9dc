#pragma once

// The connection: attaches to one database through the client library and
// detaches again, and keeps the transactions and statements that work
// through it informed.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "base/Component.h"
#include "db/Notifications.h"
#include "db/ParamBlocks.h"

namespace od {

class IIBClientLibrary;
class TFbCustomTransaction;
class TFbDatabase;

// The client library a connection loads unless told otherwise.
inline constexpr char kDefaultClientLibrary[] = "gds32.dll";

// The client library sets up its own handling of SIGINT and SIGTERM on its
// first attach: from then on such a signal also starts a shutdown of its
// engine on a thread that the end of the process does not wait for, and a
// program that ends on the same signal can crash or hang under it. Loads
// the library and has that set-up done now, by an attach that cannot
// succeed (a failure to load is left for Open to report). Meant for the
// start of a program, while its thread is the only one and holds those
// signals back: the program's own handlers then take the library's place
// before any signal is let through, and later attaches leave them alone.
void SettleClientSignalHandling(const std::string& libraryName = kDefaultClientLibrary) noexcept;

// One value read from a result column: null, an integer, a floating-point
// number (also dates and times, as TDateTime days) or text.
using TFbValue = std::variant<std::monostate, std::int64_t, double, std::string>;

// Runs a one-row query in the connection's internal transaction and returns
// the given column of its first row. RunQueryValue of the statement side
// (db/QueryValue.h) unless another one is set through SetQueryValueHandler.
using TFbQueryValueHandler = TFbValue (*)(TFbCustomDatabase& database, const std::string& sql, int column);

class TFbCustomDatabase : public TComponent {
public:
  explicit TFbCustomDatabase(TComponent* owner = nullptr);
  ~TFbCustomDatabase() override;

  // --- settings ---------------------------------------------------------
  const std::string& DBName() const noexcept { return dbName_; }
  void SetDBName(std::string name);                    // refused while attached
  TDBParams& DBParams() noexcept { return dbParams_; } // line changes refused while attached
  const TDBParams& DBParams() const noexcept { return dbParams_; }
  const std::string& LibraryName() const noexcept { return libraryName_; }
  void SetLibraryName(std::string name); // refused while attached; drops the held library
  int SQLDialect() const noexcept { return sqlDialect_; }
  // Below 1, or while attached above the database's own dialect: "SQL Dialect invalid".
  void SetSQLDialect(int dialect);
  bool SynchronizeTime() const noexcept { return synchronizeTime_; }
  void SetSynchronizeTime(bool value) noexcept { synchronizeTime_ = value; }
  bool UseLoginPrompt() const noexcept { return useLoginPrompt_; }
  void SetUseLoginPrompt(bool value) noexcept { useLoginPrompt_ = value; }
  bool UpperOldNames() const noexcept { return upperOldNames_; }
  void SetUpperOldNames(bool value) noexcept { upperOldNames_ = value; }
  // The upper-case-names test of statements and values.
  bool UseUpperNames() const noexcept { return sqlDialect_ < 3 || upperOldNames_; }
  int Timeout() const noexcept { return timeout_; }
  void SetTimeout(int milliseconds);

  TFbCustomTransaction* DefaultTransaction() const noexcept { return defaultTransaction_; }
  void SetDefaultTransaction(TFbCustomTransaction* transaction);
  TFbCustomTransaction* DefaultUpdateTransaction() const noexcept { return defaultUpdateTransaction_; }
  void SetDefaultUpdateTransaction(TFbCustomTransaction* transaction);

  // Handlers (none by default). AfterConnect runs at the end of a successful Open.
  std::function<void(TFbCustomDatabase&)> OnConnect;
  std::function<void(TFbCustomDatabase&)> BeforeDisconnect;
  std::function<void(TFbCustomDatabase&)> AfterDisconnect;

  // --- connection -------------------------------------------------------
  virtual void Open();
  void Close() { DoClose(false); }
  bool Connected() const noexcept { return handle_ != 0; }
  void SetConnected(bool value) {
    if (value)
      Open();
    else
      Close();
  }
  // The attachment handle; its address goes to the client calls.
  TFbHandle Handle() const noexcept { return handle_; }
  TFbHandle* HandleAddress() noexcept { return &handle_; }
  // Null until the first Open acquired it.
  const std::shared_ptr<IIBClientLibrary>& ClientLibrary() const noexcept { return library_; }
  // Raises "%s: Cannot perform operation -- DB is not open." when closed.
  void CheckActive() const;

  // Every client call made for the connection passes its result here:
  // restores the floating-point control word, clears the idle mark and,
  // when `raise` is set and the result is above 0, raises the server error
  // with this connection as raiser. Returns the result.
  std::intptr_t CallCheck(std::intptr_t result, bool raise = true);

  // --- what the server says ---------------------------------------------
  // Read on first use after attaching and cached; -1 while unknown.
  int ServerMajorVersion();
  int ServerMinorVersion();
  int ServerRelease();
  int ServerBuild();
  // Information items (isc_database_info): the integer value, or `missing`
  // when the server does not answer the item.
  int DatabaseInfoInteger(int item, int missing = -1);
  // The first counted string of the answer, or "" when not answered.
  std::string DatabaseInfoString(int item, int bufferSize = 512);
  // The database's own SQL dialect (1 when the server does not say).
  int DatabaseSQLDialect();
  // Local time minus server time in days, measured at Open; 0 when not measured.
  double TimeDifference() const noexcept { return timeDifference_; }

  // Character-set facts: recorded at Open while attached, derived from the
  // lc_ctype line of DBParams while closed.
  bool Utf8Connection() const;
  bool Utf8OrNoneConnection() const;
  bool Koi8Connection() const;
  bool UnicodeMetadata() const noexcept { return Connected() && unicodeMetadata_; }
  // The character-set ids decoded as UTF-8.
  std::vector<int> Utf8CharSetIds();

  // --- the internal transaction and one-value queries --------------------
  TFbCustomTransaction& InternalTransaction() noexcept { return *internalTransaction_; }
  TFbValue QueryValue(const std::string& sql, int column);
  static void SetQueryValueHandler(TFbQueryValueHandler handler) noexcept;
  static TFbQueryValueHandler QueryValueHandler() noexcept;

  // --- registration -------------------------------------------------------
  void RegisterTransaction(TFbCustomTransaction* transaction);
  void UnregisterTransaction(TFbCustomTransaction* transaction) noexcept;
  int TransactionCount() const noexcept { return static_cast<int>(transactions_.size()); }
  TFbCustomTransaction* Transactions(int index) const { return transactions_.at(static_cast<size_t>(index)); }
  void RegisterStatement(IFbStatementLink* statement);
  void UnregisterStatement(IFbStatementLink* statement) noexcept;
  int StatementCount() const noexcept { return static_cast<int>(statements_.size()); }
  void AddListener(IFbDatabaseListener* listener);
  void RemoveListener(IFbDatabaseListener* listener) noexcept;

  // Idle mark: cleared by every client call made for the connection.
  bool Idle() const noexcept { return idle_; }
  void SetIdle(bool value) noexcept { idle_ = value; }

  // The process-wide list of connections (a snapshot).
  static std::vector<TFbCustomDatabase*> Databases();

protected:
  // Open steps 1-13 (the attach and what follows).
  void DoOpen();
  // Close; `force` discards exceptions from transactions and statements.
  void DoClose(bool force);
  // Close step 2; returns false when the connection turned out to be lost
  // and was cleaned up without server calls.
  virtual bool ProbeBeforeClose() { return true; }
  // Marks everything closed without talking to the server.
  void ForgetLostConnection() noexcept;
  bool Destroying() const noexcept { return destroying_; }
  // Runs Close steps 2-9 forced, for destructors of this and derived classes.
  void CloseForDestruction() noexcept;

private:
  void BeforeSettingChange() const;
  void ReadServerVersion();
  int ServerVersionPart(int index);
  void NotifyStatements(TFbDatabaseEvent event);
  void SynchronizeServerTime();
  void RecordCharSetFacts();
  std::string LcCtype() const;
  template <typename Fn> void CallHandlerWrapped(const char* which, Fn&& fn);

  std::string dbName_;
  TDBParams dbParams_;
  std::string libraryName_ = kDefaultClientLibrary;
  int sqlDialect_ = 1;
  bool synchronizeTime_ = true;
  bool useLoginPrompt_ = false;
  bool upperOldNames_ = false;
  int timeout_ = 0;
  TFbCustomTransaction* defaultTransaction_ = nullptr;
  TFbCustomTransaction* defaultUpdateTransaction_ = nullptr;

  TFbHandle handle_ = 0;
  std::shared_ptr<IIBClientLibrary> library_;
  std::string dpb_;
  int serverVersion_[4] = {-1, -1, -1, -1};
  bool firebirdServer_ = false;
  double timeDifference_ = 0;
  bool utf8Connection_ = false;
  bool utf8OrNoneConnection_ = false;
  bool koi8Connection_ = false;
  bool unicodeMetadata_ = false;
  bool idle_ = false;
  bool destroying_ = false;

  std::unique_ptr<TFbCustomTransaction> internalTransaction_;
  std::vector<TFbCustomTransaction*> transactions_;
  std::vector<IFbStatementLink*> statements_;
  std::vector<IFbDatabaseListener*> listeners_;
};

class TFbDatabase : public TFbCustomDatabase {
public:
  explicit TFbDatabase(TComponent* owner = nullptr);
  ~TFbDatabase() override;

  // Called before attaching with the connection, its DBParams and a flag
  // preset to true; clearing the flag skips the attach.
  std::function<void(TFbDatabase&, TDBParams&, bool& proceed)> BeforeConnect;
  // The connect event under its published name.
  std::function<void(TFbCustomDatabase&)>& AfterConnect() noexcept { return OnConnect; }
  std::function<void(TFbCustomTransaction&)> BeforeStartTransaction;
  std::function<void(TFbCustomTransaction&)> AfterStartTransaction;
  std::function<void(TFbCustomTransaction&, int action, bool force)> BeforeEndTransaction;
  std::function<void(TFbCustomTransaction&, int action, bool force)> AfterEndTransaction;
  // Told when Close finds the attachment lost; the connection is already
  // marked closed then.
  std::function<void(TFbDatabase&)> OnLostConnect;

  int WaitForRestoreConnect() const noexcept { return waitForRestoreConnect_; }
  void SetWaitForRestoreConnect(int milliseconds);

  void Open() override;

protected:
  bool ProbeBeforeClose() override;

private:
  int waitForRestoreConnect_ = 0;
};

} // namespace od
