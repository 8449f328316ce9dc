// The demo's order web service: answers the order path with the send
// date-time of the order from a table file, 404 for any other order.
//
//   order-service --table FILE [--port N] [--delay-ms N]
//
// Each table line is "<order number> <date-time text>"; the text is sent as
// the answer's first line as it stands. The port is printed on its own line
// once the service listens; it serves until SIGINT or SIGTERM.
#include "demo/OrderService.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <thread>

namespace {

int Usage() {
  std::cerr << "usage: order-service --table FILE [--port N] [--delay-ms N]\n";
  return 2;
}

bool ParseNumber(const char* text, long max, long& value) {
  char* end = nullptr;
  value = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && value >= 0 && value <= max;
}

} // namespace

int main(int argc, char** argv) {
  std::string tablePath;
  long port = 0;
  long delayMs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return Usage();
    if (arg == "--table") {
      tablePath = argv[++i];
    } else if (arg == "--port") {
      if (!ParseNumber(argv[++i], 65535, port)) return Usage();
    } else if (arg == "--delay-ms") {
      if (!ParseNumber(argv[++i], 60000, delayMs)) return Usage();
    } else {
      return Usage();
    }
  }
  if (tablePath.empty()) return Usage();

  std::map<std::string, std::string> table;
  std::ifstream file(tablePath);
  if (!file) {
    std::cerr << "order-service: cannot read " << tablePath << "\n";
    return 1;
  }
  for (std::string line; std::getline(file, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t space = line.find_first_of(" \t");
    if (space == std::string::npos) continue;
    table[line.substr(0, space)] = line.substr(line.find_first_not_of(" \t", space));
  }

  // Blocked before the service thread starts, so that only sigwait sees them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    od::demo::TOrderService service(
        [&](const std::string& target) {
          if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
          const auto found = table.find(od::demo::OrderOfTarget(target));
          if (found == table.end()) return od::demo::TOrderService::TextReply(404, "Not found\r\n");
          return od::demo::TOrderService::TextReply(200, found->second + "\r\n");
        },
        static_cast<std::uint16_t>(port));
    std::cout << service.Port() << std::endl;
    int received = 0;
    sigwait(&stopSignals, &received);
    service.Stop();
    std::cerr << "order-service: " << service.RequestCount() << " requests served\n";
  } catch (const std::exception& e) {
    std::cerr << "order-service: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
