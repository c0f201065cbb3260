#include "common/TraceCore.h"

#include <cstdio>

namespace velmora::trace {
namespace {

void AppendEscaped(std::string& out, char c) {
  switch (c) {
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default: break;
  }
  char hex[8];
  std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
  out += hex;
}

bool IsControl(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

}  // namespace

std::string FormatLine(const Stamp& s, uint32_t threadId, std::string_view kind, std::string_view detail) {
  char prefix[64];
  const int n = std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02d %02d:%02d:%02d.%03d t=%lu ", s.year, s.month,
                              s.day, s.hour, s.minute, s.second, s.millisecond,
                              static_cast<unsigned long>(threadId));
  std::string line;
  line.reserve(static_cast<size_t>(n > 0 ? n : 0) + kind.size() + detail.size() + 2);
  line.append(prefix, n > 0 ? static_cast<size_t>(n) : 0);
  line.append(kind);
  if (!detail.empty()) line += ' ';
  for (char c : detail) {
    if (IsControl(c)) {
      AppendEscaped(line, c);
    } else {
      line += c;
    }
  }
  line += '\n';
  return line;
}

void AppendQuoted(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (IsControl(c)) {
      AppendEscaped(out, c);
    } else {
      out += c;
    }
  }
  out += '"';
}

void AppendMilliseconds(std::string& out, uint64_t microseconds) {
  char text[40];
  std::snprintf(text, sizeof text, " ms=%llu.%03llu", static_cast<unsigned long long>(microseconds / 1000),
                static_cast<unsigned long long>(microseconds % 1000));
  out += text;
}

void AppendHresult(std::string& out, int32_t hr) {
  char text[24];
  std::snprintf(text, sizeof text, " hr=0x%08lX", static_cast<unsigned long>(static_cast<uint32_t>(hr)));
  out += text;
}

bool ShouldRoll(uint64_t fileBytes, size_t lineBytes, uint64_t limit) {
  return fileBytes > 0 && fileBytes + lineBytes > limit;
}

}  // namespace velmora::trace
