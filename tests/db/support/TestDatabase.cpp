#include "tests/db/support/TestDatabase.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "db/ClientLibrary.h"
#include "db/FbErrors.h"
#include "db/ParamBlocks.h"

namespace od::test {

namespace {

std::string MakeRunDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orderdates-db-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a temporary folder");
  const std::string lock = pattern + "/lock";
  std::filesystem::create_directory(lock);
  // The engine reads these when the client library starts it: a lock folder
  // of our own keeps parallel test programs apart.
  setenv("FIREBIRD_LOCK", lock.c_str(), 1);
  setenv("FIREBIRD_TMP", pattern.c_str(), 1);
  setenv("ISC_USER", kTestUser, 1);
  setenv("ISC_PASSWORD", kTestPassword, 1);
  // A program under test whose standard error is not a terminal keeps its
  // report in the user's state folder: here, not in the user's home.
  setenv("XDG_STATE_HOME", (pattern + "/state").c_str(), 1);
  return pattern;
}

std::string gRunDirectory;

void RemoveRunDirectory() {
  std::error_code ignored;
  if (!gRunDirectory.empty()) std::filesystem::remove_all(gRunDirectory, ignored);
}

// Set up while the program starts, before anything can load the client
// library. Registered before the library registry exists, the clean-up runs
// after the registry has shut the engine down.
const bool gPrepared = [] {
  TestRunDirectory();
  return true;
}();

IIBClientLibrary& Library() { return *AcquireClientLibrary(kTestLibraryName); }

void Check(ISC_STATUS result) { CheckFbResult(Library(), result, nullptr); }

// A raw attachment with its own transaction, detached on every path.
class TRawSession {
public:
  explicit TRawSession(const std::string& path) {
    TStringList lines;
    for (const std::string& line : TestDBParams()) lines.Add(line);
    const std::string dpb = BuildDPB(lines);
    Check(Library().isc_attach_database(StatusVector(), static_cast<short>(path.size()), path.c_str(), &db_,
                                        static_cast<short>(dpb.size()), dpb.data()));
    static const char tpb[] = {isc_tpb_version3, isc_tpb_write, isc_tpb_read_committed, isc_tpb_rec_version,
                               isc_tpb_wait};
    struct {
      isc_db_handle* db;
      ISC_LONG length;
      const char* tpb;
    } teb{&db_, static_cast<ISC_LONG>(sizeof tpb), tpb};
    try {
      Check(Library().isc_start_multiple(StatusVector(), &tr_, 1, &teb));
    } catch (...) {
      Library().isc_detach_database(StatusVector(), &db_);
      throw;
    }
  }
  ~TRawSession() {
    if (tr_ != 0) Library().isc_rollback_transaction(StatusVector(), &tr_);
    if (db_ != 0) Library().isc_detach_database(StatusVector(), &db_);
    RestoreDefaultFpuControlWord();
  }
  void Commit() { Check(Library().isc_commit_transaction(StatusVector(), &tr_)); }

  isc_db_handle db_ = 0;
  isc_tr_handle tr_ = 0;
};

} // namespace

const std::string& TestRunDirectory() {
  static const std::string directory = [] {
    std::string made = MakeRunDirectory();
    gRunDirectory = made;
    std::atexit(RemoveRunDirectory);
    return made;
  }();
  return directory;
}

std::vector<std::string> TestDBParams(std::string_view charset) {
  return {std::string("user_name=") + kTestUser, std::string("password=") + kTestPassword,
          "lc_ctype=" + std::string(charset)};
}

TestDatabase::TestDatabase(std::string_view name, int dialect, std::string_view charset)
    : TestDatabase(std::string(), name, dialect, charset) {}

TestDatabase::TestDatabase(const OnServer& server, std::string_view name)
    : TestDatabase(server.Address + ":", name, 3, "WIN1251") {}

TestDatabase::TestDatabase(std::string prefix, std::string_view name, int dialect, std::string_view charset)
    : dialect_(dialect) {
  (void)gPrepared;
  static std::atomic<int> counter{0};
  file_ = TestRunDirectory() + "/" + std::string(name) + "-" + std::to_string(++counter) + ".fdb";
  path_ = prefix + file_;
  const std::string sql = "CREATE DATABASE '" + path_ + "' USER '" + kTestUser + "' PASSWORD '" + kTestPassword +
                          "' PAGE_SIZE 4096 DEFAULT CHARACTER SET " + std::string(charset);
  isc_db_handle db = 0;
  isc_tr_handle tr = 0;
  Check(Library().isc_dsql_execute_immediate(StatusVector(), &db, &tr, 0, sql.c_str(),
                                             static_cast<unsigned short>(dialect), nullptr));
  Library().isc_detach_database(StatusVector(), &db);
  RestoreDefaultFpuControlWord();
}

TestDatabase::~TestDatabase() {
  try {
    TRawSession session(path_);
    Library().isc_rollback_transaction(StatusVector(), &session.tr_);
    session.tr_ = 0;
    if (Library().isc_drop_database(StatusVector(), &session.db_) == 0) session.db_ = 0;
  } catch (...) {
  }
  std::error_code ignored;
  std::filesystem::remove(file_, ignored);
}

void TestDatabase::Execute(std::string_view sql) const {
  TRawSession session(path_);
  const std::string text(sql);
  Check(Library().isc_dsql_execute_immediate(StatusVector(), &session.db_, &session.tr_, 0, text.c_str(),
                                             static_cast<unsigned short>(dialect_), nullptr));
  session.Commit();
}

std::vector<std::vector<std::string>> TestDatabase::Query(std::string_view sql) const {
  TRawSession session(path_);
  IIBClientLibrary& library = Library();
  isc_stmt_handle statement = 0;
  Check(library.isc_dsql_alloc_statement2(StatusVector(), &session.db_, &statement));
  struct TFree {
    isc_stmt_handle& handle;
    ~TFree() {
      if (handle != 0) Library().isc_dsql_free_statement(StatusVector(), &handle, DSQL_drop);
    }
  } freeStatement{statement};

  constexpr int kMaxColumns = 32;
  constexpr short kTextLength = 1024;
  std::vector<char> area(XSQLDA_LENGTH(kMaxColumns), '\0');
  auto* out = reinterpret_cast<XSQLDA*>(area.data());
  out->version = SQLDA_VERSION1;
  out->sqln = kMaxColumns;
  const std::string text(sql);
  Check(library.isc_dsql_prepare(StatusVector(), &session.tr_, &statement, 0, text.c_str(),
                                 static_cast<unsigned short>(dialect_), out));
  if (out->sqld > kMaxColumns) throw std::runtime_error("too many columns for the test helper");

  // Every column is fetched as text: the server converts.
  const int columns = out->sqld;
  std::vector<std::vector<char>> buffers(static_cast<size_t>(columns), std::vector<char>(kTextLength + 2));
  std::vector<short> nulls(static_cast<size_t>(columns));
  for (int i = 0; i < columns; ++i) {
    XSQLVAR& var = out->sqlvar[i];
    var.sqltype = SQL_VARYING | 1;
    var.sqllen = kTextLength;
    var.sqlsubtype = 0;
    var.sqlscale = 0;
    var.sqldata = buffers[static_cast<size_t>(i)].data();
    var.sqlind = &nulls[static_cast<size_t>(i)];
  }
  Check(library.isc_dsql_execute(StatusVector(), &session.tr_, &statement, static_cast<unsigned short>(dialect_),
                                 nullptr));
  std::vector<std::vector<std::string>> rows;
  if (columns == 0) return rows;
  for (;;) {
    const ISC_STATUS fetched =
        library.isc_dsql_fetch(StatusVector(), &statement, static_cast<unsigned short>(dialect_), out);
    if (fetched == 100) break;
    Check(fetched);
    std::vector<std::string> row;
    for (int i = 0; i < columns; ++i) {
      if (nulls[static_cast<size_t>(i)] != 0) {
        row.emplace_back("<null>");
        continue;
      }
      const char* data = buffers[static_cast<size_t>(i)].data();
      const auto length =
          static_cast<unsigned short>(static_cast<unsigned char>(data[0]) | (static_cast<unsigned char>(data[1]) << 8));
      row.emplace_back(data + 2, std::min<size_t>(length, kTextLength));
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string TestDatabase::Scalar(std::string_view sql) const {
  const auto rows = Query(sql);
  if (rows.empty() || rows.front().empty()) return "<none>";
  return rows.front().front();
}

} // namespace od::test
