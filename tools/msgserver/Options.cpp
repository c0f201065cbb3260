#include "tools/msgserver/Options.h"

#include <climits>
#include <string>

namespace velmora::msgserver {

namespace {

std::optional<long> ParseNumber(const std::string& text, long low, long high) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

// Splits "--name=value" into name and value; other arguments stay whole.
void SplitInline(const std::string& arg, std::string& name, std::optional<std::string>& value) {
  const size_t equals = arg.find('=');
  if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
    name = arg.substr(0, equals);
    value = arg.substr(equals + 1);
  } else {
    name = arg;
    value.reset();
  }
}

}  // namespace

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string& error) {
  Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name;
    std::optional<std::string> inlineValue;
    SplitInline(args[i], name, inlineValue);

    if (name == "--verbose" && !inlineValue) {
      options.verbose = true;
      continue;
    }
    if ((name == "--help" || name == "-h") && !inlineValue) {
      options.help = true;
      continue;
    }
    if (name != "--bind" && name != "--port" && name != "--alive-interval" &&
        name != "--expire-after" && name != "--pace-rate") {
      error = "unknown option: " + args[i];
      return std::nullopt;
    }
    if (!inlineValue && i + 1 >= args.size()) {
      error = "missing value for " + name;
      return std::nullopt;
    }
    const std::string value = inlineValue ? *inlineValue : args[++i];

    if (name == "--bind") {
      const std::optional<msg::Ipv4> ip = msg::ParseIpv4(value);
      if (!ip) {
        error = "--bind needs a dotted IPv4 address: " + value;
        return std::nullopt;
      }
      options.bind = *ip;
      continue;
    }
    const long high = name == "--port" ? 65535 : INT_MAX / 1000;
    const std::optional<long> number = ParseNumber(value, 0, high);
    if (!number) {
      error = "bad value for " + name + ": " + value;
      return std::nullopt;
    }
    if (name == "--port") options.port = static_cast<uint16_t>(*number);
    if (name == "--alive-interval") options.aliveIntervalSeconds = static_cast<int>(*number);
    if (name == "--expire-after") options.expireAfter = static_cast<int>(*number);
    if (name == "--pace-rate") options.paceKiBPerSecond = static_cast<int>(*number);
  }
  return options;
}

const char* UsageText() {
  static const std::string text =
      "usage: velmora-msgserver [--bind ADDR] [--port N] [--verbose]\n"
      "                         [--alive-interval SECONDS] [--expire-after N]\n"
      "                         [--pace-rate KIB_PER_S]\n"
      "  --bind ADDR               IPv4 address to listen on (default 127.0.0.1)\n"
      "  --port N                  UDP port (default 4568; 0 picks a free one)\n"
      "  --verbose                 log every datagram to stderr\n"
      "  --alive-interval SECONDS  seconds between alive checks (default 30; 0 off)\n"
      "  --expire-after N          drop a client after N unanswered checks\n"
      "                            in a row (default 3; 0 never)\n"
      "  --pace-rate KIB_PER_S     upper bound, in KiB of client receive buffer\n"
      "                            per second, on the pace of what is sent to\n"
      "                            each client; the lock table goes in windows,\n"
      "                            each answered before the next; a client that\n"
      "                            asks for the table again gets half its last\n"
      "                            bound (default " +
      std::to_string(kDefaultPaceKiBPerSecond) + "; 0: no bound)\n";
  return text.c_str();
}

}  // namespace velmora::msgserver
