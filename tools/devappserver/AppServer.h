// The development AppServer's COM class: Execute reads the data file
// afresh for every command, answers it, and reports every failure as an
// HRESULT with IErrorInfo; nothing it meets may crash or escape as a C++
// exception.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "appserver_h.h"

namespace velmora::devappserver {

class AppServer final : public IAppServer, public ISupportErrorInfo {
 public:
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excep, UINT* argErr) override;

  STDMETHODIMP Execute(LONG lCode, VARIANT vCaller, VARIANT vArguments, VARIANT* pvResult) override;

  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;

 private:
  AppServer();
  ~AppServer();

  LONG refs_ = 1;
};

// The module's shared type information, loaded once from the DLL's own
// type library; released when the DLL is unloaded.
HRESULT ServerTypeInfo(ITypeInfo** info);
void ReleaseServerTypeInfo();

}  // namespace velmora::devappserver
