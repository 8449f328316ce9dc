#include "db/ClientLibrary.h"

#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>
#include <functional>

#if defined(__i386__) || defined(__x86_64__)
#include <fpu_control.h>
#endif

#include "db/Database.h"
#include "db/FbErrors.h"
#include "tests/db/support/MessageOf.h"
#include "tests/db/support/TestDatabase.h"
#include "text/Cp1251.h"

namespace od {
namespace {

using test::MessageOf;

TEST(ClientLibrary, DefaultNameMeansThePlatformClient) {
  EXPECT_EQ(ClientLibraryFileName("gds32.dll"), "libfbclient.so.2");
  EXPECT_EQ(ClientLibraryFileName("fbclient.dll"), "libfbclient.so.2");
  EXPECT_EQ(ClientLibraryFileName("GDS32.DLL"), "GDS32.DLL");
  EXPECT_EQ(ClientLibraryFileName("/opt/client/libfbclient.so"), "/opt/client/libfbclient.so");
}

TEST(ClientLibrary, RealClientLoadsOnceAndIsShared) {
  test::TestRunDirectory();
  IIBClientLibraryPtr first = AcquireClientLibrary("gds32.dll");
  const int count = ClientLibraryCount();
  IIBClientLibraryPtr second = AcquireClientLibrary("gds32.dll");
  EXPECT_EQ(first, second);
  EXPECT_EQ(ClientLibraryCount(), count);
  EXPECT_EQ(first->LibraryName(), "gds32.dll");
  // The platform client answers the version query with the numbers of the
  // older API it is compatible with (6.3), replacing the probe's 6.0.
  EXPECT_EQ(first->ClientMajorVersion(), first->EntryPoints().isc_get_client_major_version());
  EXPECT_EQ(first->ClientMinorVersion(), first->EntryPoints().isc_get_client_minor_version());
  EXPECT_EQ(first->ClientMajorVersion(), 6);
  EXPECT_EQ(first->ClientMinorVersion(), 3);
  const TIBEntryPoints& e = first->EntryPoints();
  EXPECT_NE(e.isc_rollback_retaining, nullptr);
  EXPECT_NE(e.isc_cancel_blob, nullptr); // a failed BLOB write is cancelled through it
  EXPECT_NE(e.isc_portable_integer, nullptr);
  EXPECT_NE(e.fb_shutdown, nullptr);
  EXPECT_EQ(first->isc_vax_integer("\x01\x02", 2), 0x0201);
}

TEST(ClientLibrary, AliasesOfThePlatformClientAreSeparateEntries) {
  test::TestRunDirectory();
  IIBClientLibraryPtr gds = AcquireClientLibrary("gds32.dll");
  IIBClientLibraryPtr fb = AcquireClientLibrary("fbclient.dll");
  EXPECT_NE(gds, fb);
  EXPECT_EQ(fb->LibraryName(), "fbclient.dll");
}

// The nine operations whose entry points are never looked up.
struct TNeverCase {
  const char* name;
  std::function<void(IIBClientLibrary&)> call;
};

class NeverLookedUp : public ::testing::TestWithParam<TNeverCase> {};

TEST_P(NeverLookedUp, FailsWithCantFindProcedure) {
  test::TestRunDirectory();
  IIBClientLibraryPtr library = AcquireClientLibrary("gds32.dll");
  EXPECT_EQ(MessageOf([&] { GetParam().call(*library); }),
            std::string("Can't find procedure ") + GetParam().name + " in gds32.dll");
}

INSTANTIATE_TEST_SUITE_P(
    Operations, NeverLookedUp,
    ::testing::Values(
        TNeverCase{"isc_array_lookup_desc",
                   [](IIBClientLibrary& l) { l.isc_array_lookup_desc(nullptr, nullptr, nullptr, "", "", nullptr); }},
        TNeverCase{
            "isc_array_set_desc",
            [](IIBClientLibrary& l) { l.isc_array_set_desc(nullptr, "", "", nullptr, nullptr, nullptr, nullptr); }},
        TNeverCase{"isc_blob_lookup_desc",
                   [](IIBClientLibrary& l) {
                     l.isc_blob_lookup_desc(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
                   }},
        TNeverCase{"isc_blob_set_desc",
                   [](IIBClientLibrary& l) { l.isc_blob_set_desc(nullptr, nullptr, nullptr, 0, 0, 0, nullptr); }},
        TNeverCase{"isc_prepare_transaction2",
                   [](IIBClientLibrary& l) { l.isc_prepare_transaction2(nullptr, nullptr, 0, nullptr); }},
        TNeverCase{"isc_add_user", [](IIBClientLibrary& l) { l.isc_add_user(nullptr, nullptr); }},
        TNeverCase{"isc_delete_user", [](IIBClientLibrary& l) { l.isc_delete_user(nullptr, nullptr); }},
        TNeverCase{"isc_modify_user", [](IIBClientLibrary& l) { l.isc_modify_user(nullptr, nullptr); }},
        TNeverCase{"isc_prepare_transaction",
                   [](IIBClientLibrary& l) { l.isc_prepare_transaction(nullptr, nullptr); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ClientLibrary, MissingRequiredEntryPointRegistersNothing) {
  const int count = ClientLibraryCount();
  for (int attempt = 0; attempt < 2; ++attempt) { // a later attempt loads again, and fails again
    try {
      AcquireClientLibrary(OD_FAKE_NOFETCH);
      FAIL() << "no exception";
    } catch (const EOSError& error) {
      EXPECT_NE(error.Message().find("isc_dsql_fetch"), std::string::npos) << error.Message();
    }
    EXPECT_EQ(ClientLibraryCount(), count);
  }
}

TEST(ClientLibrary, LoaderTextReadsInTheProgramsCodePage) {
  // The loader words its message in the locale's code set and names the
  // file as the system spells it; the program holds code page 1251.
  const std::string folder = test::TestRunDirectory() + "/клиент";
  std::filesystem::create_directories(folder);
  const std::string copy = folder + "/libodfake_nofetch.so";
  std::filesystem::copy_file(OD_FAKE_NOFETCH, copy, std::filesystem::copy_options::overwrite_existing);
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  ASSERT_NE(std::setlocale(LC_ALL, "ru_RU.UTF-8"), nullptr);
  std::string message;
  try {
    AcquireClientLibrary(copy);
  } catch (const EOSError& error) {
    message = error.Message();
  }
  std::setlocale(LC_ALL, saved.c_str());
  EXPECT_EQ(message, Cp(copy) + ": undefined symbol: isc_dsql_fetch");
}

TEST(ClientLibrary, MissingEntryPointSurfacesFromOpen) {
  TFbDatabase db;
  db.SetDBName("/nowhere/db.fdb");
  db.SetLibraryName(OD_FAKE_NOFETCH);
  EXPECT_THROW(db.Open(), EOSError);
  EXPECT_FALSE(db.Connected());
  EXPECT_EQ(db.ClientLibrary(), nullptr);
}

TEST(ClientLibrary, MissingFileNamesTheConfiguredLibrary) {
  const int count = ClientLibraryCount();
  EXPECT_EQ(MessageOf([] { AcquireClientLibrary("no-such-client.dll"); }), "Can't load library no-such-client.dll ");
  EXPECT_EQ(ClientLibraryCount(), count);
}

TEST(ClientLibrary, EmptyNameIsReportedBeforeTheLibraryIsLoaded) {
  TFbDatabase db;
  db.SetLibraryName("no-such-client.dll");
  EXPECT_EQ(MessageOf([&] { db.Open(); }), "Database name is missing.");
  db.SetDBName("x.fdb");
  EXPECT_EQ(MessageOf([&] { db.Open(); }), "Can't load library no-such-client.dll ");
}

TEST(ClientLibrary, OldClientHasVersionFiveAndNoLaterOperations) {
  IIBClientLibraryPtr library = AcquireClientLibrary(OD_FAKE_V5);
  EXPECT_EQ(library->ClientMajorVersion(), 5);
  EXPECT_EQ(library->ClientMinorVersion(), 0);
  const std::string in = std::string(" in ") + OD_FAKE_V5;
  IIBClientLibrary& l = *library;
  const std::vector<std::pair<std::string, std::function<void()>>> calls = {
      {"isc_service_attach", [&] { l.isc_service_attach(nullptr, 0, "", nullptr, 0, ""); }},
      {"isc_service_detach", [&] { l.isc_service_detach(nullptr, nullptr); }},
      {"isc_service_query", [&] { l.isc_service_query(nullptr, nullptr, nullptr, 0, "", 0, "", 0, nullptr); }},
      {"isc_service_start", [&] { l.isc_service_start(nullptr, nullptr, nullptr, 0, ""); }},
      {"isc_decode_sql_date", [&] { l.isc_decode_sql_date(nullptr, nullptr); }},
      {"isc_decode_sql_time", [&] { l.isc_decode_sql_time(nullptr, nullptr); }},
      {"isc_decode_timestamp", [&] { l.isc_decode_timestamp(nullptr, nullptr); }},
      {"isc_encode_sql_date", [&] { l.isc_encode_sql_date(nullptr, nullptr); }},
      {"isc_encode_sql_time", [&] { l.isc_encode_sql_time(nullptr, nullptr); }},
      {"isc_encode_timestamp", [&] { l.isc_encode_timestamp(nullptr, nullptr); }},
      {"isc_portable_integer", [&] { l.isc_portable_integer(nullptr, 0); }},
      {"isc_rollback_retaining", [&] { l.isc_rollback_retaining(nullptr, nullptr); }},
      {"isc_get_client_version", [&] { l.isc_get_client_version(nullptr); }},
      {"isc_dsql_batch_execute",
       [&] { l.isc_dsql_batch_execute(nullptr, nullptr, nullptr, 0, nullptr, 0, nullptr, nullptr); }},
  };
  for (const auto& [name, call] : calls) EXPECT_EQ(MessageOf(call), "Can't find procedure " + name + in);
  EXPECT_FALSE(library->ShutdownEngine()); // nothing to stop in it
}

TEST(ClientLibrary, VersionQueryOverridesTheProbe) {
  IIBClientLibraryPtr library = AcquireClientLibrary(OD_FAKE_VERSIONED);
  EXPECT_EQ(library->ClientMajorVersion(), 7);
  EXPECT_EQ(library->ClientMinorVersion(), 3);
  // The batch operations are optional and absent here.
  EXPECT_EQ(library->EntryPoints().isc_dsql_batch_execute, nullptr);
}

TEST(ClientLibrary, NamesDifferingInCaseLoadTwoObjects) {
  const int count = ClientLibraryCount();
  IIBClientLibraryPtr lower = AcquireClientLibrary(OD_FAKE_V5);
  IIBClientLibraryPtr upper = AcquireClientLibrary(OD_FAKE_V5_UPPER);
  EXPECT_NE(lower, upper);
  EXPECT_EQ(AcquireClientLibrary(OD_FAKE_V5), lower);
  EXPECT_EQ(AcquireClientLibrary(OD_FAKE_V5_UPPER), upper);
  EXPECT_LE(ClientLibraryCount(), count + 2);
  EXPECT_GE(ClientLibraryCount(), 2);
}

TEST(ClientLibrary, UnloadReleasesOnceAndIsHarmlessAfter) {
  TIBClientLibrary library(OD_FAKE_V5);
  EXPECT_TRUE(library.Loaded());
  library.Unload();
  EXPECT_FALSE(library.Loaded());
  library.Unload();
  EXPECT_FALSE(library.Loaded());
  // The slots keep their values; only the module is gone.
  EXPECT_NE(library.EntryPoints().isc_attach_database, nullptr);
}

#if defined(__i386__) || defined(__x86_64__)
TEST(ClientLibrary, FloatingPointControlWord) {
  fpu_control_t word = 0;
  _FPU_GETCW(word);
  const fpu_control_t before = word;
  word &= ~static_cast<fpu_control_t>(0x300); // single precision
  _FPU_SETCW(word);
  TIBClientLibrary library(OD_FAKE_VERSIONED);
  _FPU_GETCW(word);
  EXPECT_EQ(word & 0x300, 0x300);
  word = before;
  _FPU_SETCW(word);
  RestoreDefaultFpuControlWord();
  _FPU_GETCW(word);
  EXPECT_EQ(word, before);
}
#endif

} // namespace
} // namespace od
