#include "net/HttpClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "tests/net/ScriptedServer.h"

using namespace od;
using namespace od::test;

namespace {

// Every call with a client of its own, all at once: each answer reaches
// exactly one caller, whole. The server takes the connections one after the
// other, in the order they come.
TEST(HttpGetLinesThreads, ParallelCallsEachGetTheirAnswer) {
  constexpr int kThreads = 8;
  std::vector<ServerScript> scripts;
  std::vector<std::string> expected;
  for (int i = 0; i < kThreads; ++i) {
    expected.push_back("answer " + std::to_string(i));
    scripts.push_back({{Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(expected.back().size()) +
                             "\r\n\r\n" + expected.back())}});
  }
  ScriptedServer server(std::move(scripts));
  const std::string url = "http://127.0.0.1:" + server.PortText() + "/dt";
  std::vector<THttpGetResult> results(kThreads);
  std::vector<std::string> answers(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      TStringList lines;
      results[i] = HttpGetLines(url, lines, THttpGetOptions{});
      if (lines.Count() == 1) answers[i] = lines.Get(0);
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_TRUE(results[i].Ok) << i << ": " << results[i].Error;
    EXPECT_EQ(results[i].ResultCode, 200) << i;
  }
  std::sort(answers.begin(), answers.end());
  EXPECT_EQ(answers, expected);
}

} // namespace
