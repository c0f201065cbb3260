#include <string>

#include "registration/Module.h"

namespace velmora {
namespace {

LONG g_lockCount = 0;

CRITICAL_SECTION& ModuleCs() {
  static CRITICAL_SECTION cs = [] {
    CRITICAL_SECTION c;
    InitializeCriticalSection(&c);
    return c;
  }();
  return cs;
}

}  // namespace

HMODULE ModuleHandle() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ModuleHandle), &module);
  return module;
}

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(ModuleHandle(), &path[0], static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

void ModuleLock() { InterlockedIncrement(&g_lockCount); }
void ModuleUnlock() { InterlockedDecrement(&g_lockCount); }
LONG ModuleLockCount() { return InterlockedCompareExchange(&g_lockCount, 0, 0); }

ModuleCriticalSection::ModuleCriticalSection() { EnterCriticalSection(&ModuleCs()); }
ModuleCriticalSection::~ModuleCriticalSection() { LeaveCriticalSection(&ModuleCs()); }

}  // namespace velmora
