#include "db/FbErrors.h"

#include <gtest/gtest.h>

#include <thread>

#include "base/Component.h"
#include "db/ClientLibrary.h"
#include "tests/db/support/TestDatabase.h"

namespace od {
namespace {

// --- the client message table --------------------------------------------

struct TClientCase {
  int index;
  std::vector<std::string> texts;
  std::vector<int> numbers;
  int sqlCode;
  std::string message;
};

class ClientErrorMessage : public ::testing::TestWithParam<TClientCase> {};

[[noreturn]] void Raise(const TClientCase& c) {
  // The table's arguments are texts first, then numbers, in every entry used here.
  if (c.texts.size() == 2) RaiseClientError(c.index, {c.texts[0], c.texts[1]});
  if (c.texts.size() == 1) RaiseClientError(c.index, {c.texts[0]});
  if (c.numbers.size() == 2) RaiseClientError(c.index, {c.numbers[0], c.numbers[1]});
  if (c.numbers.size() == 1) RaiseClientError(c.index, {c.numbers[0]});
  RaiseClientError(c.index);
}

TEST_P(ClientErrorMessage, IsTheFormattedTableText) {
  const TClientCase& c = GetParam();
  try {
    Raise(c);
  } catch (const EFbClientError& error) {
    EXPECT_EQ(error.Message(), c.message);
    EXPECT_EQ(error.MessageBody(), c.message);
    EXPECT_EQ(error.SQLCode(), c.sqlCode);
    EXPECT_EQ(error.Raiser(), nullptr);
    EXPECT_EQ(error.RaiserName(), "");
    EXPECT_EQ(error.SQLMessage(), "");
    EXPECT_EQ(error.ServerMessage(), "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ClientErrorMessage,
    ::testing::Values(TClientCase{0, {}, {}, 0, "Unknown error."},
                      TClientCase{7, {}, {}, 7, "Operation cancelled at user's request."},
                      TClientCase{8, {"page_size"}, {}, 8, "DPB Constant (isc_dpb_page_size) is unsupported."},
                      TClientCase{11, {"snapshot"}, {}, 11, "TPB Constant (snapshot) is unknown."},
                      TClientCase{12, {"Form2.DB"}, {}, 12, "Form2.DB: Cannot perform operation -- DB is not open."},
                      TClientCase{13, {}, {}, 13, "Cannot perform operation -- DB is currently open."},
                      TClientCase{14, {}, {}, 14, "Database name is missing."},
                      TClientCase{15, {"Form2.Tr"}, {}, 15, "Form2.Tr :Transaction is not active."},
                      TClientCase{16, {"Form2.Tr"}, {}, 16, "Form2.Tr :Transaction is active."},
                      TClientCase{18, {"Tr"}, {}, 18, "Tr :No databases are listed in transaction component."},
                      TClientCase{30, {}, {999}, 30, "Unknown SQL Data type (999)."},
                      TClientCase{37, {"execute"}, {}, 37, "Can't execute , because  query is empty"},
                      TClientCase{38, {}, {}, 38, "Can't \"open\" a non-select statement. Use ExecQuery."},
                      TClientCase{51, {"Form2.Q", "near x"}, {}, 51, "SQL Parse Error in :Form2.Q \r\n\r\nnear x"},
                      TClientCase{55, {}, {5, 0x1F}, 55, "Windows API error. (Windows error 5 [$0000001f])"},
                      TClientCase{57, {}, {1, 2}, 57, "Column types don't match. (From index: 1, To index: 2)"},
                      TClientCase{58,
                                  {},
                                  {},
                                  58,
                                  "Can't end a shared transaction unless it is forced and equal to the transaction's "
                                  "TimeoutAction."},
                      TClientCase{61, {}, {}, 61, "SQL Dialect invalid"},
                      TClientCase{74, {"T", "F"}, {}, 74, "Field Size too small. Field T.F"},
                      TClientCase{
                          78,
                          {"Lock"},
                          {},
                          78,
                          "Lock is an Firebird 2 function. Please upgrade to Firebird 2 to use this functonality"},
                      TClientCase{128 + 14, {}, {}, 14, "Database name is missing."}, TClientCase{100, {}, {}, 100, ""},
                      // A missing argument writes nothing; an extra one is ignored.
                      TClientCase{12, {}, {}, 12, ": Cannot perform operation -- DB is not open."},
                      TClientCase{14, {"extra"}, {}, 14, "Database name is missing."}));

TEST(ClientErrorTable, HasSeventyNineEntries) {
  for (int i = 0; i < 79; ++i) EXPECT_FALSE(ClientErrorText(i).empty()) << i;
  EXPECT_TRUE(ClientErrorText(79).empty());
  EXPECT_EQ(ClientErrorText(75).substr(0, 35), "%s. Can't use limited cache. \r\nCach");
}

TEST(ClientErrorTable, FreeTextHasSqlCodeMinusOne) {
  try {
    RaiseClientErrorText("Value of %s is %d%%", {"x", 3});
  } catch (const EFbClientError& error) {
    EXPECT_EQ(error.SQLCode(), -1);
    EXPECT_EQ(error.Message(), "Value of x is 3%");
  }
}

TEST(ClientErrorTable, ErrorCodeIsWhatTheLastCallLeft) {
  StatusVector()[1] = 0;
  try {
    RaiseClientError(fbceDatabaseNameMissing);
  } catch (const EFbClientError& error) {
    EXPECT_EQ(error.ErrorCode(), 0);
  }
  StatusVector()[1] = isc_io_error;
  try {
    RaiseClientError(fbceDatabaseNameMissing);
  } catch (const EFbClientError& error) {
    EXPECT_EQ(error.ErrorCode(), isc_io_error);
  }
  StatusVector()[1] = 0;
}

TEST(StatusVector, BelongsToTheThread) {
  StatusVector()[1] = 42;
  ISC_STATUS seen = -1;
  std::thread([&] { seen = StatusVector()[1]; }).join();
  EXPECT_EQ(seen, 0);
  EXPECT_EQ(StatusVector()[1], 42);
  StatusVector()[1] = 0;
}

// --- composing the message -----------------------------------------------

struct TComposeCase {
  const char* title;
  int options;
  const char* owner;
  const char* name;
  std::string message;
};

class ComposeMessage : public ::testing::TestWithParam<TComposeCase> {
protected:
  void TearDown() override { SetFbMessageOptions(kFbMsgDefault); }
};

TEST_P(ComposeMessage, JoinsTheParts) {
  const TComposeCase& c = GetParam();
  SetFbMessageOptions(c.options);
  TComponent owner;
  owner.SetName(c.owner);
  TComponent raiser(&owner);
  raiser.SetName(c.name);
  EFbServerError error(-902, &raiser, "Sql.\r\n", "Server.\r\n", "custom|", "body");
  EXPECT_EQ(error.Message(), c.message);
  EXPECT_EQ(error.Raiser(), &raiser);
}

INSTANTIATE_TEST_SUITE_P(
    Options, ComposeMessage,
    ::testing::Values(TComposeCase{"Default", 14, "Form2", "DB", "Form2.DB:\r\nSql.\r\nServer.\r\ncustom|body"},
                      TComposeCase{"NameOnly", 8, "Form2", "DB", "Form2.DB:\r\ncustom|body"},
                      TComposeCase{"SqlOnly", 4, "Form2", "DB", "Sql.\r\ncustom|body"},
                      TComposeCase{"ServerOnly", 2, "Form2", "DB", "Server.\r\ncustom|body"},
                      TComposeCase{"None", 0, "Form2", "DB", "custom|body"},
                      TComposeCase{"UnnamedOwnerSkipped", 14, "", "DB", "DB:\r\nSql.\r\nServer.\r\ncustom|body"},
                      TComposeCase{"OneCharacterNameNoPrefix", 14, "", "D", "Sql.\r\nServer.\r\ncustom|body"},
                      TComposeCase{"NoName", 14, "", "", "Sql.\r\nServer.\r\ncustom|body"}),
    [](const auto& info) { return std::string(info.param.title); });

TEST(ComposeMessage, SettingTheBodyComposesAgain) {
  EFbClientError error(14, nullptr, "", "", "", "Database name is missing.");
  error.SetMessageBody("Other.");
  EXPECT_EQ(error.Message(), "Other.");
}

// --- server errors from a real failed call --------------------------------

class ServerError : public ::testing::Test {
protected:
  void SetUp() override {
    test::TestRunDirectory();
    library_ = AcquireClientLibrary(test::kTestLibraryName);
    form_.SetName("Form2");
    db_.SetName("DB");
  }
  void TearDown() override { SetFbErrorHandler(nullptr); }

  // Leaves the failure of attaching a missing file in the status vector.
  void FailAttach() {
    const std::string path = test::TestRunDirectory() + "/no-such-file.fdb";
    isc_db_handle handle = 0;
    const ISC_STATUS result = library_->isc_attach_database(StatusVector(), static_cast<short>(path.size()),
                                                            path.c_str(), &handle, 0, nullptr);
    ASSERT_GT(result, 0);
  }

  IIBClientLibraryPtr library_;
  TComponent form_;
  TComponent db_{&form_};
};

TEST_F(ServerError, MessageHasTheDocumentedShape) {
  FailAttach();
  try {
    RaiseServerError(*library_, &db_);
    FAIL() << "no exception";
  } catch (const EFbServerError& error) {
    std::cout << "Server error text:\n" << error.Message() << "\n";
    EXPECT_EQ(error.ErrorCode(), isc_io_error);
    EXPECT_EQ(error.SQLCode(), -902);
    EXPECT_EQ(error.RaiserName(), "Form2.DB");
    EXPECT_EQ(error.Message().rfind("Form2.DB:\r\n", 0), 0u);
    EXPECT_EQ(error.Message(), "Form2.DB:\r\n" + error.SQLMessage() + error.ServerMessage());
    // The SQL code text ends with ".\r\n"; then one line per status entry.
    ASSERT_GE(error.SQLMessage().size(), 3u);
    EXPECT_EQ(error.SQLMessage().substr(error.SQLMessage().size() - 3), ".\r\n");
    EXPECT_TRUE(error.SQLMessage()[0] >= 'A' && error.SQLMessage()[0] <= 'Z');
    EXPECT_EQ(error.SQLMessage().find("\\n"), std::string::npos);
    const std::string& server = error.ServerMessage();
    ASSERT_GE(server.size(), 3u);
    EXPECT_EQ(server.substr(server.size() - 3), ".\r\n");
    EXPECT_NE(server.find("no-such-file.fdb"), std::string::npos);
    size_t start = 0;
    for (size_t end = server.find("\r\n"); end != std::string::npos; end = server.find("\r\n", start)) {
      EXPECT_EQ(server[end - 1], '.') << server.substr(start, end - start);
      EXPECT_FALSE(server[start] >= 'a' && server[start] <= 'z') << server.substr(start, end - start);
      start = end + 2;
    }
  }
  EXPECT_EQ(StatusVector()[1], isc_io_error); // left as the call left it
}

TEST_F(ServerError, HandlerMaySwallowTheError) {
  FailAttach();
  std::string seen;
  SetFbErrorHandler([&](TComponent* raiser, EFbError& error, bool& raise) {
    EXPECT_EQ(raiser, &db_);
    seen = error.Message();
    raise = false;
  });
  EXPECT_NO_THROW(RaiseServerError(*library_, &db_));
  EXPECT_EQ(seen.rfind("Form2.DB:\r\n", 0), 0u);
}

TEST_F(ServerError, HandlerMayRaiseItsOwn) {
  FailAttach();
  SetFbErrorHandler([](TComponent*, EFbError&, bool&) { throw EAbort(); });
  EXPECT_THROW(RaiseServerError(*library_, &db_), EAbort);
}

TEST_F(ServerError, CheckRaisesOnlyAboveZero) {
  EXPECT_EQ(CheckFbResult(*library_, 0, &db_), 0);
  EXPECT_EQ(CheckFbResult(*library_, -5, &db_), -5);
  FailAttach();
  EXPECT_EQ(CheckFbResult(*library_, 1, &db_, false), 1);
  EXPECT_THROW(CheckFbResult(*library_, 1, &db_), EFbServerError);
}

} // namespace
} // namespace od
