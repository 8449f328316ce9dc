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
struct THttpWaitHook {
  std::chrono::milliseconds Interval{16};
  std::function<bool()> OnWait;
};

} // namespace od
