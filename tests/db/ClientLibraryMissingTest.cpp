// Runs with the loader's search path pointing at a folder whose
// libfbclient.so.2 is not a library (set by the build), so the platform client
// behind the default name cannot be loaded.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

#include "db/ClientLibrary.h"
#include "db/Database.h"
#include "db/FbErrors.h"

namespace od {
namespace {

TEST(ClientLibraryMissing, DefaultNameIsReportedAsConfigured) {
  const char* path = std::getenv("LD_LIBRARY_PATH");
  if (path == nullptr || std::string_view(path).find("no-client") == std::string_view::npos)
    GTEST_SKIP() << "needs the search path that ctest sets";
  const int count = ClientLibraryCount();
  TFbDatabase db;
  db.SetDBName("/nowhere/orders.fdb");
  EXPECT_EQ(db.LibraryName(), "gds32.dll");
  for (int attempt = 0; attempt < 2; ++attempt) { // every attempt tries to load again
    try {
      db.Open();
      FAIL() << "no exception";
    } catch (const EFbError&) {
      FAIL() << "a database error instead of the loader's";
    } catch (const Exception& error) {
      EXPECT_EQ(error.Message(), "Can't load library gds32.dll ");
    }
    EXPECT_FALSE(db.Connected());
    EXPECT_EQ(db.ClientLibrary(), nullptr);
    EXPECT_EQ(ClientLibraryCount(), count);
  }
}

} // namespace
} // namespace od
