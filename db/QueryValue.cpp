// The connections' one-value queries (the server time at Open among them)
// and the process-wide cache of the statements they run.
#include "db/QueryValue.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "base/Ascii.h"
#include "db/Database.h"
#include "db/Query.h"
#include "db/Transaction.h"

namespace od {

namespace {

// Per connection: idle statements keyed by their trimmed text, and the ones
// in use. The cache owns them; they go when their connection goes.
struct TConnectionCache final : IFbDatabaseListener {
  std::vector<std::pair<std::string, std::unique_ptr<TFbCustomQuery>>> idle;
  std::vector<std::unique_ptr<TFbCustomQuery>> inUse;
  void DatabaseDestroying(TFbCustomDatabase& database) noexcept override;
};

std::mutex gCacheLock;
std::map<TFbCustomDatabase*, std::unique_ptr<TConnectionCache>> gCaches;

void TConnectionCache::DatabaseDestroying(TFbCustomDatabase& database) noexcept {
  std::unique_ptr<TConnectionCache> self;
  {
    std::lock_guard lock(gCacheLock);
    auto it = gCaches.find(&database);
    if (it == gCaches.end()) return;
    self = std::move(it->second);
    gCaches.erase(it);
  }
  // The statements are destroyed with `self`, outside the lock; the
  // connection still lives and unregisters them.
}

TFbCustomQuery* TakeStatement(TFbCustomDatabase& database, TFbCustomTransaction& transaction, const std::string& sql) {
  const std::string key = Trim(sql);
  std::unique_ptr<TFbCustomQuery> statement;
  TConnectionCache* cache;
  {
    std::lock_guard lock(gCacheLock);
    auto& slot = gCaches[&database];
    if (!slot) {
      slot = std::make_unique<TConnectionCache>();
      database.AddListener(slot.get());
    }
    cache = slot.get();
    auto it = std::find_if(cache->idle.begin(), cache->idle.end(), [&](const auto& e) { return e.first == key; });
    if (it != cache->idle.end()) {
      statement = std::move(it->second);
      cache->idle.erase(it);
    }
  }
  if (statement) {
    if (statement->Transaction() != &transaction) statement->SetTransaction(&transaction);
  } else {
    statement = std::make_unique<TFbCustomQuery>();
    statement->SetDatabase(&database);
    statement->SetTransaction(&transaction);
    statement->SQL().SetText(sql);
  }
  TFbCustomQuery* raw = statement.get();
  std::lock_guard lock(gCacheLock);
  cache->inUse.push_back(std::move(statement));
  return raw;
}

// A statement with parameters goes back to the idle list; one without is destroyed.
void ReturnStatement(TFbCustomDatabase& database, TFbCustomQuery* statement) {
  std::unique_ptr<TFbCustomQuery> owned;
  std::lock_guard lock(gCacheLock);
  auto cacheIt = gCaches.find(&database);
  if (cacheIt == gCaches.end()) return;
  TConnectionCache& cache = *cacheIt->second;
  auto it = std::find_if(cache.inUse.begin(), cache.inUse.end(), [&](const auto& e) { return e.get() == statement; });
  if (it == cache.inUse.end()) return;
  owned = std::move(*it);
  cache.inUse.erase(it);
  if (owned->ParamCount() > 0) {
    cache.idle.emplace_back(Trim(owned->SQL().Text()), std::move(owned));
  }
  // else: destroyed when `owned` leaves this scope (after the lock, as it
  // is declared before it).
}

TFbValue ValueOf(TFbXSQLVAR& column) {
  if (column.IsNull()) return std::monostate{};
  switch (column.DataType()) {
  case kSqlBlob:
  case kSqlText:
  case kSqlVarying: return column.AsString();
  case kSqlShort:
  case kSqlLong:
  case kSqlInt64:
    if (column.SqlScale() == 0) return column.AsInt64();
    return column.AsDouble();
  case kSqlBoolean:
  case kSqlBooleanIB: return static_cast<std::int64_t>(column.AsBoolean() ? 1 : 0);
  case kSqlTimestamp:
  case kSqlTypeDate:
  case kSqlTypeTime: return column.AsDateTime();
  default: return column.AsDouble();
  }
}

} // namespace

TFbValue RunQueryValue(TFbCustomDatabase& database, const std::string& sql, int column) {
  TFbCustomTransaction& transaction = database.InternalTransaction();
  TFbCustomQuery* statement = TakeStatement(database, transaction, sql);
  TFbValue result;
  try {
    try {
      if (statement->IsOpen()) statement->Close();
      if (!transaction.Active()) transaction.StartTransaction();
      statement->ExecQuery();
      if (statement->ColumnCount() > 0) result = ValueOf(statement->ColumnAt(column));
    } catch (...) {
      try {
        if (transaction.Active()) transaction.Rollback();
      } catch (...) {
      }
      throw;
    }
    if (transaction.Active()) transaction.Commit();
  } catch (...) {
    ReturnStatement(database, statement);
    throw;
  }
  ReturnStatement(database, statement);
  return result;
}

} // namespace od
