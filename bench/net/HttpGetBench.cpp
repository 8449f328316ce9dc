// HttpGetLines against libcurl's easy interface on the same loopback server,
// in the same run: both make HTTP/1.0 GETs over a fresh connection per
// request and split the body into lines. Bodies of 30 bytes and 1 MiB.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include "net/HttpClient.h"

namespace {

// Answers every request on 127.0.0.1 with a fixed body of the size named in
// the path ("/30", "/1048576") and closes the connection.
class BodyServer {
public:
  BodyServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    ::listen(listener_, 64);
    socklen_t length = sizeof(address);
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    for (size_t size : {size_t{30}, size_t{1} << 20}) {
      std::string body;
      for (size_t i = 0; body.size() < size; ++i) body += (i % 40 == 39) ? '\n' : static_cast<char>('a' + i % 26);
      body.resize(size);
      responses_[std::to_string(size)] =
          "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n" + body;
    }
    thread_ = std::thread([this] { Run(); });
  }
  ~BodyServer() {
    stop_ = true;
    thread_.join();
    ::close(listener_);
  }
  int Port() const { return port_; }

private:
  void Run() {
    char buffer[8192];
    while (!stop_) {
      pollfd p{listener_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client == -1) continue;
      std::string request;
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(client, buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<size_t>(n));
      }
      const size_t start = request.find(" /") + 2;
      const auto found = responses_.find(request.substr(start, request.find(' ', start) - start));
      if (found != responses_.end()) {
        const std::string& response = found->second;
        for (size_t sent = 0; sent < response.size();) {
          const ssize_t n = ::send(client, response.data() + sent, response.size() - sent, MSG_NOSIGNAL);
          if (n <= 0) break;
          sent += static_cast<size_t>(n);
        }
      }
      ::close(client);
    }
  }

  int listener_ = -1;
  int port_ = 0;
  std::map<std::string, std::string> responses_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

BodyServer& Server() {
  static BodyServer server;
  return server;
}

std::string Url(std::int64_t size) {
  return "http://127.0.0.1:" + std::to_string(Server().Port()) + "/" + std::to_string(size);
}

void BM_HttpGetLines(benchmark::State& state) {
  const std::string url = Url(state.range(0));
  od::TStringList lines;
  for (auto _ : state) {
    if (!od::HttpGetLines(url, lines)) state.SkipWithError("request failed");
    benchmark::DoNotOptimize(lines.Count());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

size_t Collect(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

void BM_Curl(benchmark::State& state) {
  const std::string url = Url(state.range(0));
  od::TStringList lines;
  std::string body;
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
  curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  for (auto _ : state) {
    body.clear();
    if (curl_easy_perform(curl) != CURLE_OK) state.SkipWithError("request failed");
    lines.SetText(body);
    benchmark::DoNotOptimize(lines.Count());
  }
  curl_easy_cleanup(curl);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_HttpGetLines)->Arg(30)->Arg(1 << 20)->UseRealTime();
BENCHMARK(BM_Curl)->Arg(30)->Arg(1 << 20)->UseRealTime();

// Prints the usual table, then requests per second side by side and the
// ratio of the two clients for each body size.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const auto items = run.counters.find("items_per_second");
      if (items != run.counters.end()) rates_[run.benchmark_name()] = items->second.value;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const char* size : {"30", "1048576"}) {
      const double ours = rates_["BM_HttpGetLines/" + std::string(size) + "/real_time"];
      const double curl = rates_["BM_Curl/" + std::string(size) + "/real_time"];
      if (ours > 0 && curl > 0)
        std::printf("body %s bytes: HttpGetLines %.0f req/s, libcurl %.0f req/s, ratio %.2f\n", size, ours, curl,
                    ours / curl);
    }
  }

private:
  std::map<std::string, double> rates_;
};

} // namespace

int main(int argc, char** argv) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  curl_global_cleanup();
  return 0;
}
