// The four exports of the self-registering in-process server.
#include <windows.h>

#include "common/Barrier.h"
#include "registration/ClassFactory.h"
#include "common/Module.h"
#include "registration/Registrar.h"
#include "velmora_h.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // Explicit unload only: at process exit other threads may still hold it.
    velmora::ReleaseClassFactory();
    velmora::ReleaseModuleTypeInfo();
    velmora::trace::Close();
  } else if (reason == DLL_PROCESS_DETACH) {
    // The process ends, and has ended the trace's writer thread with it.
    velmora::trace::FlushAtExit();
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) {
  return velmora::Barrier([&]() -> HRESULT {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (clsid != CLSID_VelmoraCtl) return CLASS_E_CLASSNOTAVAILABLE;
    return velmora::GetClassFactory(riid, ppv);
  });
}

STDAPI DllCanUnloadNow() {
  if (velmora::ModuleLockCount() != 0) return S_FALSE;
  // The trace's writer thread holds the module; it ends once it has written
  // what is queued, and the module can go.
  velmora::trace::StopWriter();
  return S_OK;
}

// The registrar works on texts of its own: it runs behind the barrier too.
STDAPI DllRegisterServer() { return velmora::Barrier([] { return velmora::RegisterServer(); }); }

STDAPI DllUnregisterServer() { return velmora::Barrier([] { return velmora::UnregisterServer(); }); }
