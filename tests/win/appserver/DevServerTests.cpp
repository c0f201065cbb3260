// A few members end to end against the development AppServer, registered
// with regsvr32 and reading the sample data beside the DLL.
#include <gtest/gtest.h>

#include "common/Raii.h"
#include "common/Text.h"
#include "control/VelmoraCtl.h"
#include "tests/win/DllHarness.h"

namespace velmora::test {
namespace {

class DevServer : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(S_OK, VelmoraCtl::CreateInstance(nullptr, IID_PPV_ARGS(&control_)));
    state_ = &VelmoraCtl::FromInterface(control_.Get())->State();
    state_->UserID = "zhangwei";
    state_->UserName = ToMultiByte(W("张伟"));
  }
  static UniqueBstr Bstr(const char* utf8) { return UniqueBstr(SysAllocString(W(utf8).c_str())); }
  ComPtr<IVelmoraCtl> control_;
  LoginState* state_ = nullptr;
};

TEST_F(DevServer, TaskRolesThenSignatureOfAnotherRole) {
  const UniqueBstr task = Bstr("T-101"), project = Bstr("P2026-001"), specialty = Bstr("JG");
  ASSERT_EQ(S_OK, control_->GetUserInfoByTask(task.get(), project.get(), specialty.get(), nullptr, 0));
  EXPECT_EQ("JG", state_->Specialty);
  EXPECT_EQ(3, state_->RoleID);
  EXPECT_EQ("3,17", state_->InRoles);
  EXPECT_EQ(VARIANT_TRUE, state_->IsTeamLeader);
  EXPECT_EQ(W("滨江大桥施工图设计"), ToWide(state_->ProjectName));

  UniqueBstr own, other;
  ASSERT_EQ(S_OK, control_->GetSignature(task.get(), 17, VARIANT_FALSE, own.put()));
  EXPECT_EQ(W("张伟"), own.get()) << "17 is among the user's roles";
  ASSERT_EQ(S_OK, control_->GetSignature(task.get(), 18, VARIANT_FALSE, other.put()));
  EXPECT_EQ(W("李娜"), other.get());
}

TEST_F(DevServer, FileServerClockAndFunctions) {
  const UniqueBstr known = Bstr("P2026-001"), unknown = Bstr("P-none");
  UniqueBstr ip, user, password;
  EXPECT_EQ(S_FALSE, control_->FtpServerInfo(unknown.get(), ip.put(), user.put(), password.put()));
  ASSERT_EQ(S_OK, control_->FtpServerInfo(known.get(), ip.put(), user.put(), password.put()));
  EXPECT_EQ(L"127.0.0.1", std::wstring(ip.get()));
  EXPECT_EQ(L"velmora", std::wstring(user.get()));

  UniqueBstr raw, shown;
  ASSERT_EQ(S_OK, control_->get_SystemDateEx(raw.put()));
  ASSERT_EQ(19u, raw.length()) << "local time as YYYY-MM-DD HH:MM:SS";
  ASSERT_EQ(S_OK, control_->get_SystemDate(shown.put()));
  EXPECT_EQ(20u, shown.length());

  ComPtr<IDispatch> functions;
  ASSERT_EQ(S_OK, control_->GetAssignedFunction(&functions));
  ASSERT_TRUE(functions);
}

}  // namespace
}  // namespace velmora::test
