// Module-wide state of the DLL: its lock count (live objects and
// LockServer), its instance handle and the lock that guards lazy creation.
#pragma once

#include <windows.h>

#include <string>

namespace velmora {

HMODULE ModuleHandle();
void ModuleLock();
void ModuleUnlock();
LONG ModuleLockCount();

// Full path of the module that holds this code (the DLL, or a test program
// that links the code directly).
std::wstring ModulePath();

// Serialises one-time creation (the class factory).
class ModuleCriticalSection {
 public:
  ModuleCriticalSection();
  ~ModuleCriticalSection();
  ModuleCriticalSection(const ModuleCriticalSection&) = delete;
  ModuleCriticalSection& operator=(const ModuleCriticalSection&) = delete;
};

}  // namespace velmora
