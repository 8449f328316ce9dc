#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/HttpGet.h"
#include "net/TlsLayer.h"
#include "tests/net/ScriptedServer.h"
#include "tests/net/TlsServers.h"

using namespace od;
using namespace od::test;

namespace {

const std::string kDate = "05.03.2024 14:07:09";
// Ends at the close, as the shop's script answers.
const std::string kAnswer = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + kDate + "\r\n";

ServerScript Answers(const std::string& bytes) { return ServerScript{{Send(bytes), Close()}}; }

class Tls : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    pki = new TestPki();
    const std::string here = "IP:127.0.0.1,DNS:localhost";
    pki->Make("good", here);
    pki->Make("other", "DNS:other.example");
    pki->Make("expired", here, -1);
    pki->Make("self", here, 30, true);
  }
  static void TearDownTestSuite() {
    delete pki;
    pki = nullptr;
  }
  void SetUp() override { Trust(pki->CaFile()); }
  static void Trust(const std::string& caFile) {
    std::string error;
    ASSERT_TRUE(UseTlsLayer(caFile, error)) << error;
  }
  static THttpGetOptions Quick() {
    THttpGetOptions options;
    options.Timeouts = THttpTimeouts::AnswerWithin(5000);
    return options;
  }

  static TestPki* pki;
};

TestPki* Tls::pki = nullptr;

struct CertificateCase {
  const char* name;
  const char* certificate;
  const char* host;
  bool otherCa;
  const char* words; // in the refusal; empty when the answer comes
};

class Certificates : public Tls, public ::testing::WithParamInterface<CertificateCase> {};

TEST_P(Certificates, AreCheckedByChainAndName) {
  const CertificateCase& c = GetParam();
  if (c.otherCa) Trust(pki->OtherCaFile());
  ScriptedServer backend({Answers(kAnswer)});
  StunnelFront front(*pki, c.certificate, backend.Port());
  TStringList lines;
  const THttpGetResult result =
      HttpGetLines(std::string("https://") + c.host + ":" + front.PortText() + "/dt?zakaz_id=1", lines, Quick());
  if (*c.words == '\0') {
    ASSERT_TRUE(result.Ok) << result.Error;
    EXPECT_EQ(result.ResultCode, 200);
    ASSERT_EQ(lines.Count(), 1);
    EXPECT_EQ(lines[0], kDate);
  } else {
    EXPECT_FALSE(result.Ok);
    EXPECT_EQ(result.ErrorCode, 12001);
    EXPECT_EQ(result.Failure, THttpFailure::Certificate);
    EXPECT_NE(result.Error.find(c.words), std::string::npos) << result.Error;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tls, Certificates,
    ::testing::Values(CertificateCase{"ByAddress", "good", "127.0.0.1", false, ""},
                      CertificateCase{"ByName", "good", "localhost", false, ""},
                      CertificateCase{"UnknownIssuer", "good", "127.0.0.1", true, "unknown authority"},
                      CertificateCase{"AnotherHost", "other", "127.0.0.1", false, "another host's certificate"},
                      CertificateCase{"Expired", "expired", "127.0.0.1", false, "expired"},
                      CertificateCase{"SelfSigned", "self", "127.0.0.1", false, "self-signed"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Tls, ABodyEndingAtTheCloseCountsOnlyWithTheCloseNotice) {
  TlsTestServer cut(*pki, "good", kAnswer, 1, false);
  TStringList lines;
  const THttpGetResult result = HttpGetLines("https://127.0.0.1:" + cut.PortText() + "/dt", lines, Quick());
  EXPECT_FALSE(result.Ok);
  EXPECT_EQ(result.ErrorCode, 12002);
  EXPECT_EQ(result.Failure, THttpFailure::Reset);
  EXPECT_EQ(lines.Count(), 0);
}

TEST_F(Tls, AFramedBodyCountsWhenTheServerDropsTheConnection) {
  TlsTestServer cut(*pki, "good",
                    "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(kDate.size()) + "\r\n\r\n" + kDate, 1,
                    false);
  TStringList lines;
  const THttpGetResult result = HttpGetLines("https://127.0.0.1:" + cut.PortText() + "/dt", lines, Quick());
  ASSERT_TRUE(result.Ok) << result.Error;
  EXPECT_EQ(lines[0], kDate);
}

TEST_F(Tls, AStalledHandshakeEndsByTheTimeoutOrTheStop) {
  for (const bool stop : {false, true}) {
    ScriptedServer silent({ServerScript{{Hold()}, false}});
    THttpGetOptions options;
    options.Timeouts = THttpTimeouts::AnswerWithin(300);
    const THttpWaitHook hook{std::chrono::milliseconds(10), [] { return false; }};
    if (stop) options.Hook = &hook;
    TStringList lines;
    const THttpGetResult result = HttpGetLines("https://127.0.0.1:" + silent.PortText() + "/dt", lines, options);
    EXPECT_EQ(result.Failure, stop ? THttpFailure::Stopped : THttpFailure::TimedOut) << result.Error;
  }
}

TEST_F(Tls, ARedirectToTheSameOrderElsewhereIsFollowed) {
  ScriptedServer backend({Answers(kAnswer)});
  StunnelFront front(*pki, "good", backend.Port());
  const std::string target = "https://127.0.0.1:" + front.PortText() + "/dt?zakaz_id=7";
  ScriptedServer plain({Answers("HTTP/1.1 301 Moved Permanently\r\nLocation: " + target +
                                "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n")});
  TStringList lines;
  const THttpGetResult result = HttpGetLines("http://127.0.0.1:" + plain.PortText() + "/dt?zakaz_id=7", lines, Quick());
  ASSERT_TRUE(result.Ok) << result.Error;
  EXPECT_EQ(result.ResultCode, 200);
  EXPECT_EQ(lines[0], kDate);
  EXPECT_EQ(result.MovedTo, target);
}

TEST_F(Tls, ARedirectFromHttpsToHttpIsNeverFollowed) {
  ScriptedServer plain({});
  ScriptedServer backend({Answers("HTTP/1.1 301 Moved Permanently\r\nLocation: http://127.0.0.1:" + plain.PortText() +
                                  "/dt?zakaz_id=7\r\nConnection: close\r\n\r\n")});
  StunnelFront front(*pki, "good", backend.Port());
  TStringList lines;
  const THttpGetResult result =
      HttpGetLines("https://127.0.0.1:" + front.PortText() + "/dt?zakaz_id=7", lines, Quick());
  EXPECT_FALSE(result.Ok);
  EXPECT_EQ(result.Failure, THttpFailure::Redirect);
  EXPECT_NE(result.Error.find("never followed"), std::string::npos) << result.Error;
  EXPECT_EQ(plain.Accepted(), 0);
}

TEST_F(Tls, LaterRequestsResumeTheSessionTheServerGave) {
  constexpr int kRequests = 3;
  TlsTestServer server(*pki, "good", kAnswer, kRequests, true);
  const TTlsCounts before = TlsCounts();
  for (int i = 0; i < kRequests; ++i) {
    TStringList lines;
    const THttpGetResult result = HttpGetLines("https://localhost:" + server.PortText() + "/dt", lines, Quick());
    ASSERT_TRUE(result.Ok) << result.Error;
  }
  const TTlsCounts after = TlsCounts();
  EXPECT_EQ(after.Handshakes - before.Handshakes, kRequests);
  EXPECT_EQ(after.Resumed - before.Resumed, kRequests - 1);
}

// Several workers at once share the one context.
TEST_F(Tls, ParallelRequestsShareTheContext) {
  constexpr int kThreads = 4;
  constexpr int kEach = 3;
  std::vector<ServerScript> scripts(kThreads * kEach, Answers(kAnswer));
  ScriptedServer backend(scripts);
  StunnelFront front(*pki, "good", backend.Port());
  const TTlsCounts before = TlsCounts();
  std::atomic<int> dated{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        TStringList lines;
        const THttpGetResult result = HttpGetLines("https://localhost:" + front.PortText() + "/dt", lines, Quick());
        if (result.Ok && lines.Count() == 1 && lines[0] == kDate) ++dated;
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(dated.load(), kThreads * kEach);
  EXPECT_EQ(TlsCounts().Handshakes - before.Handshakes, kThreads * kEach);
}

} // namespace
