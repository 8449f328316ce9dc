#pragma once

// A connection, a transaction and statements owned by a "Form2" component,
// configured as the program configures its own, on a fresh database file of
// the embedded engine.

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "base/Component.h"
#include "db/Database.h"
#include "db/Query.h"
#include "db/Transaction.h"
#include "tests/db/support/TestDatabase.h"
#include "text/LocaleFormats.h"

namespace od::test {

// The goods-line table of the order database with a column of every type
// the value conversions handle.
inline constexpr const char* kGoodsTable = "CREATE TABLE TBL_ZAKAZ_TOVARS ("
                                           " ID INTEGER NOT NULL PRIMARY KEY,"
                                           " ZAKAZ_ID INTEGER,"
                                           " DATA_TIME_SEND TIMESTAMP,"
                                           " C_SMALL SMALLINT,"
                                           " C_BIG BIGINT,"
                                           " C_NUM9 NUMERIC(9,2),"
                                           " C_NUM18 NUMERIC(18,2),"
                                           " C_DOUBLE DOUBLE PRECISION,"
                                           " C_FLOAT FLOAT,"
                                           " C_CHAR CHAR(6),"
                                           " C_VARCHAR VARCHAR(40),"
                                           " C_CYR VARCHAR(40) CHARACTER SET WIN1251,"
                                           " C_DATE DATE,"
                                           " C_TIME TIME,"
                                           " C_BLOB BLOB SUB_TYPE TEXT,"
                                           " C_BOOL BOOLEAN)";

// The settings of a Russian desktop, set explicitly so that nothing depends
// on the machine's locale.
inline void UseRussianFormats() {
  LocaleFormats = TLocaleFormats{};
  LocaleFormats.DateDelimiter = '.';
  LocaleFormats.ShortDatePattern = "dd.MM.yyyy";
  LocaleFormats.TimeDelimiter = ':';
  LocaleFormats.AmText.clear();
  LocaleFormats.PmText.clear();
  LocaleFormats.DecimalDelimiter = ',';
  LocaleFormats.ShortTimePattern = "h:mm";
  LocaleFormats.PrimaryLanguage = kLangRussian;
}

class TConnectedForm {
public:
  explicit TConnectedForm(const TestDatabase& file, int dialect = 3) : form_(new TComponent) {
    form_->SetName("Form2");
    db_ = new TFbDatabase(form_.get());
    db_->SetName("DB");
    db_->SetDBName(file.Path());
    for (const auto& line : TestDBParams()) db_->DBParams().Add(line);
    db_->SetSQLDialect(dialect);
    tr_ = new TFbTransaction(form_.get());
    tr_->SetName("Tr");
    tr_->SetDefaultDatabase(db_);
    db_->SetDefaultTransaction(tr_);
    db_->SetDefaultUpdateTransaction(tr_);
  }

  TFbQuery& AddQuery(const char* name, std::initializer_list<std::string_view> lines = {}) {
    auto* q = new TFbQuery(form_.get());
    q->SetName(name);
    q->SetDatabase(db_);
    q->SetTransaction(tr_);
    if (lines.size() > 0) q->SQL().Assign(lines);
    return *q;
  }

  void OpenAndStart() {
    db_->Open();
    tr_->StartTransaction();
  }

  TComponent& Form() { return *form_; }
  TFbDatabase& DB() { return *db_; }
  TFbTransaction& Tr() { return *tr_; }

private:
  std::unique_ptr<TComponent> form_;
  TFbDatabase* db_;
  TFbTransaction* tr_;
};

} // namespace od::test
