#pragma once

// A private Firebird 3 server of the distribution (/usr/sbin/firebird) on a
// loopback port, for tests that talk to a server over TCP the way a shop's
// installation does. Everything it uses is its own: a folder holding its
// configuration, a security database with the user and password the test
// chooses, lock and temporary folders. Nothing of the system's server setup
// is touched and no system service is needed.

#include <sys/types.h>

#include <string>

namespace od::test {

class FirebirdServer {
public:
  // Prepares the folder, the configuration and the security database (with
  // the engine of the distribution, through isql-fb). Does not start the
  // server. Throws std::runtime_error, naming what is missing or failed.
  FirebirdServer(std::string user, std::string password);
  // Kills the server (if running) and removes the folder.
  ~FirebirdServer();
  FirebirdServer(const FirebirdServer&) = delete;
  FirebirdServer& operator=(const FirebirdServer&) = delete;

  // Starts the server on a loopback port that was free a moment ago and
  // returns once the server itself listens on it. A port taken by another
  // process in between is given up for another one. Throws with the server's
  // output when it cannot be started.
  void Start();
  // Kills the server (SIGKILL), as a crash or a power cut would, and reaps
  // it. Also how it is stopped at the end: started on its own like this, the
  // server does not reliably end on SIGTERM (it was seen staying in its main
  // loop for minutes), and a database it holds open survives a kill intact.
  void Kill();

  bool Running() const noexcept { return pid_ != -1; }
  int Port() const noexcept { return port_; }
  // "127.0.0.1/PORT", the server part of a connection string.
  std::string Address() const;
  // "127.0.0.1/PORT:file".
  std::string Connection(const std::string& file) const;
  // What the server wrote to its standard output and error, for failure
  // messages.
  std::string Output() const;

private:
  // One attempt on one port: true once listening, false when the port turned
  // out to be taken. Throws when the server fails for another reason.
  bool StartOn(int port);
  void WriteConfiguration(int port) const;

  std::string user_;
  std::string password_;
  std::string folder_;
  pid_t pid_ = -1;
  int port_ = 0;
};

} // namespace od::test
