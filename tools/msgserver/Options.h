// Command line of the reference message server.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "messaging/Records.h"

namespace velmora::msgserver {

// How fast long answers such as the lock table go to each client, in KiB of
// its socket buffer per second (a lock record takes about 16.7 KiB, so
// 49152 is about 2,940 records a second). The protocol has no flow
// control: this is what a control of today takes on a stock Linux buffer
// limit (net.core.rmem_max 212,992) under Wine with nothing lost: 48 MiB/s
// lost none of 10,000 records in three runs, 64 MiB/s up to 4, 128 MiB/s
// 1,187 and 2,235. A faster control allows a faster pace; measure with
// bench/run-bench.sh before raising it.
constexpr int kDefaultPaceKiBPerSecond = 49152;

struct Options {
  msg::Ipv4 bind{127, 0, 0, 1};
  uint16_t port = msg::kServerPort;  // 0: the system picks one
  bool verbose = false;
  int aliveIntervalSeconds = 30;     // 0: no alive checks
  int expireAfter = 3;               // 0: never drop a client
  int paceKiBPerSecond = kDefaultPaceKiBPerSecond;  // 0: unpaced
  bool help = false;
};

// Parses the arguments after the program name; on failure returns nothing
// and describes the problem in `error`.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error);

const char* UsageText();

}  // namespace velmora::msgserver
