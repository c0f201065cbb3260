// The exports of the development AppServer DLL: class factory and
// self-registration (class, ProgIDs and the embedded type library).
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <new>
#include <string>

#include "common/Raii.h"
#include "common/Module.h"
#include "tools/devappserver/AppServer.h"

namespace velmora::devappserver {
namespace {

using Microsoft::WRL::ComPtr;

constexpr wchar_t kClsid[] = L"{8ECD46C6-360E-456F-8C68-45C9E4B285CB}";
constexpr wchar_t kLibId[] = L"{5850F1C1-5216-42AC-B8D5-DDAEBF9D86A3}";
constexpr wchar_t kDescription[] = L"Velmora development AppServer";
constexpr wchar_t kProgId[] = L"Velmora.DevAppServer";
constexpr wchar_t kVersionedProgId[] = L"Velmora.DevAppServer.1";

class ClassFactory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
    *ppv = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  // A static object: it lives as long as the module.
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    return AppServer::CreateInstance(outer, riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    lock ? ModuleLock() : ModuleUnlock();
    return S_OK;
  }
};

ClassFactory g_factory;

struct Entry {
  std::wstring key;    // below HKEY_CLASSES_ROOT
  const wchar_t* name; // null for the default value
  std::wstring value;
};

HRESULT Write(const Entry& e) {
  UniqueHkey key;
  LONG rc = RegCreateKeyExW(HKEY_CLASSES_ROOT, e.key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE,
                            nullptr, key.put(), nullptr);
  if (rc == ERROR_SUCCESS)
    rc = RegSetValueExW(key.get(), e.name, 0, REG_SZ, reinterpret_cast<const BYTE*>(e.value.c_str()),
                        static_cast<DWORD>((e.value.size() + 1) * sizeof(wchar_t)));
  return HRESULT_FROM_WIN32(rc);
}

HRESULT RemoveTree(const std::wstring& key) {
  LONG rc = RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
  if (rc == ERROR_SUCCESS) rc = RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
  return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(rc);
}

HRESULT LoadOwnTypeLib(ITypeLib** library) {
  return LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, library);
}

HRESULT Register() {
  std::wstring path = ModulePath();
  std::wstring clsidKey = std::wstring(L"CLSID\\") + kClsid;
  const Entry entries[] = {
      {clsidKey, nullptr, kDescription},
      {clsidKey + L"\\InprocServer32", nullptr, path},
      {clsidKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
      {clsidKey + L"\\ProgID", nullptr, kVersionedProgId},
      {clsidKey + L"\\VersionIndependentProgID", nullptr, kProgId},
      {clsidKey + L"\\TypeLib", nullptr, kLibId},
      {kVersionedProgId, nullptr, kDescription},
      {std::wstring(kVersionedProgId) + L"\\CLSID", nullptr, kClsid},
      {kProgId, nullptr, kDescription},
      {std::wstring(kProgId) + L"\\CLSID", nullptr, kClsid},
      {std::wstring(kProgId) + L"\\CurVer", nullptr, kVersionedProgId},
  };
  for (const Entry& e : entries) {
    HRESULT hr = Write(e);
    if (FAILED(hr)) return hr;
  }
  ComPtr<ITypeLib> library;
  HRESULT hr = LoadOwnTypeLib(&library);
  if (FAILED(hr)) return hr;
  return RegisterTypeLib(library.Get(), const_cast<LPOLESTR>(path.c_str()), nullptr);
}

HRESULT Unregister() {
  HRESULT result = S_OK;
  for (const std::wstring& key : {std::wstring(L"CLSID\\") + kClsid, std::wstring(kVersionedProgId),
                                  std::wstring(kProgId)}) {
    HRESULT hr = RemoveTree(key);
    if (SUCCEEDED(result)) result = hr;
  }
  ComPtr<ITypeLib> library;
  TLIBATTR* attr = nullptr;
  if (SUCCEEDED(LoadOwnTypeLib(&library)) && SUCCEEDED(library->GetLibAttr(&attr))) {
    UnRegisterTypeLib(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid, attr->syskind);
    library->ReleaseTLibAttr(attr);
  }
  return result;
}

}  // namespace
}  // namespace velmora::devappserver

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    // Explicit unload only: at process exit COM may already be gone.
    velmora::devappserver::ReleaseServerTypeInfo();
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (clsid != CLSID_AppServer) return CLASS_E_CLASSNOTAVAILABLE;
  return velmora::devappserver::g_factory.QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow() { return velmora::ModuleLockCount() == 0 ? S_OK : S_FALSE; }

// The registry entries are built as strings: out of memory is a failure
// code here, never an exception out of the DLL.
STDAPI DllRegisterServer() {
  try {
    return velmora::devappserver::Register();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

STDAPI DllUnregisterServer() {
  try {
    return velmora::devappserver::Unregister();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}
