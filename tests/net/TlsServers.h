#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

// Real TLS servers for the tests: certificates made with the openssl
// command, and stunnel in front of a scripted plain server, one stunnel per
// connection on a listening socket of the test's own (port 0).
namespace od::test {

// A temporary folder with a CA and server certificates made by openssl.
class TestPki {
public:
  TestPki();
  ~TestPki();
  TestPki(const TestPki&) = delete;
  TestPki& operator=(const TestPki&) = delete;

  // Makes NAME.pem and NAME.key: signed by the CA (or by itself when
  // selfSigned), for the subjectAltName given, valid for `days` (negative:
  // expired already).
  std::string Make(const std::string& name, const std::string& altNames, int days = 30, bool selfSigned = false);
  std::string CaFile() const { return dir_ + "/ca.pem"; }
  // A second CA that signed nothing the servers use.
  std::string OtherCaFile() const { return dir_ + "/other-ca.pem"; }
  const std::string& Dir() const { return dir_; }

private:
  std::string dir_;
};

// Runs a shell command; true when it exits 0.
bool RunCommand(const std::string& command);

// stunnel in inetd mode for every connection to Port(), relaying to
// 127.0.0.1:backendPort with the certificate NAME.pem/NAME.key of pki.
class StunnelFront {
public:
  StunnelFront(const TestPki& pki, const std::string& name, int backendPort);
  ~StunnelFront();
  StunnelFront(const StunnelFront&) = delete;
  StunnelFront& operator=(const StunnelFront&) = delete;

  std::string PortText() const { return std::to_string(port_); }

private:
  void Run();

  std::string config_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::vector<int> children_;
  std::thread thread_;
};

// A TLS server of the test's own, one context for all its connections (so
// that sessions resume): each answers one request with bytes and then ends
// with the close notice, or drops the connection without it.
class TlsTestServer {
public:
  TlsTestServer(const TestPki& pki, const std::string& name, std::string answer, int connections, bool closeNotice);
  ~TlsTestServer();
  TlsTestServer(const TlsTestServer&) = delete;
  TlsTestServer& operator=(const TlsTestServer&) = delete;

  std::string PortText() const { return std::to_string(port_); }

private:
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

} // namespace od::test
