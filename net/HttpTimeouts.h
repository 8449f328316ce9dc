#pragma once

#include <cstdint>

namespace od {

// Longest time one request may take from the connect to the body's end, in
// milliseconds. Each single wait is bounded by Timeout (90 s) already, but a
// server that sends a byte every few seconds never lets such a wait run out.
// Two minutes lets a sane service that is slow answer: it may use nearly the
// whole single-wait time-out before its first byte and still send a body of
// megabytes over a poor link afterwards, while a trickling one holds a run
// for two minutes per request, not for ever.
constexpr std::int32_t kHttpRequestDeadline = 120000;

// Every time-out of an HTTP request, in one place; the defaults are the
// client's own. THttpClient::SetTimeouts hands them to the client and its
// socket, where each has the field named beside it.
struct THttpTimeouts {
  // Each single wait, in ms: the connect (the socket's ConnectTimeout), the
  // status line, every header line and every body packet (Timeout). A send
  // the system does not take is bounded by the same time in the system.
  std::int32_t Wait = 90000;
  // The whole request, connect to body end, in ms, over all its waits
  // (RequestDeadline); negative for none.
  std::int32_t Request = kHttpRequestDeadline;
  // The wait for the socket to take more after a send that would block, in
  // ms (the socket's NonblockSendTimeout).
  std::int32_t SendReady = 15000;
  // The close's wait for what the peer still sends, in ms (the socket's
  // DrainTimeout).
  std::int32_t Drain = 1;
  // No wait of the client: the seconds the Keep-Alive header asks the server
  // to hold an idle connection open (KeepAliveTimeout).
  std::int32_t KeepAlive = 300;

  // "The longest wait for one answer is ms": every single wait and the whole
  // request end by then; the others keep their defaults.
  static THttpTimeouts AnswerWithin(std::int32_t ms) {
    THttpTimeouts timeouts;
    timeouts.Wait = ms;
    timeouts.Request = ms;
    return timeouts;
  }
};

} // namespace od
