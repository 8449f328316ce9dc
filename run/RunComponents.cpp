#include "run/RunComponents.h"

#include "db/Database.h"
#include "db/Query.h"
#include "db/Transaction.h"

namespace od {

TFbDatabase* CreateRunDatabase(TComponent& owner, const TRunSettings& settings) {
  auto* db = new TFbDatabase(&owner);
  db->SetName("DB");
  db->SetDBName(settings.DBName);
  for (const std::string& line : settings.DBParams) db->DBParams().Add(line);
  db->SetSQLDialect(settings.SQLDialect);
  db->SetTimeout(settings.Timeout);
  db->SetWaitForRestoreConnect(settings.WaitForRestoreConnect);
  return db;
}

TFbTransaction* CreateRunTransaction(TComponent& owner, TFbDatabase& db) {
  auto* tr = new TFbTransaction(&owner);
  tr->SetName("Tr");
  tr->SetDefaultDatabase(&db);
  tr->SetTimeoutAction(TARollback);
  // The connection was created first; its references to the transaction
  // are set once the transaction exists.
  db.SetDefaultTransaction(tr);
  db.SetDefaultUpdateTransaction(tr);
  return tr;
}

TFbQuery* CreateRunQuery(TComponent& owner, const char* name, const std::vector<std::string>& sql, TFbDatabase& db,
                         TFbTransaction& tr) {
  auto* query = new TFbQuery(&owner);
  query->SetName(name);
  query->SetDatabase(&db);
  query->SetTransaction(&tr);
  // The text arrives line by line; it is judged once it is complete.
  query->SetLoading(true);
  for (const std::string& line : sql) query->SQL().Add(line);
  query->SetLoading(false);
  return query;
}

TRunComponents CreateRunComponents(TComponent& owner, const TRunSettings& settings) {
  TRunComponents c;
  c.DB = CreateRunDatabase(owner, settings);
  c.Tr = CreateRunTransaction(owner, *c.DB);
  c.SQLCount = CreateRunQuery(owner, "SQLCount", settings.SQLCount, *c.DB, *c.Tr);
  c.SQLListZakaz = CreateRunQuery(owner, "SQLListZakaz", settings.SQLListZakaz, *c.DB, *c.Tr);
  c.SQLUpdateID = CreateRunQuery(owner, "SQLUpdateID", settings.SQLUpdateID, *c.DB, *c.Tr);
  return c;
}

} // namespace od
