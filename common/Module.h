// Module-wide state of the DLL: its lock count (live objects, held class
// factories and LockServer), its instance handle, the lock that guards lazy
// creation, and the type information its objects share.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

#include "common/Raii.h"

namespace velmora {

HMODULE ModuleHandle();
void ModuleLock();
void ModuleUnlock();
LONG ModuleLockCount();

// Full path of the module that holds this code (the DLL, or a test program
// that links the code directly).
std::wstring ModulePath();

// Serialises one-time creation (the class factory, the type information).
CriticalSection& ModuleCriticalSection();

// Type information of `guid` from the module's own type library, loaded
// once on first use and kept until the module unloads: loading and
// freeing the library per object races inside oleaut32 when several
// apartments do it at once. The pointer is borrowed, valid while the module
// is loaded.
HRESULT ModuleTypeInfo(REFGUID guid, ITypeInfo** borrowed);
// Lets go of the type information when the module goes away.
void ReleaseModuleTypeInfo();

}  // namespace velmora
