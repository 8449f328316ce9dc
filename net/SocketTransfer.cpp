#include "net/BlockSocket.h"

#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>

#include "base/MemoryStream.h"
#include "base/StopSignals.h"

// The socket's sends, receives and the waits they do.
namespace od {

namespace {

// A close that finds the peer still sending reads at most this much before
// it gives up: a peer that streams without end must not hold the close.
constexpr size_t kDrainLimit = 4 * 1024 * 1024;

std::uint32_t Tick() {
  using namespace std::chrono;
  return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// Length of the line break at text[at] (a CR or an LF): CR LF and LF CR are
// one break; a lone CR or LF, the last byte of the text included, is noted
// so that its partner at the front of the next packet can be dropped.
size_t LineBreakLength(std::string_view text, size_t at, bool& sawLoneCR, bool& sawLoneLF) {
  if (at + 1 < text.size() && text[at + 1] != text[at] && (text[at + 1] == '\r' || text[at + 1] == '\n')) return 2;
  if (text[at] == '\r')
    sawLoneCR = true;
  else
    sawLoneLF = true;
  return 1;
}

// Wrap-around safe difference of two ticks.
std::int32_t TickDiff(std::uint32_t from, std::uint32_t to) { return static_cast<std::int32_t>(to - from); }

void SleepMs(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace

// --- sending -----------------------------------------------------------------

bool TBlockSocket::StopRequested() {
  if (OnHeartbeat && HeartbeatRate != 0) OnHeartbeat(*this);
  if (!StopFlag) return false;
  StopFlag = false;
  lastError_ = WsaError::ConnectionAborted;
  ReportError();
  return true;
}

void TBlockSocket::LimitRate(int length, int limit, std::uint32_t& nextTime) {
  if (StopFlag || limit <= 0) return;
  const std::uint32_t now = Tick();
  const std::int32_t wait = TickDiff(now, nextTime);
  if (wait > 0) {
    DoStatus(HR_Wait, std::to_string(wait));
    SleepMs(wait % 250);
    for (int step = 0; step < wait / 250 && !StopFlag; ++step) SleepMs(250);
  }
  nextTime = Tick() + static_cast<std::uint32_t>(static_cast<std::int64_t>(length) * 1000 / limit);
}

int TBlockSocket::SendPieces(const void* buffer, int length, const SendPiece& sendPiece) {
  if (StopRequested()) return 0;
  if (OnMonitor) OnMonitor(*this, true, buffer, length);
  const char* bytes = static_cast<const char*>(buffer);
  const int chunk = SendMaxChunk > 0 ? SendMaxChunk : 65536;
  int sent = 0;
  while (sent < length) {
    const int n = std::min(length - sent, chunk);
    if (n <= 0) break;
    LimitRate(n, MaxSendBandwidth, nextSend_);
    int error = 0;
    long result = sendPiece(bytes + sent, n, error);
    SetResultError(result, error);
    if (lastError_ == WsaError::WouldBlock) {
      // A system send bounded by the hook's interval has waited that long.
      if (sendSliced_ && !WaitGoesOn()) break;
      if (WaitWritable(NonblockSendTimeout)) {
        result = sendPiece(bytes + sent, n, error);
        SetResultError(result, error);
      } else if (lastError_ == 0) {
        lastError_ = WsaError::TimedOut;
      }
    }
    if (lastError_ != 0) break;
    sent += static_cast<int>(result);
    sendCounter_ += result;
    awaitingAnswer_ = true;
    DoStatus(HR_WriteCount, std::to_string(result));
  }
  ReportError();
  return sent;
}

int TBlockSocket::SendBytes(const void* buffer, int length) {
  return SendPieces(buffer, length, [this](const char* piece, int n, int& error) -> long {
    long r;
    // No SIGPIPE: a peer that has gone away is an error code, not the end of
    // the process.
    // A signal resumes the send, unless it asks the program to stop.
    do r = ::send(socket_, piece, static_cast<size_t>(n), MSG_NOSIGNAL);
    while (r == -1 && errno == EINTR && !ProcessStopRequested());
    error = r == -1 ? ErrnoToWsaError(errno) : 0;
    return r;
  });
}

void TBlockSocket::SendText(std::string_view text) { SendBytes(text.data(), static_cast<int>(text.size())); }

// --- receiving ---------------------------------------------------------------

int TBlockSocket::AfterReceive(void* buffer, int length, long result) {
  if (result == 0)
    lastError_ = WsaError::ConnectionReset;
  else
    CheckSocketResult(result);
  ReportError();
  if (result <= 0) return static_cast<int>(result);
  recvCounter_ += result;
  DoStatus(HR_ReadCount, std::to_string(result));
  if (OnMonitor) OnMonitor(*this, false, buffer, static_cast<int>(result));
  if (OnReadFilter) {
    std::string bytes(static_cast<const char*>(buffer), static_cast<size_t>(result));
    OnReadFilter(*this, bytes);
    const size_t count = std::min(bytes.size(), static_cast<size_t>(length));
    std::memcpy(buffer, bytes.data(), count);
    result = static_cast<long>(count);
  }
  return static_cast<int>(result);
}

int TBlockSocket::ReceiveBytes(void* buffer, int length) { return ReceiveFromSystem(buffer, length, 0); }

int TBlockSocket::ReceiveWithoutWait(void* buffer, int length) {
  return ReceiveFromSystem(buffer, length, MSG_DONTWAIT);
}

int TBlockSocket::ReceiveFromSystem(void* buffer, int length, int flags) {
  if (StopRequested()) return 0;
  LimitRate(length, MaxRecvBandwidth, nextRecv_);
  long result;
  do result = ::recv(socket_, buffer, static_cast<size_t>(length), flags);
  while (result == -1 && errno == EINTR);
  if (result == -1 && (flags & MSG_DONTWAIT) != 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kNothingPending;
  awaitingAnswer_ = false;
  return AfterReceive(buffer, length, result);
}

bool TBlockSocket::PeerClosedWithNothingUnread() {
  if (socket_ == -1 || !ReadsSystemDirectly()) return false;
  char byte;
  long result;
  do result = ::recv(socket_, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
  while (result == -1 && errno == EINTR);
  return result == 0;
}

int TBlockSocket::PendingBytes() {
  if (socket_ == -1) return 0;
  int count = 0;
  if (ioctl(socket_, FIONREAD, &count) == -1) return 0;
  return std::clamp(count, 0, 65536);
}

size_t TBlockSocket::TakeSplitLineEnd(std::string_view text) noexcept {
  size_t skip = 0;
  if (SawLoneCR && !text.empty() && text.front() == '\n') skip = 1;
  if (SawLoneLF && text.size() > skip && text[skip] == '\r') ++skip;
  SawLoneCR = false;
  SawLoneLF = false;
  return skip;
}

void TBlockSocket::SkipSplitLineEnd() {
  if (!ConvertLineEnd || ReadAhead.empty()) return;
  if (const size_t skip = TakeSplitLineEnd(ReadAhead.View()); skip > 0) ReadAhead.Consume(skip);
}

std::string TBlockSocket::ReceivePacket(int timeout) {
  std::string result;
  ClearLastError();
  if (!ReadAhead.empty()) {
    result = ReadAhead.TakeAll();
  } else if (DeadlinePassed()) {
    // Bytes that keep coming do not extend the deadline.
    lastError_ = WsaError::TimedOut;
  } else if (ReadsSystemDirectly()) {
    // No yield before the read: the scheduler preempts a long download by
    // itself, and a yield per packet costs every short exchange a system call.
    ReceiveSystemPacket(timeout, result);
  } else {
    ReceivePendingPacket(timeout, result);
  }
  if (ConvertLineEnd && !result.empty()) result.erase(0, TakeSplitLineEnd(result));
  ReportError();
  return result;
}

void TBlockSocket::ReceiveSystemPacket(int timeout, std::string& packet) {
  // A receive that does not wait takes what is pending, up to a packet's
  // 64 KiB, in the call that would otherwise only have counted it; only
  // when nothing is there does the read wait.
  thread_local char buffer[65536];
  // Right after a request the answer is seldom there yet: waiting first
  // spares the read that would find nothing.
  int got = awaitingAnswer_ ? kNothingPending : ReceiveWithoutWait(buffer, sizeof buffer);
  if (got == kNothingPending) {
    if (WaitReadable(timeout)) {
      got = ReceiveWithoutWait(buffer, sizeof buffer);
      // Readable with nothing to read: the peer has closed its side.
      if (got == kNothingPending) lastError_ = WsaError::ConnectionReset;
    } else if (lastError_ == 0) {
      lastError_ = WsaError::TimedOut;
    }
  }
  if (got > 0) packet.assign(buffer, static_cast<size_t>(got));
}

void TBlockSocket::ReceivePendingPacket(int timeout, std::string& packet) {
  auto readPending = [this, &packet](int count) {
    packet.resize(static_cast<size_t>(count));
    const int got = ReceiveBytes(packet.data(), count);
    packet.resize(got > 0 ? static_cast<size_t>(got) : 0);
  };
  int pending = PendingBytes();
  if (pending > 0) {
    readPending(pending);
  } else if (WaitReadable(timeout)) {
    pending = PendingBytes();
    // Readable with nothing to read: the peer has closed its side.
    if (pending == 0)
      lastError_ = WsaError::ConnectionReset;
    else
      readPending(pending);
  } else if (lastError_ == 0) {
    lastError_ = WsaError::TimedOut;
  }
}

std::string TBlockSocket::ReceiveTerminated(int timeout, const std::string& terminator) {
  ClearLastError();
  if (terminator.empty()) return {};
  const bool lineEndMode = ConvertLineEnd && terminator == "\r\n";
  std::string line;
  if (!TakeHeldLine(terminator, lineEndMode, line)) line = GatherTerminated(timeout, terminator, lineEndMode);
  ReportError();
  return line;
}

size_t TBlockSocket::FindTerminator(std::string_view text, size_t scanned, const std::string& terminator,
                                    bool lineEndMode, size_t& length) {
  if (lineEndMode) {
    const size_t at = text.find_first_of("\r\n", scanned);
    if (at != std::string_view::npos) length = LineBreakLength(text, at, SawLoneCR, SawLoneLF);
    return at;
  }
  length = terminator.size();
  // A terminator may straddle what was scanned and what has just come.
  return text.find(terminator, scanned >= terminator.size() ? scanned - terminator.size() + 1 : 0);
}

bool TBlockSocket::TakeHeldLine(const std::string& terminator, bool lineEndMode, std::string& line) {
  // Only when the held text could not break the length limit, which the
  // gathering read reports.
  if (ReadAhead.empty() || (MaxLineLength != 0 && ReadAhead.size() > static_cast<size_t>(MaxLineLength))) return false;
  SkipSplitLineEnd();
  const std::string_view held = ReadAhead.View();
  size_t length = 0;
  const size_t at = FindTerminator(held, 0, terminator, lineEndMode, length);
  if (at == std::string_view::npos) return false;
  line.assign(held.substr(0, at));
  ReadAhead.Consume(at + length);
  return true;
}

std::string TBlockSocket::GatherTerminated(int timeout, const std::string& terminator, bool lineEndMode) {
  std::string acc;
  size_t pos = std::string::npos;
  size_t breakLength = 0;
  size_t scanned = 0; // bytes of acc already known to hold no break
  while (true) {
    const std::uint32_t start = Tick();
    acc += ReceivePacket(timeout);
    if (lastError_ != 0) break;
    pos = FindTerminator(acc, scanned, terminator, lineEndMode, breakLength);
    if (MaxLineLength != 0 && acc.size() > static_cast<size_t>(MaxLineLength)) {
      lastError_ = WsaError::NoBufferSpace;
      break;
    }
    if (pos != std::string::npos) break;
    scanned = acc.size();
    if (!SpendReadTime(timeout, start)) break;
  }
  std::string result;
  if (pos != std::string::npos) {
    result = acc.substr(0, pos);
    ReadAhead.Assign(std::move(acc), pos + breakLength);
  } else {
    ReadAhead = std::move(acc);
  }
  return result;
}

bool TBlockSocket::SpendReadTime(int& timeout, std::uint32_t start) {
  if (InterPacketTimeout || timeout < 0) return true;
  timeout -= TickDiff(start, Tick());
  if (timeout > 0) return true;
  lastError_ = WsaError::TimedOut;
  return false;
}

std::string TBlockSocket::ReceiveLine(int timeout) {
  std::string line = ReceiveTerminated(timeout, "\r\n");
  if (lastError_ != 0) line.clear();
  return line;
}

int TBlockSocket::ReceiveExact(void* buffer, int length, int timeout) {
  ClearLastError();
  if (length <= 0) return 0;
  char* out = static_cast<char*>(buffer);
  int copied = 0;
  if (!ReadAhead.empty()) {
    // Served from ReadAhead first, as a packet read would, without handing
    // the rest of it around.
    SkipSplitLineEnd();
    const size_t take = std::min(ReadAhead.size(), static_cast<size_t>(length));
    std::memcpy(out, ReadAhead.View().data(), take);
    ReadAhead.Consume(take);
    copied = static_cast<int>(take);
    if (copied >= length) return copied;
  }
  while (true) {
    const std::uint32_t start = Tick();
    std::string packet = ReceivePacket(timeout);
    const size_t take = std::min(packet.size(), static_cast<size_t>(length - copied));
    std::memcpy(out + copied, packet.data(), take);
    copied += static_cast<int>(take);
    if (take < packet.size()) ReadAhead.Assign(std::move(packet), take);
    if (lastError_ != 0 || copied >= length) break;
    if (!SpendReadTime(timeout, start)) break;
  }
  return copied;
}

std::string TBlockSocket::ReceiveExactText(int length, int timeout) {
  if (length < 1) return {};
  std::string text(static_cast<size_t>(length), '\0');
  const int count = ReceiveExact(text.data(), length, timeout);
  if (lastError_ != 0) return {};
  text.resize(static_cast<size_t>(count));
  return text;
}

void TBlockSocket::ReceiveToStream(TMemoryStream& stream, int timeout, std::int64_t size) {
  const std::int64_t chunk = SendMaxChunk > 0 ? SendMaxChunk : 65536;
  for (std::int64_t piece = 0; piece < size / chunk; ++piece) {
    const std::string bytes = ReceiveExactText(static_cast<int>(chunk), timeout);
    if (lastError_ != 0) return;
    stream.Write(bytes);
  }
  const std::int64_t rest = size % chunk;
  if (rest > 0) {
    const std::string bytes = ReceiveExactText(static_cast<int>(rest), timeout);
    if (lastError_ == 0) stream.Write(bytes);
  }
}

void TBlockSocket::DrainInput() {
  // What the peer still sends after its answer is read away before the
  // handle closes: closing with unread input would answer the peer with a
  // reset instead of a FIN. The wait for it is one readiness wait against a
  // deadline, not a sleep: it ends at once when the peer's end of stream is
  // there, and a peer that keeps sending cannot stretch it.
  ReadAhead.clear();
  try {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(std::max(DrainTimeout, 0));
    size_t drained = 0;
    char buffer[16384];
    // Usually the peer's end of stream is there already: a read that does
    // not wait finds it without a readiness wait first.
    const bool direct = ReadsSystemDirectly();
    while (drained <= kDrainLimit) {
      int got = direct ? ReceiveWithoutWait(buffer, sizeof buffer) : kNothingPending;
      if (got == kNothingPending) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        pollfd p{socket_, POLLIN, 0};
        const int ready = ::poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready == -1 && errno == EINTR) continue;
        if (ready <= 0) break;
        got = direct ? ReceiveWithoutWait(buffer, sizeof buffer) : ReceiveBytes(buffer, sizeof buffer);
        if (got == kNothingPending) break;
      }
      if (got <= 0 || lastError_ != 0) break;
      drained += static_cast<size_t>(got);
    }
  } catch (...) {
    // A close never fails because of what the peer still had to say.
  }
  ClearLastError();
}

void TBlockSocket::UnreadLine(const std::string& line) {
  // The flags still describe the break that ended the line: a lone CR or LF
  // goes back as it came, so that its partner at the front of the next
  // packet is dropped again instead of reading as an empty line.
  const char* lineEnd = SawLoneCR ? "\r" : SawLoneLF ? "\n" : "\r\n";
  ReadAhead.Assign(line + lineEnd + ReadAhead.str());
}

} // namespace od
