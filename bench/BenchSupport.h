// What every benchmark program shares: a millisecond clock, printf-style
// text, the markdown rows run-bench.sh collects, and the loopback check on
// the addresses it is given.
#pragma once

#include <string>

namespace velmora::bench {

// Milliseconds of the performance counter.
double NowMs();

std::string Format(const char* format, ...);

// "| figure | value |", flushed so a run cut short still shows its rows.
void Row(const std::string& figure, const std::string& value);

// A figure for the summary table run-bench.sh prints at the end.
void Summary(const std::string& figure, const std::string& value);

// Benchmark traffic goes to 127.0.0.0/8 only.
bool IsLoopback(const std::string& address);

}  // namespace velmora::bench
