// The opt-in diagnostic trace: one UTF-8 line per event in a file an
// administrator names. Off unless the environment variable VELMORA_TRACE
// (which wins) or the policy value TraceFile under HKLM
// "SOFTWARE\Policies\Velmora" names a file; looked at once per process, at
// the first event. Off costs one load of a flag at each place that could
// trace; nothing here ever fails its caller or lets an exception out.
//
// What is written is built only from codes, counts, types, addresses,
// durations and fixed texts: no caller hands this module a value it did not
// choose to show, which is how passwords stay out.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/TraceCore.h"

namespace velmora::trace {

namespace detail {
enum : int { kOff = 0, kOn = 1, kUndecided = 2 };
extern std::atomic<int> state;
bool Decide() noexcept;
}  // namespace detail

// Whether events are written. The first call reads the setting and opens
// the file; a file that cannot be opened leaves the trace off.
inline bool On() noexcept {
  const int s = detail::state.load(std::memory_order_acquire);
  if (s == detail::kOff) return false;
  return s == detail::kOn || detail::Decide();
}

// Writes one line of `kind` and `detail` (UTF-8). A line that cannot be
// written turns the trace off.
void Write(std::string_view kind, std::string_view detail) noexcept;

// Builds an event's detail only when the trace is on: `build(std::string&)`
// appends to it. Whatever it throws ends the event, not the caller.
template <typename Build>
void Event(std::string_view kind, Build&& build) noexcept {
  if (!On()) return;
  try {
    std::string detail;
    build(detail);
    Write(kind, detail);
  } catch (...) {
  }
}

// Elapsed time since construction, for durations.
class Stopwatch {
 public:
  Stopwatch() noexcept;
  uint64_t Microseconds() const noexcept;

 private:
  LARGE_INTEGER start_{};
};

// UTF-16 text as UTF-8, for details.
void AppendUtf8(std::string& out, std::wstring_view text);

// "member NAME hr=... ms=...".
void Member(const char* name, HRESULT hr, const Stopwatch& since) noexcept;

// Looks at the setting again at the next event, with files rolled at
// `limitBytes`: the file open now is closed. For the test programs, which
// change the setting within one process.
void Reconsider(uint64_t limitBytes = kRollBytes) noexcept;

// Closes the file when the module is unloaded.
void Close() noexcept;

}  // namespace velmora::trace
