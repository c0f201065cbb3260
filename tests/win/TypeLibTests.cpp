// The embedded type library is part of the interface: member order, names,
// parameter lists and every help string, read back under code page 936.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Raii.h"
#include "tests/win/DllHarness.h"

namespace velmora::test {
namespace {

TEST(Environment, AnsiCodePageIsGbk) { EXPECT_EQ(936u, GetACP()); }

// The library embedded in this build's DLL and, where the x86_64 build is
// told where the i686 DLL is, the 32-bit one too: loading type information
// reads the resource without running the DLL, so the 32-bit product is
// checked even on machines that cannot execute it.
struct Library {
  const char* label;
  std::wstring path;  // empty: this build's own DLL
  SYSKIND kind;
};

std::vector<Library> Libraries() {
  std::vector<Library> libraries = {{"ThisBuild", L"", sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32}};
  const wchar_t* other = _wgetenv(L"VELMORA_I686_DLL");
  if (other && *other) libraries.push_back({"I686Build", other, SYS_WIN32});
  return libraries;
}

class TypeLib : public testing::TestWithParam<Library> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dll_.loaded());
    std::wstring path = GetParam().path.empty() ? dll_.path() : GetParam().path;
    ASSERT_EQ(S_OK, LoadTypeLibEx(path.c_str(), REGKIND_NONE, &lib_));
    // A dual interface is found as its dispatch view; the vtable view
    // is the one it refers to at index -1.
    ComPtr<ITypeInfo> dispatchView;
    ASSERT_EQ(S_OK, lib_->GetTypeInfoOfGuid(IID_IVelmoraCtl, &dispatchView));
    HREFTYPE ref = 0;
    ASSERT_EQ(S_OK, dispatchView->GetRefTypeOfImplType(static_cast<UINT>(-1), &ref));
    ASSERT_EQ(S_OK, dispatchView->GetRefTypeInfo(ref, &iface_));
  }
  std::wstring Doc(ITypeInfo* info, MEMBERID id) {
    UniqueBstr name, doc;
    EXPECT_EQ(S_OK, info->GetDocumentation(id, name.put(), doc.put(), nullptr, nullptr));
    return doc.get() ? doc.get() : L"";
  }
  VelmoraDll dll_;
  ComPtr<ITypeLib> lib_;
  ComPtr<ITypeInfo> iface_;
};

struct Member {
  DISPID id;
  INVOKEKIND kind;
  const char* name;
  std::vector<const char*> params;  // names after the member name
  const char* help;
};

const std::vector<Member>& Members() {
  static const std::vector<Member> members = {
      {1, INVOKE_FUNC, "Login", {"strIniFile", "pVal"}, "method Login 弹出用户登录界面，进行用户登录"},
      {2, INVOKE_FUNC, "Logout", {}, "method Logout 登录用户注销"},
      {3, INVOKE_PROPERTYGET, "UserID", {"pVal"}, "property UserID 读取当前用户的用户ID"},
      {4, INVOKE_PROPERTYGET, "UserName", {"pVal"}, "property UserName 读取当前用户的用户名"},
      {5, INVOKE_PROPERTYGET, "Password", {"pVal"}, "property Password 读取当前用户的用户密码"},
      {6, INVOKE_FUNC, "ChangePassword", {}, "method ChangePassword 弹出更改密码界面，进行用户密码更改"},
      {7, INVOKE_PROPERTYGET, "Computer", {"MachineName"}, "property Computer 读取当前用户的所在计算机名"},
      {8, INVOKE_FUNC, "GetAssignedFunction", {"pVal"}, "method GetAssignedFunction 读取分配给当前用户的系统功能"},
      {9, INVOKE_PROPERTYGET, "IP", {"strIPAddr"}, "property IP 读取当前用户的所在计算机的IP地址"},
      {10, INVOKE_PROPERTYGET, "MacID", {"strMacAddr"}, "property MacID 读取当前用户的所在计算机的物理Mac网卡地址"},
      {11, INVOKE_PROPERTYGET, "DomainAccount", {"pVal"}, "属性 DomainAccount"},
      {12, INVOKE_PROPERTYGET, "CurrentProject", {"pVal"}, "属性 CurrentProject"},
      {13, INVOKE_PROPERTYGET, "Specialty", {"pVal"}, "属性 Specilaty"},
      {14, INVOKE_PROPERTYGET, "SpecialtyName", {"pVal"}, "属性 SpecilatyName"},
      {15, INVOKE_PROPERTYGET, "DeptCode", {"pVal"}, "属性 DeptCode"},
      {16, INVOKE_PROPERTYGET, "DeptName", {"pVal"}, "属性 DeptName"},
      {17, INVOKE_PROPERTYGET, "IsTeamLeader", {"pVal"}, "属性 IsTeamLeader"},
      {18, INVOKE_PROPERTYGET, "IsDesigner", {"pVal"}, "属性 IsDesigner"},
      {19, INVOKE_PROPERTYGET, "CanMakePlan", {"pVal"}, "属性 CanMakePlan"},
      {20, INVOKE_FUNC, "GetUserInfoByTask", {"strTaskID", "strProjID", "strSpecialty", "strMaker", "lMakerRole"}, "方法GetUserInfoByTask"},
      {21, INVOKE_FUNC, "GetUserInfoByProject", {"strProjectID"}, "方法GetUserInfoByProject"},
      {22, INVOKE_PROPERTYGET, "CurrentTask", {"pVal"}, "属性 CurrentTask"},
      {22, INVOKE_PROPERTYPUT, "CurrentTask", {"newVal"}, "属性 CurrentTask"},
      {23, INVOKE_PROPERTYGET, "LocalFilePath", {"pVal"}, "属性 LocalFilePath"},
      {24, INVOKE_PROPERTYGET, "SystemDate", {"pVal"}, "属性 SystemDate"},
      {25, INVOKE_PROPERTYGET, "ProjectName", {"pVal"}, "属性 ProjectName"},
      {26, INVOKE_PROPERTYGET, "SystemDateEx", {"pVal"}, "属性 SystemDateEx"},
      {27, INVOKE_PROPERTYGET, "ManagedRoles", {"pVal"}, "属性 ManagedRoles"},
      {28, INVOKE_PROPERTYGET, "ManagedSpecialty", {"pVal"}, "属性 ManagedSpecialty"},
      {29, INVOKE_PROPERTYGET, "RoleID", {"pVal"}, "属性 RoleID"},
      {30, INVOKE_PROPERTYGET, "RoleName", {"pVal"}, "属性 RoleName"},
      {31, INVOKE_PROPERTYGET, "RoleType", {"pVal"}, "属性 RoleType"},
      {32, INVOKE_FUNC, "FtpServerInfo", {"szProjectUUID", "pFtpIPVal", "pUserName", "pPassword"}, "方法FtpServerInfo"},
      {33, INVOKE_PROPERTYGET, "ManageSpecNames", {"pVal"}, "属性 strManageSpecNames"},
      {34, INVOKE_FUNC, "GetSignature", {"bstrID", "lRoleID", "vbIsShare", "pVal"}, "方法GetSignature"},
      {35, INVOKE_FUNC, "CanChangeTask", {"lProjID", "bstrTaskUIDs", "szModifier", "pvb"}, "方法CanChangeTask"},
      {36, INVOKE_FUNC, "ChangeTask", {"lProjID", "bstrTaskUIDs", "vbChange", "szModifier", "pvb"}, "方法ChangeTask"},
      {37, INVOKE_FUNC, "CanSetResource", {"bstrProjUUID", "bstrSpecialty", "pvb"}, "方法CanSetResource"},
      {38, INVOKE_FUNC, "ClearChangeTask", {"lProjID"}, "方法ClearChangeTask"},
      {39, INVOKE_PROPERTYGET, "InRoles", {"pVal"}, "属性 InRoles"},
  };
  return members;
}

INSTANTIATE_TEST_SUITE_P(Builds, TypeLib, testing::ValuesIn(Libraries()),
                         [](const testing::TestParamInfo<Library>& info) { return std::string(info.param.label); });

TEST_P(TypeLib, LibraryIdentityAndHelpStrings) {
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(S_OK, lib_->GetLibAttr(&attr));
  EXPECT_EQ(LIBID_VelmoraLib, attr->guid);
  EXPECT_EQ(GetParam().kind, attr->syskind) << "the platform the library was compiled for";
  EXPECT_EQ(1, attr->wMajorVerNum);
  EXPECT_EQ(0, attr->wMinorVerNum);
  EXPECT_EQ(1033u, attr->lcid);
  lib_->ReleaseTLibAttr(attr);

  UniqueBstr name, doc;
  ASSERT_EQ(S_OK, lib_->GetDocumentation(-1, name.put(), doc.put(), nullptr, nullptr));
  EXPECT_STREQ(L"VelmoraLib", name.get());
  EXPECT_STREQ(L"Velmora 1.0 Type Library", doc.get());

  EXPECT_EQ(L"IVelmoraCtl Interface", Doc(iface_.Get(), MEMBERID_NIL));

  ComPtr<ITypeInfo> events, coclass;
  ASSERT_EQ(S_OK, lib_->GetTypeInfoOfGuid(DIID__IVelmoraCtlEvents, &events));
  EXPECT_EQ(L"_IVelmoraCtlEvents Interface", Doc(events.Get(), MEMBERID_NIL));
  ASSERT_EQ(S_OK, lib_->GetTypeInfoOfGuid(CLSID_VelmoraCtl, &coclass));
  EXPECT_EQ(L"VelmoraCtl Class", Doc(coclass.Get(), MEMBERID_NIL));
}

TEST_P(TypeLib, DualInterfaceMembersInOrder) {
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(S_OK, iface_->GetTypeAttr(&attr));
  EXPECT_EQ(TKIND_INTERFACE, attr->typekind);
  EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
  const UINT count = attr->cFuncs;
  iface_->ReleaseTypeAttr(attr);
  ASSERT_EQ(Members().size(), count);

  short lastSlot = -1;
  for (UINT i = 0; i < count; ++i) {
    const Member& m = Members()[i];
    FUNCDESC* f = nullptr;
    ASSERT_EQ(S_OK, iface_->GetFuncDesc(i, &f));
    EXPECT_EQ(m.id, f->memid) << m.name;
    EXPECT_EQ(m.kind, f->invkind) << m.name;
    EXPECT_GT(f->oVft, lastSlot) << m.name << " follows the one before it in the vtable";
    lastSlot = f->oVft;
    if (i == 0) {
      // Offsets are laid out for the process that loads the library.
      EXPECT_EQ(7 * static_cast<short>(sizeof(void*)), f->oVft) << "after IDispatch's seven slots";
    }

    BSTR names[8] = {};
    UINT got = 0;
    ASSERT_EQ(S_OK, iface_->GetNames(f->memid, names, 8, &got));
    EXPECT_EQ(W(m.name), names[0]);
    iface_->ReleaseFuncDesc(f);
    for (UINT k = 0; k < got; ++k) SysFreeString(names[k]);

    EXPECT_EQ(W(m.help), Doc(iface_.Get(), m.id)) << m.name;
  }
}

TEST_P(TypeLib, ParameterNamesAndDirections) {
  for (UINT i = 0; i < Members().size(); ++i) {
    const Member& m = Members()[i];
    FUNCDESC* f = nullptr;
    ASSERT_EQ(S_OK, iface_->GetFuncDesc(i, &f));
    ASSERT_EQ(m.params.size(), static_cast<size_t>(f->cParams)) << m.name;
    // GetNames answers by member id, which a get/put pair shares, so the
    // put's own names are not reachable that way.
    BSTR names[8] = {};
    UINT got = 0;
    ASSERT_EQ(S_OK, iface_->GetNames(f->memid, names, 8, &got));
    if (m.kind != INVOKE_PROPERTYPUT) {
      ASSERT_EQ(m.params.size() + 1, got) << m.name;
      for (size_t k = 0; k < m.params.size(); ++k) EXPECT_EQ(W(m.params[k]), names[k + 1]) << m.name;
    }
    for (UINT k = 0; k < got; ++k) SysFreeString(names[k]);

    for (short k = 0; k < f->cParams; ++k) {
      USHORT flags = f->lprgelemdescParam[k].paramdesc.wParamFlags;
      bool isRetval = flags & PARAMFLAG_FRETVAL;
      bool isOut = flags & PARAMFLAG_FOUT;
      std::string p = m.params[k];
      if (p == "pVal" && m.kind != INVOKE_PROPERTYPUT) {
        EXPECT_TRUE(isRetval) << m.name;
      }
      if (p == "pvb" || p == "MachineName" || p == "strIPAddr" || p == "strMacAddr") {
        EXPECT_TRUE(isRetval) << m.name;
      }
      if (p == "szModifier" || p == "pFtpIPVal" || p == "pUserName" || p == "pPassword") {
        EXPECT_TRUE(isOut && !isRetval) << m.name << "." << p;
      }
      if (p.rfind("str", 0) == 0 || p.rfind("bstr", 0) == 0 || p.rfind("sz", 0) == 0 || p.rfind("l", 0) == 0 ||
          p.rfind("vb", 0) == 0 || p == "newVal") {
        if (p != "szModifier" && p != "strIPAddr" && p != "strMacAddr") {
          EXPECT_TRUE(flags & PARAMFLAG_FIN) << m.name << "." << p;
        }
      }
    }
    iface_->ReleaseFuncDesc(f);
  }
}

TEST_P(TypeLib, EventsAndClass) {
  ComPtr<ITypeInfo> events;
  ASSERT_EQ(S_OK, lib_->GetTypeInfoOfGuid(DIID__IVelmoraCtlEvents, &events));
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(S_OK, events->GetTypeAttr(&attr));
  EXPECT_EQ(TKIND_DISPATCH, attr->typekind);
  EXPECT_EQ(0, attr->cFuncs);
  events->ReleaseTypeAttr(attr);

  ComPtr<ITypeInfo> coclass;
  ASSERT_EQ(S_OK, lib_->GetTypeInfoOfGuid(CLSID_VelmoraCtl, &coclass));
  ASSERT_EQ(S_OK, coclass->GetTypeAttr(&attr));
  EXPECT_EQ(TKIND_COCLASS, attr->typekind);
  ASSERT_EQ(2, attr->cImplTypes);
  coclass->ReleaseTypeAttr(attr);

  bool sawDefault = false, sawSource = false;
  for (UINT i = 0; i < 2; ++i) {
    INT flags = 0;
    HREFTYPE ref = 0;
    ASSERT_EQ(S_OK, coclass->GetImplTypeFlags(i, &flags));
    ASSERT_EQ(S_OK, coclass->GetRefTypeOfImplType(i, &ref));
    ComPtr<ITypeInfo> impl;
    ASSERT_EQ(S_OK, coclass->GetRefTypeInfo(ref, &impl));
    TYPEATTR* a = nullptr;
    ASSERT_EQ(S_OK, impl->GetTypeAttr(&a));
    if (a->guid == IID_IVelmoraCtl) {
      sawDefault = (flags & IMPLTYPEFLAG_FDEFAULT) && !(flags & IMPLTYPEFLAG_FSOURCE);
    } else if (a->guid == DIID__IVelmoraCtlEvents) {
      sawSource = (flags & IMPLTYPEFLAG_FDEFAULT) && (flags & IMPLTYPEFLAG_FSOURCE);
    }
    impl->ReleaseTypeAttr(a);
  }
  EXPECT_TRUE(sawDefault);
  EXPECT_TRUE(sawSource);
}

}  // namespace
}  // namespace velmora::test
