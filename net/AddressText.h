#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <string_view>

// Socket addresses and the texts that name them: checks on host and port
// texts that need no resolver, and the numeric form of a resolved address.
namespace od {

// Room for an IPv4 or an IPv6 address with its port (28 bytes).
union TVarSin {
  sockaddr sa;
  sockaddr_in in4;
  sockaddr_in6 in6;
};

// Checks on host texts, with no resolver involved.
bool IsIPv4Text(std::string_view text);
bool IsIPv6Text(std::string_view text);

// Names under "invalid" never exist (RFC 6761); answering at once keeps such
// look-ups off the network.
bool IsReservedInvalidName(std::string_view host);

// A numeric service above 65535 would be cut to 16 bits by the resolver and
// reach the wrong port.
bool IsOutOfRangePort(std::string_view port);

// The length the system expects for the address's family; 0 for none.
socklen_t AddressLength(const TVarSin& address);
// "127.0.0.1", "::1"; empty for an address of no known family.
std::string NumericAddress(const TVarSin& address);
int PortNumber(const TVarSin& address);

} // namespace od
