#include "tests/win/DllHarness.h"

namespace velmora::test {

VelmoraDll::VelmoraDll() : module_(LoadLibraryW(L"velmora.dll")) {
  if (!module_) return;
  getClassObject_ = reinterpret_cast<decltype(getClassObject_)>(
      reinterpret_cast<void*>(GetProcAddress(module_, "DllGetClassObject")));
  canUnloadNow_ = reinterpret_cast<decltype(canUnloadNow_)>(
      reinterpret_cast<void*>(GetProcAddress(module_, "DllCanUnloadNow")));
}

VelmoraDll::~VelmoraDll() {
  if (module_) FreeLibrary(module_);
}

std::wstring VelmoraDll::path() const {
  wchar_t buffer[MAX_PATH] = {};
  GetModuleFileNameW(module_, buffer, MAX_PATH);
  return buffer;
}

HRESULT VelmoraDll::GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) const {
  return getClassObject_ ? getClassObject_(clsid, riid, ppv) : E_UNEXPECTED;
}

HRESULT VelmoraDll::CanUnloadNow() const { return canUnloadNow_ ? canUnloadNow_() : E_UNEXPECTED; }

HRESULT VelmoraDll::Create(IUnknown* outer, REFIID riid, void** ppv) const {
  ComPtr<IClassFactory> factory;
  HRESULT hr = GetClassObject(CLSID_VelmoraCtl, IID_PPV_ARGS(&factory));
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(outer, riid, ppv);
}

ComPtr<IVelmoraCtl> VelmoraDll::Create() const {
  ComPtr<IVelmoraCtl> control;
  Create(nullptr, IID_PPV_ARGS(&control));
  return control;
}

std::wstring W(const char* utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
  std::wstring out(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &out[0], n);
  return out;
}

}  // namespace velmora::test
