#include "net/BlockSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/MemoryStream.h"
#include "tests/net/ScriptedServer.h"

using namespace od;
using namespace od::test;

namespace {

// A server that talks first: no request is awaited.
ServerScript Talk(std::vector<ServerStep> steps) { return ServerScript{std::move(steps), false}; }

// --- address texts -------------------------------------------------------------

class IPv4TextTest : public testing::TestWithParam<std::pair<const char*, bool>> {};
TEST_P(IPv4TextTest, Recognises) { EXPECT_EQ(IsIPv4Text(GetParam().first), GetParam().second) << GetParam().first; }
INSTANTIATE_TEST_SUITE_P(Texts, IPv4TextTest,
                         testing::Values(std::pair{"1.2.3.4", true}, std::pair{"0.0.0.0", true},
                                         std::pair{"255.255.255.255", true}, std::pair{" 1 . 2 .3. 4 ", true},
                                         std::pair{"1.2.3", false}, std::pair{"1.2.3.4.5", false},
                                         std::pair{"256.1.1.1", false}, std::pair{"1..2.3", false},
                                         std::pair{"a.b.c.d", false}, std::pair{"", false},
                                         std::pair{"1.2.3.-4", false}, std::pair{"1.2.3.4.", false}));

class IPv6TextTest : public testing::TestWithParam<std::pair<const char*, bool>> {};
TEST_P(IPv6TextTest, Recognises) { EXPECT_EQ(IsIPv6Text(GetParam().first), GetParam().second) << GetParam().first; }
INSTANTIATE_TEST_SUITE_P(Texts, IPv6TextTest,
                         testing::Values(std::pair{"::", true}, std::pair{"::1", true}, std::pair{"fe80::1%4", true},
                                         std::pair{"2001:db8:0:0:0:0:0:1", true}, std::pair{"1:2:3:4:5:6:7:8", true},
                                         std::pair{"cafe", false}, std::pair{"1::", false}, std::pair{"1::2::3", false},
                                         std::pair{"1:2:3:4:5:6:7:8:9", false}, std::pair{"12345::1", false},
                                         std::pair{"fe80::1%zz", false}, std::pair{"g::1", false}, std::pair{"", false},
                                         std::pair{"127.0.0.1", false}, std::pair{"localhost", false}));

// --- error texts and codes ------------------------------------------------------

class ErrorDescTest : public testing::TestWithParam<std::pair<int, const char*>> {};
TEST_P(ErrorDescTest, Text) { EXPECT_EQ(TBlockSocket::GetErrorDesc(GetParam().first), GetParam().second); }
INSTANTIATE_TEST_SUITE_P(Codes, ErrorDescTest,
                         testing::Values(std::pair{0, ""}, std::pair{10054, "Connection reset by peer"},
                                         std::pair{10059, "Too many references:can't splice"},
                                         std::pair{11002, "Non authoritative - host not found"},
                                         std::pair{12345, "Other Winsock error (12345)"},
                                         std::pair{-1, "Other Winsock error (-1)"}));

TEST(ErrnoMapping, EverySystemErrorGetsACodeWithAText) {
  std::vector<int> bare;
  for (int error = 1; error <= EHWPOISON; ++error)
    if (TBlockSocket::GetErrorDesc(ErrnoToWsaError(error)).rfind("Other Winsock error", 0) == 0) bare.push_back(error);
  EXPECT_EQ(bare, std::vector<int>{}) << "errno values that reach callers as bare numbers";
}

// --- the read-ahead buffer ------------------------------------------------------

TEST(ReadAhead, TakesFromTheFrontAndHandsOutTheRest) {
  TReadAhead bytes;
  EXPECT_TRUE(bytes.empty());
  bytes.Assign("xxabcdef", 2);
  EXPECT_EQ(bytes, "abcdef");
  EXPECT_EQ(bytes.size(), 6u);
  bytes.Consume(2);
  EXPECT_EQ(bytes, "cdef");
  EXPECT_EQ(bytes.TakeAll(), "cdef");
  EXPECT_TRUE(bytes.empty());
  bytes = std::string(200000, 'z');
  for (int i = 0; i < 199999; ++i) bytes.Consume(1);
  EXPECT_EQ(bytes, "z");
  bytes.Consume(5);
  EXPECT_TRUE(bytes.empty());
  bytes.Assign("abc", 10);
  EXPECT_TRUE(bytes.empty());
}

// --- line, packet and exact reads ----------------------------------------------

struct ReadCase {
  const char* name;
  std::vector<ServerStep> steps;
  bool convertLineEnd;
  std::vector<std::string> lines;
  int finalError;        // of one more ReceiveLine after the lines
  std::string readAhead; // left after that
};

class LineReadTest : public testing::TestWithParam<ReadCase> {};

TEST_P(LineReadTest, Reads) {
  const ReadCase& c = GetParam();
  ScriptedServer server({Talk(c.steps)});
  TTCPBlockSocket socket;
  socket.ConvertLineEnd = c.convertLineEnd;
  socket.ConnectTo("127.0.0.1", server.PortText());
  ASSERT_EQ(socket.LastErrorCode(), 0);
  for (const std::string& expected : c.lines) {
    EXPECT_EQ(socket.ReceiveLine(5000), expected);
    EXPECT_EQ(socket.LastErrorCode(), 0);
  }
  EXPECT_EQ(socket.ReceiveLine(5000), "");
  EXPECT_EQ(socket.LastErrorCode(), c.finalError);
  EXPECT_EQ(socket.ReadAhead, c.readAhead);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LineReadTest,
    testing::Values(
        ReadCase{
            "CrThenLfInNextPacket", {Send("abc\r"), Pause(30), Send("\ndef\r\n")}, true, {"abc", "def"}, 10054, ""},
        ReadCase{"LfThenCrInNextPacket", {Send("abc\n"), Pause(30), Send("\rdef\n")}, true, {"abc", "def"}, 10054, ""},
        ReadCase{"LfCrIsOneBreak", {Send("a\n\rb\r\n")}, true, {"a", "b"}, 10054, ""},
        ReadCase{"TwoLfAreTwoBreaks", {Send("a\n\nb\r\n")}, true, {"a", "", "b"}, 10054, ""},
        ReadCase{"CrCrAreTwoBreaks", {Send("a\r\rb\r")}, true, {"a", "", "b"}, 10054, ""},
        ReadCase{
            "CrLfSplitByteByByte",
            {Send("x"), Pause(20), Send("y"), Pause(20), Send("\r"), Pause(20), Send("\n"), Pause(20), Send("z\n")},
            true,
            {"xy", "z"},
            10054,
            ""},
        ReadCase{"LoneLfKeptWithoutConversion",
                 {Send("a\nb\r\nc\r"), Pause(30), Send("\n")},
                 false,
                 {"a\nb", "c"},
                 10054,
                 ""},
        ReadCase{"UnterminatedLineStaysInReadAhead", {Send("ok\r\nabc")}, true, {"ok"}, 10054, "abc"}),
    [](const auto& info) { return std::string(info.param.name); });

class SocketTest : public testing::Test {
protected:
  void Connect(TBlockSocket& socket, ScriptedServer& server) {
    socket.ConnectTo("127.0.0.1", server.PortText());
    ASSERT_EQ(socket.LastErrorCode(), 0);
  }
};

TEST_F(SocketTest, PacketAfterLineReturnsTheRestFirst) {
  ScriptedServer server({Talk({Send("line\r\nrest"), Hold()})});
  TTCPBlockSocket socket;
  Connect(socket, server);
  EXPECT_EQ(socket.ReceiveLine(5000), "line");
  EXPECT_EQ(socket.ReceivePacket(5000), "rest");
  EXPECT_EQ(socket.ReceivePacket(50), "");
  EXPECT_EQ(socket.LastErrorCode(), 10060);
  EXPECT_EQ(socket.LastErrorText(), "Connection timed out");
}

TEST_F(SocketTest, PeerCloseEndsAWaitingPacketRead) {
  ScriptedServer server({Talk({Pause(30), Close()})});
  TTCPBlockSocket socket;
  Connect(socket, server);
  EXPECT_EQ(socket.ReceivePacket(5000), "");
  EXPECT_EQ(socket.LastErrorCode(), 10054);
  EXPECT_EQ(socket.LastErrorText(), "Connection reset by peer");
}

TEST_F(SocketTest, MaxLineLengthCountsEverythingGathered) {
  ScriptedServer server({Talk({Send("0123456789abc\r\nrest"), Hold()})});
  TTCPBlockSocket socket;
  socket.ConvertLineEnd = true;
  socket.MaxLineLength = 10;
  Connect(socket, server);
  EXPECT_EQ(socket.ReceiveLine(5000), "");
  EXPECT_EQ(socket.LastErrorCode(), 10055);
  EXPECT_EQ(socket.ReadAhead, "rest");
}

TEST_F(SocketTest, ExactReadsKeepTheRestInReadAhead) {
  ScriptedServer server({Talk({Send("abcdefgh"), Pause(20), Send("ij")})});
  TTCPBlockSocket socket;
  Connect(socket, server);
  EXPECT_EQ(socket.ReceiveExactText(3, 5000), "abc");
  EXPECT_EQ(socket.ReadAhead, "defgh");
  char buffer[7] = {};
  EXPECT_EQ(socket.ReceiveExact(buffer, 7, 5000), 7);
  EXPECT_EQ(std::string(buffer, 7), "defghij");
  EXPECT_EQ(socket.ReceiveExactText(0, 5000), "");
  EXPECT_EQ(socket.ReceiveExactText(5, 5000), "");
  EXPECT_EQ(socket.LastErrorCode(), 10054);
}

TEST_F(SocketTest, ReceiveToStreamInPieces) {
  ScriptedServer server({Talk({Send("0123"), Pause(20), Send("456789XY")})});
  TTCPBlockSocket socket;
  socket.SendMaxChunk = 4;
  Connect(socket, server);
  TMemoryStream stream;
  socket.ReceiveToStream(stream, 5000, 10);
  EXPECT_EQ(socket.LastErrorCode(), 0);
  EXPECT_EQ(stream.Bytes(), "0123456789");
  EXPECT_EQ(socket.ReadAhead, "XY");
}

TEST_F(SocketTest, SendsInChunksAndCountsThem) {
  ScriptedServer server({ServerScript{{Hold()}, false}});
  std::vector<std::string> writes; // outlives the socket, which reports its close
  TTCPBlockSocket socket;
  socket.SendMaxChunk = 4;
  socket.OnStatus = [&](TBlockSocket&, THookSocketReason reason, const std::string& text) {
    if (reason == HR_WriteCount) writes.push_back(text);
  };
  Connect(socket, server);
  EXPECT_EQ(socket.SendBytes("0123456789", 10), 10);
  EXPECT_EQ(writes, (std::vector<std::string>{"4", "4", "2"}));
  EXPECT_EQ(socket.BytesSent(), 10);
  socket.CloseConnection();
  EXPECT_EQ(server.Requests()[0], "0123456789");
}

TEST_F(SocketTest, SendRateLimitWaitsBetweenPieces) {
  ScriptedServer server({ServerScript{{Hold()}, false}});
  std::vector<std::string> waits;
  TTCPBlockSocket socket;
  socket.SendMaxChunk = 5;
  socket.MaxSendBandwidth = 10; // bytes per second: 500 ms per piece
  socket.OnStatus = [&](TBlockSocket&, THookSocketReason reason, const std::string& text) {
    if (reason == HR_Wait) waits.push_back(text);
  };
  Connect(socket, server);
  EXPECT_EQ(socket.SendBytes("0123456789", 10), 10);
  ASSERT_EQ(waits.size(), 1u);
  EXPECT_GT(std::stoi(waits[0]), 0);
  EXPECT_LE(std::stoi(waits[0]), 500);
}

TEST_F(SocketTest, APeerThatNeverReadsCannotHoldASendForever) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_NE(listener, -1);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  TTCPBlockSocket socket;
  socket.ConnectTimeout = 200;
  socket.NonblockSendTimeout = 200;
  socket.ConnectTo("127.0.0.1", std::to_string(ntohs(address.sin_port)));
  ASSERT_EQ(socket.LastErrorCode(), 0);
  int peer = ::accept(listener, nullptr, nullptr);
  ASSERT_NE(peer, -1);
  // The peer never reads. Should the send hang anyway, the peer resets the
  // connection after a while, and the send fails with another code.
  std::mutex mutex;
  std::condition_variable sent;
  bool done = false;
  std::thread guard([&] {
    std::unique_lock lock(mutex);
    if (sent.wait_for(lock, std::chrono::seconds(30), [&] { return done; })) return;
    const linger hard{1, 0};
    ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(peer);
    peer = -1;
  });
  const std::string bytes(32 << 20, 'x');
  socket.SendBytes(bytes.data(), static_cast<int>(bytes.size()));
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  sent.notify_one();
  guard.join();
  EXPECT_EQ(socket.LastErrorCode(), WsaError::TimedOut);
  socket.AbortConnection();
  if (peer != -1) ::close(peer);
  ::close(listener);
}

TEST_F(SocketTest, SendingToAResetPeerIsAnErrorNotASignal) {
  ScriptedServer server({Talk({Reset()})});
  TTCPBlockSocket socket;
  Connect(socket, server);
  ASSERT_TRUE(WaitUntil([&] { return socket.WaitReadable(0); }, std::chrono::seconds(10)));
  const std::string block(100000, 'x');
  for (int i = 0; i < 20 && socket.LastErrorCode() == 0; ++i) socket.SendText(block);
  EXPECT_EQ(socket.LastErrorCode(), 10054);
}

TEST_F(SocketTest, StatusNotificationsOfAConnect) {
  ScriptedServer server({Talk({})});
  std::vector<std::pair<THookSocketReason, std::string>> seen;
  TTCPBlockSocket socket;
  socket.OnStatus = [&](TBlockSocket&, THookSocketReason reason, const std::string& text) {
    seen.emplace_back(reason, text);
  };
  Connect(socket, server);
  const std::string target = "127.0.0.1:" + server.PortText();
  EXPECT_EQ(
      seen,
      (std::vector<std::pair<THookSocketReason, std::string>>{
          {HR_ResolvingBegin, target}, {HR_ResolvingEnd, target}, {HR_SocketCreate, "IPv4"}, {HR_Connect, target}}));
}

TEST_F(SocketTest, QueuedBufferSizesApplyInOrderAtCreation) {
  ScriptedServer server({Talk({})});
  int applied = -1;
  TTCPBlockSocket socket;
  socket.SetReceiveBufferSize(4096);
  socket.SetReceiveBufferSize(16384);
  EXPECT_EQ(socket.QueuedOptionCount(), 2u);
  socket.OnCreateSocket = [&](TBlockSocket& s) {
    socklen_t length = sizeof(applied);
    getsockopt(s.SocketHandle(), SOL_SOCKET, SO_RCVBUF, &applied, &length);
  };
  Connect(socket, server);
  EXPECT_EQ(socket.QueuedOptionCount(), 0u);
  // The same request made directly on a fresh socket gives what the kernel
  // makes of the last size set.
  const int reference = ::socket(AF_INET, SOCK_STREAM, 0);
  int size = 16384;
  setsockopt(reference, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  int expected = 0;
  socklen_t length = sizeof(expected);
  getsockopt(reference, SOL_SOCKET, SO_RCVBUF, &expected, &length);
  ::close(reference);
  EXPECT_EQ(applied, expected);
}

TEST_F(SocketTest, AbortDiscardsQueuedOptionsAndFreshBindDoesNothing) {
  bool anyStatus = false;
  TTCPBlockSocket socket;
  socket.SetSendBufferSize(65536);
  socket.AbortConnection();
  EXPECT_EQ(socket.QueuedOptionCount(), 0u);
  socket.OnStatus = [&](TBlockSocket&, THookSocketReason, const std::string&) { anyStatus = true; };
  socket.BindLocal("0.0.0.0", "0");
  EXPECT_EQ(socket.LastErrorCode(), 0);
  EXPECT_EQ(socket.SocketHandle(), -1);
  EXPECT_FALSE(anyStatus);
}

TEST_F(SocketTest, BindThenConnectUsesTheBoundSocket) {
  ScriptedServer server({Talk({Send("hi\r\n")})});
  TTCPBlockSocket socket;
  socket.BindLocal("127.0.0.1", "0");
  ASSERT_EQ(socket.LastErrorCode(), 0);
  EXPECT_TRUE(socket.Bound());
  const int handle = socket.SocketHandle();
  Connect(socket, server);
  EXPECT_EQ(socket.SocketHandle(), handle);
  EXPECT_EQ(socket.ReceiveLine(5000), "hi");
}

TEST_F(SocketTest, RaisesOnlyWhenToldTo) {
  const test::RefusingPort refusing;
  const std::string port = refusing.PortText();

  std::string errorStatus;
  TTCPBlockSocket quiet;
  quiet.OnStatus = [&](TBlockSocket&, THookSocketReason reason, const std::string& text) {
    if (reason == HR_Error) errorStatus = text;
  };
  quiet.ConnectTo("127.0.0.1", port);
  EXPECT_EQ(quiet.LastErrorCode(), 10061);
  EXPECT_EQ(errorStatus, "10061,Connection refused");

  TTCPBlockSocket loud;
  loud.RaiseExcept = true;
  try {
    loud.ConnectTo("127.0.0.1", port);
    ADD_FAILURE() << "no exception";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.Message(), "TCP/IP Socket error 10061: Connection refused");
    EXPECT_EQ(e.ErrorCode(), 10061);
    EXPECT_EQ(e.ErrorMessage(), "Connection refused");
  }
}

TEST_F(SocketTest, SecureLayerIsNotCompiled) {
  ScriptedServer server({Talk({})});
  TTCPBlockSocket socket;
  EXPECT_EQ(socket.SecureLayer().LibVersion(), "Without SSL support");
  EXPECT_EQ(socket.SecureLayer().LibName(), "ssl_none");
  Connect(socket, server);
  socket.StartSecureLayer();
  EXPECT_EQ(socket.LastErrorCode(), 10091);
  EXPECT_EQ(socket.LastErrorText(), "SSL/TLS support is not compiled!");
  EXPECT_FALSE(socket.SecureLayer().SSLEnabled());
  socket.RaiseExcept = true;
  try {
    socket.StartSecureLayer();
    ADD_FAILURE() << "no exception";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.Message(), "TCP/IP Socket error 10091: SSL/TLS support is not compiled!");
  }
}

TEST_F(SocketTest, StopFlagAbortsTheNextTransfer) {
  ScriptedServer server({Talk({Hold()})});
  TTCPBlockSocket socket;
  Connect(socket, server);
  socket.StopFlag = true;
  EXPECT_EQ(socket.SendBytes("x", 1), 0);
  EXPECT_EQ(socket.LastErrorCode(), 10053);
  EXPECT_FALSE(socket.StopFlag);
}

TEST_F(SocketTest, HeartbeatSplitsAWaitAndCanStopIt) {
  ScriptedServer server({Talk({Hold()})});
  int beats = 0;
  TTCPBlockSocket socket;
  socket.HeartbeatRate = 5;
  socket.OnHeartbeat = [&](TBlockSocket& s) {
    if (++beats == 3) s.StopFlag = true;
  };
  Connect(socket, server);
  EXPECT_FALSE(socket.WaitReadable(60000));
  EXPECT_EQ(beats, 3);
  EXPECT_FALSE(socket.StopFlag);
}

TEST_F(SocketTest, ReadFilterRewritesReceivedBytes) {
  ScriptedServer server({Talk({Send("abc\r\n")})});
  TTCPBlockSocket socket;
  socket.OnReadFilter = [](TBlockSocket&, std::string& bytes) {
    for (char& c : bytes) c = static_cast<char>(c == '\r' || c == '\n' ? c : c - 32);
  };
  Connect(socket, server);
  EXPECT_EQ(socket.ReceiveLine(5000), "ABC");
}

TEST_F(SocketTest, WorksOnADescriptorAbove1023) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < 2100) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 4096);
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  ScriptedServer server({Talk({Pause(20), Send("high\r\n")})});
  TTCPBlockSocket socket;
  Connect(socket, server);
  const int high = fcntl(socket.SocketHandle(), F_DUPFD_CLOEXEC, 2000);
  if (high == -1) GTEST_SKIP() << "cannot open descriptors above 2000 here";
  ::close(socket.SocketHandle());
  socket.SetSocketHandle(high);
  EXPECT_EQ(socket.ReceiveLine(5000), "high");
  EXPECT_EQ(socket.LastErrorCode(), 0);
}

TEST_F(SocketTest, NoDescriptorLeftIsTooManyOpenFiles) {
  const RefusingPort port;
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  // Every descriptor below the lowest free one is in use: a limit right
  // there leaves none for the socket.
  const int lowest = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_NE(lowest, -1);
  ::close(lowest);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  TTCPBlockSocket socket;
  socket.ConnectTo("127.0.0.1", port.PortText());
  const int code = socket.LastErrorCode();
  const std::string text = socket.LastErrorText();
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(code, 10024);
  EXPECT_EQ(text, "Too many open files");
  EXPECT_EQ(socket.SocketHandle(), -1);
}

TEST_F(SocketTest, TunnelAndSocksConnectsAreNotOffered) {
  TTCPBlockSocket socket;
  socket.SocksIP = "127.0.0.1";
  socket.ConnectTo("127.0.0.1", "80");
  EXPECT_EQ(socket.LastErrorCode(), 10045);
  EXPECT_EQ(socket.SocketHandle(), -1);
}

TEST(Resolving, FamiliesAndThePreferenceForIPv4) {
  TTCPBlockSocket socket;
  TVarSin address{};
  socket.ResolveAddress(address, "::1", "8080");
  EXPECT_EQ(socket.LastErrorCode(), 0);
  EXPECT_EQ(address.sa.sa_family, AF_INET6);
  EXPECT_EQ(ntohs(address.in6.sin6_port), 8080);
  socket.ResolveAddress(address, "localhost", "80");
  EXPECT_EQ(socket.LastErrorCode(), 0);
  EXPECT_EQ(address.sa.sa_family, AF_INET);
  socket.ResolveAddress(address, "127.0.0.1", "81");
  EXPECT_EQ(address.sa.sa_family, AF_INET);
  EXPECT_EQ(ntohl(address.in4.sin_addr.s_addr), INADDR_LOOPBACK);
  socket.ResolveAddress(address, "nothing.invalid", "80");
  EXPECT_EQ(socket.LastErrorCode(), 11001);
  EXPECT_EQ(socket.LastErrorText(), "Host not found");
}

TEST(SocketLibrary, StartedOnceAndCounted) {
  const int before = SocketLibraryUsers();
  EXPECT_GE(before, 1);
  EXPECT_TRUE(LoadSocketLibrary());
  EXPECT_EQ(SocketLibraryUsers(), before + 1);
  UnloadSocketLibrary();
  EXPECT_EQ(SocketLibraryUsers(), before);
}

} // namespace
