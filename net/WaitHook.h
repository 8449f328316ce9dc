#pragma once

#include <chrono>
#include <functional>

namespace od {

// Called on the requesting thread from inside a request's waits (connect,
// send readiness, receive): first when one wait has gone on for Interval,
// then every Interval until that wait ends. Returning false abandons the
// request at once: it fails with 10004 (WSAEINTR) and that code's text.
// Without a hook a wait is a single poll with the whole time-out; with one,
// the poll is split into Interval slices, so an answer within Interval costs
// nothing either way.
//
// WakeFd, when not -1, is a descriptor that becomes readable when OnWait is
// worth asking at once (an eventfd, a pipe): every wait polls it beside the
// socket, so that a stop is seen at once even while data keeps arriving and
// no slice ever stays silent. The waits only poll it; whoever owns it
// clears it.
struct THttpWaitHook {
  std::chrono::milliseconds Interval{16};
  std::function<bool()> OnWait;
  int WakeFd = -1;
};

// Waits `time` with the hook's slices and wake descriptor, as a request's
// waits do: false as soon as the hook says not to go on. Without a hook it
// simply sleeps.
bool WaitWithHook(std::chrono::milliseconds time, const THttpWaitHook* hook);

} // namespace od
