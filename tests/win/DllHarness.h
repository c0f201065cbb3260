// Loads the built velmora.dll the way COM would and creates objects
// through its own class factory.
#pragma once

#include <windows.h>
#include <wrl/client.h>

#include <string>

#include "velmora_h.h"

namespace velmora::test {

using Microsoft::WRL::ComPtr;

class VelmoraDll {
 public:
  VelmoraDll();
  ~VelmoraDll();
  VelmoraDll(const VelmoraDll&) = delete;
  VelmoraDll& operator=(const VelmoraDll&) = delete;

  bool loaded() const { return module_ != nullptr; }
  std::wstring path() const;

  HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** ppv) const;
  HRESULT CanUnloadNow() const;
  HRESULT Create(IUnknown* outer, REFIID riid, void** ppv) const;
  ComPtr<IVelmoraCtl> Create() const;

 private:
  HMODULE module_ = nullptr;
  decltype(&DllGetClassObject) getClassObject_ = nullptr;
  decltype(&DllCanUnloadNow) canUnloadNow_ = nullptr;
};

// Wide text from UTF-8 source literals.
std::wstring W(const char* utf8);

}  // namespace velmora::test
