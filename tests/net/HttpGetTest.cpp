#include "net/HttpClient.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "base/StopSignals.h"
#include "tests/net/ScriptedServer.h"

using namespace od;
using namespace od::test;
using namespace std::chrono_literals;

namespace {

std::string UrlOf(const ScriptedServer& server) { return "http://127.0.0.1:" + server.PortText() + "/dt"; }

struct Counted {
  std::atomic<int> calls{0};
  THttpWaitHook hook;
  explicit Counted(std::chrono::milliseconds interval, bool goOn = true) {
    hook.Interval = interval;
    hook.OnWait = [this, goOn] {
      ++calls;
      return goOn;
    };
  }
};

struct HookCase {
  const char* name;
  int pauseMs;     // before the answer
  int intervalMs;  // of the hook
  bool calledOnce; // at least once; otherwise never
};

class WaitHookTest : public testing::TestWithParam<HookCase> {};

TEST_P(WaitHookTest, IsCalledOnlyWhileTheAnswerIsLate) {
  ScriptedServer server({{{Pause(GetParam().pauseMs), Send("HTTP/1.0 200 OK\r\n\r\nanswer")}}});
  Counted counted(std::chrono::milliseconds(GetParam().intervalMs));
  THttpGetOptions options;
  options.Hook = &counted.hook;
  TStringList lines;
  const THttpGetResult result = HttpGetLines(UrlOf(server), lines, options);
  ASSERT_TRUE(result.Ok) << result.Error;
  EXPECT_EQ(lines.Text(), "answer\r\n");
  if (GetParam().calledOnce)
    EXPECT_GE(counted.calls, 3);
  else
    EXPECT_EQ(counted.calls, 0);
}

INSTANTIATE_TEST_SUITE_P(Answers, WaitHookTest,
                         testing::Values(HookCase{"Stalled", 300, 10, true}, HookCase{"Fast", 0, 5000, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A hook that says stop ends a connect that never completes as well as an
// answer that never comes, after its first interval and not the time-out.
TEST(WaitHook, ReturningFalseAbandonsTheRequestWith10004) {
  const UnansweredPort unanswered;
  ScriptedServer silent({{{Hold()}}});
  for (const std::string& url : {"http://127.0.0.1:" + unanswered.PortText() + "/dt", UrlOf(silent)}) {
    Counted counted(20ms, false);
    THttpGetOptions options;
    options.Hook = &counted.hook;
    TStringList lines;
    const auto start = std::chrono::steady_clock::now();
    const THttpGetResult result = HttpGetLines(url, lines, options);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << url;
    EXPECT_FALSE(result.Ok) << url;
    EXPECT_EQ(result.ErrorCode, 10004) << url;
    EXPECT_EQ(result.Error, "Interrupted system call") << url;
    EXPECT_EQ(result.Failure, THttpFailure::Stopped) << url;
    EXPECT_EQ(counted.calls, 1) << url;
    EXPECT_EQ(result.ResultCode, 0) << url;
    EXPECT_EQ(result.StatusLine, "") << url;
  }
}

TEST(HttpGetResult, GivesTheStatusOfAnErrorAnswer) {
  ScriptedServer server({{{Send("HTTP/1.0 400 Bad Request\r\nContent-Length: 3\r\n\r\nbad")}}});
  TStringList lines;
  const THttpGetResult result = HttpGetLines(UrlOf(server), lines, THttpGetOptions{});
  EXPECT_TRUE(result.Ok);
  EXPECT_EQ(result.ResultCode, 400);
  EXPECT_EQ(result.StatusLine, "HTTP/1.0 400 Bad Request");
  EXPECT_EQ(result.ErrorCode, 0);
  EXPECT_EQ(result.Failure, THttpFailure::None);
  EXPECT_EQ(lines.Text(), "bad\r\n");
}

// What an answer waiting for its turn keeps of its body: the first line,
// then only the lines with text, up to a bound, however many line breaks the
// body holds; a byte order mark is no part of the first line.
TEST(HttpGetFirstLine, KeepsTheFirstLineAndABoundedStartOfTheText) {
  std::string body = "\xEF\xBB\xBF" + std::string(200000, '\n');
  for (int i = 0; i < 100; ++i) body += "line of text " + std::to_string(i) + "\r\n";
  ScriptedServer server(
      {{{Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body)}}});
  TStringList lines;
  const THttpGetResult result = HttpGetFirstLine(UrlOf(server), lines, THttpGetOptions{});
  ASSERT_TRUE(result.Ok) << result.Error;
  ASSERT_GE(lines.Count(), 2);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1], "line of text 0");
  std::size_t after = 0;
  for (int i = 1; i < lines.Count(); ++i) after += lines[i].size();
  EXPECT_LT(lines.Count(), 100);
  EXPECT_LE(after, kHttpLinesAfterFirst + 20);
}

// The run acts on the reason, not on the socket's code: each kind of failure
// the socket meets for real comes out as its own reason, beside its code.
struct FailureCase {
  const char* name;
  std::vector<ServerStep> answer;
  int code;
  THttpFailure failure;
};

class HttpGetFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(HttpGetFailureTest, SaysWhyFromWhatThePeerDid) {
  ScriptedServer server({{GetParam().answer}});
  TStringList lines;
  const THttpGetResult result = HttpGetLines(UrlOf(server), lines, THttpGetOptions{});
  EXPECT_FALSE(result.Ok);
  EXPECT_EQ(result.ErrorCode, GetParam().code) << result.Error;
  EXPECT_EQ(result.Failure, GetParam().failure) << result.Error;
}

INSTANTIATE_TEST_SUITE_P(
    Peers, HttpGetFailureTest,
    testing::Values(
        FailureCase{"ClosedInsideTheHead", {Send("HTTP/1.0 200 OK\r\nX: y"), Close()}, 10054, THttpFailure::Reset},
        FailureCase{"ResetInsideTheBody",
                    {Send("HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nab"), Reset()},
                    10054,
                    THttpFailure::Reset},
        FailureCase{"TwoLengths",
                    {Send("HTTP/1.0 200 OK\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd")},
                    10053,
                    THttpFailure::CutShort},
        FailureCase{"BodyPastTheBound",
                    {Send("HTTP/1.0 200 OK\r\nContent-Length: 2000000\r\n\r\nab"), Hold()},
                    10055,
                    THttpFailure::TooLarge}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HttpGetFailure, SaysWhenNothingListensOrTheNameIsUnknown) {
  const RefusingPort refusing;
  TStringList lines;
  const THttpGetResult refused =
      HttpGetLines("http://127.0.0.1:" + refusing.PortText() + "/dt", lines, THttpGetOptions{});
  EXPECT_EQ(refused.ErrorCode, 10061) << refused.Error;
  EXPECT_EQ(refused.Failure, THttpFailure::Refused);
  const THttpGetResult unknown = HttpGetLines("http://orders.invalid/dt", lines, THttpGetOptions{});
  EXPECT_EQ(unknown.ErrorCode, 11001) << unknown.Error;
  EXPECT_EQ(unknown.Failure, THttpFailure::NameNotFound);
}

TEST(HttpTimeouts, AnswerWithinBoundsANeverAnsweringPeer) {
  ScriptedServer server({{{Hold()}}});
  THttpGetOptions options;
  options.Timeouts = THttpTimeouts::AnswerWithin(300);
  EXPECT_EQ(options.Timeouts.Wait, 300);
  EXPECT_EQ(options.Timeouts.Request, 300);
  TStringList lines;
  const auto start = std::chrono::steady_clock::now();
  const THttpGetResult result = HttpGetLines(UrlOf(server), lines, options);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_FALSE(result.Ok);
  EXPECT_EQ(result.ErrorCode, 10060);
  EXPECT_EQ(result.Error, "Connection timed out");
  EXPECT_EQ(result.Failure, THttpFailure::TimedOut);
}

TEST(HttpTimeouts, DefaultsAreTheClientsOwn) {
  THttpClient client;
  const THttpTimeouts timeouts = client.Timeouts();
  EXPECT_EQ(timeouts.Wait, 90000);
  EXPECT_EQ(timeouts.Request, kHttpRequestDeadline);
  EXPECT_EQ(timeouts.SendReady, 15000);
  EXPECT_EQ(timeouts.Drain, 1);
  EXPECT_EQ(timeouts.KeepAlive, 300);
}

// A stop request is for good in a process: the request runs in one of its
// own. The signal comes again and again until the request has ended, so that
// one of them finds it inside its wait.
TEST(HttpGetStop, ATerminationSignalDuringAStalledAnswerFailsWith10004) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        InstallStopSignalHandlers();
        ScriptedServer server({{{Hold()}}});
        const pthread_t requester = pthread_self();
        std::atomic<bool> done{false};
        std::thread signaller([&] {
          WaitUntil([&] { return server.Accepted() > 0; }, 10s);
          while (!done) {
            pthread_kill(requester, SIGTERM);
            std::this_thread::sleep_for(50ms);
          }
        });
        TStringList lines;
        const THttpGetResult result = HttpGetLines(UrlOf(server), lines, THttpGetOptions{});
        done = true;
        signaller.join();
        std::fprintf(stderr, "%d %s\n", result.ErrorCode, result.Error.c_str());
        std::_Exit(result.ErrorCode == 10004 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "10004 Interrupted system call");
}

} // namespace
