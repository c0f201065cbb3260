// Command line of the reference message server.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "messaging/Records.h"

namespace velmora::msgserver {

// The most each client is sent, in KiB of its socket buffer per second
// (a lock record takes about 16.7 KiB). None by default: the lock table
// waits for each window to be read (TableFlow), which keeps a client of any
// speed from losing records, where a bound only slowed every login (10,000
// locks in 3.45 s at 48 MiB/s, 0.83 s with none, none lost either way).
constexpr int kDefaultPaceKiBPerSecond = 0;

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
