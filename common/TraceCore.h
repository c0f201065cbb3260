// What the diagnostic trace decides apart from files and clocks: how an
// event line reads and when the file rolls over. Plain data in, one UTF-8
// line out, so the shape of the file is tested natively.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::trace {

// The file is rolled before a line would take it past this size; the one
// previous file keeps the same name with this suffix.
constexpr uint64_t kRollBytes = 10ull * 1024 * 1024;
constexpr char kPreviousSuffix[] = ".1";

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

// True when a line of `lineBytes` would take a file of `fileBytes` past
// `limit`. An empty file takes any line, so a line longer than the limit is
// still written, once.
bool ShouldRoll(uint64_t fileBytes, size_t lineBytes, uint64_t limit);

}  // namespace velmora::trace
