// Command line of the reference message server.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "messaging/Records.h"

namespace velmora::msgserver {

// The most each client is sent, in KiB of its socket buffer per second (a
// lock record takes about 16.7 KiB, so 49152 is about 2,940 records a
// second). The lock table waits for each window to be read (TableFlow), so
// this only bounds the pace: 48 MiB/s is what a control of today took under
// Wine on a stock Linux buffer limit with nothing lost before windows.
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
