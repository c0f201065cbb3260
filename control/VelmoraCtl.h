// VelmoraCtl: the component's one COM class, an apartment-threaded
// automation object without a window. Its state is the login record; all
// user interface is modal dialogs opened by members.
#pragma once

#include <windows.h>
#include <objsafe.h>
#include <ocidl.h>
#include <wrl/client.h>

#include "control/ConnectionPoint.h"
#include "control/LoginState.h"
#include "messaging/MessageChannel.h"
#include "velmora_h.h"

// mingw's objsafe.h gives no __uuidof binding for IObjectSafety.
__CRT_UUID_DECL(IObjectSafety, 0xcb5bdc81, 0x93c1, 0x11cf, 0x8f, 0x20, 0x00, 0x80, 0x5f, 0x2c, 0xd0, 0x64)

namespace velmora {

// The channel is the first base: constructed before, and destroyed after,
// everything else the control holds.
class VelmoraCtl final : public MessageChannel,
                         public IVelmoraCtl,
                         public ISupportErrorInfo,
                         public IConnectionPointContainer,
                         public IObjectSafety {
 public:
  // Creates a stand-alone object, or an aggregated one when `outer` is
  // given (then only IID_IUnknown may be asked for).
  static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);

  // The object behind an interface pointer this class handed out; for the
  // component's own code and tests that link it.
  static VelmoraCtl* FromInterface(IVelmoraCtl* p) { return static_cast<VelmoraCtl*>(p); }
  LoginState& State() { return state_; }

  // IUnknown: delegates to the controlling unknown.
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return outer_->QueryInterface(riid, ppv); }
  STDMETHODIMP_(ULONG) AddRef() override { return outer_->AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return outer_->Release(); }

  // IDispatch, through the embedded type library.
  STDMETHODIMP GetTypeInfoCount(UINT* count) override;
  STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO* excep, UINT* argErr) override;

  // IVelmoraCtl
  STDMETHODIMP Login(BSTR strIniFile, VARIANT_BOOL* pVal) override;
  STDMETHODIMP Logout() override;
  STDMETHODIMP get_UserID(BSTR* pVal) override;
  STDMETHODIMP get_UserName(BSTR* pVal) override;
  STDMETHODIMP get_Password(BSTR* pVal) override;
  STDMETHODIMP ChangePassword() override;
  STDMETHODIMP get_Computer(BSTR* MachineName) override;
  STDMETHODIMP GetAssignedFunction(IDispatch** pVal) override;
  STDMETHODIMP get_IP(BSTR* strIPAddr) override;
  STDMETHODIMP get_MacID(BSTR* strMacAddr) override;
  STDMETHODIMP get_DomainAccount(BSTR* pVal) override;
  STDMETHODIMP get_CurrentProject(BSTR* pVal) override;
  STDMETHODIMP get_Specialty(BSTR* pVal) override;
  STDMETHODIMP get_SpecialtyName(BSTR* pVal) override;
  STDMETHODIMP get_DeptCode(BSTR* pVal) override;
  STDMETHODIMP get_DeptName(BSTR* pVal) override;
  STDMETHODIMP get_IsTeamLeader(VARIANT_BOOL* pVal) override;
  STDMETHODIMP get_IsDesigner(VARIANT_BOOL* pVal) override;
  STDMETHODIMP get_CanMakePlan(VARIANT_BOOL* pVal) override;
  STDMETHODIMP GetUserInfoByTask(BSTR strTaskID, BSTR strProjID, BSTR strSpecialty, BSTR strMaker,
                                 LONG lMakerRole) override;
  STDMETHODIMP GetUserInfoByProject(BSTR strProjectID) override;
  STDMETHODIMP get_CurrentTask(BSTR* pVal) override;
  STDMETHODIMP put_CurrentTask(BSTR newVal) override;
  STDMETHODIMP get_LocalFilePath(BSTR* pVal) override;
  STDMETHODIMP get_SystemDate(BSTR* pVal) override;
  STDMETHODIMP get_ProjectName(BSTR* pVal) override;
  STDMETHODIMP get_SystemDateEx(BSTR* pVal) override;
  STDMETHODIMP get_ManagedRoles(BSTR* pVal) override;
  STDMETHODIMP get_ManagedSpecialty(BSTR* pVal) override;
  STDMETHODIMP get_RoleID(LONG* pVal) override;
  STDMETHODIMP get_RoleName(BSTR* pVal) override;
  STDMETHODIMP get_RoleType(BSTR* pVal) override;
  STDMETHODIMP FtpServerInfo(BSTR szProjectUUID, BSTR* pFtpIPVal, BSTR* pUserName, BSTR* pPassword) override;
  STDMETHODIMP get_ManageSpecNames(BSTR* pVal) override;
  STDMETHODIMP GetSignature(BSTR bstrID, LONG lRoleID, VARIANT_BOOL vbIsShare, BSTR* pVal) override;
  STDMETHODIMP CanChangeTask(LONG lProjID, BSTR bstrTaskUIDs, BSTR* szModifier, VARIANT_BOOL* pvb) override;
  STDMETHODIMP ChangeTask(LONG lProjID, BSTR bstrTaskUIDs, VARIANT_BOOL vbChange, BSTR* szModifier,
                          VARIANT_BOOL* pvb) override;
  STDMETHODIMP CanSetResource(BSTR bstrProjUUID, BSTR bstrSpecialty, VARIANT_BOOL* pvb) override;
  STDMETHODIMP ClearChangeTask(LONG lProjID) override;
  STDMETHODIMP get_InRoles(BSTR* pVal) override;

  // ISupportErrorInfo
  STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;

  // IConnectionPointContainer
  STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** e) override;
  STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** point) override;

  // IObjectSafety
  STDMETHODIMP GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) override;
  STDMETHODIMP SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) override;

 private:
  // The non-delegating unknown: owns the reference count and the
  // interface table, whether or not the object is aggregated.
  class Inner final : public IUnknown {
   public:
    explicit Inner(VelmoraCtl* self) : self_(self) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

   private:
    VelmoraCtl* self_;
    LONG refs_ = 1;
  };

  explicit VelmoraCtl(IUnknown* outer);
  ~VelmoraCtl();
  VelmoraCtl(const VelmoraCtl&) = delete;
  VelmoraCtl& operator=(const VelmoraCtl&) = delete;


  // The control as its own automation caller (the server queries read its
  // identity through it).
  IUnknown* Self() { return static_cast<IVelmoraCtl*>(this); }

  Inner inner_{this};
  IUnknown* outer_;
  LoginState state_;
  ConnectionPoint events_;
  DWORD safetyEnabled_ = 0;
};

}  // namespace velmora
