#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace od {

// What the restoration run works with: the connection, the three statements,
// the order service, and how the run ends. Nothing here is about how the run
// is shown.
struct TRunSettings {
  // The connection.
  std::string DBName;
  std::vector<std::string> DBParams;
  int SQLDialect = 3;
  int Timeout = 0;
  int WaitForRestoreConnect = 0;
  // The three statements, one source line per entry.
  std::vector<std::string> SQLCount;
  std::vector<std::string> SQLListZakaz;
  std::vector<std::string> SQLUpdateID;
  // Host (with optional ":port") of the order web service.
  std::string ServiceHost;
  // Up to this many requests to the order service at once, ahead of the
  // walk. 1: one at a time, on the run's own thread, each when its order's
  // first goods line is reached.
  int Parallel = 1;
  // The longest wait for one answer of the service, in milliseconds; 0 keeps
  // the client's own bounds (90 s a wait, two minutes a request).
  std::int32_t AnswerTimeout = 0;
  // Up to this many goods lines' UPDATEs go to the database in one round
  // trip. 1: one UPDATE a goods line.
  int Batch = 1;
  // The run ends with a rollback instead of its commit: a preview of what it
  // would change.
  bool DryRun = false;
};

} // namespace od
