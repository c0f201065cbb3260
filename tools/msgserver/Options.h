// Command line of the reference message server.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "messaging/Records.h"

namespace velmora::msgserver {

struct Options {
  msg::Ipv4 bind{127, 0, 0, 1};
  uint16_t port = msg::kServerPort;  // 0: the system picks one
  bool verbose = false;
  int aliveIntervalSeconds = 30;     // 0: no alive checks
  int expireAfter = 3;               // 0: never drop a client
  int paceKiBPerSecond = 16384;      // metering of long answers; 0: unpaced
  bool help = false;
};

// Parses the arguments after the program name; on failure returns nothing
// and describes the problem in `error`.
std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error);

const char* UsageText();

}  // namespace velmora::msgserver
