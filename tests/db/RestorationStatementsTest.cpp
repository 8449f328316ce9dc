// The three statements of the restoration run, with their exact texts,
// against real rows: the count, the ordered list walked to its end, and the
// prepared UPDATE executed once per goods line in one transaction.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "db/FbErrors.h"
#include "tests/db/QueryFixture.h"
#include "text/DateTime.h"

namespace od {
namespace {

using test::TConnectedForm;
using test::TestDatabase;

class RestorationStatementsTest : public testing::Test {
protected:
  void SetUp() override {
    file_.Execute(test::kGoodsTable);
    file_.Execute("EXECUTE BLOCK AS DECLARE I INT = 1; BEGIN "
                  "WHILE (I <= 300) DO BEGIN "
                  "INSERT INTO TBL_ZAKAZ_TOVARS (ID, ZAKAZ_ID) VALUES (:I, 1000 + MOD(:I * 7, 40)); "
                  "I = I + 1; END END");
    // Goods lines that belong to no order.
    file_.Execute("INSERT INTO TBL_ZAKAZ_TOVARS (ID, ZAKAZ_ID) VALUES (301, 0)");
    file_.Execute("INSERT INTO TBL_ZAKAZ_TOVARS (ID, ZAKAZ_ID) VALUES (302, NULL)");
    file_.Execute("INSERT INTO TBL_ZAKAZ_TOVARS (ID, ZAKAZ_ID) VALUES (303, -5)");

    form_.AddQuery("SQLCount", {"SELECT count(ID)", "FROM", "    TBL_ZAKAZ_TOVARS ", "where zakaz_id>0"});
    form_.AddQuery("SQLListZakaz", {"SELECT", "    ID,", "    ZAKAZ_ID", "FROM", "    TBL_ZAKAZ_TOVARS ",
                                    "WHERE ZAKAZ_ID>0", "ORDER BY ZAKAZ_ID"});
    form_.AddQuery("SQLUpdateID",
                   {"UPDATE TBL_ZAKAZ_TOVARS SET ", "   DATA_TIME_SEND=:DATA_TIME_SEND", "WHERE", "    ID=:ID"});
  }

  TFbQuery& Query(const char* name) { return *static_cast<TFbQuery*>(FindOwned(name)); }
  TComponent* FindOwned(const char* name) {
    for (int i = 0; i < form_.Form().ComponentCount(); ++i) {
      if (form_.Form().Components(i)->Name() == name) return form_.Form().Components(i);
    }
    return nullptr;
  }

  // The send date the run would get for an order: one per order number.
  static TDateTime OrderDate(int zakazId) {
    return EncodeDateTime(2024, 3, 5, 14, 30, 15, 250) + (zakazId - 1000) + (zakazId % 7) / 24.0;
  }

  TestDatabase file_{"restoration"};
  TConnectedForm form_{file_};
};

TEST_F(RestorationStatementsTest, RunUpdatesEveryGoodsLineOfEveryOrder) {
  TFbQuery& count = Query("SQLCount");
  TFbQuery& list = Query("SQLListZakaz");
  TFbQuery& update = Query("SQLUpdateID");
  ASSERT_EQ(update.ParamCount(), 2);

  form_.OpenAndStart();

  count.ExecQuery();
  // The first row is current without any FetchNext.
  EXPECT_FALSE(count.AtEnd());
  EXPECT_EQ(count.ColumnAt(0).AsInteger(), 300);

  list.ExecQuery();
  std::string previous;
  std::vector<int> orderSequence;
  std::map<int, int> expectedZakaz;
  int rows = 0;
  while (!list.AtEnd()) {
    update.Close();
    const std::string zakaz = list.ColumnByName("ZAKAZ_ID").AsString();
    const int id = list.ColumnByName("ID").AsInteger();
    const int zakazId = std::stoi(zakaz);
    orderSequence.push_back(zakazId);
    expectedZakaz[id] = zakazId;
    update.ParameterByName("ID").SetAsInteger(id);
    update.ParameterByName("DATA_TIME_SEND").SetAsDateTime(OrderDate(zakazId));
    update.ExecQuery();
    ++rows;
    list.FetchNext();
  }
  EXPECT_EQ(rows, 300);
  EXPECT_TRUE(std::is_sorted(orderSequence.begin(), orderSequence.end()));
  EXPECT_EQ(update.PrepareCount(), 1);
  EXPECT_EQ(update.ExecuteCount(), 300);
  EXPECT_EQ(count.PrepareCount(), 1);
  EXPECT_EQ(list.PrepareCount(), 1);

  // Committed with both SELECTs still open: the commit closes them.
  ASSERT_TRUE(count.IsOpen());
  form_.Tr().Commit();
  EXPECT_FALSE(count.IsOpen());
  EXPECT_FALSE(list.IsOpen());
  form_.DB().Close();
  EXPECT_EQ(update.Handle(), 0u);

  // Read back through a second attachment: every stamp exact to the 1/10 ms.
  const auto stored = file_.Query("SELECT ID, CAST(DATA_TIME_SEND AS VARCHAR(30)) FROM TBL_ZAKAZ_TOVARS ORDER BY ID");
  ASSERT_EQ(stored.size(), 303u);
  for (const auto& row : stored) {
    const int id = std::stoi(row[0]);
    if (id > 300) {
      EXPECT_EQ(row[1], "<null>") << id;
      continue;
    }
    const TDateTimeParts parts = DecodeDateTime(OrderDate(expectedZakaz.at(id)));
    const std::string expected = Format("%04d-%02d-%02d %02d:%02d:%02d.%03d0", parts.Year, parts.Month, parts.Day,
                                        parts.Hour, parts.Minute, parts.Second, parts.MSec);
    EXPECT_EQ(row[1], expected) << id;
  }
}

TEST_F(RestorationStatementsTest, CountIsCurrentAndASecondFetchEndsIt) {
  TFbQuery& count = Query("SQLCount");
  form_.OpenAndStart();
  count.ExecQuery();
  EXPECT_EQ(count.RecordCount(), 1);
  EXPECT_EQ(count.ColumnAt(0).AsInteger(), 300);
  EXPECT_EQ(count.FetchNext(), nullptr);
  EXPECT_TRUE(count.AtEnd());
  EXPECT_TRUE(count.IsOpen());
}

TEST_F(RestorationStatementsTest, CloseOfTheUpdateNeverContactsTheServer) {
  TFbQuery& update = Query("SQLUpdateID");
  form_.OpenAndStart();
  update.ParameterByName("ID").SetAsInteger(1);
  update.ParameterByName("DATA_TIME_SEND").SetAsDateTime(OrderDate(1001));
  update.ExecQuery();
  const auto calls = update.ServerCallCount();
  const TFbHandle handle = update.Handle();
  for (int i = 0; i < 3; ++i) EXPECT_NO_THROW(update.Close());
  EXPECT_EQ(update.ServerCallCount(), calls);
  EXPECT_TRUE(update.Prepared());
  EXPECT_EQ(update.Handle(), handle);
  // The parameter values stay for the next execution.
  EXPECT_EQ(update.ParameterByName("ID").AsInteger(), 1);
  update.ExecQuery();
  EXPECT_EQ(update.PrepareCount(), 1);
  form_.Tr().Commit();
}

TEST_F(RestorationStatementsTest, NoGoodsLinesCountsZeroAndListIsAtEnd) {
  file_.Execute("UPDATE TBL_ZAKAZ_TOVARS SET ZAKAZ_ID = 0");
  TFbQuery& count = Query("SQLCount");
  TFbQuery& list = Query("SQLListZakaz");
  form_.OpenAndStart();
  count.ExecQuery();
  EXPECT_EQ(count.ColumnAt(0).AsInteger(), 0);
  list.ExecQuery();
  EXPECT_TRUE(list.AtEnd());
  EXPECT_EQ(list.ColumnByName("ID").AsInteger(), 0);
  EXPECT_EQ(list.ColumnByName("ZAKAZ_ID").AsString(), "");
  form_.Tr().Commit();
}

TEST_F(RestorationStatementsTest, TheUpdateTextGoesToTheServerWithPositionalMarkers) {
  TFbQuery& update = Query("SQLUpdateID");
  form_.OpenAndStart();
  update.ParameterByName("ID").SetAsInteger(1);
  update.ParameterByName("DATA_TIME_SEND").SetAsDateTime(OrderDate(1001));
  update.Prepare();
  EXPECT_EQ(update.ProcessedText(),
            "UPDATE TBL_ZAKAZ_TOVARS SET \r\n   DATA_TIME_SEND=?              \r\nWHERE\r\n    ID=?  \r\n");
  EXPECT_EQ(update.SQLType(), SQLUpdate);
  EXPECT_EQ(Query("SQLCount").ProcessedText(), Query("SQLCount").SQL().Text());
  form_.Tr().Rollback();
}

} // namespace
} // namespace od
