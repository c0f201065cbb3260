// The login state as the getters show it: the four empty-field families,
// flags, RoleID, the CurrentTask setter, Logout and the machine identity.
#include <winsock2.h>
#include <iphlpapi.h>

#include <gtest/gtest.h>

#include <regex>
#include <vector>

#include "control/MachineIdentity.h"
#include "common/Raii.h"
#include "common/Text.h"
#include "control/VelmoraCtl.h"
#include "tests/win/DllHarness.h"

namespace velmora::test {
namespace {

using Getter = HRESULT (STDMETHODCALLTYPE IVelmoraCtl::*)(BSTR*);

struct Family {
  const char* name;
  Getter get;
};

const Family kFamily1[] = {{"UserID", &IVelmoraCtl::get_UserID},
                           {"UserName", &IVelmoraCtl::get_UserName},
                           {"Password", &IVelmoraCtl::get_Password},
                           {"DomainAccount", &IVelmoraCtl::get_DomainAccount},
                           {"CurrentProject", &IVelmoraCtl::get_CurrentProject}};
const Family kEmptyString[] = {{"Specialty", &IVelmoraCtl::get_Specialty},
                               {"SpecialtyName", &IVelmoraCtl::get_SpecialtyName},
                               {"DeptCode", &IVelmoraCtl::get_DeptCode},
                               {"DeptName", &IVelmoraCtl::get_DeptName},
                               {"CurrentTask", &IVelmoraCtl::get_CurrentTask},
                               {"LocalFilePath", &IVelmoraCtl::get_LocalFilePath},
                               {"ProjectName", &IVelmoraCtl::get_ProjectName}};
const Family kNull[] = {{"ManagedRoles", &IVelmoraCtl::get_ManagedRoles},
                        {"ManagedSpecialty", &IVelmoraCtl::get_ManagedSpecialty},
                        {"RoleName", &IVelmoraCtl::get_RoleName},
                        {"RoleType", &IVelmoraCtl::get_RoleType},
                        {"ManageSpecNames", &IVelmoraCtl::get_ManageSpecNames},
                        {"InRoles", &IVelmoraCtl::get_InRoles}};

class FreshControl : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dll_.loaded());
    control_ = dll_.Create();
    ASSERT_TRUE(control_);
  }
  VelmoraDll dll_;
  ComPtr<IVelmoraCtl> control_;
};

TEST_F(FreshControl, EmptyFieldsAnswerByFamily) {
  for (const Family& f : kFamily1) {
    BSTR out = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(E_FAIL, (control_.Get()->*f.get)(&out)) << f.name;
    EXPECT_EQ(nullptr, out) << f.name;
  }
  for (const Family& f : kEmptyString) {
    UniqueBstr out;
    EXPECT_EQ(S_OK, (control_.Get()->*f.get)(out.put())) << f.name;
    ASSERT_NE(nullptr, out.get()) << f.name << " gives an allocated empty string";
    EXPECT_EQ(0u, out.length()) << f.name;
  }
  for (const Family& f : kNull) {
    BSTR out = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(S_OK, (control_.Get()->*f.get)(&out)) << f.name;
    EXPECT_EQ(nullptr, out) << f.name;
  }
  VARIANT_BOOL flag = 7;
  EXPECT_EQ(S_OK, control_->get_IsTeamLeader(&flag));
  EXPECT_EQ(VARIANT_FALSE, flag);
  EXPECT_EQ(S_OK, control_->get_IsDesigner(&flag));
  EXPECT_EQ(VARIANT_FALSE, flag);
  EXPECT_EQ(S_OK, control_->get_CanMakePlan(&flag));
  EXPECT_EQ(VARIANT_FALSE, flag);
  LONG role = 0;
  EXPECT_EQ(S_OK, control_->get_RoleID(&role));
  EXPECT_EQ(-1, role);
}

TEST_F(FreshControl, NullOutPointersAreAnsweredWithSuccess) {
  for (const Family& f : kFamily1) EXPECT_EQ(S_OK, (control_.Get()->*f.get)(nullptr)) << f.name;
  for (const Family& f : kEmptyString) EXPECT_EQ(S_OK, (control_.Get()->*f.get)(nullptr)) << f.name;
  for (const Family& f : kNull) EXPECT_EQ(S_OK, (control_.Get()->*f.get)(nullptr)) << f.name;
  EXPECT_EQ(S_OK, control_->get_Computer(nullptr));
  EXPECT_EQ(S_OK, control_->get_IsTeamLeader(nullptr));
  EXPECT_EQ(S_OK, control_->get_RoleID(nullptr));
}

TEST_F(FreshControl, MachineIdentityIsKnownBeforeLogin) {
  UniqueBstr computer, ip, mac;
  ASSERT_EQ(S_OK, control_->get_Computer(computer.put()));
  EXPECT_GT(computer.length(), 0u);
  EXPECT_LE(computer.length(), 15u);
  ASSERT_EQ(S_OK, control_->get_IP(ip.put())) << "the test machine has a network adapter";
  EXPECT_TRUE(std::regex_match(ToMultiByte(ip.get()), std::regex(R"(\d{1,3}(\.\d{1,3}){3})")));
  ASSERT_EQ(S_OK, control_->get_MacID(mac.put()));
  EXPECT_EQ(23u, mac.length());
  EXPECT_TRUE(std::regex_match(ToMultiByte(mac.get()), std::regex("([0-9A-F]{2}-){7}[0-9A-F]{2}")));

  // 0.0.0.0 may speak for the machine only when no adapter has an address:
  // a disconnected adapter listed first must not hide a connected one.
  ULONG needed = 0;
  ASSERT_EQ(ERROR_BUFFER_OVERFLOW, GetAdaptersInfo(nullptr, &needed));
  std::vector<unsigned char> buffer(needed);
  ASSERT_EQ(ERROR_SUCCESS, GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()), &needed));
  bool connected = false;
  for (auto* a = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data()); a; a = a->Next) {
    for (IP_ADDR_STRING* at = &a->IpAddressList; at; at = at->Next) {
      connected = connected || (at->IpAddress.String[0] && std::string(at->IpAddress.String) != "0.0.0.0");
    }
  }
  if (connected) {
    EXPECT_NE("0.0.0.0", ToMultiByte(ip.get()));
  }
}

TEST(MacId, AllEightBytesAsUppercaseGroups) {
  const uint8_t address[8] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e, 0xff, 0x07};
  EXPECT_EQ("00-1A-2B-3C-4D-5E-FF-07", FormatMacId(address));
  const uint8_t zeros[8] = {};
  EXPECT_EQ("00-00-00-00-00-00-00-00", FormatMacId(zeros));
}

TEST_F(FreshControl, CurrentTaskRoundTrips) {
  UniqueBstr in(SysAllocString(W("设计任务-042").c_str()));
  ASSERT_EQ(S_OK, control_->put_CurrentTask(in.get()));
  UniqueBstr out;
  ASSERT_EQ(S_OK, control_->get_CurrentTask(out.put()));
  EXPECT_EQ(W("设计任务-042"), out.get());

  UniqueBstr empty(SysAllocString(L""));
  ASSERT_EQ(S_OK, control_->put_CurrentTask(empty.get()));
  ASSERT_EQ(S_OK, control_->get_CurrentTask(out.put()));
  ASSERT_NE(nullptr, out.get());
  EXPECT_EQ(0u, out.length());

  ASSERT_EQ(S_OK, control_->put_CurrentTask(in.get()));
  ASSERT_EQ(S_OK, control_->put_CurrentTask(nullptr));
  ASSERT_EQ(S_OK, control_->get_CurrentTask(out.put()));
  EXPECT_EQ(0u, out.length()) << "a null string stores the empty text";
}

// Logout is checked on an object linked into this program, whose login
// state the test can fill the way a login would.
class LoggedIn : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, VelmoraCtl::CreateInstance(nullptr, IID_PPV_ARGS(&control_)));
    LoginState& s = VelmoraCtl::FromInterface(control_.Get())->State();
    machine_ = s;
    for (SecretText* secret : {&s.Password, &s.FtpPassword, &s.ProjectFtpPassword}) *secret = "\xd6\xb5";
    for (std::string* field : {&s.UserName, &s.UserID, &s.DomainAccount, &s.CurrentProject,
                               &s.Specialty, &s.SpecialtyName, &s.DeptCode, &s.DeptName, &s.CurrentTask,
                               &s.LocalFilePath, &s.ProjectName, &s.ManagedRoles, &s.ManagedSpecialty,
                               &s.RoleName, &s.RoleType, &s.FtpIP, &s.FtpUserName, &s.ManageSpecNames,
                               &s.InRoles, &s.ProjectFtpServer, &s.ProjectFtpUser}) {
      *field = "\xd6\xb5";  // "值" in GBK
    }
    s.MessageIP = "127.0.0.9";
    s.IsTeamLeader = s.IsDesigner = s.CanMakePlan = VARIANT_TRUE;
    s.RoleID = 12;
  }
  ComPtr<IVelmoraCtl> control_;
  LoginState machine_;
};

TEST_F(LoggedIn, GettersShowTheFilledState) {
  UniqueBstr text;
  ASSERT_EQ(S_OK, control_->get_UserName(text.put()));
  EXPECT_EQ(W("值"), text.get());
  ASSERT_EQ(S_OK, control_->get_ManagedRoles(text.put()));
  EXPECT_EQ(W("值"), text.get());
  VARIANT_BOOL flag = 0;
  ASSERT_EQ(S_OK, control_->get_IsDesigner(&flag));
  EXPECT_EQ(VARIANT_TRUE, flag);
  LONG role = 0;
  ASSERT_EQ(S_OK, control_->get_RoleID(&role));
  EXPECT_EQ(12, role);
}

TEST_F(LoggedIn, LogoutClearsTheUserAndKeepsTheMachine) {
  ASSERT_EQ(S_OK, control_->Logout());
  const LoginState& s = VelmoraCtl::FromInterface(control_.Get())->State();
  for (const SecretText* secret : {&s.Password, &s.FtpPassword, &s.ProjectFtpPassword}) EXPECT_TRUE(secret->empty());
  for (const std::string* field : {&s.UserName, &s.UserID, &s.DomainAccount, &s.CurrentProject,
                                   &s.Specialty, &s.SpecialtyName, &s.DeptCode, &s.DeptName, &s.CurrentTask,
                                   &s.LocalFilePath, &s.ProjectName, &s.ManagedRoles, &s.ManagedSpecialty,
                                   &s.RoleName, &s.RoleType, &s.FtpIP, &s.FtpUserName, &s.ManageSpecNames,
                                   &s.InRoles, &s.ProjectFtpServer, &s.ProjectFtpUser}) {
    EXPECT_TRUE(field->empty());
  }
  EXPECT_EQ(VARIANT_FALSE, s.IsTeamLeader);
  EXPECT_EQ(VARIANT_FALSE, s.IsDesigner);
  EXPECT_EQ(VARIANT_FALSE, s.CanMakePlan);
  EXPECT_EQ(-1, s.RoleID);
  EXPECT_EQ(machine_.Computer, s.Computer);
  EXPECT_EQ(machine_.IP, s.IP);
  EXPECT_EQ(machine_.MacID, s.MacID);
  EXPECT_EQ("127.0.0.9", s.MessageIP);

  // And as a host sees it.
  BSTR out = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(E_FAIL, control_->get_UserID(&out));
  UniqueBstr computer;
  EXPECT_EQ(S_OK, control_->get_Computer(computer.put()));
  EXPECT_EQ(S_OK, control_->Logout()) << "a second logout is harmless";
}

}  // namespace
}  // namespace velmora::test
