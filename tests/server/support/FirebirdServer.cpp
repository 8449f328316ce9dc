#include "tests/server/support/FirebirdServer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#ifndef FIREBIRD_SYSTEM_DIR
#error "FIREBIRD_SYSTEM_DIR must name the distribution's Firebird 3 folder (lib, plugins, intl)"
#endif

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace od::test {

namespace {

constexpr char kServerProgram[] = "/usr/sbin/firebird";
constexpr char kIsqlProgram[] = "/usr/bin/isql-fb";
constexpr char kSecuritySql[] = "/usr/share/firebird/3.0/security.sql";

// How long the security database may take to make, the server to listen on
// its port, and the server to shut down when asked. Generous: the machine
// may be busy with other tests; a healthy start takes well under a second.
constexpr auto kSetupLimit = std::chrono::seconds(120);
constexpr auto kListenLimit = std::chrono::seconds(20);
constexpr auto kStopLimit = std::chrono::seconds(30);
constexpr int kPortAttempts = 5;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

// 'text' as an SQL string literal.
std::string SqlString(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    quoted += c;
    if (c == '\'') quoted += c;
  }
  return quoted + "'";
}

// A loopback port nobody had bound a moment ago.
int FreePort() {
  const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe == -1) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  const bool bound = ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                     ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  ::close(probe);
  if (!bound) throw std::runtime_error(std::string("cannot bind a loopback port: ") + std::strerror(errno));
  return ntohs(address.sin_port);
}

bool Accepts(int port) {
  const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe == -1) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  ::close(probe);
  return ok;
}

// Inodes of the sockets listening on the local TCP port, from the kernel's
// tables (IPv4 and IPv6).
std::set<unsigned long> ListeningSockets(int port) {
  std::set<unsigned long> inodes;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line); // column titles
    while (std::getline(in, line)) {
      // sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
      unsigned long inode = 0;
      if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode))
        continue;
      const auto colon = local.rfind(':');
      if (colon == std::string::npos || state != "0A") continue; // 0A: LISTEN
      if (std::stoi(local.substr(colon + 1), nullptr, 16) == port) inodes.insert(inode);
    }
  }
  return inodes;
}

// Inodes of the sockets the process holds open.
std::set<unsigned long> SocketsOf(pid_t pid) {
  std::set<unsigned long> inodes;
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return inodes;
  while (const dirent* entry = ::readdir(dir)) {
    char target[128];
    const std::string link = folder + "/" + entry->d_name;
    const ssize_t length = ::readlink(link.c_str(), target, sizeof(target) - 1);
    if (length <= 0) continue;
    target[length] = '\0';
    unsigned long inode = 0;
    if (std::sscanf(target, "socket:[%lu]", &inode) == 1) inodes.insert(inode);
  }
  ::closedir(dir);
  return inodes;
}

// Starts a program with exactly the given environment, standard input from
// /dev/null and both outputs appended to `output`. The child is killed when
// the test process dies, so that a test stopped by its time-out leaves no
// server behind.
pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& environment,
            const std::string& output) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& item : environment) envp.push_back(const_cast<char*>(item.c_str()));
  envp.push_back(nullptr);
  const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (in == -1 || out == -1) {
    if (in != -1) ::close(in);
    if (out != -1) ::close(out);
    throw std::runtime_error("cannot open the output file " + output);
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    // Nothing else of the test process goes along: an inherited listening
    // socket would pass for the server's own.
    ::close_range(3, ~0U, 0);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  const int forkError = errno;
  ::close(in);
  ::close(out);
  if (pid == -1) throw std::runtime_error(std::string("fork: ") + std::strerror(forkError));
  return pid;
}

// Waits for the child within `limit`; kills it when the time is up. Returns
// the wait status, or -1 when it had to be killed.
int WaitFor(pid_t pid, Clock::duration limit) {
  const auto deadline = Clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done == -1 && errno != EINTR) return -1;
    if (Clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &status, 0) == -1 && errno == EINTR) {
      }
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

} // namespace

FirebirdServer::FirebirdServer(std::string user, std::string password)
    : user_(std::move(user)), password_(std::move(password)) {
  for (const char* needed : {kServerProgram, kIsqlProgram, kSecuritySql, FIREBIRD_SYSTEM_DIR "/intl/libfbintl.so"}) {
    if (!fs::exists(needed))
      throw std::runtime_error(std::string(needed) + " is missing: scripts/install-deps installs firebird3.0-server");
  }
  std::string pattern = (fs::temp_directory_path() / "orderdates-fbserver-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create a temporary folder");
  folder_ = pattern;
  try {
    const fs::path folder(folder_);
    fs::create_directory(folder / "lock");
    fs::create_directory(folder / "tmp");
    // The server finds its libraries, plugins and messages under FIREBIRD,
    // beside its configuration: the system's, linked.
    const fs::path system(FIREBIRD_SYSTEM_DIR);
    for (const char* item : {"lib", "plugins", "UDF", "firebird.msg", "plugins.conf"})
      fs::create_symlink(system / item, folder / item);
    // The character sets' module is the exception: the engine refuses a
    // module reached through a symbolic link (it compares the path it asked
    // for with the one the loader reports), and every connection with
    // lc_ctype=WIN1251 would then fail with "CHARACTER SET WIN1251 is not
    // defined". A copy of the file is taken as it is.
    fs::create_directory(folder / "intl");
    fs::copy_file(system / "intl" / "libfbintl.so", folder / "intl" / "libfbintl.so");
    fs::create_symlink(system / "intl" / "fbintl.conf", folder / "intl" / "fbintl.conf");
    WriteConfiguration(0);

    // The security database, made by the embedded engine under this
    // configuration, so the user lands in this database and nowhere else.
    const std::string script = (folder / "security.sql").string();
    WriteFile(script, "CREATE DATABASE " + SqlString((folder / "security.fdb").string()) + ";\n" + "INPUT " +
                          SqlString(kSecuritySql) + ";\n" + "CREATE USER " + user_ + " PASSWORD " +
                          SqlString(password_) + " USING PLUGIN Srp;\nCOMMIT;\n");
    const std::string log = (folder / "isql.log").string();
    const pid_t isql = Spawn({kIsqlProgram, "-q", "-b", "-i", script},
                             {"FIREBIRD=" + folder_, "FIREBIRD_LOCK=" + (folder / "lock").string(),
                              "FIREBIRD_TMP=" + (folder / "tmp").string(), "ISC_USER=SYSDBA", "LANG=C"},
                             log);
    const int status = WaitFor(isql, kSetupLimit);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
      throw std::runtime_error("cannot make the security database: " + ReadFile(log));
  } catch (...) {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
    throw;
  }
}

FirebirdServer::~FirebirdServer() {
  Kill();
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

void FirebirdServer::WriteConfiguration(int port) const {
  const fs::path folder(folder_);
  WriteFile(folder / "firebird.conf", "RemoteServicePort = " + std::to_string(port) +
                                          "\n"
                                          "RemoteBindAddress = 127.0.0.1\n"
                                          "SecurityDatabase = " +
                                          (folder / "security.fdb").string() +
                                          "\n"
                                          "ServerMode = Super\n"
                                          "AuthServer = Srp\n"
                                          "UserManager = Srp\n");
  WriteFile(folder / "databases.conf", "security.db = " + (folder / "security.fdb").string() + "\n");
}

void FirebirdServer::Start() {
  if (Running()) return;
  for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
    if (StartOn(FreePort())) return;
  }
  throw std::runtime_error("no loopback port could be kept for the server:\n" + Output());
}

bool FirebirdServer::StartOn(int port) {
  WriteConfiguration(port);
  const fs::path folder(folder_);
  pid_ = Spawn({kServerProgram},
               {"FIREBIRD=" + folder_, "FIREBIRD_LOCK=" + (folder / "lock").string(),
                "FIREBIRD_TMP=" + (folder / "tmp").string(), "LANG=C"},
               (folder / "server.log").string());
  port_ = port;
  const auto deadline = Clock::now() + kListenLimit;
  while (Clock::now() < deadline) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("the server ended at its start:\n" + Output());
    }
    // A connection is accepted by whoever listens; the port is the server's
    // only when the listening socket is one it holds and the test process
    // does not (until its exec the child still shares the test's sockets).
    if (Accepts(port)) {
      const std::set<unsigned long> listening = ListeningSockets(port);
      const std::set<unsigned long> server = SocketsOf(pid_);
      const std::set<unsigned long> ours = SocketsOf(::getpid());
      for (unsigned long inode : listening) {
        if (server.count(inode) != 0 && ours.count(inode) == 0) return true;
      }
      if (!listening.empty()) break; // another process has the port
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // Another process took the port first: the server would go on retrying its
  // bind for a long while. Try elsewhere.
  Kill();
  return false;
}

void FirebirdServer::Kill() {
  if (!Running()) return;
  ::kill(pid_, SIGKILL);
  WaitFor(pid_, kStopLimit);
  pid_ = -1;
}

std::string FirebirdServer::Address() const { return "127.0.0.1/" + std::to_string(port_); }

std::string FirebirdServer::Connection(const std::string& file) const { return Address() + ":" + file; }

std::string FirebirdServer::Output() const { return ReadFile(fs::path(folder_) / "server.log"); }

} // namespace od::test
