// The opt-in diagnostic trace: one UTF-8 line per event in a file an
// administrator names. Off unless the environment variable VELMORA_TRACE
// (which wins) or the policy value TraceFile under HKLM
// "SOFTWARE\Policies\Velmora" names a file; read at the first event of a
// process (and again after StopWriter). Off costs one load of a flag at
// each place that could trace; nothing here ever fails its caller or lets
// an exception out.
//
// A traced thread only formats its line and puts it into a bounded queue;
// one writer thread per process writes the queue to the file, so a slow or
// stalled file costs the callers nothing but the lines that find the queue
// full (counted, and the count written). Processes tracing into one file
// share a lock under which the file's real size decides when it rolls.
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
void Dropped() noexcept;
}  // namespace detail

// Whether events are written. The first call reads the setting, opens the
// file once and starts the writer; a file that cannot be opened leaves the
// trace off.
inline bool On() noexcept {
  const int s = detail::state.load(std::memory_order_acquire);
  if (s == detail::kOff) return false;
  return s == detail::kOn || detail::Decide();
}

// Queues one line of `kind` and `detail` (UTF-8); never waits for the
// file. A file that later refuses the lines turns the trace off.
void Write(std::string_view kind, std::string_view detail) noexcept;

// Builds an event's detail only when the trace is on: `build(std::string&)`
// appends to it. Whatever it throws ends the event, not the caller; the
// line counts as dropped.
template <typename Build>
void Event(std::string_view kind, Build&& build) noexcept {
  if (!On()) return;
  try {
    std::string detail;
    build(detail);
    Write(kind, detail);
  } catch (...) {
    detail::Dropped();
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
// `limitBytes`. What is queued is written first, for a few seconds at
// most: the writer then ends. For the test programs, which change the
// setting within one process and read the file.
void Reconsider(uint64_t limitBytes = kRollBytes) noexcept;

// Tells the writer thread to write what is queued and end, without waiting
// for it: the thread holds the module, which is unloaded once it ends. The
// next event starts the trace again. For when nothing of the module is in
// use.
void StopWriter() noexcept;

// Writes what is still queued when the process ends, on the thread that
// ends it, once every other thread (the writer among them) is gone: a
// second at most, and no lock of the process waited for.
void FlushAtExit() noexcept;

// Frees what the trace holds when the module is unloaded; never waits.
void Close() noexcept;

}  // namespace velmora::trace
