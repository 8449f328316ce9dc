#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net/Proxy.h"

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
  // The order web service: HOST[:PORT] (plain http), or a URL
  // http[s]://HOST[:PORT][/PREFIX] without its user and password.
  std::string ServiceHost;
  // The user and password of the service's URL, sent as Authorization
  // Basic; never shown.
  std::string ServiceUser;
  std::string ServicePassword;
  // The only certificates trusted for the service (PEM); empty: the
  // system's trust store.
  std::string CaFile;
  // The proxies: the environment's, or --proxy and --noproxy in its place.
  TProxySettings Proxy;
  bool ProxyGiven = false;
  bool NoProxyGiven = false;
  // Up to this many requests to the order service at once, ahead of the
  // walk. 1: one at a time, on the run's own thread, each when its order's
  // first goods line is reached.
  int Parallel = 1;
  // The longest wait for one answer of the service, in milliseconds; 0 keeps
  // the client's own bounds (90 s a wait, two minutes a request).
  std::int32_t AnswerTimeout = 0;
  // How many more times an order's request is made when it failed for a
  // reason that may pass (0: never).
  int Retry = 0;
  // After this many orders in a row without any answer the service is given
  // up on and no more orders are asked (0: never).
  int GiveUpAfter = 10;
  // Up to this many goods lines' UPDATEs go to the database in one round
  // trip. 1: one UPDATE a goods line.
  int Batch = 1;
  // The run ends with a rollback instead of its commit: a preview of what it
  // would change.
  bool DryRun = false;
  // The count and the list take only goods lines without a send date
  // (LimitToMissingDates has edited them).
  bool OnlyMissing = false;
  // The settings files these settings were read from, for the report to
  // name; in the system's bytes.
  std::vector<std::string> SettingsFiles;
};

} // namespace od
