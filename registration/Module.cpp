#include "registration/Module.h"

#include <mutex>
#include <string>

#include <wrl/client.h>

#include "velmora_h.h"

namespace velmora {
namespace {

LONG g_lockCount = 0;
// Constructed in place when the module initialises, never copied.
CriticalSection g_moduleLock;
ITypeInfo* g_typeInfo = nullptr;

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

CriticalSection& ModuleCriticalSection() { return g_moduleLock; }

HRESULT ModuleTypeInfo(ITypeInfo** borrowed) {
  *borrowed = nullptr;
  std::lock_guard<CriticalSection> guard(g_moduleLock);
  if (!g_typeInfo) {
    Microsoft::WRL::ComPtr<ITypeLib> library;
    HRESULT hr = LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, &library);
    if (FAILED(hr)) return hr;
    hr = library->GetTypeInfoOfGuid(IID_IVelmoraCtl, &g_typeInfo);
    if (FAILED(hr)) return hr;
  }
  *borrowed = g_typeInfo;
  return S_OK;
}

void ReleaseModuleTypeInfo() {
  std::lock_guard<CriticalSection> guard(g_moduleLock);
  if (g_typeInfo) g_typeInfo->Release();
  g_typeInfo = nullptr;
}

}  // namespace velmora
