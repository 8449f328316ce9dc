#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/AddressText.h"
#include "net/ReadAhead.h"
#include "net/SecureLayer.h"
#include "net/SocketErrors.h"
#include "net/SocketLibrary.h"
#include "net/WaitHook.h"

struct addrinfo;

// Blocking TCP socket with packet, line and exact-count reads through a
// read-ahead buffer and a time-out on every single wait. Failures never raise
// unless RaiseExcept is set: each operation leaves a Winsock-style error code
// (10054, 10060, 11001, ...) and its English text in LastErrorCode and
// LastErrorText, and callers test them.
namespace od {

class TMemoryStream;

enum THookSocketReason {
  HR_ResolvingBegin,
  HR_ResolvingEnd,
  HR_SocketCreate,
  HR_SocketClose,
  HR_Bind,
  HR_Connect,
  HR_CanRead,
  HR_CanWrite,
  HR_Listen,
  HR_Accept,
  HR_ReadCount,
  HR_WriteCount,
  HR_Wait,
  HR_Error,
};

enum TSocketFamily { SF_Any, SF_IP4, SF_IP6 };

enum TSocksType { ST_Socks5, ST_Socks4 };

enum TSocketOptionKind { SOT_RecvBuff, SOT_SendBuff };

struct TSocketOption {
  TSocketOptionKind Option;
  bool Enabled = false;
  std::int32_t Value = 0;
};

class TBlockSocket;
class THostResolver;

using THookSocketStatus = std::function<void(TBlockSocket& sender, THookSocketReason reason, const std::string& text)>;
using THookDataFilter = std::function<void(TBlockSocket& sender, std::string& bytes)>;
using THookCreateSocket = std::function<void(TBlockSocket& sender)>;
using THookMonitor = std::function<void(TBlockSocket& sender, bool writing, const void* buffer, int length)>;
using THookHeartbeat = std::function<void(TBlockSocket& sender)>;
using THookAfterConnect = std::function<void(TBlockSocket& sender)>;

class TBlockSocket {
public:
  TBlockSocket();
  virtual ~TBlockSocket();
  TBlockSocket(const TBlockSocket&) = delete;
  TBlockSocket& operator=(const TBlockSocket&) = delete;

  THookSocketStatus OnStatus;
  THookDataFilter OnReadFilter;
  THookCreateSocket OnCreateSocket;
  THookMonitor OnMonitor;
  THookHeartbeat OnHeartbeat;

  std::int32_t Tag = 0;
  TReadAhead ReadAhead;
  bool RaiseExcept = false;
  std::int32_t MaxLineLength = 0;
  std::int32_t MaxSendBandwidth = 0;
  std::int32_t MaxRecvBandwidth = 0;
  bool ConvertLineEnd = false;
  bool SawLoneCR = false;
  bool SawLoneLF = false;
  bool PreferIP4 = true;
  bool InterPacketTimeout = true;
  std::int32_t SendMaxChunk = 65536;
  bool StopFlag = false;
  std::int32_t NonblockSendTimeout = 15000;
  std::int32_t HeartbeatRate = 0;
  // How long a close waits, in milliseconds, for what the peer still sends.
  std::int32_t DrainTimeout = 1;
  // Longest wait of a connect in milliseconds; -1 leaves it to the system,
  // which gives up after minutes.
  std::int32_t ConnectTimeout = -1;
  // Called from inside the connect's, the sends' and the receives' waits
  // while one goes on (see THttpWaitHook); null for none. It must outlive
  // every wait it is set for.
  const THttpWaitHook* WaitHook = nullptr;
  // Where a connect looks its host up, bounded by the connect's time-out and
  // asking WaitHook; null for the system's lookup on this thread. Told when
  // a connect to the address it gave fails. It must outlive the socket's
  // connects.
  THostResolver* Resolver = nullptr;

  int SocketHandle() const noexcept { return socket_; }
  int LastErrorCode() const noexcept { return lastError_; }
  const std::string& LastErrorText() const noexcept { return lastErrorText_; }
  TSocketFamily Family() const noexcept { return family_; }
  virtual void SetFamily(TSocketFamily family);
  bool UsesIPv6() const noexcept { return ip6Used_; }
  bool Bound() const noexcept { return bound_; }
  std::int64_t BytesReceived() const noexcept { return recvCounter_; }
  std::int64_t BytesSent() const noexcept { return sendCounter_; }
  size_t QueuedOptionCount() const noexcept { return optionQueue_.size(); }
  // The socket's own and its peer's address, asked of the system when
  // wanted (most connections never look); empty records without a socket.
  TVarSin LocalAddress() const;
  TVarSin RemoteAddress() const;

  void ResolveAddress(TVarSin& address, const std::string& host, const std::string& port);
  void BindLocal(const std::string& host, const std::string& port);
  virtual void ConnectTo(const std::string& host, const std::string& port);
  virtual void CloseConnection();
  virtual void AbortConnection();

  virtual int SendBytes(const void* buffer, int length);
  virtual void SendText(std::string_view text);
  virtual int ReceiveBytes(void* buffer, int length);
  virtual std::string ReceivePacket(int timeout);
  virtual std::string ReceiveTerminated(int timeout, const std::string& terminator);
  virtual std::string ReceiveLine(int timeout);
  virtual int ReceiveExact(void* buffer, int length, int timeout);
  virtual std::string ReceiveExactText(int length, int timeout);
  void ReceiveToStream(TMemoryStream& stream, int timeout, std::int64_t size);
  virtual int PendingBytes();
  virtual bool WaitReadable(int timeout);
  virtual bool WaitWritable(int timeout);
  void DrainInput();
  // Puts a line that ReceiveLine has just returned back in front of
  // ReadAhead, with the kind of break it ended with: read again, it ends
  // where it ended the first time, also when its break was split across
  // packets and the second half is still to come.
  void UnreadLine(const std::string& line);

  // A point in time, ms from now, after which no wait goes on: on top of
  // each wait's own time-out, it bounds a whole series of reads, so that a
  // peer sending a byte now and then cannot stretch them without end. Once
  // it has passed, every read that needs the system fails at once with
  // 10060. A negative ms removes it.
  void SetDeadline(std::int32_t ms);
  bool DeadlinePassed() const noexcept;

  void SetReceiveBufferSize(std::int32_t size);
  void SetSendBufferSize(std::int32_t size);

  void ClearLastError() noexcept;
  // Records a failure found by a caller above the socket (for example a
  // protocol limit) the same way the socket records its own.
  void SetLastError(int code);
  virtual int CheckSocketResult(long result);
  void ReportError();
  static std::string GetErrorDesc(int code) { return SocketErrorText(code); }
  virtual std::string GetErrorDescEx();

  // Adopts a descriptor that is already connected; the object closes it
  // from then on. A handle the object held before is left to the caller.
  void SetSocketHandle(int handle);

protected:
  virtual int SocketType() const noexcept { return SOCK_STREAM; }
  virtual int SocketProtocol() const noexcept { return IPPROTO_TCP; }

  void DoStatus(THookSocketReason reason, const std::string& text);
  void CreateSocketFor(const TVarSin& address);
  void PlainConnect(const std::string& host, const std::string& port);
  bool StopRequested();
  // What ReceivePacket does to the front of every packet it hands out in
  // line-end mode: drop the second half of a break split across packets.
  void SkipSplitLineEnd();
  // How many bytes at the front of text are the second half of a break
  // whose first half ended the last line; forgets that first half.
  size_t TakeSplitLineEnd(std::string_view text) noexcept;
  // The steps of ReceivePacket with nothing held: straight from the system,
  // or what the secure layer has pending.
  void ReceiveSystemPacket(int timeout, std::string& packet);
  virtual void ReceivePendingPacket(int timeout, std::string& packet);
  // The steps of ReceiveTerminated: a line that ReadAhead holds whole, cut
  // from there; otherwise packets gathered until the terminator comes.
  bool TakeHeldLine(const std::string& terminator, bool lineEndMode, std::string& line);
  std::string GatherTerminated(int timeout, const std::string& terminator, bool lineEndMode);
  // Where the first terminator after the scanned bytes starts (npos for
  // none) and in length how long it is; in line-end mode any of CR, LF,
  // CR LF and LF CR, noting a lone CR or LF that ends the text.
  size_t FindTerminator(std::string_view text, size_t scanned, const std::string& terminator, bool lineEndMode,
                        size_t& length);
  // With InterPacketTimeout off, timeout bounds a whole read rather than
  // each packet's wait: what the last packet took since start comes off.
  // False, with 10060, once nothing is left.
  bool SpendReadTime(int& timeout, std::uint32_t start);
  void LimitRate(int length, int limit, std::uint32_t& nextTime);
  // The part of a wait of timeout ms (-1: no limit) that the deadline leaves.
  int WaitWithinDeadline(int timeout) const noexcept;
  // Every wait on the socket goes through here: one poll, or with a wait
  // hook, polls of its interval with a call of the hook after each one.
  // revents, when given, receives what the system reported.
  bool PollOnce(int timeout, short events, short* revents = nullptr);
  // The wait hook's interval in ms, at least 1; 0 without a hook.
  int HookSlice() const noexcept;
  // Asks the wait hook whether the wait goes on; when not, the wait ends
  // with 10004.
  bool WaitGoesOn();
  bool WaitFor(int timeout, short events);
  // Sends one piece; a negative result reports the failure's code in error.
  using SendPiece = std::function<long(const char* piece, int length, int& error)>;
  int SendPieces(const void* buffer, int length, const SendPiece& sendPiece);
  void SetResultError(long result, int error);
  int AfterReceive(void* buffer, int length, long result);
  // Whether reads go straight to the system socket (no secure layer in
  // between): then a read that does not wait can tell what is pending.
  virtual bool ReadsSystemDirectly() const noexcept { return true; }
  // One system receive that does not wait: like ReceiveBytes, except that
  // it returns kNothingPending, and records no error, when no byte is there
  // yet. Only for sockets that read the system directly.
  static constexpr int kNothingPending = -2;
  int ReceiveWithoutWait(void* buffer, int length);
  // One system receive with the given flags: stop request, rate limit and
  // bookkeeping as for every read.
  int ReceiveFromSystem(void* buffer, int length, int flags);
  // Whether the peer has closed its side with nothing left unread: then a
  // close sends a FIN by itself. Only for sockets that read the system
  // directly; false where that cannot be told without waiting.
  bool PeerClosedWithNothingUnread();
  void QueueOption(const TSocketOption& option);
  void ApplyOption(const TSocketOption& option);
  void ApplyQueuedOptions();

  int socket_ = -1;
  int lastError_ = 0;
  std::string lastErrorText_;

private:
  int FillAddress(TVarSin& address, const std::string& host, const std::string& port, int addressFamily, int protocol,
                  int type, bool preferIP4);
  int LookupAddress(TVarSin& address, const std::string& host, const std::string& port, const ::addrinfo& hints);

  // Connects the created socket to address within ConnectTimeout and the
  // deadline; 0 or the code of the failure.
  int ConnectWithinTimeout(const TVarSin& address);
  // The rest of a connect that the system left in progress, for at most
  // timeout ms (-1: no limit); 0 or the code of the failure.
  int AwaitConnect(int timeout);
  // A blocking connect that gave up after the hook's interval: asks the hook
  // and waits for the rest of the limit (-1: none) counted from start.
  int ResumeSlicedConnect(int limit, std::chrono::steady_clock::time_point start);
  // One poll of the system, resumed after signals other than a stop request.
  bool PollSystem(int timeout, short events, short* revents);
  // SO_SNDTIMEO in ms: bounds a blocking connect and every blocking send.
  void SetSendTimeout(int ms);

  std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
  bool bound_ = false;
  TSocketFamily family_ = SF_Any;
  TSocketFamily familySaved_ = SF_Any;
  bool ip6Used_ = false;
  std::uint32_t nextSend_ = 0;
  std::uint32_t nextRecv_ = 0;
  // Newest first: applied from the back, so options reach the socket in the
  // order they were set.
  std::vector<TSocketOption> optionQueue_;
  std::int64_t recvCounter_ = 0;
  std::int64_t sendCounter_ = 0;
  // Set by a send, cleared by a receive: the peer has not answered yet.
  bool awaitingAnswer_ = false;
  // The send time-out is the wait hook's interval: a send that the system
  // gives up on has waited that long already.
  bool sendSliced_ = false;
};

class TSocksBlockSocket : public TBlockSocket {
public:
  TSocksBlockSocket();

  std::string SocksIP;
  std::string SocksPort = "1080";
  std::string SocksUsername;
  std::string SocksPassword;
  std::int32_t SocksTimeout = 60000;
  bool SocksResolver = true;
  TSocksType SocksType = ST_Socks5;
};

class TTCPBlockSocket : public TSocksBlockSocket {
public:
  TTCPBlockSocket();
  ~TTCPBlockSocket() override;

  THookAfterConnect OnAfterConnect;
  std::string HTTPTunnelIP;
  std::string HTTPTunnelPort;
  std::string HTTPTunnelUser;
  std::string HTTPTunnelPass;
  std::int32_t HTTPTunnelTimeout = 30000;

  TCustomSSL& SecureLayer() noexcept { return *ssl_; }

  void ConnectTo(const std::string& host, const std::string& port) override;
  void CloseConnection() override;
  void StartSecureLayer();
  int SendBytes(const void* buffer, int length) override;
  int ReceiveBytes(void* buffer, int length) override;
  int PendingBytes() override;
  std::string GetErrorDescEx() override;

protected:
  bool ReadsSystemDirectly() const noexcept override;
  // Through the secure layer, one read of what it has or can decrypt,
  // each wait of it within timeout.
  void ReceivePendingPacket(int timeout, std::string& packet) override;

private:
  // The secure layer's code for a failure it reports.
  int SecureLayerCode() const noexcept;
  // Connects to the tunnel's proxy and has it open the way to host:port.
  void ConnectThroughTunnel(const std::string& host, const std::string& port);

  std::unique_ptr<TCustomSSL> ssl_;
};

} // namespace od
