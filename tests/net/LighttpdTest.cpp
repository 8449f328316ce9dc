// The client against a real third-party web server: lighttpd serving static
// files from a temporary folder on a loopback port.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "net/HttpClient.h"

extern char** environ;

using namespace od;
namespace fs = std::filesystem;

namespace {

constexpr char kLighttpd[] = "/usr/sbin/lighttpd";

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out << bytes;
}

// A port that was free a moment ago; the server start is retried if another
// process takes it in between.
int FreePort() {
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t length = sizeof(address);
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(probe);
  return ntohs(address.sin_port);
}

bool Accepts(int port) {
  const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool ok = ::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  ::close(probe);
  return ok;
}

class LighttpdServer {
public:
  explicit LighttpdServer(const fs::path& root) : folder_(root) {
    for (int attempt = 0; attempt < 5 && pid_ == -1; ++attempt) Start();
  }
  ~LighttpdServer() { Stop(); }
  LighttpdServer(const LighttpdServer&) = delete;
  LighttpdServer& operator=(const LighttpdServer&) = delete;

  bool Running() const { return pid_ != -1; }
  int Port() const { return port_; }
  std::string Log() const { return ReadFile(folder_ / "error.log"); }
  // The server writes out its access log when it ends.
  std::string AccessLog() {
    Stop();
    return ReadFile(folder_ / "access.log");
  }

private:
  void Start() {
    port_ = FreePort();
    std::string config = ReadFile(fs::path(NET_TEST_DATA_DIR) / "lighttpd.conf.in");
    auto fill = [&config](const std::string& key, const std::string& value) {
      config.replace(config.find(key), key.size(), value);
    };
    fill("@ROOT@", (folder_ / "www").string());
    fill("@PORT@", std::to_string(port_));
    fill("@LOG@", (folder_ / "error.log").string());
    fill("@ACCESSLOG@", (folder_ / "access.log").string());
    const fs::path configPath = folder_ / "lighttpd.conf";
    WriteFile(configPath, config);
    const std::string file = configPath.string();
    char* argv[] = {const_cast<char*>(kLighttpd), const_cast<char*>("-D"), const_cast<char*>("-f"),
                    const_cast<char*>(file.c_str()), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, kLighttpd, nullptr, nullptr, argv, environ) != 0) return;
    pid_ = pid;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (Accepts(port_)) return;
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) break; // it exited: port taken or bad config
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Stop();
  }

  void Stop() {
    if (pid_ == -1) return;
    kill(pid_, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
  }

  fs::path folder_;
  int port_ = 0;
  pid_t pid_ = -1;
};

class LighttpdTest : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(kLighttpd)) << "lighttpd is installed by scripts/install-deps";
    std::string pattern = (fs::temp_directory_path() / "orderdates-lighttpd-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    fs::create_directory(folder_ / "www");
    small_ = "31.01.2024 10:15:00\r\nsecond line\r\n";
    WriteFile(folder_ / "www" / "small.txt", small_);
    big_.reserve(5 * 1024 * 1024 + 64);
    for (int i = 0; big_.size() < 5 * 1024 * 1024; ++i) big_ += "line " + std::to_string(i) + " of the big body\r\n";
    WriteFile(folder_ / "www" / "big.txt", big_);
    server_ = std::make_unique<LighttpdServer>(folder_);
    ASSERT_TRUE(server_->Running()) << server_->Log();
    base_ = "http://127.0.0.1:" + std::to_string(server_->Port()) + "/";
  }

  void TearDown() override {
    server_.reset();
    std::error_code ignored;
    if (!folder_.empty()) fs::remove_all(folder_, ignored);
  }

  static std::vector<std::string> SplitLines(const std::string& text) {
    TStringList list;
    list.SetText(text);
    return {list.begin(), list.end()};
  }

  fs::path folder_;
  std::string small_;
  std::string big_;
  std::string base_;
  std::unique_ptr<LighttpdServer> server_;
};

TEST_F(LighttpdTest, SmallAndBigBodiesArriveExactly) {
  for (const auto& [name, body] : {std::pair{"small.txt", &small_}, std::pair{"big.txt", &big_}}) {
    THttpClient client;
    client.Timeout = 20000;
    ASSERT_TRUE(client.PerformRequest("GET", base_ + name)) << client.Sock->LastErrorCode();
    EXPECT_EQ(client.ResultCode, 200);
    EXPECT_EQ(client.MimeType, "text/plain");
    EXPECT_TRUE(client.Document.Bytes() == *body) << name << ": " << client.Document.Size() << " bytes";

    // The one-call GET takes bodies up to its own, smaller bound only.
    TStringList lines;
    const bool within = static_cast<std::int64_t>(body->size()) <= kHttpGetLinesMaxBody;
    ASSERT_EQ(HttpGetLines(base_ + name, lines), within) << name;
    if (within) {
      EXPECT_TRUE(std::vector<std::string>(lines.begin(), lines.end()) == SplitLines(*body)) << name;
    }
  }
}

TEST_F(LighttpdTest, MissingFileIsACompletedExchange) {
  THttpClient client;
  client.Timeout = 20000;
  ASSERT_TRUE(client.PerformRequest("GET", base_ + "server_scripts/get_zakaz_dt.php?zakaz_id=1"));
  EXPECT_EQ(client.ResultCode, 404);
  EXPECT_EQ(client.ResultString, "Not Found");
}

TEST_F(LighttpdTest, Http11KeepAliveCarriesRequestsOverOneConnection) {
  THttpClient client;
  client.Timeout = 20000;
  client.Protocol = "1.1";
  ASSERT_TRUE(client.PerformRequest("GET", base_ + "small.txt"));
  EXPECT_EQ(client.Document.Bytes(), small_);
  // Headers and Document now hold the response; before the next request a
  // caller empties them, or they would go out as request lines and body.
  client.Headers.Clear();
  client.Document.Clear();
  ASSERT_TRUE(client.PerformRequest("HEAD", base_ + "big.txt"));
  EXPECT_EQ(client.ResultCode, 200);
  EXPECT_EQ(client.Document.Size(), 0u);
  client.Headers.Clear();
  client.Document.Clear();
  ASSERT_TRUE(client.PerformRequest("GET", base_ + "small.txt"));
  EXPECT_EQ(client.Document.Bytes(), small_);
  // The server's own record: all three came over one connection, as its
  // first, second and third request.
  const std::vector<std::string> log = SplitLines(server_->AccessLog());
  ASSERT_EQ(log.size(), 3u) << server_->Log();
  const std::string port = log[0].substr(0, log[0].find(' '));
  EXPECT_EQ(log, (std::vector<std::string>{port + " 0 GET /small.txt HTTP/1.1", port + " 1 HEAD /big.txt HTTP/1.1",
                                           port + " 2 GET /small.txt HTTP/1.1"}));
}

} // namespace
