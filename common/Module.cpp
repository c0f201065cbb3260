#include "common/Module.h"

#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace velmora {
namespace {

LONG g_lockCount = 0;
// Constructed in place when the module initialises, never copied.
CriticalSection g_moduleLock;
// The module's own type library and the type information asked of it, held
// until the module goes away.
ITypeLib* g_typeLib = nullptr;
std::vector<std::pair<GUID, ITypeInfo*>>* g_typeInfos = nullptr;

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

HRESULT ModuleTypeInfo(REFGUID guid, ITypeInfo** borrowed) {
  *borrowed = nullptr;
  std::lock_guard<CriticalSection> guard(g_moduleLock);
  if (!g_typeLib) {
    HRESULT hr = LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, &g_typeLib);
    if (FAILED(hr)) return hr;
  }
  if (!g_typeInfos) g_typeInfos = new (std::nothrow) std::vector<std::pair<GUID, ITypeInfo*>>();
  if (!g_typeInfos) return E_OUTOFMEMORY;
  for (const auto& [known, info] : *g_typeInfos) {
    if (IsEqualGUID(known, guid)) {
      *borrowed = info;
      return S_OK;
    }
  }
  // Room first: a failed allocation must not strand the reference.
  g_typeInfos->reserve(g_typeInfos->size() + 1);
  ITypeInfo* info = nullptr;
  HRESULT hr = g_typeLib->GetTypeInfoOfGuid(guid, &info);
  if (FAILED(hr)) return hr;
  g_typeInfos->emplace_back(guid, info);
  *borrowed = info;
  return S_OK;
}

void ReleaseModuleTypeInfo() {
  std::lock_guard<CriticalSection> guard(g_moduleLock);
  if (g_typeInfos) {
    for (auto& entry : *g_typeInfos) entry.second->Release();
    delete g_typeInfos;
    g_typeInfos = nullptr;
  }
  if (g_typeLib) g_typeLib->Release();
  g_typeLib = nullptr;
}

}  // namespace velmora
