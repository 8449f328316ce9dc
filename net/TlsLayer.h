#pragma once

#include <cstdint>
#include <string>

// The secure layer of the sockets on the system's TLS library: every server
// certificate is checked (chain and name) and nothing switches that off.
namespace od {

// Whether path names a readable PEM file with at least one certificate;
// when not, why in one line.
bool CheckCaFile(const std::string& path, std::string& error);

// Makes TLS the secure layer of every socket made from now on, with one
// context for the whole process: certificates are checked against caFile
// alone when it is given, else against the system's trust store (as
// SSL_CERT_FILE and SSL_CERT_DIR point it). False, with why, when caFile
// is not usable; the layer chosen before then stays.
bool UseTlsLayer(const std::string& caFile, std::string& error);

// Handshakes done since the process started, and how many of them resumed
// an earlier session instead of a full one.
struct TTlsCounts {
  std::int64_t Handshakes = 0;
  std::int64_t Resumed = 0;
};
TTlsCounts TlsCounts();

// Whether sessions are offered again to the server that gave them (on by
// default); off only to measure what a full handshake costs.
void SetTlsResumption(bool on);

} // namespace od
