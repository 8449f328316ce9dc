#include "net/BlockSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <ostream>
#include <thread>

#include "base/Ascii.h"
#include "base/MemoryStream.h"
#include "base/StopSignals.h"

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

socklen_t AddressLength(const TVarSin& address) {
  switch (address.sa.sa_family) {
  case AF_INET: return sizeof(sockaddr_in);
  case AF_INET6: return sizeof(sockaddr_in6);
  default: return 0;
  }
}

std::string NumericAddress(const TVarSin& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.sa.sa_family == AF_INET)
    inet_ntop(AF_INET, &address.in4.sin_addr, text, sizeof(text));
  else if (address.sa.sa_family == AF_INET6)
    inet_ntop(AF_INET6, &address.in6.sin6_addr, text, sizeof(text));
  return text;
}

int PortNumber(const TVarSin& address) {
  if (address.sa.sa_family == AF_INET) return ntohs(address.in4.sin_port);
  if (address.sa.sa_family == AF_INET6) return ntohs(address.in6.sin6_port);
  return 0;
}

// Names under "invalid" never exist (RFC 6761); answering at once keeps such
// look-ups off the network.
bool IsReservedInvalidName(std::string_view host) {
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  constexpr std::string_view suffix = ".invalid";
  if (EqualsIgnoreCaseAscii(host, "invalid")) return true;
  return host.size() > suffix.size() && EqualsIgnoreCaseAscii(host.substr(host.size() - suffix.size()), suffix);
}

// A numeric service above 65535 would be cut to 16 bits by the resolver and
// reach the wrong port.
bool IsOutOfRangePort(std::string_view port) {
  if (port.empty() || !std::all_of(port.begin(), port.end(), [](char c) { return IsDigit(c); })) return false;
  std::uint32_t value = 0;
  for (char c : port) {
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 65535) return true;
  }
  return false;
}

struct WsaText {
  int code;
  const char* text;
};

constexpr WsaText kErrorTexts[] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on nonsocket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Protocol wrong type for Socket"},
    {10042, "Protocol not available"},
    {10043, "Protocol not supported"},
    {10044, "Socket not supported"},
    {10045, "Operation not supported on Socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection on reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No Buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after Socket shutdown"},
    {10059, "Too many references:can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name is too long"},
    {10064, "Host is down"},
    {10065, "No route to host"},
    {10066, "Directory is not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disk quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unusable"},
    {10092, "Winsock DLL cannot support this application"},
    {10093, "Winsock not initialized"},
    {10101, "Disconnect"},
    {11001, "Host not found"},
    {11002, "Non authoritative - host not found"},
    {11003, "Non recoverable error"},
    {11004, "Valid name, no data record of requested type"},
};

std::mutex& LibraryLock() {
  static std::mutex lock;
  return lock;
}
int libraryUsers = 0;

// The process loads the socket library once when it starts and releases it
// when it ends, around all socket use.
struct SocketLibraryLifetime {
  SocketLibraryLifetime() {
    if (!LoadSocketLibrary())
      throw ESocketError("Error loading Socket interface (ws2_32.dll)!", 0,
                         "Error loading Socket interface (ws2_32.dll)!");
  }
  ~SocketLibraryLifetime() { UnloadSocketLibrary(); }
} socketLibraryLifetime;

TSSLFactory& SSLFactory() {
  static TSSLFactory factory = [](TBlockSocket& socket) { return std::make_unique<TSSLNone>(socket); };
  return factory;
}

} // namespace

bool LoadSocketLibrary() {
  std::lock_guard<std::mutex> guard(LibraryLock());
  // POSIX sockets are part of the C library: there is nothing to load, only
  // the users to count.
  ++libraryUsers;
  return true;
}

void UnloadSocketLibrary() {
  std::lock_guard<std::mutex> guard(LibraryLock());
  if (libraryUsers > 0) --libraryUsers;
}

int SocketLibraryUsers() {
  std::lock_guard<std::mutex> guard(LibraryLock());
  return libraryUsers;
}

void SetSSLImplementation(TSSLFactory factory) { SSLFactory() = std::move(factory); }

int ErrnoToWsaError(int error) noexcept {
  switch (error) {
  case 0: return 0;
  case EINTR: return 10004;
  case EBADF: return 10009;
  case EACCES: return 10013;
  case EPERM: return 10013;
  case EFAULT: return 10014;
  case EINVAL: return 10022;
  case EMFILE: return 10024;
  case ENFILE: return 10024;
#if EWOULDBLOCK != EAGAIN
  case EWOULDBLOCK: return 10035;
#endif
  case EAGAIN: return 10035;
  case EINPROGRESS: return 10036;
  case EALREADY: return 10037;
  case ENOTSOCK: return 10038;
  case EDESTADDRREQ: return 10039;
  case EMSGSIZE: return 10040;
  case EPROTOTYPE: return 10041;
  case ENOPROTOOPT: return 10042;
  case EPROTONOSUPPORT: return 10043;
  case ESOCKTNOSUPPORT: return 10044;
  case EOPNOTSUPP: return 10045;
  case EPFNOSUPPORT: return 10046;
  case EAFNOSUPPORT: return 10047;
  case EADDRINUSE: return 10048;
  case EADDRNOTAVAIL: return 10049;
  case ENETDOWN: return 10050;
  case ENETUNREACH: return 10051;
  case ENETRESET: return 10052;
  case ECONNABORTED: return 10053;
  case ECONNRESET: return 10054;
  case EPIPE: return 10054;
  case ENOBUFS: return 10055;
  case ENOMEM: return 10055;
  case EISCONN: return 10056;
  case ENOTCONN: return 10057;
  case ESHUTDOWN: return 10058;
  case ETOOMANYREFS: return 10059;
  case ETIMEDOUT: return 10060;
  case ECONNREFUSED: return 10061;
  case ELOOP: return 10062;
  case ENAMETOOLONG: return 10063;
  case EHOSTDOWN: return 10064;
  case EHOSTUNREACH: return 10065;
  case ENOTEMPTY: return 10066;
  case EUSERS: return 10068;
  case EDQUOT: return 10069;
  case ESTALE: return 10070;
  case EREMOTE: return 10071;
  // Errors with no code of their own, by what they mean for a connection.
  case ERESTART: return 10004;
  case ECANCELED: return 10004;
  case EBADFD: return 10009;
  case E2BIG: return 10040;
  case EFBIG: return 10040;
  case EOVERFLOW: return 10040;
  case ENOTTY: return 10038;
  case ENOSYS: return 10045;
  case ENODEV: return 10050;
  case ENONET: return 10050;
  case ENOLINK: return 10050;
  case ERFKILL: return 10050;
  case EPROTO: return 10053;
  case ECOMM: return 10054;
  case ENOSPC: return 10055;
  case ENOSR: return 10055;
  case ETIME: return 10060;
  // Anything else is a failure of the system below the socket; callers and
  // messages never see a bare errno.
  default: return WsaError::SystemNotReady;
  }
}

int ResolverToWsaError(int result, int savedErrno) noexcept {
  switch (result) {
  case 0: return 0;
  case EAI_NONAME: return WsaError::HostNotFound;
  case EAI_AGAIN: return WsaError::TryAgain;
  case EAI_FAIL: return WsaError::NoRecovery;
#ifdef EAI_NODATA
  case EAI_NODATA: return WsaError::NoData;
#endif
#ifdef EAI_ADDRFAMILY
  case EAI_ADDRFAMILY: return WsaError::NoData;
#endif
  case EAI_FAMILY: return 10047;
  case EAI_SOCKTYPE: return 10044;
  case EAI_SERVICE: return 10109;
  case EAI_MEMORY: return WsaError::NoBufferSpace;
  case EAI_BADFLAGS: return WsaError::InvalidArgument;
  case EAI_SYSTEM: return savedErrno != 0 ? ErrnoToWsaError(savedErrno) : WsaError::NoRecovery;
  default: return WsaError::NoRecovery;
  }
}

bool IsIPv4Text(std::string_view text) {
  int parts = 0;
  size_t start = 0;
  while (true) {
    const size_t dot = text.find('.', start);
    const std::string_view part = TrimView(text.substr(start, dot == std::string_view::npos ? dot : dot - start));
    if (++parts > 4 || part.empty()) return false;
    int value = 0;
    for (char c : part) {
      if (!IsDigit(c)) return false;
      value = value * 10 + (c - '0');
      if (value > 255) return false;
    }
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  return parts == 4;
}

namespace {

bool IsHexWord(std::string_view part) {
  if (part.empty()) return false;
  std::uint32_t value = 0;
  for (char c : part) {
    if (!IsHexDigit(c)) return false;
    value = value * 16 + static_cast<std::uint32_t>(HexValue(c));
    if (value > 0xFFFF) return false;
  }
  return true;
}

} // namespace

bool IsIPv6Text(std::string_view text) {
  if (text == "::") return true;
  std::vector<std::string_view> parts;
  size_t start = 0;
  while (true) {
    const size_t colon = text.find(':', start);
    parts.push_back(TrimView(text.substr(start, colon == std::string_view::npos ? colon : colon - start)));
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  bool zeroRun = false;
  for (size_t i = 0; i < parts.size(); ++i) {
    std::string_view part = parts[i];
    const bool last = i + 1 == parts.size();
    if (part.empty()) {
      if (last) return false;
      if (i == 0) continue;
      if (zeroRun) return false;
      zeroRun = true;
      continue;
    }
    if (i >= 8) return false;
    if (last) {
      const size_t zone = part.find('%');
      if (zone != std::string_view::npos) {
        if (!IsHexWord(part.substr(zone + 1))) return false;
        part = part.substr(0, zone);
      }
    }
    if (!IsHexWord(part)) return false;
  }
  // A single word with no "::" is a plain number, not an address.
  return !(parts.size() == 1 && !zeroRun);
}

// ---------------------------------------------------------------------------

void TReadAhead::Assign(std::string text, size_t offset) {
  data_ = std::move(text);
  start_ = std::min(offset, data_.size());
  if (empty()) clear();
}

void TReadAhead::clear() noexcept {
  data_.clear();
  start_ = 0;
}

void TReadAhead::Consume(size_t count) {
  start_ += std::min(count, size());
  if (empty()) {
    clear();
  } else if (start_ > 65536 && start_ > data_.size() / 2) {
    // Give back the consumed front now and then, so the buffer stays near
    // the size of what it holds.
    data_.erase(0, start_);
    start_ = 0;
  }
}

std::string TReadAhead::TakeAll() {
  std::string bytes = start_ == 0 ? std::move(data_) : data_.substr(start_);
  clear();
  return bytes;
}

std::ostream& operator<<(std::ostream& out, const TReadAhead& bytes) { return out << bytes.View(); }

// ---------------------------------------------------------------------------

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

std::string TBlockSocket::GetErrorDesc(int code) {
  if (code == 0) return {};
  for (const WsaText& entry : kErrorTexts)
    if (entry.code == code) return entry.text;
  return "Other Winsock error (" + std::to_string(code) + ")";
}

std::string TBlockSocket::GetErrorDescEx() { return GetErrorDesc(lastError_); }

// --- resolving -------------------------------------------------------------

void TBlockSocket::ResolveAddress(TVarSin& address, const std::string& host, const std::string& port) {
  DoStatus(HR_ResolvingBegin, host + ":" + port);
  ClearLastError();
  TSocketFamily family = family_;
  if (socket_ == -1 && family_ == SF_Any) family = IsIPv4Text(host) ? SF_IP4 : IsIPv6Text(host) ? SF_IP6 : SF_Any;
  const int addressFamily = family == SF_IP4 ? AF_INET : family == SF_IP6 ? AF_INET6 : AF_UNSPEC;
  lastError_ = FillAddress(address, host, port, addressFamily, SocketProtocol(), SocketType(), PreferIP4);
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
  const int limit = WaitWithinDeadline(ConnectTimeout);
  const bool bounded = limit >= 0;
  if (bounded) SetSendTimeout(std::max(limit, 1));
  int code = 0;
  if (::connect(socket_, &address.sa, AddressLength(address)) == -1) {
    const int error = errno;
    if (error == EINTR) {
      code = ProcessStopRequested() ? ErrnoToWsaError(EINTR) : AwaitConnect();
    } else if (error == EINPROGRESS) {
      // A blocking socket says so when the time-out has run out; one that a
      // creation hook made non-blocking says it at once.
      const int flags = OnCreateSocket ? fcntl(socket_, F_GETFL) : 0;
      code = flags != -1 && (flags & O_NONBLOCK) != 0 ? AwaitConnect() : WsaError::TimedOut;
    } else {
      code = ErrnoToWsaError(error);
    }
  }
  return code;
}

int TBlockSocket::AwaitConnect() {
  short revents = 0;
  if (!PollOnce(WaitWithinDeadline(ConnectTimeout), POLLOUT, &revents))
    return lastError_ != 0 ? lastError_ : WsaError::TimedOut;
  // Writable without an error or hang-up condition: connected. Only a
  // failed connect needs asking for its reason.
  if ((revents & (POLLERR | POLLHUP)) == 0) return 0;
  int soError = 0;
  socklen_t length = sizeof(soError);
  if (getsockopt(socket_, SOL_SOCKET, SO_ERROR, &soError, &length) == -1) soError = errno;
  return ErrnoToWsaError(soError);
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
      if (WaitWritable(NonblockSendTimeout)) {
        result = sendPiece(bytes + sent, n, error);
        SetResultError(result, error);
      } else {
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
    do r = ::send(socket_, piece, static_cast<size_t>(n), MSG_NOSIGNAL);
    while (r == -1 && errno == EINTR);
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

void TBlockSocket::SetDeadline(std::int32_t ms) {
  deadline_ = ms < 0 ? std::chrono::steady_clock::time_point::max()
                     : std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

bool TBlockSocket::DeadlinePassed() const noexcept {
  return deadline_ != std::chrono::steady_clock::time_point::max() && std::chrono::steady_clock::now() >= deadline_;
}

int TBlockSocket::WaitWithinDeadline(int timeout) const noexcept {
  if (deadline_ == std::chrono::steady_clock::time_point::max()) return timeout;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline_ - std::chrono::steady_clock::now()).count();
  const int allowed = left > 0 ? static_cast<int>(std::min<std::int64_t>(left, INT32_MAX)) : 0;
  return timeout < 0 ? allowed : std::min(timeout, allowed);
}

bool TBlockSocket::PollOnce(int timeout, short events, short* revents) {
  ClearLastError();
  if (socket_ == -1) {
    lastError_ = ErrnoToWsaError(ENOTSOCK);
    return false;
  }
  pollfd p{socket_, events, 0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout < 0 ? 0 : timeout);
  int remaining = timeout;
  int result;
  while (true) {
    result = ::poll(&p, 1, remaining);
    if (result != -1 || errno != EINTR) break;
    // A termination signal ends the wait, and the request with it.
    if (ProcessStopRequested()) break;
    // Resume with what is left of the wait, not with the whole time-out.
    if (timeout >= 0) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      remaining = left > 0 ? static_cast<int>(left) : 0;
    }
  }
  CheckSocketResult(result);
  if (result > 0 && (p.revents & POLLNVAL)) lastError_ = ErrnoToWsaError(EBADF);
  if (revents != nullptr) *revents = result > 0 ? p.revents : 0;
  return result > 0 && lastError_ == 0;
}

bool TBlockSocket::WaitFor(int timeout, short events) {
  timeout = WaitWithinDeadline(timeout);
  bool ready;
  if (HeartbeatRate != 0 && timeout != -1) {
    const int rate = HeartbeatRate;
    ready = PollOnce(timeout % rate, events);
    for (int i = 0; !ready && lastError_ == 0 && i < timeout / rate + 1; ++i) {
      if (OnHeartbeat) OnHeartbeat(*this);
      if (StopFlag) {
        StopFlag = false;
        break;
      }
      ready = PollOnce(rate, events);
    }
  } else {
    ready = PollOnce(timeout, events);
    if (!ready) ready = PollOnce(0, events);
  }
  ReportError();
  return ready;
}

bool TBlockSocket::WaitReadable(int timeout) {
  const bool ready = WaitFor(timeout, POLLIN);
  if (ready) DoStatus(HR_CanRead, "");
  return ready;
}

bool TBlockSocket::WaitWritable(int timeout) {
  const bool ready = WaitFor(timeout, POLLOUT);
  if (ready) DoStatus(HR_CanWrite, "");
  return ready;
}

void TBlockSocket::SkipSplitLineEnd() {
  if (!ConvertLineEnd || ReadAhead.empty()) return;
  if (SawLoneCR && ReadAhead.View().front() == '\n') ReadAhead.Consume(1);
  if (SawLoneLF && !ReadAhead.empty() && ReadAhead.View().front() == '\r') ReadAhead.Consume(1);
  SawLoneCR = false;
  SawLoneLF = false;
}

std::string TBlockSocket::ReceivePacket(int timeout) {
  std::string result;
  ClearLastError();
  auto readPending = [this, &result](int count) {
    result.resize(static_cast<size_t>(count));
    const int got = ReceiveBytes(result.data(), count);
    result.resize(got > 0 ? static_cast<size_t>(got) : 0);
  };
  if (!ReadAhead.empty()) {
    result = ReadAhead.TakeAll();
  } else if (DeadlinePassed()) {
    // Bytes that keep coming do not extend the deadline.
    lastError_ = WsaError::TimedOut;
  } else {
    // No yield before the read: the scheduler preempts a long download by
    // itself, and a yield per packet costs every short exchange a system call.
    if (ReadsSystemDirectly()) {
      // A receive that does not wait takes what is pending, up to a
      // packet's 64 KiB, in the call that would otherwise only have counted
      // it; only when nothing is there does the read wait.
      thread_local char packet[65536];
      // Right after a request the answer is seldom there yet: waiting
      // first spares the read that would find nothing.
      int got = awaitingAnswer_ ? kNothingPending : ReceiveWithoutWait(packet, sizeof packet);
      if (got == kNothingPending) {
        if (WaitReadable(timeout)) {
          got = ReceiveWithoutWait(packet, sizeof packet);
          // Readable with nothing to read: the peer has closed its side.
          if (got == kNothingPending) lastError_ = WsaError::ConnectionReset;
        } else if (lastError_ == 0) {
          lastError_ = WsaError::TimedOut;
        }
      }
      if (got > 0) result.assign(packet, static_cast<size_t>(got));
    } else {
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
  }
  if (ConvertLineEnd && !result.empty()) {
    if (SawLoneCR && result.front() == '\n') result.erase(0, 1);
    if (SawLoneLF && !result.empty() && result.front() == '\r') result.erase(0, 1);
    SawLoneCR = false;
    SawLoneLF = false;
  }
  ReportError();
  return result;
}

std::string TBlockSocket::ReceiveTerminated(int timeout, const std::string& terminator) {
  ClearLastError();
  if (terminator.empty()) return {};
  const bool lineEndMode = ConvertLineEnd && terminator == "\r\n";
  // A whole line may already wait in ReadAhead: cut it from there directly.
  // Only when the gathered text could not break the length limit, which the
  // general path below reports.
  if (!ReadAhead.empty() && (MaxLineLength == 0 || ReadAhead.size() <= static_cast<size_t>(MaxLineLength))) {
    SkipSplitLineEnd();
    const std::string_view held = ReadAhead.View();
    size_t at = std::string_view::npos;
    size_t length = 0;
    if (lineEndMode) {
      at = held.find_first_of("\r\n");
      if (at != std::string_view::npos) length = LineBreakLength(held, at, SawLoneCR, SawLoneLF);
    } else {
      at = held.find(terminator);
      length = terminator.size();
    }
    if (at != std::string_view::npos) {
      std::string line(held.substr(0, at));
      ReadAhead.Consume(at + length);
      ReportError();
      return line;
    }
  }
  std::string acc;
  size_t pos = std::string::npos;
  size_t breakLength = 0;
  size_t scanned = 0; // bytes of acc already known to hold no break
  while (true) {
    const std::uint32_t start = Tick();
    acc += ReceivePacket(timeout);
    if (lastError_ != 0) break;
    if (!acc.empty()) {
      if (lineEndMode) {
        const size_t at = acc.find_first_of("\r\n", scanned);
        if (at != std::string::npos) {
          pos = at;
          breakLength = LineBreakLength(acc, at, SawLoneCR, SawLoneLF);
        }
      } else {
        pos = acc.find(terminator, scanned >= terminator.size() ? scanned - terminator.size() + 1 : 0);
        breakLength = terminator.size();
      }
    }
    if (MaxLineLength != 0 && acc.size() > static_cast<size_t>(MaxLineLength)) {
      lastError_ = WsaError::NoBufferSpace;
      break;
    }
    if (pos != std::string::npos) break;
    scanned = acc.size();
    if (!InterPacketTimeout && timeout >= 0) {
      timeout -= TickDiff(start, Tick());
      if (timeout <= 0) {
        lastError_ = WsaError::TimedOut;
        break;
      }
    }
  }
  std::string result;
  if (pos != std::string::npos) {
    result = acc.substr(0, pos);
    ReadAhead.Assign(std::move(acc), pos + breakLength);
  } else {
    ReadAhead = std::move(acc);
  }
  ReportError();
  return result;
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
    if (!InterPacketTimeout && timeout >= 0) {
      timeout -= TickDiff(start, Tick());
      if (timeout <= 0) {
        lastError_ = WsaError::TimedOut;
        break;
      }
    }
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

// --- SOCKS, secure layer, TCP socket --------------------------------------

TSocksBlockSocket::TSocksBlockSocket() = default;

void TCustomSSL::NotCompiled() {
  lastError_ = -1;
  lastErrorDesc_ = "SSL/TLS support is not compiled!";
}

bool TCustomSSL::Connect() {
  NotCompiled();
  return false;
}

bool TCustomSSL::Shutdown() {
  NotCompiled();
  return false;
}

int TCustomSSL::SendBuffer(const void*, int) {
  NotCompiled();
  return -1;
}

int TCustomSSL::RecvBuffer(void*, int) {
  NotCompiled();
  return -1;
}

int TCustomSSL::WaitingData() {
  NotCompiled();
  return 0;
}

TTCPBlockSocket::TTCPBlockSocket() : ssl_(SSLFactory()(*this)) {}

TTCPBlockSocket::~TTCPBlockSocket() {
  try {
    CloseConnection();
  } catch (...) {
    // A destructor never throws, even for a socket told to raise.
  }
}

void TTCPBlockSocket::ConnectTo(const std::string& host, const std::string& port) {
  if (!SocksIP.empty() || !HTTPTunnelIP.empty()) {
    // Connecting through a SOCKS server or an HTTP tunnel is not offered.
    ClearLastError();
    lastError_ = ErrnoToWsaError(EOPNOTSUPP);
    ReportError();
    return;
  }
  PlainConnect(host, port);
  if (lastError_ == 0 && OnAfterConnect) OnAfterConnect(*this);
}

void TTCPBlockSocket::CloseConnection() {
  if (ssl_->SSLEnabled()) ssl_->Shutdown();
  // Usually the peer has closed already and its answer has been read: the
  // close then sends the FIN, with nothing unread that would turn it into
  // a reset, and there is nothing to half-close or drain.
  if (socket_ != -1 && lastError_ == 0 && !PeerClosedWithNothingUnread()) {
    ::shutdown(socket_, SHUT_WR);
    DrainInput();
  }
  AbortConnection();
}

void TTCPBlockSocket::StartSecureLayer() {
  ClearLastError();
  if (!ssl_->Connect()) lastError_ = WsaError::SystemNotReady;
  ReportError();
}

int TTCPBlockSocket::SendBytes(const void* buffer, int length) {
  if (!ssl_->SSLEnabled()) return TBlockSocket::SendBytes(buffer, length);
  return SendPieces(buffer, length, [this](const char* piece, int n, int& error) -> long {
    const int result = ssl_->SendBuffer(piece, n);
    error = ssl_->LastError() != 0 ? WsaError::SystemNotReady : 0;
    return error != 0 ? -1 : result;
  });
}

int TTCPBlockSocket::ReceiveBytes(void* buffer, int length) {
  if (!ssl_->SSLEnabled()) return TBlockSocket::ReceiveBytes(buffer, length);
  if (StopRequested()) return 0;
  const int result = ssl_->RecvBuffer(buffer, length);
  if (ssl_->LastError() != 0) {
    lastError_ = WsaError::SystemNotReady;
    ReportError();
    return -1;
  }
  return AfterReceive(buffer, length, result);
}

bool TTCPBlockSocket::ReadsSystemDirectly() const noexcept { return !ssl_->SSLEnabled(); }

int TTCPBlockSocket::PendingBytes() {
  if (ssl_->SSLEnabled() && socket_ != -1) {
    const int count = ssl_->WaitingData();
    if (count != 0) return count;
  }
  return TBlockSocket::PendingBytes();
}

std::string TTCPBlockSocket::GetErrorDescEx() {
  if (lastError_ == WsaError::SystemNotReady && ssl_->LastError() != 0) return ssl_->LastErrorDesc();
  return TBlockSocket::GetErrorDescEx();
}

} // namespace od
