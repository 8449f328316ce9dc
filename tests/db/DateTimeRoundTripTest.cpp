// Date-times from year 1 to 9999 set through a parameter, stored by the
// server and read back agree to the millisecond.
#include <gtest/gtest.h>

#include <random>

#include "tests/db/QueryFixture.h"
#include "text/DateTime.h"

namespace od {
namespace {

TEST(DateTimeRoundTripTest, TenThousandRandomStampsSurviveTheServer) {
  test::TestDatabase file("roundtrip");
  file.Execute("CREATE TABLE T_STAMPS (ID INTEGER NOT NULL PRIMARY KEY, TS TIMESTAMP)");
  test::TConnectedForm form(file);
  TFbQuery& insert = form.AddQuery("Ins", {"INSERT INTO T_STAMPS (ID, TS) VALUES (:ID, :TS)"});
  TFbQuery& select = form.AddQuery("Sel", {"SELECT ID, TS FROM T_STAMPS ORDER BY ID"});
  form.OpenAndStart();

  constexpr int kCount = 10'000;
  std::mt19937_64 random(20240305);
  std::uniform_int_distribution<int> days(kMinDayNumber, kMaxDayNumber);
  std::uniform_int_distribution<int> millis(0, kMSecsPerDay - 1);
  std::vector<TDateTime> values;
  values.reserve(kCount);
  // The edges of the range first, then random stamps.
  values.push_back(EncodeDateTime(1, 1, 1, 0, 0, 0, 0));
  values.push_back(EncodeDateTime(9999, 12, 31, 23, 59, 59, 999));
  values.push_back(EncodeDateTime(1899, 12, 29, 23, 59, 59, 999));
  values.push_back(EncodeDateTime(1899, 12, 30, 0, 0, 0, 1));
  while (static_cast<int>(values.size()) < kCount) {
    const int day = days(random);
    const double time = static_cast<double>(millis(random)) / kMSecsPerDay;
    values.push_back(day >= 0 ? day + time : day - time);
  }

  for (int i = 0; i < kCount; ++i) {
    insert.ParameterByName("ID").SetAsInteger(i);
    insert.ParameterByName("TS").SetAsDateTime(values[static_cast<size_t>(i)]);
    insert.ExecQuery();
  }
  EXPECT_EQ(insert.PrepareCount(), 1);
  form.Tr().Commit();

  form.Tr().StartTransaction();
  select.ExecQuery();
  int rows = 0;
  for (; !select.AtEnd(); select.FetchNext(), ++rows) {
    const int id = select.ColumnAt(0).AsInteger();
    ASSERT_EQ(id, rows);
    TDateTimeParts expected, actual;
    ASSERT_TRUE(TryDecodeDateTime(values[static_cast<size_t>(id)], expected));
    ASSERT_TRUE(TryDecodeDateTime(select.ColumnAt(1).AsDateTime(), actual));
    ASSERT_EQ(actual, expected) << FormatIsoDateTime(values[static_cast<size_t>(id)]) << " came back as "
                                << FormatIsoDateTime(select.ColumnAt(1).AsDateTime());
  }
  EXPECT_EQ(rows, kCount);
  form.Tr().Commit();

  // The server's own reading of a stamp, through a second attachment.
  EXPECT_EQ(file.Scalar("SELECT CAST(TS AS VARCHAR(30)) FROM T_STAMPS WHERE ID = 1"), "9999-12-31 23:59:59.9990");
  EXPECT_EQ(file.Scalar("SELECT CAST(TS AS VARCHAR(30)) FROM T_STAMPS WHERE ID = 2"), "1899-12-29 23:59:59.9990");
}

} // namespace
} // namespace od
