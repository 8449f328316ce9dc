// Which failures an order's request is tried again for, how long it waits
// before each try, and what the run's budget of retries allows: scripted
// answers, a fixed random source and a clock that only the test moves.
#include "run/Retry.h"

#include "net/SocketErrors.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace od {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

THttpPoolAnswer Status(int code, const std::string& firstLine = "", const std::string& retryAfter = "") {
  THttpPoolAnswer answer;
  answer.Result.Ok = true;
  answer.Result.ResultCode = code;
  answer.Result.StatusLine = "HTTP/1.1 " + std::to_string(code) + " Something";
  answer.Result.RetryAfter = retryAfter;
  if (!firstLine.empty()) answer.Lines.Add(firstLine);
  return answer;
}

THttpPoolAnswer Failed(int code) {
  THttpPoolAnswer answer;
  answer.Result = FailedHttpGet(code, SocketErrorText(code));
  return answer;
}

const THttpPoolAnswer kDate = Status(200, "05.03.2024 14:07:09");

// The service's answers to each URL in turn, and every wait the retries
// asked for.
struct TScript {
  std::map<std::string, std::deque<THttpPoolAnswer>> Answers;
  std::vector<milliseconds> Waits;
  std::vector<std::string> Asked;
  bool StopAtWait = false;
  std::chrono::system_clock::time_point Now = std::chrono::system_clock::from_time_t(1'800'000'000);

  TRetries::TSources Sources() {
    return {[] { return 0.5; }, [this] { return Now; },
            [this](milliseconds wait, const THttpWaitHook*) {
              Waits.push_back(wait);
              return !StopAtWait;
            }};
  }
  THttpFetch Fetch() {
    return [this](const std::string& url, const THttpGetOptions&) {
      Asked.push_back(url);
      std::deque<THttpPoolAnswer>& left = Answers.at(url);
      THttpPoolAnswer answer = left.front();
      if (left.size() > 1) left.pop_front();
      return answer;
    };
  }
};

bool ReadsAsDate(const std::string& line) { return line == "05.03.2024 14:07:09"; }

struct TRetryCase {
  const char* Name;
  int Retries;
  std::vector<THttpPoolAnswer> Answers;
  int Tries;
  std::vector<milliseconds> Waits;
  bool AnsweredOnRetry;
};

class RetryTest : public ::testing::TestWithParam<TRetryCase> {};

TEST_P(RetryTest, TriesAgainOnlyWhatMayPass) {
  const TRetryCase& c = GetParam();
  TScript script;
  script.Answers["order"] = {c.Answers.begin(), c.Answers.end()};
  TRetries retries(c.Retries, ReadsAsDate, script.Sources());
  const THttpPoolAnswer answer = retries.Get("order", THttpGetOptions{}, script.Fetch());
  EXPECT_EQ(answer.Tries, c.Tries);
  EXPECT_EQ(static_cast<int>(script.Asked.size()), c.Tries);
  EXPECT_EQ(script.Waits, c.Waits);
  EXPECT_EQ(retries.AnsweredOnRetry(), c.AnsweredOnRetry ? 1 : 0);
  EXPECT_FALSE(retries.BudgetSpent());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RetryTest,
    ::testing::Values(
        TRetryCase{"ServiceUnavailableWithRetryAfter", 3, {Status(503, "", "7"), kDate}, 2, {7s}, true},
        TRetryCase{
            "TooManyRequestsWaitsAGrowingRandomTime", 3, {Status(429), Status(429), kDate}, 3, {500ms, 1000ms}, true},
        TRetryCase{"ResetBeforeTheAnswer", 3, {Failed(WsaError::ConnectionReset), kDate}, 2, {500ms}, true},
        TRetryCase{"RefusedTimedOutAndCutShort",
                   3,
                   {Failed(WsaError::ConnectionRefused), Failed(WsaError::TimedOut),
                    Failed(WsaError::ConnectionAborted), kDate},
                   4,
                   {500ms, 1000ms, 2000ms},
                   true},
        TRetryCase{"ALookupThatFailedForNow", 1, {Failed(WsaError::TryAgain), kDate}, 2, {500ms}, true},
        TRetryCase{"KeepsTryingUpToTheLimit", 2, {Status(502)}, 3, {500ms, 1000ms}, false},
        TRetryCase{"NotFoundIsMeant", 3, {Status(404), kDate}, 1, {}, false},
        TRetryCase{"AnErrorStatusWithADateIsUsed", 3, {Status(500, "05.03.2024 14:07:09"), Status(404)}, 1, {}, false},
        TRetryCase{"OkWithoutADateIsMeant", 3, {Status(200, "Заказ не найден"), kDate}, 1, {}, false},
        TRetryCase{"ANameThatDoesNotExist", 3, {Failed(WsaError::HostNotFound), kDate}, 1, {}, false},
        TRetryCase{"AReasonNotKnownHere", 3, {Failed(WsaError::SystemNotReady), kDate}, 1, {}, false},
        TRetryCase{"NoRetriesAsked", 0, {Status(503, "", "1"), kDate}, 1, {}, false}),
    [](const ::testing::TestParamInfo<TRetryCase>& info) { return std::string(info.param.Name); });

TEST(Retries, ABudgetSpentEndsTheRetriesOfTheRun) {
  TScript script;
  TRetries retries(3, ReadsAsDate, script.Sources());
  // Ten retries plus one for every ten orders asked: three orders use nine,
  // the fourth gets one more and then none.
  std::vector<int> tries;
  for (const char* url : {"1", "2", "3", "4", "5"}) {
    script.Answers[url] = {Status(503)};
    tries.push_back(retries.Get(url, THttpGetOptions{}, script.Fetch()).Tries);
  }
  EXPECT_EQ(tries, (std::vector<int>{4, 4, 4, 2, 1}));
  EXPECT_TRUE(retries.BudgetSpent());
}

TEST(Retries, AStopDuringTheWaitEndsTheRequestAtOnce) {
  TScript script;
  script.StopAtWait = true;
  script.Answers["order"] = {Status(503, "", "600"), kDate};
  TRetries retries(3, ReadsAsDate, script.Sources());
  const THttpPoolAnswer answer = retries.Get("order", THttpGetOptions{}, script.Fetch());
  EXPECT_EQ(answer.Result.Failure, THttpFailure::Stopped);
  EXPECT_EQ(script.Asked.size(), 1u);
}

TEST(Retries, WhileAServiceAsksToWaitNoNewRequestStarts) {
  TScript script;
  script.Answers["1"] = {Status(429, "", "30"), kDate};
  script.Answers["2"] = {kDate};
  TRetries retries(3, ReadsAsDate, script.Sources());
  retries.Get("1", THttpGetOptions{}, script.Fetch());
  // The clock has not moved: order 2 waits out what is left of the pause
  // before its first request.
  retries.Get("2", THttpGetOptions{}, script.Fetch());
  EXPECT_EQ(script.Waits, (std::vector<milliseconds>{30s, 30s}));
  script.Now += 31s;
  script.Answers["3"] = {kDate};
  retries.Get("3", THttpGetOptions{}, script.Fetch());
  EXPECT_EQ(script.Waits.size(), 2u);
}

TEST(Retries, RetryAfterIsSecondsOrAnHttpDateCappedAtTenMinutes) {
  const auto now = std::chrono::system_clock::from_time_t(1'765'296'000); // Tue, 09 Dec 2025 16:00:00 GMT
  EXPECT_EQ(RetryAfterWait("120", now), milliseconds(120s));
  EXPECT_EQ(RetryAfterWait("Tue, 09 Dec 2025 16:00:30 GMT", now), milliseconds(30s));
  EXPECT_EQ(RetryAfterWait("Tue, 09 Dec 2025 15:00:00 GMT", now), milliseconds(0));
  EXPECT_EQ(RetryAfterWait("86400", now), milliseconds(10min));
  EXPECT_EQ(RetryAfterWait("99999999999", now), milliseconds(10min));
  EXPECT_EQ(RetryAfterWait("soon", now), std::nullopt);
  EXPECT_EQ(RetryAfterWait("-5", now), std::nullopt);
  EXPECT_EQ(RetryAfterWait("", now), std::nullopt);
}

TEST(SilentService, GivesUpAfterKOrdersInARowWithoutAnyAnswer) {
  TSilentService silence(3);
  const THttpGetResult refused = Failed(WsaError::ConnectionRefused).Result;
  const THttpGetResult timedOut = Failed(WsaError::TimedOut).Result;
  EXPECT_FALSE(silence.Note(refused));
  EXPECT_FALSE(silence.Note(timedOut));
  // Any answer at all means the service is up.
  EXPECT_FALSE(silence.Note(Status(404).Result));
  EXPECT_FALSE(silence.Note(refused));
  EXPECT_FALSE(silence.Note(Failed(WsaError::ConnectionReset).Result));
  EXPECT_TRUE(silence.Note(timedOut));
  TSilentService never(0);
  for (int i = 0; i < 100; ++i) EXPECT_FALSE(never.Note(refused));
}

} // namespace
} // namespace od
