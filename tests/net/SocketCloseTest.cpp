// How a connection ends: the close half-closes, reads away what the peer
// still sends for a bounded time, and only then lets go of the handle.
#include "net/BlockSocket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

using namespace od;

namespace {

using Clock = std::chrono::steady_clock;

// A client socket connected to a raw loopback peer that the test drives by
// hand, byte for byte.
class CloseTest : public testing::Test {
protected:
  void SetUp() override {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(listener_, -1);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener_, 1), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length), 0);
    client_.ConnectTo("127.0.0.1", std::to_string(ntohs(address.sin_port)));
    ASSERT_EQ(client_.LastErrorCode(), 0);
    peer_ = ::accept(listener_, nullptr, nullptr);
    ASSERT_NE(peer_, -1);
  }

  void TearDown() override {
    if (peer_ != -1) ::close(peer_);
    ::close(listener_);
  }

  void PeerSends(const std::string& bytes) {
    ASSERT_EQ(::send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }

  // Seconds the client's close took.
  double TimedClose() {
    const auto start = Clock::now();
    client_.CloseConnection();
    return std::chrono::duration<double>(Clock::now() - start).count();
  }

  int listener_ = -1;
  int peer_ = -1;
  TTCPBlockSocket client_;
};

TEST_F(CloseTest, TrailingBytesAreReadSoThePeerSeesAnOrderlyEnd) {
  PeerSends("answer");
  EXPECT_EQ(client_.ReceiveExactText(6, 5000), "answer");
  PeerSends("trailing bytes the client never asked for");
  ASSERT_TRUE(client_.WaitReadable(5000));
  client_.CloseConnection();
  EXPECT_EQ(client_.SocketHandle(), -1);
  char byte;
  errno = 0;
  // A FIN reads as the end of the stream; a reset would fail with
  // ECONNRESET.
  EXPECT_EQ(::recv(peer_, &byte, 1, 0), 0) << "errno " << errno;
}

TEST_F(CloseTest, AnAnswerReadToTheEndOfTheStreamClosesWithAFin) {
  PeerSends("answer");
  ASSERT_EQ(::shutdown(peer_, SHUT_WR), 0);
  EXPECT_EQ(client_.ReceiveExactText(6, 5000), "answer");
  ASSERT_TRUE(client_.WaitReadable(5000));
  client_.CloseConnection();
  char byte;
  errno = 0;
  EXPECT_EQ(::recv(peer_, &byte, 1, 0), 0) << "errno " << errno;
}

TEST_F(CloseTest, APeerThatKeepsSendingCannotHoldTheCloseUp) {
  std::atomic<bool> stop{false};
  std::thread streamer([this, &stop] {
    // A byte every 100 us for up to 10 s: no pause ever as long as the
    // close's own wait, so only a deadline ends the drain.
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (!stop && Clock::now() < end) {
      if (::send(peer_, "x", 1, MSG_NOSIGNAL) != 1) break;
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });
  ASSERT_TRUE(client_.WaitReadable(5000));
  EXPECT_LT(TimedClose(), 5.0);
  stop = true;
  streamer.join();
}

TEST_F(CloseTest, APeerThatHasClosedCostsNoWait) {
  client_.DrainTimeout = 60000;
  PeerSends("last words");
  ::close(peer_);
  peer_ = -1;
  ASSERT_TRUE(client_.WaitReadable(5000));
  EXPECT_LT(TimedClose(), 30.0);
  EXPECT_EQ(client_.LastErrorCode(), 0);
}

} // namespace
