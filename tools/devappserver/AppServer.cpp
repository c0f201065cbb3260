#include "tools/devappserver/AppServer.h"

#include <wrl/client.h>

#include <new>
#include <string>
#include <vector>

#include "common/Raii.h"
#include "common/Module.h"
#include "tools/devappserver/DataFile.h"
#include "tools/devappserver/DataSet.h"
#include "tools/devappserver/Recordset.h"
#include "tools/devappserver/Utf8.h"

namespace velmora::devappserver {
namespace {

using Microsoft::WRL::ComPtr;


// Clears any stale error object on success; sets a fresh one on failure.
HRESULT Report(HRESULT hr, const std::string& message) {
  if (SUCCEEDED(hr)) {
    SetErrorInfo(0, nullptr);
    return hr;
  }
  ComPtr<ICreateErrorInfo> create;
  if (FAILED(CreateErrorInfo(&create))) return hr;
  std::wstring description;
  try {
    description = Widen(message);
  } catch (...) {  // out of memory: the HRESULT alone must do
  }
  create->SetGUID(IID_IAppServer);
  create->SetSource(const_cast<LPOLESTR>(L"Velmora.DevAppServer"));
  create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
  ComPtr<IErrorInfo> info;
  if (SUCCEEDED(create.As(&info))) SetErrorInfo(0, info.Get());
  return hr;
}

std::string NowText() {
  SYSTEMTIME t{};
  GetLocalTime(&t);
  char text[32];
  wsprintfA(text, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
  return text;
}

// One argument as text: text as it is, NULL or nothing as empty text,
// numbers in invariant decimal. Arguments carry passwords: every copy made
// of them here is wiped before it is freed.
HRESULT ArgumentText(const VARIANT& value, size_t index, std::string* text, std::string* message) {
  SecretVariant v;
  HRESULT hr = VariantCopyInd(v.get(), const_cast<VARIANT*>(&value));
  if (SUCCEEDED(hr)) {
    VARTYPE vt = V_VT(v.get());
    if (vt == VT_EMPTY || vt == VT_NULL) {
      text->clear();
      return S_OK;
    }
    if (vt != VT_BSTR) hr = VariantChangeTypeEx(v.get(), v.get(), LOCALE_INVARIANT, 0, VT_BSTR);
  }
  if (FAILED(hr)) {
    *message = "argument " + std::to_string(index + 1) + " is neither text nor a number";
    return E_INVALIDARG;
  }
  *text = Narrow(V_BSTR(v.get()), static_cast<size_t>(SysStringLen(V_BSTR(v.get()))));
  return S_OK;
}

// A script array (JScript's, for one) seen through IDispatch: "length",
// then "0", "1", ...
HRESULT ScriptArrayArguments(IDispatch* array, std::vector<std::string>* args, std::string* message) {
  auto get = [array](const std::wstring& name, VARIANT* out) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name.c_str())};
    DISPID id = DISPID_UNKNOWN;
    HRESULT hr = array->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    DISPPARAMS none{};
    return array->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, out, nullptr, nullptr);
  };
  UniqueVariant length;
  if (FAILED(get(L"length", length.get())) ||
      FAILED(VariantChangeType(length.get(), length.get(), 0, VT_I4)) || V_I4(length.get()) < 0) {
    *message = "the arguments are an object that is not an array";
    return E_INVALIDARG;
  }
  for (LONG i = 0; i < V_I4(length.get()); ++i) {
    SecretVariant element;
    std::string text;
    if (FAILED(get(std::to_wstring(i), element.get()))) V_VT(element.get()) = VT_EMPTY;
    HRESULT hr = ArgumentText(*element.get(), static_cast<size_t>(i), &text, message);
    if (FAILED(hr)) return hr;
    args->push_back(std::move(text));
  }
  return S_OK;
}

// The control sends VT_ARRAY|VT_VARIANT (lower bound 0) or VT_EMPTY;
// scripts may also send one bare value or their own array object.
HRESULT ReadArguments(const VARIANT& in, std::vector<std::string>* args, std::string* message) {
  SecretVariant v;
  if (FAILED(VariantCopyInd(v.get(), const_cast<VARIANT*>(&in)))) {
    *message = "the arguments cannot be read";
    return E_INVALIDARG;
  }
  VARTYPE vt = V_VT(v.get());
  if (vt == VT_EMPTY || vt == VT_NULL || (vt == VT_ERROR && V_ERROR(v.get()) == DISP_E_PARAMNOTFOUND)) return S_OK;
  if (vt == VT_DISPATCH) {
    if (!V_DISPATCH(v.get())) {
      *message = "the arguments are a null object";
      return E_INVALIDARG;
    }
    return ScriptArrayArguments(V_DISPATCH(v.get()), args, message);
  }
  if (!(vt & VT_ARRAY)) {
    std::string text;
    HRESULT hr = ArgumentText(*v.get(), 0, &text, message);
    if (SUCCEEDED(hr)) args->push_back(std::move(text));
    return hr;
  }
  SAFEARRAY* array = V_ARRAY(v.get());
  LONG lower = 0, upper = -1;
  if (vt != (VT_ARRAY | VT_VARIANT) || !array || SafeArrayGetDim(array) != 1 ||
      FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper))) {
    *message = "the arguments must be a one-dimensional array of VARIANTs";
    return E_INVALIDARG;
  }
  for (LONG i = lower; i <= upper; ++i) {
    SecretVariant element;
    std::string text;
    HRESULT hr = SafeArrayGetElement(array, &i, element.get());
    if (SUCCEEDED(hr)) hr = ArgumentText(*element.get(), static_cast<size_t>(i - lower), &text, message);
    if (FAILED(hr)) {
      if (message->empty()) *message = "argument " + std::to_string(i - lower + 1) + " cannot be read";
      return E_INVALIDARG;
    }
    args->push_back(std::move(text));
  }
  return S_OK;
}

HRESULT FaultResult(Fault fault) {
  switch (fault) {
    case Fault::BadArguments: return E_INVALIDARG;
    case Fault::UnknownCommand: return E_NOTIMPL;
    case Fault::AccessDenied: return E_ACCESSDENIED;
    case Fault::None: break;
  }
  return S_OK;
}

HRESULT Run(LONG code, const VARIANT& arguments, VARIANT* result, std::string* message) {
  std::vector<std::string> args;
  HRESULT hr = ReadArguments(arguments, &args, message);
  if (FAILED(hr)) return hr;

  std::wstring path = DataFilePath();
  DataFileLock lock;
  if (DataSet::Changes(code)) {
    hr = lock.Acquire(path, message);
    if (FAILED(hr)) return hr;
  }
  std::string text;
  hr = ReadDataFile(path, &text, message);
  if (FAILED(hr)) return hr;
  std::string fault;
  std::optional<DataSet> data = DataSet::Parse(text, &fault);
  if (!data) {
    *message = Narrow(path) + ": " + fault;
    return kBadDataFile;
  }

  Reply reply = data->Execute(code, args, NowText());
  if (reply.fault != Fault::None) {
    *message = reply.message;
    return FaultResult(reply.fault);
  }
  if (reply.changed) {
    hr = WriteDataFile(path, data->Serialize(), message);
    if (FAILED(hr)) return hr;
  }
  if (reply.table) {
    IDispatch* recordset = nullptr;
    hr = CreateRecordset(std::move(*reply.table), &recordset);
    if (FAILED(hr)) return hr;
    V_VT(result) = VT_DISPATCH;
    V_DISPATCH(result) = recordset;
  } else if (reply.text) {
    BSTR value = nullptr;
    hr = ToBstr(*reply.text, &value);
    if (FAILED(hr)) return hr;
    V_VT(result) = VT_BSTR;
    V_BSTR(result) = value;
  }
  return S_OK;
}

}  // namespace

HRESULT ServerTypeInfo(ITypeInfo** info) {
  ITypeInfo* borrowed = nullptr;
  HRESULT hr = ModuleTypeInfo(IID_IAppServer, &borrowed);
  if (FAILED(hr)) return hr;
  borrowed->AddRef();
  *info = borrowed;
  return S_OK;
}

void ReleaseServerTypeInfo() { ReleaseModuleTypeInfo(); }

AppServer::AppServer() { ModuleLock(); }
AppServer::~AppServer() { ModuleUnlock(); }

HRESULT AppServer::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  AppServer* server = new (std::nothrow) AppServer;
  if (!server) return E_OUTOFMEMORY;
  HRESULT hr = server->QueryInterface(riid, ppv);
  server->Release();
  return hr;
}

STDMETHODIMP AppServer::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IAppServer) {
    *ppv = static_cast<IAppServer*>(this);
  } else if (riid == IID_ISupportErrorInfo) {
    *ppv = static_cast<ISupportErrorInfo*>(this);
  } else {
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) AppServer::AddRef() { return InterlockedIncrement(&refs_); }

STDMETHODIMP_(ULONG) AppServer::Release() {
  ULONG n = InterlockedDecrement(&refs_);
  if (n == 0) delete this;
  return n;
}

STDMETHODIMP AppServer::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

STDMETHODIMP AppServer::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  return ServerTypeInfo(info);
}

STDMETHODIMP AppServer::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  ComPtr<ITypeInfo> info;
  HRESULT hr = ServerTypeInfo(&info);
  if (FAILED(hr)) return hr;
  return DispGetIDsOfNames(info.Get(), names, count, ids);
}

STDMETHODIMP AppServer::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                               EXCEPINFO* excep, UINT* argErr) {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  ComPtr<ITypeInfo> info;
  HRESULT hr = ServerTypeInfo(&info);
  if (FAILED(hr)) return hr;
  return DispInvoke(static_cast<IAppServer*>(this), info.Get(), id, flags, params, result, excep, argErr);
}

STDMETHODIMP AppServer::Execute(LONG lCode, VARIANT, VARIANT vArguments, VARIANT* pvResult) {
  if (!pvResult) return Report(E_POINTER, "no place for the result");
  VariantInit(pvResult);
  std::string message;
  HRESULT hr;
  try {
    hr = Run(lCode, vArguments, pvResult, &message);
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
    message = "out of memory";
  } catch (...) {
    hr = E_UNEXPECTED;
    message = "unexpected internal failure";
  }
  if (FAILED(hr)) VariantClear(pvResult);
  if (FAILED(hr) && message.empty()) message = "command " + std::to_string(lCode) + " failed";
  return Report(hr, message);
}

STDMETHODIMP AppServer::InterfaceSupportsErrorInfo(REFIID riid) {
  return riid == IID_IAppServer ? S_OK : S_FALSE;
}

}  // namespace velmora::devappserver
