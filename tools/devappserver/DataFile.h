// Where the development AppServer's data file lives, and reading and
// writing it. A write goes to a temporary file beside the data file that is
// then moved over it, so a crash mid-write leaves the old file whole.
#pragma once

#include <windows.h>

#include <string>

#include "common/Raii.h"

namespace velmora::devappserver {

// The data file is unreadable or not a sound document.
constexpr HRESULT kBadDataFile = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x0201);

// Looked up in this order; a relative path is taken from the DLL's folder.
constexpr wchar_t kDataFileVariable[] = L"VELMORA_APPSERVER_DATA";
constexpr wchar_t kDataFileKey[] = L"SOFTWARE\\Sorvik\\DevAppServer";  // under HKEY_LOCAL_MACHINE
constexpr wchar_t kDataFileValue[] = L"DataFile";
constexpr wchar_t kDefaultDataFile[] = L"appserver.json";

std::wstring DataFilePath();

// Failures come with a message (UTF-8) that names the file.
HRESULT ReadDataFile(const std::wstring& path, std::string* text, std::string* message);
HRESULT WriteDataFile(const std::wstring& path, const std::string& text, std::string* message);

// How long a change waits for another process's change of the same file.
constexpr DWORD kDataFileLockWaitMs = 10000;

// An exclusive lock on the lock file beside the data file (its name with
// ".lock" added), held across reading, changing and replacing the data file
// so that two changes at the same moment both land. The data file itself
// cannot carry the lock: it is replaced, not rewritten. The lock file stays.
class DataFileLock {
 public:
  DataFileLock() = default;
  DataFileLock(const DataFileLock&) = delete;
  DataFileLock& operator=(const DataFileLock&) = delete;
  ~DataFileLock();

  // Waits at most kDataFileLockWaitMs.
  HRESULT Acquire(const std::wstring& dataPath, std::string* message);

 private:
  UniqueFile file_;
  bool locked_ = false;
};

}  // namespace velmora::devappserver
