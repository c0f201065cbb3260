#include "bench/BenchSupport.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

#include "messaging/Records.h"

namespace velmora::bench {

double NowMs() {
  static const LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

std::string Format(const char* format, ...) {
  char text[512];
  va_list list;
  va_start(list, format);
  std::vsnprintf(text, sizeof(text), format, list);
  va_end(list);
  return text;
}

void Row(const std::string& figure, const std::string& value) {
  std::printf("| %s | %s |\n", figure.c_str(), value.c_str());
  std::fflush(stdout);
}

void Summary(const std::string& figure, const std::string& value) {
  std::printf("@summary | %s | %s |\n", figure.c_str(), value.c_str());
  std::fflush(stdout);
}

bool IsLoopback(const std::string& address) {
  const auto ip = msg::ParseIpv4(address);
  return ip && (*ip)[0] == 127;
}

}  // namespace velmora::bench
