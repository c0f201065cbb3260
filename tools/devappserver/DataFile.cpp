#include "tools/devappserver/DataFile.h"

#include <vector>

#include "common/Raii.h"
#include "common/Module.h"
#include "tools/devappserver/Utf8.h"

namespace velmora::devappserver {
namespace {

// Far above any hand-edited file; a larger one is refused, not loaded.
constexpr LONGLONG kMaxFileSize = 16 * 1024 * 1024;

std::wstring ModuleFolder() {
  std::wstring path = ModulePath();
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

bool IsAbsolute(const std::wstring& path) {
  return (path.size() >= 2 && path[1] == L':') || (!path.empty() && (path[0] == L'\\' || path[0] == L'/'));
}

std::wstring FromEnvironment() {
  DWORD n = GetEnvironmentVariableW(kDataFileVariable, nullptr, 0);
  if (n <= 1) return {};
  std::wstring value(n, L'\0');
  n = GetEnvironmentVariableW(kDataFileVariable, &value[0], n);
  value.resize(n);
  return value;
}

std::wstring FromRegistry() {
  UniqueHkey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDataFileKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return {};
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key.get(), kDataFileValue, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      type != REG_SZ || size < sizeof(wchar_t))
    return {};
  std::wstring value(size / sizeof(wchar_t), L'\0');
  if (RegQueryValueExW(key.get(), kDataFileValue, nullptr, &type, reinterpret_cast<BYTE*>(&value[0]), &size) !=
      ERROR_SUCCESS)
    return {};
  value.resize(size / sizeof(wchar_t));
  while (!value.empty() && value.back() == L'\0') value.pop_back();
  return value;
}

std::string SystemMessage(DWORD error) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = "Windows error " + std::to_string(error);
  if (n && text) {
    std::wstring wide(text, n);
    while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' ')) wide.pop_back();
    message += " (" + Narrow(wide) + ")";
  }
  LocalFree(text);
  return message;
}

HRESULT Failed(const std::wstring& path, const std::string& what, std::string* message) {
  DWORD error = GetLastError();
  *message = Narrow(path) + ": " + what + ": " + SystemMessage(error);
  return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

}  // namespace

std::wstring DataFilePath() {
  std::wstring path = FromEnvironment();
  if (path.empty()) path = FromRegistry();
  if (path.empty()) path = kDefaultDataFile;
  return IsAbsolute(path) ? path : ModuleFolder() + path;
}

HRESULT ReadDataFile(const std::wstring& path, std::string* text, std::string* message) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return Failed(path, "cannot open the data file", message);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) return Failed(path, "cannot read the data file", message);
  if (size.QuadPart > kMaxFileSize) {
    *message = Narrow(path) + ": the data file is larger than 16 MiB";
    return kBadDataFile;
  }
  text->assign(static_cast<size_t>(size.QuadPart), '\0');
  size_t done = 0;
  while (done < text->size()) {
    DWORD got = 0;
    if (!ReadFile(file.get(), &(*text)[done], static_cast<DWORD>(text->size() - done), &got, nullptr))
      return Failed(path, "cannot read the data file", message);
    if (got == 0) break;  // the file shrank while we read it
    done += got;
  }
  text->resize(done);
  return S_OK;
}

HRESULT WriteDataFile(const std::wstring& path, const std::string& text, std::string* message) {
  size_t slash = path.find_last_of(L"\\/");
  std::wstring folder = slash == std::wstring::npos ? L"." : path.substr(0, slash);
  std::vector<wchar_t> temp(MAX_PATH + 1);
  if (!GetTempFileNameW(folder.c_str(), L"das", 0, temp.data()))
    return Failed(path, "cannot create a temporary file beside the data file", message);
  std::wstring tempPath = temp.data();
  {
    UniqueFile file(CreateFileW(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                nullptr));
    bool ok = static_cast<bool>(file);
    size_t done = 0;
    while (ok && done < text.size()) {
      DWORD put = 0;
      ok = WriteFile(file.get(), text.data() + done, static_cast<DWORD>(text.size() - done), &put, nullptr) && put;
      done += put;
    }
    // On disk before it replaces the old file.
    if (!ok || !FlushFileBuffers(file.get())) {
      HRESULT hr = Failed(path, "cannot write the temporary file", message);
      file.reset();
      DeleteFileW(tempPath.c_str());
      return hr;
    }
  }
  if (!MoveFileExW(tempPath.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    HRESULT hr = Failed(path, "cannot replace the data file", message);
    DeleteFileW(tempPath.c_str());
    return hr;
  }
  return S_OK;
}

DataFileLock::~DataFileLock() {
  if (locked_) {
    OVERLAPPED at{};
    UnlockFileEx(file_.get(), 0, 1, 0, &at);
  }
}

HRESULT DataFileLock::Acquire(const std::wstring& dataPath, std::string* message) {
  const std::wstring path = dataPath + L".lock";
  file_.reset(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file_) return Failed(path, "cannot open the lock file", message);
  // Asked without waiting, and again: a waiting request cannot be bounded
  // everywhere (Wine has no overlapped lock wait).
  const ULONGLONG deadline = GetTickCount64() + kDataFileLockWaitMs;
  for (;;) {
    OVERLAPPED at{};
    if (LockFileEx(file_.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
      locked_ = true;
      return S_OK;
    }
    if (GetLastError() != ERROR_LOCK_VIOLATION) return Failed(path, "cannot lock the lock file", message);
    if (GetTickCount64() >= deadline) {
      *message = Narrow(path) + ": another change of the data file held the lock for " +
                 std::to_string(kDataFileLockWaitMs / 1000) + " s";
      return HRESULT_FROM_WIN32(ERROR_LOCK_VIOLATION);
    }
    Sleep(10);
  }
}

}  // namespace velmora::devappserver
