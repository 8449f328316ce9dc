#include "net/BlockSocket.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "base/StopSignals.h"
#include "net/HostResolver.h"

namespace od {

namespace {

// The process loads the socket library once when it starts and releases it
// when it ends, around all socket use. Here, in the file every program that
// makes a socket links, and not beside the counter, which a program may
// leave out.
struct SocketLibraryLifetime {
  SocketLibraryLifetime() {
    if (!LoadSocketLibrary())
      throw ESocketError("Error loading Socket interface (ws2_32.dll)!", 0,
                         "Error loading Socket interface (ws2_32.dll)!");
  }
  ~SocketLibraryLifetime() { UnloadSocketLibrary(); }
} socketLibraryLifetime;

} // namespace

TBlockSocket::TBlockSocket() = default;

TBlockSocket::~TBlockSocket() {
  // Derived classes close their own way first; here only what is left.
  if (socket_ != -1) {
    try {
      AbortConnection();
    } catch (...) {
    }
  }
}

void TBlockSocket::SetFamily(TSocketFamily family) {
  family_ = family;
  familySaved_ = family;
}

void TBlockSocket::SetSocketHandle(int handle) {
  socket_ = handle;
  ReadAhead.clear();
  SawLoneCR = false;
  SawLoneLF = false;
  if (socket_ != -1) ip6Used_ = LocalAddress().sa.sa_family == AF_INET6;
}

void TBlockSocket::DoStatus(THookSocketReason reason, const std::string& text) {
  if (OnStatus) OnStatus(*this, reason, text);
}

void TBlockSocket::ClearLastError() noexcept {
  lastError_ = 0;
  lastErrorText_.clear();
}

void TBlockSocket::SetLastError(int code) {
  lastError_ = code;
  lastErrorText_ = GetErrorDescEx();
}

void TBlockSocket::SetResultError(long result, int error) {
  ClearLastError();
  if (result < 0) {
    lastError_ = error != 0 ? error : WsaError::InvalidArgument;
    lastErrorText_ = GetErrorDescEx();
  }
}

int TBlockSocket::CheckSocketResult(long result) {
  const int saved = errno;
  ClearLastError();
  if (result == -1) {
    lastError_ = ErrnoToWsaError(saved);
    lastErrorText_ = GetErrorDescEx();
  }
  return lastError_;
}

void TBlockSocket::ReportError() {
  lastErrorText_ = GetErrorDescEx();
  if (lastError_ == 0 || lastError_ == WsaError::WouldBlock || lastError_ == WsaError::InProgress) return;
  DoStatus(HR_Error, std::to_string(lastError_) + "," + lastErrorText_);
  if (RaiseExcept)
    throw ESocketError(Format("TCP/IP Socket error %d: %s", lastError_, lastErrorText_.c_str()), lastError_,
                       lastErrorText_);
}

std::string TBlockSocket::GetErrorDescEx() { return GetErrorDesc(lastError_); }

// --- resolving -------------------------------------------------------------

void TBlockSocket::ResolveAddress(TVarSin& address, const std::string& host, const std::string& port) {
  DoStatus(HR_ResolvingBegin, host + ":" + port);
  ClearLastError();
  TSocketFamily family = family_;
  if (socket_ == -1 && family_ == SF_Any) family = IsIPv4Text(host) ? SF_IP4 : IsIPv6Text(host) ? SF_IP6 : SF_Any;
  const int addressFamily = family == SF_IP4 ? AF_INET : family == SF_IP6 ? AF_INET6 : AF_UNSPEC;
  lastError_ = Resolver != nullptr
                   ? Resolver->Resolve(address, host, port, WaitWithinDeadline(ConnectTimeout), WaitHook)
                   : FillAddress(address, host, port, addressFamily, SocketProtocol(), SocketType(), PreferIP4);
  lastErrorText_ = GetErrorDescEx();
  DoStatus(HR_ResolvingEnd, NumericAddress(address) + ":" + std::to_string(PortNumber(address)));
}

int TBlockSocket::FillAddress(TVarSin& address, const std::string& host, const std::string& port, int addressFamily,
                              int protocol, int type, bool preferIP4) {
  std::memset(&address, 0, sizeof(address));
  addrinfo first{};
  addrinfo second{};
  bool twoPasses = false;
  if (addressFamily == AF_UNSPEC) {
    first.ai_family = preferIP4 ? AF_INET : AF_INET6;
    second.ai_family = preferIP4 ? AF_INET6 : AF_INET;
    twoPasses = true;
  } else {
    first.ai_family = addressFamily;
  }
  first.ai_socktype = second.ai_socktype = type;
  first.ai_protocol = second.ai_protocol = protocol;
  int result = LookupAddress(address, host, port, first);
  if (result != 0 && twoPasses) {
    TVarSin other{};
    result = LookupAddress(other, host, port, second);
    if (result == 0) address = other;
  }
  return result;
}

int TBlockSocket::LookupAddress(TVarSin& address, const std::string& host, const std::string& port,
                                const addrinfo& hints) {
  std::memset(&address, 0, sizeof(address));
  addrinfo query = hints;
  const char* node = host.c_str();
  const char* service = port.empty() ? nullptr : port.c_str();
  if (query.ai_socktype == SOCK_RAW) {
    query.ai_socktype = 0;
    query.ai_protocol = 0;
    service = nullptr;
  } else if (host == "0.0.0.0" || host == "::0") {
    query.ai_flags |= AI_PASSIVE;
    node = nullptr;
  } else if (host == "127.0.0.1" || host == "::1") {
    node = nullptr;
  }
  if (node != nullptr && IsReservedInvalidName(host)) return WsaError::HostNotFound;
  if (service != nullptr && IsOutOfRangePort(port)) return ResolverToWsaError(EAI_SERVICE, 0);
  addrinfo* list = nullptr;
  const int result = getaddrinfo(node, service, &query, &list);
  const int saved = errno;
  if (result == 0 && list != nullptr)
    std::memcpy(&address, list->ai_addr, std::min<size_t>(list->ai_addrlen, sizeof(address)));
  if (list != nullptr) freeaddrinfo(list);
  return ResolverToWsaError(result, saved);
}

// --- socket creation and options ------------------------------------------

void TBlockSocket::CreateSocketFor(const TVarSin& address) {
  StopFlag = false;
  recvCounter_ = 0;
  sendCounter_ = 0;
  awaitingAnswer_ = false;
  ClearLastError();
  if (socket_ != -1) return;
  ReadAhead.clear();
  bound_ = false;
  ip6Used_ = address.sa.sa_family == AF_INET6;
  // Close-on-exec: child processes of the program never inherit connections.
  socket_ = ::socket(address.sa.sa_family, SocketType() | SOCK_CLOEXEC, SocketProtocol());
  if (socket_ == -1) lastError_ = ErrnoToWsaError(errno);
  ReportError();
  DoStatus(HR_SocketCreate, ip6Used_ ? "IPv6" : "IPv4");
  ApplyQueuedOptions();
  if (OnCreateSocket) OnCreateSocket(*this);
}

void TBlockSocket::QueueOption(const TSocketOption& option) {
  if (socket_ == -1)
    optionQueue_.insert(optionQueue_.begin(), option);
  else
    ApplyOption(option);
}

void TBlockSocket::ApplyOption(const TSocketOption& option) {
  int value = option.Value;
  switch (option.Option) {
  case SOT_RecvBuff: setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &value, sizeof(value)); break;
  case SOT_SendBuff: setsockopt(socket_, SOL_SOCKET, SO_SNDBUF, &value, sizeof(value)); break;
  }
}

void TBlockSocket::ApplyQueuedOptions() {
  for (auto it = optionQueue_.rbegin(); it != optionQueue_.rend(); ++it) ApplyOption(*it);
  optionQueue_.clear();
}

void TBlockSocket::SetReceiveBufferSize(std::int32_t size) { QueueOption({SOT_RecvBuff, false, size}); }
void TBlockSocket::SetSendBufferSize(std::int32_t size) { QueueOption({SOT_SendBuff, false, size}); }

TVarSin TBlockSocket::LocalAddress() const {
  TVarSin address{};
  socklen_t length = sizeof(address);
  if (socket_ != -1) getsockname(socket_, &address.sa, &length);
  return address;
}

TVarSin TBlockSocket::RemoteAddress() const {
  TVarSin address{};
  socklen_t length = sizeof(address);
  if (socket_ != -1) getpeername(socket_, &address.sa, &length);
  return address;
}

// --- bind, connect, close --------------------------------------------------

void TBlockSocket::BindLocal(const std::string& host, const std::string& port) {
  ClearLastError();
  if (socket_ == -1 && family_ == SF_Any && host == "0.0.0.0" && port == "0") return;
  TVarSin address{};
  ResolveAddress(address, host, port);
  if (lastError_ == 0) {
    if (socket_ == -1) CreateSocketFor(address);
    // A socket that could not be created (no descriptors left, say) keeps
    // its own error rather than the one binding nothing would give.
    if (lastError_ == 0 && CheckSocketResult(::bind(socket_, &address.sa, AddressLength(address))) == 0) {
      ReadAhead.clear();
      bound_ = true;
    }
  }
  ReportError();
  DoStatus(HR_Bind, host + ":" + port);
}

void TBlockSocket::ConnectTo(const std::string& host, const std::string& port) { PlainConnect(host, port); }

void TBlockSocket::PlainConnect(const std::string& host, const std::string& port) {
  TVarSin address{};
  ResolveAddress(address, host, port);
  if (lastError_ == 0) {
    if (socket_ == -1) CreateSocketFor(address);
    // Without a socket, the creation's error stands (no descriptors left,
    // say): connecting nothing would only add "Bad file number".
    if (lastError_ == 0) {
      lastError_ = ConnectWithinTimeout(address);
      lastErrorText_ = GetErrorDescEx();
      // The host may have moved: the next connect looks it up again.
      if (lastError_ != 0 && lastError_ != WsaError::Interrupted && Resolver != nullptr) Resolver->Forget(host, port);
    }
    if (lastError_ == 0) {
      ReadAhead.clear();
      SawLoneCR = false;
      SawLoneLF = false;
    }
  }
  ReportError();
  DoStatus(HR_Connect, host + ":" + port);
}

int TBlockSocket::ConnectWithinTimeout(const TVarSin& address) {
  // A blocking connect, bounded by the socket's send time-out: where the
  // handshake completes within the call (loopback, a near server) the
  // request follows at once, with no readiness wait in between, and a
  // connect that takes longer ends by ConnectTimeout and the deadline
  // instead of the system's minutes. A signal ends the call early; the rest
  // is an ordinary socket wait, resumed like every other.
  // The bound stays on for the connection's sends: a send that the peer
  // does not take for that long returns to the send's own readiness wait,
  // which ends it with 10060, instead of blocking in the system for good.
  // With a wait hook, the system's part of the wait (and of every send's)
  // lasts the hook's interval; the rest is a wait that asks the hook.
  const int limit = WaitWithinDeadline(ConnectTimeout);
  const bool bounded = limit >= 0;
  const int slice = HookSlice();
  sendSliced_ = slice > 0 && (!bounded || slice < limit);
  if (sendSliced_)
    SetSendTimeout(slice);
  else if (bounded)
    SetSendTimeout(std::max(limit, 1));
  const auto start = std::chrono::steady_clock::now();
  int code = 0;
  if (::connect(socket_, &address.sa, AddressLength(address)) == -1) {
    const int error = errno;
    if (error == EINTR) {
      code = ProcessStopRequested() ? ErrnoToWsaError(EINTR) : AwaitConnect(WaitWithinDeadline(ConnectTimeout));
    } else if (error == EINPROGRESS) {
      // A blocking socket says so when the time-out has run out; one that a
      // creation hook made non-blocking says it at once.
      const int flags = OnCreateSocket ? fcntl(socket_, F_GETFL) : 0;
      if (flags != -1 && (flags & O_NONBLOCK) != 0)
        code = AwaitConnect(WaitWithinDeadline(ConnectTimeout));
      else
        code = sendSliced_ ? ResumeSlicedConnect(limit, start) : WsaError::TimedOut;
    } else {
      code = ErrnoToWsaError(error);
    }
  }
  return code;
}

int TBlockSocket::AwaitConnect(int timeout) {
  short revents = 0;
  if (!PollOnce(timeout, POLLOUT, &revents)) return lastError_ != 0 ? lastError_ : WsaError::TimedOut;
  // Writable without an error or hang-up condition: connected. Only a
  // failed connect needs asking for its reason.
  if ((revents & (POLLERR | POLLHUP)) == 0) return 0;
  int soError = 0;
  socklen_t length = sizeof(soError);
  if (getsockopt(socket_, SOL_SOCKET, SO_ERROR, &soError, &length) == -1) soError = errno;
  return ErrnoToWsaError(soError);
}

int TBlockSocket::ResumeSlicedConnect(int limit, std::chrono::steady_clock::time_point start) {
  int left = -1;
  if (limit >= 0) {
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    left = limit - static_cast<int>(std::min<std::int64_t>(spent.count(), limit));
    if (left <= 0) return WsaError::TimedOut;
  }
  if (!WaitGoesOn()) return WsaError::Interrupted;
  return AwaitConnect(left);
}

void TBlockSocket::SetSendTimeout(int ms) {
  timeval value{ms / 1000, (ms % 1000) * 1000};
  setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof(value));
}

void TBlockSocket::CloseConnection() { AbortConnection(); }

void TBlockSocket::AbortConnection() {
  if (socket_ != -1) ::close(socket_);
  socket_ = -1;
  optionQueue_.clear();
  family_ = familySaved_;
  DoStatus(HR_SocketClose, "");
}

} // namespace od
