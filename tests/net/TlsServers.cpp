#include "tests/net/TlsServers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace od::test {

namespace {

int ListenOnLoopback(int& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd == -1 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 64) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("cannot listen on loopback");
  port = ntohs(address.sin_port);
  return fd;
}

// The next connection, or -1 once the listener is shut down.
int AcceptOne(int listener) {
  pollfd p{listener, POLLIN, 0};
  if (::poll(&p, 1, 10000) <= 0 || (p.revents & POLLIN) == 0) return -1;
  return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

} // namespace

bool RunCommand(const std::string& command) { return std::system(command.c_str()) == 0; }

TestPki::TestPki() {
  std::string pattern = "/tmp/orderdates-pki-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("no temp folder");
  dir_ = pattern;
  for (const char* ca : {"ca", "other-ca"})
    if (!RunCommand("cd " + dir_ + " && openssl req -x509 -newkey rsa:2048 -nodes -keyout " + ca + ".key -out " + ca +
                    ".pem -days 30 -subj '/CN=" + ca + " of the test' 2>/dev/null"))
      throw std::runtime_error("openssl could not make the CA");
}

TestPki::~TestPki() { RunCommand("rm -rf " + dir_); }

std::string TestPki::Make(const std::string& name, const std::string& altNames, int days, bool selfSigned) {
  std::ofstream(dir_ + "/" + name + ".ext") << "subjectAltName=" << altNames << "\n";
  const std::string sign = selfSigned ? "-signkey " + name + ".key" : "-CA ca.pem -CAkey ca.key -CAcreateserial";
  if (!RunCommand("cd " + dir_ + " && openssl req -newkey rsa:2048 -nodes -keyout " + name + ".key -out " + name +
                  ".csr -subj '/CN=" + name + "' 2>/dev/null && openssl x509 -req -in " + name + ".csr " + sign +
                  " -out " + name + ".pem -days " + std::to_string(days) + " -extfile " + name + ".ext 2>/dev/null"))
    throw std::runtime_error("openssl could not make " + name);
  return dir_ + "/" + name + ".pem";
}

StunnelFront::StunnelFront(const TestPki& pki, const std::string& name, int backendPort) {
  config_ = pki.Dir() + "/stunnel-" + name + "-" + std::to_string(backendPort) + ".conf";
  std::ofstream(config_) << "pid =\ndebug = 0\noutput = /dev/null\nconnect = 127.0.0.1:" << backendPort
                         << "\ncert = " << pki.Dir() << "/" << name << ".pem\nkey = " << pki.Dir() << "/" << name
                         << ".key\n";
  listener_ = ListenOnLoopback(port_);
  thread_ = std::thread([this] { Run(); });
}

StunnelFront::~StunnelFront() {
  stop_ = true;
  ::shutdown(listener_, SHUT_RDWR);
  thread_.join();
  ::close(listener_);
  for (const int child : children_) ::waitpid(child, nullptr, 0);
}

void StunnelFront::Run() {
  while (!stop_) {
    const int client = AcceptOne(listener_);
    if (client == -1) continue;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, client, 0);
    posix_spawn_file_actions_adddup2(&actions, client, 1);
    pid_t child = 0;
    char program[] = "stunnel";
    char* argv[] = {program, config_.data(), nullptr};
    if (posix_spawnp(&child, "stunnel", &actions, nullptr, argv, environ) == 0) children_.push_back(child);
    posix_spawn_file_actions_destroy(&actions);
    ::close(client);
  }
}

TlsTestServer::TlsTestServer(const TestPki& pki, const std::string& name, std::string answer, int connections,
                             bool closeNotice) {
  listener_ = ListenOnLoopback(port_);
  const std::string cert = pki.Dir() + "/" + name + ".pem";
  const std::string key = pki.Dir() + "/" + name + ".key";
  thread_ = std::thread([this, cert, key, answer = std::move(answer), connections, closeNotice] {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_file(ctx, cert.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM);
    for (int i = 0; i < connections; ++i) {
      const int client = AcceptOne(listener_);
      if (client == -1) break;
      SSL* ssl = SSL_new(ctx);
      SSL_set_fd(ssl, client);
      char request[4096];
      if (SSL_accept(ssl) == 1 && SSL_read(ssl, request, sizeof request) > 0) {
        SSL_write(ssl, answer.data(), static_cast<int>(answer.size()));
        if (closeNotice) SSL_shutdown(ssl);
      }
      SSL_free(ssl);
      ::close(client);
    }
    SSL_CTX_free(ctx);
  });
}

TlsTestServer::~TlsTestServer() {
  ::shutdown(listener_, SHUT_RDWR);
  thread_.join();
  ::close(listener_);
}

} // namespace od::test
