#pragma once

// Test support for the database layer: fresh database files on the embedded
// engine in a per-run temporary folder, and a second raw attachment to set
// up and check data behind the components' backs.

#include <string>
#include <string_view>
#include <vector>

namespace od::test {

// Prepares the engine's environment once per process, before the client
// library is loaded: a private temporary folder, FIREBIRD_LOCK inside it,
// ISC_USER=SYSDBA. Returns the folder. Safe to call often.
const std::string& TestRunDirectory();

// The library name the connection is configured with in tests (maps to the
// platform's client library).
inline constexpr const char* kTestLibraryName = "gds32.dll";
inline constexpr const char* kTestUser = "SYSDBA";
inline constexpr const char* kTestPassword = "masterkey";

// The DBParams lines of the program's own connection, with the test password.
std::vector<std::string> TestDBParams(std::string_view charset = "WIN1251");

// A database file created for one test and dropped when the object goes.
class TestDatabase {
public:
  // Creates `<run dir>/<name>-<n>.fdb` with the given SQL dialect and
  // default character set, through CREATE DATABASE on the client API.
  explicit TestDatabase(std::string_view name = "test", int dialect = 3, std::string_view charset = "WIN1251");
  // The same file (dialect 3, WIN1251), made and reached through a running
  // server at `server` ("host/port"): Path() is then "<server>:<file>".
  struct OnServer {
    std::string Address;
  };
  TestDatabase(const OnServer& server, std::string_view name);
  // Reaches the file through a server now at another address (restarted on
  // another port).
  void MoveTo(const OnServer& server) { path_ = server.Address + ":" + file_; }
  ~TestDatabase();

  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  // What the client attaches to: the file, or the server's connection string.
  const std::string& Path() const noexcept { return path_; }
  const std::string& File() const noexcept { return file_; }
  int Dialect() const noexcept { return dialect_; }

  // Runs one statement on a separate attachment in its own transaction and
  // commits it (DDL or DML). Raises the layer's server error on failure.
  void Execute(std::string_view sql) const;
  // Runs a query on a separate attachment (own read-committed transaction)
  // and returns every row, each column converted to text by the server
  // ("<null>" for null).
  std::vector<std::vector<std::string>> Query(std::string_view sql) const;
  // The first column of the first row, or "<none>" without rows.
  std::string Scalar(std::string_view sql) const;

private:
  TestDatabase(std::string prefix, std::string_view name, int dialect, std::string_view charset);

  std::string file_;
  std::string path_;
  int dialect_;
};

} // namespace od::test
