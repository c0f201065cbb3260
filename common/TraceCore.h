// What the diagnostic trace decides apart from files, clocks and threads:
// how an event line reads, how lines wait for the writer thread (bounded,
// with a count of those dropped), where a batch of lines must stop for the
// file to roll, and which lock the processes writing one file share. Plain
// data in and out, so all of it is tested natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace velmora::trace {

// The file is rolled before a line would take it past this size; the one
// previous file keeps the same name with this suffix.
constexpr uint64_t kRollBytes = 10ull * 1024 * 1024;
constexpr char kPreviousSuffix[] = ".1";

// Lines waiting for the writer: some 3,000 of the usual length. A file that
// stalls costs the process this much memory, twice, and no more.
constexpr size_t kQueueBytes = 256 * 1024;

struct Stamp {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};

// "2026-05-04 09:15:02.417 t=1234 kind detail\n". A control character in
// `detail` is escaped, so that one event is always one line.
std::string FormatLine(const Stamp& stamp, uint32_t threadId, std::string_view kind, std::string_view detail);

// `text` in double quotes, with `"`, `\` and control characters escaped
// (\", \\, \n, \r, \t, \xNN); other bytes as they are.
void AppendQuoted(std::string& out, std::string_view text);

// " ms=12.345": a duration in microseconds, shown in milliseconds.
void AppendMilliseconds(std::string& out, uint64_t microseconds);

// " hr=0x80004005".
void AppendHresult(std::string& out, int32_t hr);

// How many bytes of `lines` (whole lines, each ending in '\n') go into a
// file of `fileBytes` before it must roll so as not to pass `limit`; 0: roll
// first. An empty file takes its first line whatever its length, so a line
// longer than the limit is still written, once.
size_t BytesBeforeRoll(uint64_t fileBytes, std::string_view lines, uint64_t limit);

// The name of the lock every process writing the file at `fullPath` takes
// (a named mutex of the session): the same for the same path, upper-cased by
// the caller, whatever its length.
std::wstring LockName(std::wstring_view fullPath);

// Whether a file name from the machine-wide setting, its environment
// strings expanded, may be used: a full path (X:\ or \\server\) with no
// '%' left, which a variable this account does not define leaves.
bool IsUsableExpandedPath(std::wstring_view path);

// Whole lines in one block of fixed size, allocated once: adding a line
// never allocates, so a thread short of memory traces like any other.
class LineBuffer {
 public:
  // False when the memory cannot be had; the buffer then takes nothing.
  bool Allocate(size_t capacity) noexcept;
  // False, and nothing added, when `line` does not fit.
  bool Append(std::string_view line) noexcept;
  std::string_view Text() const noexcept { return {bytes_.get(), size_}; }
  bool Empty() const noexcept { return size_ == 0; }
  size_t Capacity() const noexcept { return capacity_; }
  void Clear() noexcept { size_ = 0; }
  void Swap(LineBuffer& other) noexcept;

 private:
  std::unique_ptr<char[]> bytes_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// The lines traced and not yet taken by the writer thread. A line that
// finds it full is dropped and counted; the count goes to the writer with
// the next lines it takes, which writes it as a line of its own. Not
// locked: the caller guards it.
class LineQueue {
 public:
  enum class Added {
    kFirst,    // queued into an empty queue: the writer must be woken
    kQueued,   // queued behind others: the writer has been woken already
    kDropped,  // no room
  };

  bool Allocate(size_t capacity) noexcept { return pending_.Allocate(capacity); }
  bool Allocated() const noexcept { return pending_.Capacity() > 0; }
  Added Add(std::string_view line) noexcept;
  // A line lost before it reached the queue (no memory to build it).
  void CountDropped() noexcept { ++dropped_; }
  // The queued lines go to `batch`, which must be empty and of the same
  // capacity (the buffers are swapped); the number of lines dropped since
  // the last take comes back, and counting starts again.
  uint64_t TakeInto(LineBuffer& batch) noexcept;
  // Forgets what is queued and the count, for a trace being turned off.
  void Clear() noexcept;

 private:
  LineBuffer pending_;
  uint64_t dropped_ = 0;
};

}  // namespace velmora::trace
