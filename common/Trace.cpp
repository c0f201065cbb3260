#include "common/Trace.h"

#include <cstring>

#include "common/Raii.h"

namespace velmora::trace {

std::atomic<int> detail::state{detail::kUndecided};

namespace {

// Fixed buffers: deciding and rolling allocate nothing, so a process short
// of memory decides like any other.
constexpr DWORD kPathChars = 1024;
constexpr size_t kSuffixChars = sizeof(kPreviousSuffix) - 1;

// Everything below is guarded by `lock` (a slim lock needs no creation).
SRWLOCK lock = SRWLOCK_INIT;
UniqueFile file;
uint64_t fileBytes = 0;
uint64_t limit = kRollBytes;
wchar_t path[kPathChars + kSuffixChars] = {};

class Exclusive {
 public:
  Exclusive() { AcquireSRWLockExclusive(&lock); }
  ~Exclusive() { ReleaseSRWLockExclusive(&lock); }
  Exclusive(const Exclusive&) = delete;
  Exclusive& operator=(const Exclusive&) = delete;
};

// The file named by the environment, else by the machine's policy (its
// environment strings expanded for this account); false when neither names
// one. `fromPolicy` says which.
bool ReadSetting(bool& fromPolicy) {
  fromPolicy = false;
  SetLastError(ERROR_SUCCESS);
  const DWORD n = GetEnvironmentVariableW(L"VELMORA_TRACE", path, kPathChars);
  if (n > 0 && n < kPathChars) return true;
  if (n >= kPathChars) return false;  // a name too long for us names nothing we can open
  if (GetLastError() != ERROR_ENVVAR_NOT_FOUND) return false;  // set and empty: off, whatever the policy says
  // Only administrators can write under Policies: a value ordinary users
  // could set would aim every account's trace at a file of their choosing.
  // One view for both builds, where Group Policy writes it.
  UniqueHkey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Velmora", 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY,
                    key.put()) != ERROR_SUCCESS) {
    return false;
  }
  wchar_t raw[kPathChars];
  DWORD type = 0;
  DWORD bytes = (kPathChars - 1) * sizeof(wchar_t);
  const LONG rc = RegQueryValueExW(key.get(), L"TraceFile", nullptr, &type, reinterpret_cast<BYTE*>(raw), &bytes);
  if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
  raw[bytes / sizeof(wchar_t)] = L'\0';  // a value stored without its terminator
  const DWORD expanded = ExpandEnvironmentStringsW(raw, path, kPathChars);
  if (expanded == 0 || expanded > kPathChars || !IsUsableExpandedPath(path)) return false;
  fromPolicy = true;
  return true;
}

// The policy usually names a folder of each account's own
// (%LOCALAPPDATA%\Velmora): its last level is made when missing, nothing
// above it.
bool MakeParentFolder() {
  wchar_t parent[kPathChars];
  size_t length = 0;
  for (size_t i = 0; path[i]; ++i) {
    if (path[i] == L'\\' || path[i] == L'/') length = i;
  }
  if (length == 0) return false;
  std::memcpy(parent, path, length * sizeof(wchar_t));
  parent[length] = L'\0';
  return CreateDirectoryW(parent, nullptr) != FALSE;
}

// Appending: every write lands at the end, also beside another process
// tracing into the same file. Others may read, write, rename or delete it.
bool OpenFile(DWORD disposition) {
  file.reset(CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  LARGE_INTEGER size{};
  fileBytes = GetFileSizeEx(file.get(), &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
  return true;
}

void CloseFile() {
  file.reset();
  fileBytes = 0;
}

// The file becomes the previous one (replacing it) and a new one begins.
// Where it cannot be renamed it is emptied instead, so the bound holds.
bool Roll() {
  CloseFile();
  wchar_t previous[kPathChars + kSuffixChars];
  const size_t length = wcslen(path);
  std::memcpy(previous, path, length * sizeof(wchar_t));
  for (size_t i = 0; i <= kSuffixChars; ++i) previous[length + i] = static_cast<wchar_t>(kPreviousSuffix[i]);
  if (MoveFileExW(path, previous, MOVEFILE_REPLACE_EXISTING)) return OpenFile(OPEN_ALWAYS);
  return OpenFile(CREATE_ALWAYS);
}

Stamp Now() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

void TurnOff() {
  CloseFile();
  detail::state.store(detail::kOff, std::memory_order_release);
}

}  // namespace

bool detail::Decide() noexcept {
  {
    Exclusive guard;
    if (state.load() != kUndecided) return state.load() == kOn;
    bool fromPolicy = false;
    bool opened = ReadSetting(fromPolicy) && OpenFile(OPEN_ALWAYS);
    if (!opened && fromPolicy && GetLastError() == ERROR_PATH_NOT_FOUND && MakeParentFolder()) {
      opened = OpenFile(OPEN_ALWAYS);
    }
    if (!opened) {
      TurnOff();
      return false;
    }
    state.store(kOn, std::memory_order_release);
  }
  Event("trace", [](std::string& d) { d = "on pid=" + std::to_string(GetCurrentProcessId()); });
  return state.load() == kOn;
}

void Write(std::string_view kind, std::string_view detail) noexcept {
  try {
    const std::string line = FormatLine(Now(), GetCurrentThreadId(), kind, detail);
    Exclusive guard;
    if (detail::state.load() != detail::kOn) return;
    if (ShouldRoll(fileBytes, line.size(), limit) && !Roll()) return TurnOff();
    DWORD written = 0;
    if (!WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
        written != line.size()) {
      return TurnOff();
    }
    fileBytes += written;
  } catch (...) {
  }
}

Stopwatch::Stopwatch() noexcept { QueryPerformanceCounter(&start_); }

uint64_t Stopwatch::Microseconds() const noexcept {
  LARGE_INTEGER now{}, frequency{};
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  if (frequency.QuadPart <= 0 || now.QuadPart < start_.QuadPart) return 0;
  const uint64_t ticks = static_cast<uint64_t>(now.QuadPart - start_.QuadPart);
  const uint64_t perSecond = static_cast<uint64_t>(frequency.QuadPart);
  return ticks / perSecond * 1000000 + ticks % perSecond * 1000000 / perSecond;
}

void AppendUtf8(std::string& out, std::wstring_view text) {
  if (text.empty()) return;
  const int length = static_cast<int>(text.size());
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return;
  const size_t at = out.size();
  out.resize(at + static_cast<size_t>(bytes));
  WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &out[at], bytes, nullptr, nullptr);
}

void Member(const char* name, HRESULT hr, const Stopwatch& since) noexcept {
  Event("member", [&](std::string& d) {
    d = name;
    AppendHresult(d, hr);
    AppendMilliseconds(d, since.Microseconds());
  });
}

void Reconsider(uint64_t limitBytes) noexcept {
  Exclusive guard;
  CloseFile();
  limit = limitBytes;
  detail::state.store(detail::kUndecided, std::memory_order_release);
}

void Close() noexcept {
  Exclusive guard;
  TurnOff();
}

}  // namespace velmora::trace
