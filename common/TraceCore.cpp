#include "common/TraceCore.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

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

size_t BytesBeforeRoll(uint64_t fileBytes, std::string_view lines, uint64_t limit) {
  size_t taken = 0;
  while (taken < lines.size()) {
    const size_t end = lines.find('\n', taken);
    const size_t next = end == std::string_view::npos ? lines.size() : end + 1;
    const bool first = fileBytes == 0 && taken == 0;
    if (!first && fileBytes + next > limit) break;
    taken = next;
  }
  return taken;
}

std::wstring LockName(std::wstring_view fullPath) {
  // FNV-1a over the UTF-16 units: object names are limited in length and
  // cannot hold a backslash, paths can be long and are made of them.
  uint64_t hash = 0xcbf29ce484222325ull;
  for (wchar_t c : fullPath) {
    const auto unit = static_cast<uint32_t>(c);
    for (uint32_t byte : {unit & 0xFF, (unit >> 8) & 0xFF}) {
      hash ^= byte;
      hash *= 0x100000001b3ull;
    }
  }
  std::wstring name = L"Local\\Velmora.Trace.";
  for (int shift = 60; shift >= 0; shift -= 4) name += L"0123456789ABCDEF"[(hash >> shift) & 0xF];
  return name;
}

bool IsUsableExpandedPath(std::wstring_view path) {
  auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  const bool drive = path.size() >= 3 && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
                     path[1] == L':' && separator(path[2]);
  const bool unc = path.size() >= 3 && separator(path[0]) && separator(path[1]) && !separator(path[2]);
  return (drive || unc) && path.find(L'%') == std::wstring_view::npos;
}

bool LineBuffer::Allocate(size_t capacity) noexcept {
  bytes_.reset(new (std::nothrow) char[capacity]);
  size_ = 0;
  capacity_ = bytes_ ? capacity : 0;
  return bytes_ != nullptr;
}

bool LineBuffer::Append(std::string_view line) noexcept {
  if (line.size() > capacity_ - size_) return false;
  if (line.empty()) return true;
  std::memcpy(bytes_.get() + size_, line.data(), line.size());
  size_ += line.size();
  return true;
}

void LineBuffer::Swap(LineBuffer& other) noexcept {
  std::swap(bytes_, other.bytes_);
  std::swap(size_, other.size_);
  std::swap(capacity_, other.capacity_);
}

LineQueue::Added LineQueue::Add(std::string_view line) noexcept {
  // Woken once per run of lines: it takes them all.
  const bool wasEmpty = pending_.Empty();
  if (!pending_.Append(line)) {
    ++dropped_;
    return Added::kDropped;
  }
  return wasEmpty ? Added::kFirst : Added::kQueued;
}

uint64_t LineQueue::TakeInto(LineBuffer& batch) noexcept {
  if (!batch.Empty() || batch.Capacity() != pending_.Capacity()) return 0;
  pending_.Swap(batch);
  return std::exchange(dropped_, 0);
}

void LineQueue::Clear() noexcept {
  pending_.Clear();
  dropped_ = 0;
}

}  // namespace velmora::trace
