#pragma once

#include <windows.h>

namespace velmora {

// The module's one class factory, created on first request and reused.
// The module's own reference does not hold the module; every other one, live
// objects and LockServer do.
HRESULT GetClassFactory(REFIID riid, void** ppv);
// Frees the cached factory when the module goes away.
void ReleaseClassFactory();

}  // namespace velmora
