// The statement component: its settings and links to a database and a
// transaction, the status check of its client calls, column and parameter
// lookup, BLOB contents, and what it does when its database or transaction
// changes state. The text lives in QueryText.cpp, the server work in
// QueryExecute.cpp.

#include "db/Query.h"

#include <algorithm>
#include <cstring>

#include "base/Ascii.h"
#include "base/Exception.h"
#include "db/ClientLibrary.h"
#include "db/Database.h"
#include "db/FbErrors.h"
#include "db/Transaction.h"
#include "db/ibase_api.h"

namespace od {

namespace {

bool NeedsQuoting(std::string_view name) noexcept {
  if (name.empty() || !IsAlpha(name.front())) return true;
  return std::any_of(name.begin(), name.end(), [](char c) { return !(IsAlnum(c) || c == '_' || c == '$'); });
}

} // namespace

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
// columns and parameters by name

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

bool TFbCustomQuery::BlobAccessPossible() const {
  return database_ != nullptr && transaction_ != nullptr && database_->Connected() && transaction_->Active();
}

bool TFbCustomQuery::ReadBlob(const void* blobId, std::string& contents) {
  if (!BlobAccessPossible()) return false;
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
  if (!BlobAccessPossible()) return false;
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
  ForgetCursor();
}

void TFbCustomQuery::ForgetCursor() noexcept {
  atEnd_ = false;
  atStart_ = false;
  open_ = false;
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