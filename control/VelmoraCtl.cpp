#include "control/VelmoraCtl.h"

#include <olectl.h>

#include <cstdio>
#include <new>
#include <optional>
#include <string_view>

#include "appserver/Queries.h"
#include "appserver/ServerCall.h"
#include "control/ChangePasswordDialog.h"
#include "control/LoginFlow.h"
#include "control/MachineIdentity.h"
#include "common/Barrier.h"
#include "common/OutTextBridge.h"
#include "common/Raii.h"
#include "common/Text.h"
#include "common/Module.h"

namespace velmora {
namespace {

constexpr DWORD kSafetySupported = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;

// What a text getter answers for an empty field.
enum class WhenEmpty {
  Fail,         // E_FAIL, out-pointer null: scripts learn "nobody logged in"
  EmptyString,  // S_OK with an allocated ""
  Null,         // S_OK with a null BSTR
};

HRESULT GetText(std::string_view field, WhenEmpty rule, BSTR* out) {
  if (!out) return S_OK;
  *out = nullptr;
  if (!field.empty()) return ToBstr(field, out);
  switch (rule) {
    case WhenEmpty::Fail:
      return E_FAIL;
    case WhenEmpty::EmptyString:
      *out = SysAllocString(L"");
      return *out ? S_OK : E_OUTOFMEMORY;
    case WhenEmpty::Null:
      break;
  }
  return S_OK;
}

HRESULT GetFlag(VARIANT_BOOL value, VARIANT_BOOL* out) {
  if (out) *out = value;
  return S_OK;
}

// Peer text messages go to the standard output. Called on the receive
// thread, which may outlast the control: it uses nothing of the control.
void PrintPeerText(const std::string& senderName, const char* text, int) {
  // The channel hands the text terminated after its length.
  std::printf(" Recv a Message from %s :  %s \n", senderName.c_str(), text);
  std::fflush(stdout);
}

}  // namespace

// ---- creation and lifetime -------------------------------------------------

HRESULT VelmoraCtl::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  return Barrier([&]() -> HRESULT {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && riid != IID_IUnknown) return CLASS_E_NOAGGREGATION;
    // A constructor that throws frees the object and leaves the module unlocked.
    auto* object = new (std::nothrow) VelmoraCtl(outer);
    if (!object) return E_OUTOFMEMORY;
    HRESULT hr = object->inner_.QueryInterface(riid, ppv);
    object->inner_.Release();  // the creation reference; frees the object if QI failed
    return hr;
  });
}

VelmoraCtl::VelmoraCtl(IUnknown* outer)
    : outer_(outer ? outer : &inner_),
      events_(this, outer ? outer : &inner_, DIID__IVelmoraCtlEvents) {
  SetMessageSink(&PrintPeerText);
  CollectMachineIdentity(state_);
  ModuleLock();  // last: nothing after it may throw, so every lock is given back
}

VelmoraCtl::~VelmoraCtl() {
  // First of all: nothing may be dispatched to a control being taken apart.
  StopReceiving();
  Logout();
  events_.DisconnectAll();
}

STDMETHODIMP VelmoraCtl::Inner::QueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  IUnknown* p = nullptr;
  if (riid == IID_IUnknown) {
    p = this;
  } else if (riid == IID_IVelmoraCtl || riid == IID_IDispatch) {
    p = static_cast<IVelmoraCtl*>(self_);
  } else if (riid == IID_ISupportErrorInfo) {
    p = static_cast<ISupportErrorInfo*>(self_);
  } else if (riid == IID_IConnectionPointContainer) {
    p = static_cast<IConnectionPointContainer*>(self_);
  } else if (riid == IID_IObjectSafety) {
    p = static_cast<IObjectSafety*>(self_);
  }
  *ppv = p;
  if (!p) return E_NOINTERFACE;
  p->AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) VelmoraCtl::Inner::AddRef() { return InterlockedIncrement(&refs_); }

STDMETHODIMP_(ULONG) VelmoraCtl::Inner::Release() {
  ULONG r = InterlockedDecrement(&refs_);
  if (r == 0) {
    refs_ = 1;  // guards against re-entry while the destructor runs
    delete self_;
    ModuleUnlock();  // only once the whole object, channel included, is gone
  }
  return r;
}

// ---- IDispatch ---------------------------------------------------------------

STDMETHODIMP VelmoraCtl::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

STDMETHODIMP VelmoraCtl::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  return Barrier([&]() -> HRESULT {
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    ITypeInfo* typeInfo = nullptr;
    const HRESULT hr = ModuleTypeInfo(IID_IVelmoraCtl, &typeInfo);
    if (FAILED(hr)) return hr;
    typeInfo->AddRef();
    *info = typeInfo;
    return S_OK;
  });
}

STDMETHODIMP VelmoraCtl::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  return Barrier([&]() -> HRESULT {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* typeInfo = nullptr;
    const HRESULT hr = ModuleTypeInfo(IID_IVelmoraCtl, &typeInfo);
    if (FAILED(hr)) return hr;
    return DispGetIDsOfNames(typeInfo, names, count, ids);
  });
}

STDMETHODIMP VelmoraCtl::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                VARIANT* result, EXCEPINFO* excep, UINT* argErr) {
  return Barrier([&]() -> HRESULT {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* typeInfo = nullptr;
    const HRESULT hr = ModuleTypeInfo(IID_IVelmoraCtl, &typeInfo);
    if (FAILED(hr)) return hr;
    OutTextBridge bridge(typeInfo, id, flags, params);
    const HRESULT invoked =
        DispInvoke(static_cast<IVelmoraCtl*>(this), typeInfo, id, flags, bridge.Params(), result, excep, argErr);
    bridge.HandBack();
    return invoked;
  });
}

// ---- login state getters ---------------------------------------------------

STDMETHODIMP VelmoraCtl::get_UserID(BSTR* pVal) {
  return MemberBarrier("get_UserID", [&] { return GetText(state_.UserID, WhenEmpty::Fail, pVal); });
}
STDMETHODIMP VelmoraCtl::get_UserName(BSTR* pVal) {
  return MemberBarrier("get_UserName", [&] { return GetText(state_.UserName, WhenEmpty::Fail, pVal); });
}
STDMETHODIMP VelmoraCtl::get_Password(BSTR* pVal) {
  return MemberBarrier("get_Password", [&] { return GetText(state_.Password.view(), WhenEmpty::Fail, pVal); });
}
STDMETHODIMP VelmoraCtl::get_Computer(BSTR* p) {
  return MemberBarrier("get_Computer", [&] { return GetText(state_.Computer, WhenEmpty::Fail, p); });
}
STDMETHODIMP VelmoraCtl::get_IP(BSTR* p) {
  return MemberBarrier("get_IP", [&] { return GetText(state_.IP, WhenEmpty::Fail, p); });
}
STDMETHODIMP VelmoraCtl::get_MacID(BSTR* p) {
  return MemberBarrier("get_MacID", [&] { return GetText(state_.MacID, WhenEmpty::Fail, p); });
}
STDMETHODIMP VelmoraCtl::get_DomainAccount(BSTR* p) {
  return MemberBarrier("get_DomainAccount", [&] { return GetText(state_.DomainAccount, WhenEmpty::Fail, p); });
}
STDMETHODIMP VelmoraCtl::get_CurrentProject(BSTR* p) {
  return MemberBarrier("get_CurrentProject", [&] { return GetText(state_.CurrentProject, WhenEmpty::Fail, p); });
}

STDMETHODIMP VelmoraCtl::get_Specialty(BSTR* p) {
  return MemberBarrier("get_Specialty", [&] { return GetText(state_.Specialty, WhenEmpty::EmptyString, p); });
}
STDMETHODIMP VelmoraCtl::get_SpecialtyName(BSTR* p) {
  return MemberBarrier("get_SpecialtyName", [&] { return GetText(state_.SpecialtyName, WhenEmpty::EmptyString, p); });
}
STDMETHODIMP VelmoraCtl::get_DeptCode(BSTR* p) {
  return MemberBarrier("get_DeptCode", [&] { return GetText(state_.DeptCode, WhenEmpty::EmptyString, p); });
}
STDMETHODIMP VelmoraCtl::get_DeptName(BSTR* p) {
  return MemberBarrier("get_DeptName", [&] { return GetText(state_.DeptName, WhenEmpty::EmptyString, p); });
}

STDMETHODIMP VelmoraCtl::get_CurrentTask(BSTR* p) {
  return MemberBarrier("get_CurrentTask", [&] { return GetText(state_.CurrentTask, WhenEmpty::EmptyString, p); });
}
STDMETHODIMP VelmoraCtl::get_LocalFilePath(BSTR* p) {
  return MemberBarrier("get_LocalFilePath", [&] { return GetText(state_.LocalFilePath, WhenEmpty::EmptyString, p); });
}
STDMETHODIMP VelmoraCtl::get_ProjectName(BSTR* p) {
  return MemberBarrier("get_ProjectName", [&] { return GetText(state_.ProjectName, WhenEmpty::EmptyString, p); });
}

STDMETHODIMP VelmoraCtl::get_ManagedRoles(BSTR* p) {
  return MemberBarrier("get_ManagedRoles", [&] { return GetText(state_.ManagedRoles, WhenEmpty::Null, p); });
}
STDMETHODIMP VelmoraCtl::get_ManagedSpecialty(BSTR* p) {
  return MemberBarrier("get_ManagedSpecialty", [&] { return GetText(state_.ManagedSpecialty, WhenEmpty::Null, p); });
}
STDMETHODIMP VelmoraCtl::get_RoleName(BSTR* p) {
  return MemberBarrier("get_RoleName", [&] { return GetText(state_.RoleName, WhenEmpty::Null, p); });
}
STDMETHODIMP VelmoraCtl::get_RoleType(BSTR* p) {
  return MemberBarrier("get_RoleType", [&] { return GetText(state_.RoleType, WhenEmpty::Null, p); });
}
STDMETHODIMP VelmoraCtl::get_ManageSpecNames(BSTR* p) {
  return MemberBarrier("get_ManageSpecNames", [&] { return GetText(state_.ManageSpecNames, WhenEmpty::Null, p); });
}
STDMETHODIMP VelmoraCtl::get_InRoles(BSTR* p) {
  return MemberBarrier("get_InRoles", [&] { return GetText(state_.InRoles, WhenEmpty::Null, p); });
}

STDMETHODIMP VelmoraCtl::get_IsTeamLeader(VARIANT_BOOL* p) {
  return MemberBarrier("get_IsTeamLeader", [&] { return GetFlag(state_.IsTeamLeader, p); });
}
STDMETHODIMP VelmoraCtl::get_IsDesigner(VARIANT_BOOL* p) {
  return MemberBarrier("get_IsDesigner", [&] { return GetFlag(state_.IsDesigner, p); });
}
STDMETHODIMP VelmoraCtl::get_CanMakePlan(VARIANT_BOOL* p) {
  return MemberBarrier("get_CanMakePlan", [&] { return GetFlag(state_.CanMakePlan, p); });
}

STDMETHODIMP VelmoraCtl::get_RoleID(LONG* pVal) {
  return MemberBarrier("get_RoleID", [&]() -> HRESULT {
    if (pVal) *pVal = state_.RoleID;
    return S_OK;
  });
}

STDMETHODIMP VelmoraCtl::put_CurrentTask(BSTR newVal) {
  return MemberBarrier("put_CurrentTask", [&]() -> HRESULT {
    state_.CurrentTask = ToMultiByte(newVal);
    return S_OK;
  });
}

STDMETHODIMP VelmoraCtl::Logout() {
  return MemberBarrier("Logout", [&]() -> HRESULT {
    state_.ClearUser();
    SendLogout();  // the socket and receive thread stay for the next login
    return S_OK;
  });
}

// ---- task edit locks -------------------------------------------------------

STDMETHODIMP VelmoraCtl::CanChangeTask(LONG lProjID, BSTR bstrTaskUIDs, BSTR* szModifier, VARIANT_BOOL* pvb) {
  return MemberBarrier("CanChangeTask", [&]() -> HRESULT {
    std::string holder;
    int r = CheckTaskLock(state_.UserID, state_.UserName, lProjID, ToMultiByte(bstrTaskUIDs), holder);
    if (!holder.empty() && szModifier) ToBstr(holder, szModifier);
    if (pvb) *pvb = r == 1 ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  });
}

STDMETHODIMP VelmoraCtl::ChangeTask(LONG lProjID, BSTR bstrTaskUIDs, VARIANT_BOOL vbChange, BSTR* szModifier,
                                    VARIANT_BOOL* pvb) {
  return MemberBarrier("ChangeTask", [&]() -> HRESULT {
    int r = RequestLockChange(state_.UserID, state_.UserName, lProjID, ToMultiByte(bstrTaskUIDs),
                              vbChange == VARIANT_TRUE);
    if (r == 1) {
      if (pvb) *pvb = VARIANT_TRUE;
      return S_OK;
    }
    std::string holder = HolderName();  // of the last refusal, if any
    if (!holder.empty() && szModifier) ToBstr(holder, szModifier);
    if (pvb) *pvb = VARIANT_FALSE;
    return S_OK;
  });
}

STDMETHODIMP VelmoraCtl::CanSetResource(BSTR bstrProjUUID, BSTR bstrSpecialty, VARIANT_BOOL* pvb) {
  return MemberBarrier("CanSetResource", [&]() -> HRESULT {
    int r = QueryResource(state_.UserID, state_.UserName, ToMultiByte(bstrProjUUID), ToMultiByte(bstrSpecialty));
    if (pvb) *pvb = r == 1 ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  });
}

STDMETHODIMP VelmoraCtl::ClearChangeTask(LONG lProjID) {
  return MemberBarrier("ClearChangeTask", [&]() -> HRESULT {
    ClearProjectLocks(lProjID);
    return S_OK;
  });
}

// ---- login and password ----------------------------------------------------

STDMETHODIMP VelmoraCtl::Login(BSTR strIniFile, VARIANT_BOOL* pVal) {
  return MemberBarrier("Login", [&]() -> HRESULT {
    Logout();
    if (pVal) *pVal = VARIANT_FALSE;
    const LoginResult result = RunLogin(*this, state_, ToMultiByte(strIniFile), &CheckAccountOnServer);
    if (pVal) *pVal = result.value;
    return result.hr;
  });
}

STDMETHODIMP VelmoraCtl::ChangePassword() {
  return MemberBarrier("ChangePassword", [&]() -> HRESULT {
    IDispatch* self = static_cast<IVelmoraCtl*>(this);
    return RunPasswordChange(GetActiveWindow(), state_.UserID, &state_.Password,
                             [self](const std::string& user, const SecretText& oldPassword,
                                    const SecretText& newPassword) {
                               return appserver::SetPassword(self, user, oldPassword, newPassword);
                             });
  });
}

// ---- server queries --------------------------------------------------------

namespace {

appserver::QueryState QueryStateOf(LoginState& s) {
  return {s.UserID,         s.UserName,         s.CurrentTask,     s.CurrentProject,   s.Specialty,
          s.SpecialtyName,  s.DeptCode,         s.DeptName,        s.ManagedRoles,     s.ManagedSpecialty,
          s.ManageSpecNames, s.RoleName,        s.RoleType,        s.InRoles,          s.ProjectName,
          s.RoleID,         s.IsTeamLeader,     s.IsDesigner,      s.CanMakePlan,      s.FtpIP,
          s.FtpUserName,    s.FtpPassword,      s.ProjectFtpServer, s.ProjectFtpUser,  s.ProjectFtpPassword};
}

// A null BSTR, where the member tells it apart from an empty one.
std::optional<std::string> Optional(BSTR text) {
  if (!text) return std::nullopt;
  return ToMultiByte(text);
}

}  // namespace

STDMETHODIMP VelmoraCtl::GetUserInfoByTask(BSTR strTaskID, BSTR strProjID, BSTR strSpecialty, BSTR strMaker,
                                           LONG lMakerRole) {
  return MemberBarrier("GetUserInfoByTask", [&]() -> HRESULT {
    auto state = QueryStateOf(state_);
    const auto task = Optional(strTaskID);
    return appserver::UserInfoByTask(Self(), state, task ? &*task : nullptr, ToMultiByte(strProjID),
                                     ToMultiByte(strSpecialty), ToMultiByte(strMaker), lMakerRole);
  });
}

STDMETHODIMP VelmoraCtl::GetUserInfoByProject(BSTR strProjectID) {
  return MemberBarrier("GetUserInfoByProject", [&]() -> HRESULT {
    auto state = QueryStateOf(state_);
    const auto project = Optional(strProjectID);
    return appserver::UserInfoByProject(Self(), state, project ? &*project : nullptr);
  });
}

STDMETHODIMP VelmoraCtl::GetAssignedFunction(IDispatch** pVal) {
  return MemberBarrier("GetAssignedFunction", [&]() -> HRESULT {
    return appserver::AssignedFunction(Self(), QueryStateOf(state_), pVal);
  });
}

STDMETHODIMP VelmoraCtl::get_SystemDate(BSTR* pVal) {
  return MemberBarrier("get_SystemDate", [&] { return appserver::ServerDate(Self(), true, pVal); });
}
STDMETHODIMP VelmoraCtl::get_SystemDateEx(BSTR* pVal) {
  return MemberBarrier("get_SystemDateEx", [&] { return appserver::ServerDate(Self(), false, pVal); });
}

STDMETHODIMP VelmoraCtl::FtpServerInfo(BSTR szProjectUUID, BSTR* pFtpIPVal, BSTR* pUserName, BSTR* pPassword) {
  return MemberBarrier("FtpServerInfo", [&]() -> HRESULT {
    auto state = QueryStateOf(state_);
    return appserver::FileServerInfo(Self(), state, ToMultiByte(szProjectUUID), pFtpIPVal, pUserName, pPassword);
  });
}

STDMETHODIMP VelmoraCtl::GetSignature(BSTR bstrID, LONG lRoleID, VARIANT_BOOL vbIsShare, BSTR* pVal) {
  return MemberBarrier("GetSignature", [&]() -> HRESULT {
    const auto id = Optional(bstrID);
    return appserver::Signature(Self(), QueryStateOf(state_), id ? &*id : nullptr, lRoleID, vbIsShare, pVal);
  });
}

// ---- ISupportErrorInfo, connection points, object safety -------------------

STDMETHODIMP VelmoraCtl::InterfaceSupportsErrorInfo(REFIID riid) {
  return riid == IID_IVelmoraCtl ? S_OK : S_FALSE;
}

STDMETHODIMP VelmoraCtl::EnumConnectionPoints(IEnumConnectionPoints** e) {
  return Barrier([&]() -> HRESULT {
    return CreateConnectionPointEnum(Self(), {&events_}, e);
  });
}

STDMETHODIMP VelmoraCtl::FindConnectionPoint(REFIID riid, IConnectionPoint** point) {
  if (!point) return E_POINTER;
  *point = nullptr;
  if (riid != DIID__IVelmoraCtlEvents) return CONNECT_E_NOCONNECTION;
  *point = &events_;
  events_.AddRef();
  return S_OK;
}

STDMETHODIMP VelmoraCtl::GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) {
  if (!supported || !enabled) return E_POINTER;
  Microsoft::WRL::ComPtr<IUnknown> probe;
  HRESULT hr = inner_.QueryInterface(riid, reinterpret_cast<void**>(probe.GetAddressOf()));
  if (FAILED(hr)) {
    *supported = 0;
    *enabled = 0;
    return hr;
  }
  *supported = kSafetySupported;
  *enabled = safetyEnabled_;
  return S_OK;
}

STDMETHODIMP VelmoraCtl::SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) {
  Microsoft::WRL::ComPtr<IUnknown> probe;
  if (FAILED(inner_.QueryInterface(riid, reinterpret_cast<void**>(probe.GetAddressOf())))) {
    return E_NOINTERFACE;
  }
  if (mask & ~kSafetySupported) return E_FAIL;
  safetyEnabled_ = (safetyEnabled_ & ~mask) | (enabled & mask);
  return S_OK;
}

}  // namespace velmora
