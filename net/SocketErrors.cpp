#include "net/SocketErrors.h"

#include <netdb.h>

#include <cerrno>

namespace od {

namespace {

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
    {12000, "the secure connection failed"},
    {12001, "the service's certificate was refused"},
    {12002, "the answer was cut short: the secure connection ended without its close notice"},
    {12003, "the proxy refused the tunnel"},
    {12004, "the redirect was not followed"},
};

} // namespace

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

std::string SocketErrorText(int code) {
  if (code == 0) return {};
  for (const WsaText& entry : kErrorTexts)
    if (entry.code == code) return entry.text;
  return "Other Winsock error (" + std::to_string(code) + ")";
}

} // namespace od
