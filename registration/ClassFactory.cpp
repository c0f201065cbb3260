#include "registration/ClassFactory.h"

#include <unknwn.h>

#include <mutex>
#include <new>

#include "common/Barrier.h"
#include "control/VelmoraCtl.h"
#include "common/Module.h"

namespace velmora {
namespace {

class ClassFactory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // The module keeps the factory until it unloads; every reference handed
  // out on top of its own holds the module, so a host that keeps the
  // factory keeps the code it calls loaded.
  STDMETHODIMP_(ULONG) AddRef() override {
    ModuleLock();
    return InterlockedIncrement(&refs_);
  }
  STDMETHODIMP_(ULONG) Release() override {
    ModuleUnlock();
    return InterlockedDecrement(&refs_);
  }

  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    return Barrier([&] { return VelmoraCtl::CreateInstance(outer, riid, ppv); });
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    lock ? ModuleLock() : ModuleUnlock();
    return S_OK;
  }

 private:
  LONG refs_ = 1;
};

ClassFactory* g_factory = nullptr;

}  // namespace

HRESULT GetClassFactory(REFIID riid, void** ppv) {
  {
    std::lock_guard<CriticalSection> guard(ModuleCriticalSection());
    if (!g_factory) g_factory = new (std::nothrow) ClassFactory;
  }
  if (!g_factory) return E_OUTOFMEMORY;
  return g_factory->QueryInterface(riid, ppv);
}

void ReleaseClassFactory() {
  delete g_factory;
  g_factory = nullptr;
}

}  // namespace velmora
