#include "appserver/ServerCall.h"

#include <wrl/client.h>

#include <array>
#include <vector>

#include "common/Text.h"
#include "common/Trace.h"
#include "velmora_h.h"

namespace velmora::appserver {

using Microsoft::WRL::ComPtr;

const CLSID kClsidAppServer = {0x8ECD46C6, 0x360E, 0x456F, {0x8C, 0x68, 0x45, 0xC9, 0xE4, 0xB2, 0x85, 0xCB}};
const IID kIidAppServer = {0x2A01A32F, 0x4268, 0x443C, {0xBD, 0xD7, 0x8C, 0x1C, 0xEA, 0xA9, 0x64, 0xD3}};
const IID kIidRecordset = {0x00000556, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};

namespace {

std::wstring Utf8Name(const char* name) { return ToWide(name, CP_UTF8); }

VARIANT ErrorVariant(HRESULT hr) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_ERROR;
  V_ERROR(&v) = hr;
  return v;
}

HRESULT CreateServer(ComPtr<IAppServer>& server) {
  return CoCreateInstance(kClsidAppServer, nullptr, kServerContext, kIidAppServer,
                          reinterpret_cast<void**>(server.ReleaseAndGetAddressOf()));
}

const char* TypeName(VARTYPE type) {
  switch (type) {
    case VT_EMPTY: return "EMPTY";
    case VT_NULL: return "NULL";
    case VT_I2: return "I2";
    case VT_I4: return "I4";
    case VT_R8: return "R8";
    case VT_DATE: return "DATE";
    case VT_BSTR: return "BSTR";
    case VT_DISPATCH: return "DISPATCH";
    case VT_ERROR: return "ERROR";
    case VT_BOOL: return "BOOL";
    default: return "OTHER";
  }
}

// "args=3(BSTR,BSTR,I4)": the count and each argument's type, never a
// value. Every argument of the account check and the password change shows
// as ***: passwords are among them.
void AppendArguments(std::string& out, LONG code, const VARIANT& arguments) {
  if (V_VT(&arguments) != (VT_ARRAY | VT_VARIANT)) {
    out += " args=0";
    return;
  }
  const SafeArrayView<VARIANT> elements(V_ARRAY(&arguments));
  if (!elements.ok()) {
    out += " args=?";
    return;
  }
  const bool secret = code == kCheckAccount || code == kSetPassword;
  out += " args=" + std::to_string(elements.size()) + "(";
  for (size_t i = 0; i < elements.size(); ++i) {
    if (i) out += ',';
    out += secret ? "***" : TypeName(V_VT(&elements[i]));
  }
  out += ')';
}

// " rows=N" for a recordset, " rows=-" for anything else.
void AppendRows(std::string& out, const VARIANT& result) {
  LONG rows = 0;
  if (V_VT(&result) == VT_DISPATCH && V_DISPATCH(&result) &&
      SUCCEEDED(GetRecordCount(V_DISPATCH(&result), &rows))) {
    out += " rows=" + std::to_string(rows);
  } else {
    out += " rows=-";
  }
}

// Execute takes its VARIANTs by value: the server does not clear them, our
// owners do. The argument array is built only once the server exists, so a
// server that cannot be created is reported before anything else. Every
// command passes here, so here it is traced.
HRESULT Execute(IAppServer* server, LONG code, const VARIANT& caller, const VARIANT& arguments,
                UniqueVariant& result) {
  if (!trace::On()) return server->Execute(code, caller, arguments, result.put());
  const trace::Stopwatch watch;
  const HRESULT hr = server->Execute(code, caller, arguments, result.put());
  trace::Event("command", [&](std::string& d) {
    d = std::to_string(code);
    AppendArguments(d, code, arguments);
    trace::AppendHresult(d, hr);
    trace::AppendMilliseconds(d, watch.Microseconds());
    AppendRows(d, *result.get());
  });
  return hr;
}

// The shape shared by every recordset command with a caller context.
HRESULT RunContextQuery(IDispatch* control, LONG code, std::initializer_list<const VARIANT*> args,
                        IDispatch** recordset) {
  if (!control) return E_POINTER;
  ComPtr<IAppServer> server;
  RETURN_IF_FAILED(CreateServer(server));
  SecretVariant arguments;
  arguments.reset(MakeArgumentArray(args));
  if (arguments.type() == VT_EMPTY) return E_INVALIDARG;
  UniqueVariant caller;
  caller.reset(MakeCallerContext(control));
  UniqueVariant result;
  RETURN_IF_FAILED(Execute(server.Get(), code, *caller.get(), *arguments.get(), result));
  arguments.reset();
  return AsRecordset(*result.get(), recordset);
}

HRESULT RunPlainQuery(const std::string& first, LONG code, std::initializer_list<const VARIANT*> args,
                      IDispatch** recordset) {
  if (first.empty()) return E_UNEXPECTED;
  ComPtr<IAppServer> server;
  RETURN_IF_FAILED(CreateServer(server));
  SecretVariant arguments;
  arguments.reset(MakeArgumentArray(args));
  if (arguments.type() == VT_EMPTY) return E_INVALIDARG;
  VARIANT caller;
  VariantInit(&caller);
  V_VT(&caller) = VT_NULL;
  UniqueVariant result;
  RETURN_IF_FAILED(Execute(server.Get(), code, caller, *arguments.get(), result));
  return AsRecordset(*result.get(), recordset);
}

// Owns the argument VARIANTs of one command. Taking them over allocates
// nothing, so no argument is lost when memory runs out.
struct Args {
  static constexpr size_t kMost = 6;  // the widest command, 154
  std::array<SecretVariant, kMost> values;
  explicit Args(std::initializer_list<VARIANT> list) {
    size_t i = 0;
    for (const VARIANT& v : list) values.at(i++).reset(v);
  }
  const VARIANT* operator[](size_t i) const { return values[i].get(); }
};

}  // namespace

// ---- building blocks --------------------------------------------------------

VARIANT TextArg(std::string_view text) {
  BSTR b = nullptr;
  const HRESULT hr = ToBstr(text, &b);
  if (FAILED(hr)) return ErrorVariant(hr);
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = b;
  return v;
}

VARIANT TextArg(const std::string* text) {
  if (text) return TextArg(std::string_view(*text));
  VARIANT v;
  VariantInit(&v);
  return v;
}

VARIANT IntArg(LONG value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = value;
  return v;
}

VARIANT MakeArgumentArray(std::initializer_list<const VARIANT*> values) {
  VARIANT none;
  VariantInit(&none);
  ULONG count = 0;
  for (const VARIANT* v : values) {
    if (!v || V_VT(v) == VT_EMPTY) break;
    ++count;
  }
  SAFEARRAYBOUND bound = {count, 0};
  SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 1, &bound);
  if (!array) return none;
  // Secret from the start: a copy that fails frees the copies made before
  // it, and a password may be among them.
  SecretVariant out;
  V_VT(out.get()) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(out.get()) = array;
  {
    SafeArrayView<VARIANT> elements(array);
    if (!elements.ok()) return none;
    size_t i = 0;
    for (const VARIANT* v : values) {
      if (i == count) break;
      if (FAILED(VariantCopy(&elements[i], const_cast<VARIANT*>(v)))) return none;
      ++i;
    }
  }
  return out.release();
}

VARIANT MakeCallerContext(IDispatch* control) {
  using Getter = HRESULT (STDMETHODCALLTYPE IVelmoraCtl::*)(BSTR*);
  static constexpr Getter kGetters[] = {&IVelmoraCtl::get_UserID, &IVelmoraCtl::get_IP,
                                        &IVelmoraCtl::get_Computer, &IVelmoraCtl::get_MacID};
  ComPtr<IVelmoraCtl> self;
  if (!control) return ErrorVariant(E_POINTER);
  HRESULT hr = control->QueryInterface(__uuidof(IVelmoraCtl), reinterpret_cast<void**>(self.GetAddressOf()));
  if (FAILED(hr)) return ErrorVariant(hr);
  SAFEARRAYBOUND bound = {4, 0};
  UniqueSafeArray array(SafeArrayCreate(VT_VARIANT, 1, &bound));
  if (!array) return ErrorVariant(E_OUTOFMEMORY);
  {
    SafeArrayView<VARIANT> elements(array.get());
    if (!elements.ok()) return ErrorVariant(E_UNEXPECTED);
    for (size_t i = 0; i < 4; ++i) {
      // A getter that fails (UserID before login) leaves a null BSTR: empty
      // text. Only a text that could not be allocated is marked as such.
      UniqueBstr text;
      if ((self.Get()->*kGetters[i])(text.put()) == E_OUTOFMEMORY) {
        elements[i] = ErrorVariant(E_OUTOFMEMORY);
        continue;
      }
      V_VT(&elements[i]) = VT_BSTR;
      V_BSTR(&elements[i]) = text.release();
    }
  }
  VARIANT out;
  VariantInit(&out);
  V_VT(&out) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(&out) = array.release();
  return out;
}

HRESULT AsRecordset(const VARIANT& result, IDispatch** slot) {
  if (!slot) return S_OK;
  if (*slot) {
    (*slot)->Release();
    *slot = nullptr;
  }
  if (V_VT(&result) != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
  if (!V_DISPATCH(&result)) return E_POINTER;
  return V_DISPATCH(&result)->QueryInterface(kIidRecordset, reinterpret_cast<void**>(slot));
}

HRESULT CallMember(IDispatch* object, const wchar_t* name, WORD flags, VARIANT* result,
                   std::initializer_list<const VARIANT*> args) {
  if (!object || !name) return E_POINTER;
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  RETURN_IF_FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
  // DISPPARAMS holds the arguments last first; shallow copies, the caller owns them.
  std::vector<VARIANT> reversed(args.size());
  size_t i = args.size();
  for (const VARIANT* a : args) reversed[--i] = *a;
  DISPPARAMS params = {reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  UniqueVariant ignored;
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result ? result : ignored.put(), nullptr,
                        nullptr);
}

namespace {
constexpr WORD kGet = DISPATCH_PROPERTYGET | DISPATCH_METHOD;

HRESULT GetMemberObject(IDispatch* object, const wchar_t* name, IDispatch** out,
                  std::initializer_list<const VARIANT*> args = {}) {
  if (!out) return E_POINTER;
  *out = nullptr;
  UniqueVariant value;
  RETURN_IF_FAILED(CallMember(object, name, kGet, value.put(), args));
  if (value.type() != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
  if (!V_DISPATCH(value.get())) return E_POINTER;
  *out = V_DISPATCH(value.get());
  (*out)->AddRef();
  return S_OK;
}
}  // namespace

HRESULT GetRecordCount(IDispatch* recordset, LONG* count) {
  UniqueVariant value;
  RETURN_IF_FAILED(CallMember(recordset, L"RecordCount", kGet, value.put()));
  RETURN_IF_FAILED(VariantChangeType(value.get(), value.get(), 0, VT_I4));
  if (count) *count = V_I4(value.get());
  return S_OK;
}

HRESULT MoveFirst(IDispatch* recordset) { return CallMember(recordset, L"MoveFirst", DISPATCH_METHOD, nullptr); }

HRESULT GetFields(IDispatch* recordset, IDispatch** fields) { return GetMemberObject(recordset, L"Fields", fields); }

HRESULT GetCollect(IDispatch* recordset, const wchar_t* name, VARIANT* out) {
  if (!out) return E_POINTER;
  UniqueVariant key;
  V_VT(key.get()) = VT_BSTR;
  V_BSTR(key.get()) = SysAllocString(name);
  if (!V_BSTR(key.get())) return E_OUTOFMEMORY;
  return CallMember(recordset, L"Collect", DISPATCH_PROPERTYGET, out, {key.get()});
}

// ---- column readers ---------------------------------------------------------

HRESULT ReadColumnValue(IDispatch* fields, const char* name, VARIANT* out) {
  if (!fields || !name) return E_POINTER;
  if (!out) return S_OK;
  UniqueVariant key;
  V_VT(key.get()) = VT_BSTR;
  V_BSTR(key.get()) = SysAllocString(Utf8Name(name).c_str());
  if (!V_BSTR(key.get())) return E_OUTOFMEMORY;
  ComPtr<IDispatch> field;
  RETURN_IF_FAILED(GetMemberObject(fields, L"Item", field.GetAddressOf(), {key.get()}));
  UniqueVariant value;
  RETURN_IF_FAILED(CallMember(field.Get(), L"Value", DISPATCH_PROPERTYGET, value.put()));
  VariantClear(out);
  *out = value.release();
  return S_OK;
}

namespace {

// A value's text as a BSTR in `text`, a Boolean as 是/否. Made apart from
// the value: a text changed in place is copied and its original freed
// unwiped, and the value may be a password.
HRESULT ValueText(SecretVariant& value, SecretVariant& text) {
  if (value.type() == VT_BOOL) {
    V_VT(text.put()) = VT_BSTR;
    V_BSTR(text.get()) = SysAllocString(V_BOOL(value.get()) == VARIANT_TRUE ? L"\u662F" : L"\u5426");
    return V_BSTR(text.get()) ? S_OK : E_OUTOFMEMORY;
  }
  if (value.type() == VT_BSTR) {
    text.reset(value.release());
    return S_OK;
  }
  return VariantChangeType(text.put(), value.get(), 0, VT_BSTR);
}

template <typename Text, typename Convert>
HRESULT ReadText(IDispatch* fields, const char* name, Text* target, Convert convert) {
  if (!fields || !name) return E_POINTER;
  SecretVariant value;
  RETURN_IF_FAILED(ReadColumnValue(fields, name, value.put()));
  if (!target) return S_OK;
  target->clear();
  SecretVariant text;
  RETURN_IF_FAILED(ValueText(value, text));
  const BSTR b = V_BSTR(text.get());
  *target = convert(b, b ? static_cast<int>(SysStringLen(b)) : 0);
  return S_OK;
}

}  // namespace

HRESULT ReadColumnText(IDispatch* fields, const char* name, std::string* target) {
  return ReadText(fields, name, target, [](const wchar_t* b, int n) { return ToMultiByte(b, n); });
}

HRESULT ReadColumnText(IDispatch* fields, const char* name, SecretText* target) {
  return ReadText(fields, name, target, [](const wchar_t* b, int n) { return ToSecretMultiByte(b, n); });
}

HRESULT ReadColumnUInt(IDispatch* fields, const char* name, LONG* target) {
  UniqueVariant value;
  RETURN_IF_FAILED(ReadColumnValue(fields, name, value.put()));
  // Some runtimes wrap a negative number around to VT_UI4; -1 is no role.
  UniqueVariant wide;
  if (SUCCEEDED(VariantChangeType(wide.get(), value.get(), 0, VT_I8)) &&
      (V_I8(wide.get()) < 0 || V_I8(wide.get()) > 0xFFFFFFFFLL)) {
    return DISP_E_OVERFLOW;
  }
  RETURN_IF_FAILED(VariantChangeType(value.get(), value.get(), 0, VT_UI4));
  if (target) *target = static_cast<LONG>(V_UI4(value.get()));
  return S_OK;
}

HRESULT ToVariantBool(VARIANT* value, VARIANT_BOOL* target) {
  if (!value) return E_POINTER;
  if (V_VT(value) != VT_BOOL) RETURN_IF_FAILED(VariantChangeType(value, value, 0, VT_BOOL));
  if (target) *target = V_BOOL(value);
  return S_OK;
}

// ---- wrappers ---------------------------------------------------------------

HRESULT QueryAssignedFunctions(IDispatch* control, const std::string& userId, IDispatch** recordset) {
  const Args a{TextArg(userId)};
  return RunContextQuery(control, kAssignedFunctions, {a[0]}, recordset);
}

HRESULT CheckAccount(const std::string& account, const SecretText& password, IDispatch** recordset) {
  const Args a{TextArg(account), TextArg(password.view())};
  return RunPlainQuery(account, kCheckAccount, {a[0], a[1]}, recordset);
}

HRESULT SetPassword(IDispatch* control, const std::string& userId, const SecretText& oldPassword,
                    const SecretText& newPassword) {
  if (!control) return E_POINTER;
  ComPtr<IAppServer> server;
  RETURN_IF_FAILED(CreateServer(server));
  const Args a{TextArg(userId), TextArg(oldPassword.view()), TextArg(newPassword.view())};
  SecretVariant arguments;
  arguments.reset(MakeArgumentArray({a[0], a[1], a[2]}));
  if (arguments.type() == VT_EMPTY) return E_INVALIDARG;
  UniqueVariant caller;
  caller.reset(MakeCallerContext(control));
  UniqueVariant result;  // unread
  return Execute(server.Get(), kSetPassword, *caller.get(), *arguments.get(), result);
}

HRESULT QueryProjectRoles(IDispatch* control, const std::string& userId, const std::string& projectId,
                          IDispatch** recordset) {
  const Args a{TextArg(userId), TextArg(projectId)};
  return RunContextQuery(control, kProjectRoles, {a[0], a[1]}, recordset);
}

HRESULT QueryTaskRoles(IDispatch* control, const std::string& userId, const std::string& taskId,
                       const std::string& projectId, const std::string& specialty, const std::string& maker,
                       LONG makerRole, IDispatch** recordset) {
  const Args a{TextArg(userId), TextArg(taskId), TextArg(projectId), TextArg(specialty), TextArg(maker),
               IntArg(makerRole)};
  return RunContextQuery(control, kTaskRoles, {a[0], a[1], a[2], a[3], a[4], a[5]}, recordset);
}

HRESULT QueryServerDate(IDispatch* control, UniqueBstr* text) {
  if (!control) return E_POINTER;
  ComPtr<IAppServer> server;
  RETURN_IF_FAILED(CreateServer(server));
  VARIANT none;
  VariantInit(&none);
  UniqueVariant caller;
  caller.reset(MakeCallerContext(control));
  UniqueVariant result;
  RETURN_IF_FAILED(Execute(server.Get(), kServerDate, *caller.get(), none, result));
  RETURN_IF_FAILED(VariantChangeType(result.get(), result.get(), 0, VT_BSTR));
  if (text) {
    text->reset(V_BSTR(result.get()));
    V_VT(result.get()) = VT_EMPTY;  // the BSTR now belongs to `text`
  }
  return S_OK;
}

HRESULT QuerySignature(IDispatch* control, const std::string& id, const std::string& userId,
                       const std::string& roleText, const std::string& shareText, IDispatch** recordset) {
  const Args a{TextArg(id), TextArg(userId), TextArg(roleText), TextArg(shareText)};
  return RunContextQuery(control, kSignature, {a[0], a[1], a[2], a[3]}, recordset);
}

HRESULT QueryFileServer(const std::string& projectUuid, IDispatch** recordset) {
  const Args a{TextArg(projectUuid)};
  return RunPlainQuery(projectUuid, kFileServer, {a[0]}, recordset);
}

}  // namespace velmora::appserver
