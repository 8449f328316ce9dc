#pragma once

// SQL statements: one SQL text run through the client library's dynamic SQL
// calls. Named parameters (":ID") are found in the text, turned into "?"
// markers for the server, bound through descriptor areas; a SELECT is walked
// row by row.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Component.h"
#include "db/Notifications.h"
#include "db/ParamScan.h"
#include "db/XSQLDA.h"
#include "text/StringList.h"

namespace od {

class TFbCustomDatabase;
class TFbCustomTransaction;
class IIBClientLibrary;
class EFbError;

enum TFbQueryOption : unsigned {
  qoStartTransaction = 1u << 0,
  qoAutoCommit = 1u << 1,
  qoTrimCharFields = 1u << 2,
  qoNoForceIsNull = 1u << 3,
  qoFreeHandleAfterExecute = 1u << 4,
};
using TFbQueryOptions = unsigned;

// Statement types, numbered as the server reports them.
enum TFbSQLTypes : int {
  SQLUnknown = 0,
  SQLSelect = 1,
  SQLInsert = 2,
  SQLUpdate = 3,
  SQLDelete = 4,
  SQLDDL = 5,
  SQLGetSegment = 6,
  SQLPutSegment = 7,
  SQLExecProcedure = 8,
  SQLStartTransaction = 9,
  SQLCommit = 10,
  SQLRollback = 11,
  SQLSelectForUpdate = 12,
  SQLSetGenerator = 13,
  SQLSavePointOperation = 14,
};

enum TDataAction : int { daFail = 0, daAbort = 1, daRetry = 2 };

class TFbCustomQuery;

// The statement's SQL lines. Every change tells the statement before (which
// may refuse it) and after (which rescans the parameters).
class TFbSQLLines {
public:
  explicit TFbSQLLines(TFbCustomQuery& owner) : owner_(owner) {}

  int Count() const noexcept { return lines_.Count(); }
  const std::string& Get(int index) const { return lines_.Get(index); }
  const std::string& operator[](int index) const { return lines_.Get(index); }
  // The lines, each followed by CR LF.
  std::string Text() const { return lines_.Text(); }
  const TStringList& Lines() const noexcept { return lines_; }

  void Add(std::string line);
  void Put(int index, std::string line);
  void Insert(int index, std::string line);
  void Delete(int index);
  void Clear();
  // Splits the text into lines (CR LF, CR or LF end a line).
  void SetText(std::string_view text);
  // Replaces every line at once: one change.
  void Assign(std::initializer_list<std::string_view> lines);
  void Assign(const TStringList& lines);

private:
  template <typename Fn> void Change(Fn&& fn);

  TFbCustomQuery& owner_;
  TStringList lines_;
};

class TFbCustomQuery : public TComponent, private IFbStatementLink {
public:
  explicit TFbCustomQuery(TComponent* owner = nullptr);
  ~TFbCustomQuery() override;

  // --- settings ------------------------------------------------------------
  TFbSQLLines& SQL() noexcept { return sql_; }
  const TFbSQLLines& SQL() const noexcept { return sql_; }
  TFbCustomDatabase* Database() const noexcept { return database_; }
  void SetDatabase(TFbCustomDatabase* database);
  TFbCustomTransaction* Transaction() const noexcept { return transaction_; }
  void SetTransaction(TFbCustomTransaction* transaction);
  bool ParamCheck() const noexcept { return paramCheck_; }
  void SetParamCheck(bool value);
  bool GoToFirstRecordOnExecute() const noexcept { return goToFirstRecord_; }
  void SetGoToFirstRecordOnExecute(bool value) noexcept { goToFirstRecord_ = value; }
  TFbQueryOptions Options() const noexcept { return options_; }
  void SetOptions(TFbQueryOptions options) noexcept { options_ = options; }
  bool CloseOnTransactionEnd() const noexcept { return closeOnTransactionEnd_; }
  void SetCloseOnTransactionEnd(bool value) noexcept { closeOnTransactionEnd_ = value; }
  // A scan that finds a marker without a name stops quietly instead of raising
  // while this is set (the owner is still being built from its description).
  bool Loading() const noexcept { return loading_; }
  void SetLoading(bool value) noexcept { loading_ = value; }

  std::function<void(TFbCustomQuery&)> OnSQLChanging;

  // --- operations ----------------------------------------------------------
  void Prepare();
  virtual void ExecQuery();
  void Close();
  void FreeHandle();
  // The column area holding the next row, or null at the end.
  TFbXSQLDA* FetchNext();
  bool AtEnd();
  TFbXSQLVAR& ColumnAt(int index);
  TFbXSQLVAR& ColumnByName(std::string_view name);
  TFbXSQLVAR& ParameterByName(std::string_view name);

  // --- state -----------------------------------------------------------------
  bool Prepared() const noexcept { return prepared_; }
  bool IsOpen() const noexcept { return open_; }
  bool Eof() const noexcept { return atEnd_; }
  bool Bof() const noexcept { return atStart_; }
  TFbHandle Handle() const noexcept { return handle_; }
  TFbSQLTypes SQLType() const noexcept { return sqlType_; }
  TSqlKind SQLKind() const noexcept { return kind_; }
  std::int32_t RecordCount() const noexcept { return recordCount_; }
  bool ProcedureOutput() const noexcept { return procedureOutput_; }
  // The text sent to the server (parameters as "?").
  const std::string& ProcessedText() const noexcept { return processed_; }
  // Result columns, user parameters.
  TFbXSQLDA& Columns() noexcept { return *columns_; }
  TFbXSQLDA& Params();
  int ColumnCount() const noexcept { return columns_->Count(); }
  int ParamCount() { return Params().Count(); }

  // Statistics: how often the text was prepared and executed, and the last
  // execution's duration in milliseconds.
  std::int64_t PrepareCount() const noexcept { return prepareCount_; }
  std::int64_t ExecuteCount() const noexcept { return executeCount_; }
  std::int64_t ExecutionTime() const noexcept { return executionTime_; }
  std::int64_t ChangeCount() const noexcept { return changeCounter_; }
  // Client calls made for this statement (every one passes the status check).
  std::int64_t ServerCallCount() const noexcept { return serverCalls_; }

  // A process-wide monitor told the text of every server prepare (none by default).
  static void SetPrepareMonitor(std::function<void(const TFbCustomQuery&, const std::string&)> monitor);

  // --- for the descriptor areas ------------------------------------------------
  // Whether a name asked for is upper-cased before the lookup.
  bool UpperCaseLookup(std::string_view name) const noexcept;
  bool IsUtf8CharSet(int charSetId) const;
  bool Utf8Names() const;
  bool Koi8Names() const;
  bool RegenerateDue() const noexcept { return regenerate_; }
  // Builds the processed text now (a name lookup that misses the user area).
  void Regenerate();
  TFbXSQLDA& ExecutionParams() noexcept { return *execParams_; }
  // The whole contents of a BLOB by its id; false when it cannot be read.
  bool ReadBlob(const void* blobId, std::string& contents);
  // Writes text into a new BLOB and returns its id; false when that fails.
  bool WriteBlob(std::string_view contents, void* blobId);

protected:
  // Hooks of the derived statement around an execution.
  virtual void DoBeforeExecute() {}
  virtual void DoAfterExecute() {}

private:
  friend class TFbSQLLines;
  void SQLChanging();
  void SQLChanged();

  // IFbStatementLink
  void DatabaseEvent(TFbCustomDatabase& database, TFbDatabaseEvent event) override;
  void DatabaseFreed(TFbCustomDatabase& database) noexcept override;
  // Drops the server statement and the result without a server call.
  void ForgetServerStatement() noexcept;
  void TransactionEvent(TFbCustomTransaction& transaction, TFbTransactionEvent event) override;
  void TransactionFreed(TFbCustomTransaction& transaction) noexcept override;

  IIBClientLibrary& Library() const;
  // The status check of every client call: restores the control word, passes
  // the result through the transaction's check without raising and, when
  // `raise` is set and the result is above 0, raises the server error with
  // this statement as raiser.
  std::intptr_t Check(std::intptr_t result, bool raise);
  [[noreturn]] void RaiseFromStatus();
  bool ParamSearchActive() const noexcept { return paramCheck_ && kind_ != TSqlKind::DDL; }
  void Scan();
  void Rescan();
  void Generate(bool rewriteNulls);
  // The text with the comparisons of NULL parameters turned into IS [NOT]
  // NULL tests; nothing when no comparison was rewritten.
  std::optional<std::string> NullRewrittenText(const std::string& text) const;
  // The area whose descriptor goes with the processed text: the server's own
  // when the text was rewritten, else the user's.
  TFbXSQLDA& TextInputArea() noexcept { return useExecArea_ ? *execParams_ : *userParams_; }
  void CheckDatabase();
  void CheckTransaction();
  void PrepareText();
  // The steps of Prepare once the text is ready.
  void PrepareOnServer(IIBClientLibrary& library, unsigned short dialect);
  void ReadStatementType(IIBClientLibrary& library);
  void DescribeStatement(IIBClientLibrary& library, unsigned short dialect);
  void DescribeColumns(IIBClientLibrary& library, unsigned short dialect);
  void DescribeParameters();
  // The user's parameters take the types the server described for them.
  void TakeDescribedParameters();
  void BeforeExecute();
  void AfterExecute();
  void ExecuteImmediate();
  void DoExecQuery();
  // The server's area with the values of the user's parameters of its names.
  TFbXSQLDA& FilledExecutionParams();
  void ExecutePrepared(IIBClientLibrary& library, unsigned short dialect, TFbXSQLDA& input);
  // Marks the cursor closed, without a server call.
  void ForgetCursor() noexcept;
  bool BlobAccessPossible() const;
  void ConvertCharSet();
  bool RegenerationDue() const;

  TFbSQLLines sql_;
  TFbCustomDatabase* database_ = nullptr;
  TFbCustomTransaction* transaction_ = nullptr;
  bool paramCheck_ = true;
  bool goToFirstRecord_ = true;
  TFbQueryOptions options_ = 0;
  bool closeOnTransactionEnd_ = true;
  bool loading_ = false;

  TFbHandle handle_ = 0;
  std::string processed_;
  bool prepared_ = false;
  bool open_ = false;
  bool atEnd_ = false;
  bool atStart_ = false;
  std::int32_t recordCount_ = 0;
  bool procedureOutput_ = false;
  TFbSQLTypes sqlType_ = SQLUnknown;
  std::unique_ptr<TFbXSQLDA> columns_;
  std::unique_ptr<TFbXSQLDA> userParams_;
  std::unique_ptr<TFbXSQLDA> execParams_;
  TSqlKind kind_ = TSqlKind::None;
  bool scanned_ = false;
  bool textRefused_ = false; // the last text change failed its parameter scan
  bool regenerate_ = false;
  bool useExecArea_ = false;
  bool executing_ = false;
  bool charSetConverted_ = false;
  std::int32_t changeLock_ = 0;
  std::int64_t changeCounter_ = 0;
  char macroChar_ = '@';
  std::string cursorName_;
  std::int64_t executionTime_ = 0;
  std::int64_t prepareCount_ = 0;
  std::int64_t executeCount_ = 0;
  std::int64_t serverCalls_ = 0;
  std::vector<TParamOccurrence> occurrences_;
};

// The statement the program creates: the base plus an error-retry wrapper
// around ExecQuery and the execute events.
class TFbQuery : public TFbCustomQuery {
public:
  explicit TFbQuery(TComponent* owner = nullptr);
  ~TFbQuery() override;

  std::string Description;
  static const char* About() noexcept;

  std::function<void(TFbQuery&)> BeforeExecute;
  std::function<void(TFbQuery&)> AfterExecute;
  std::function<void(TFbQuery&, EFbError& error, TDataAction& action)> OnExecuteError;

  void ExecQuery() override;

protected:
  void DoBeforeExecute() override;
  void DoAfterExecute() override;
};

} // namespace od
