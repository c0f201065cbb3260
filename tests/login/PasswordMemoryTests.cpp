// A password leaves no copy in memory the control allocated once it has
// been used: typed key by key into the real dialog and used for a login,
// refused, or set by a password change; or a file server's, read from the
// server and handed to the host. Then the whole process's memory is
// searched. Copies in memory of the system or of the development AppServer
// are listed, not judged.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <vector>

#include "appserver/ServerCall.h"
#include "common/Raii.h"
#include "common/SecretText.h"
#include "common/Text.h"
#include "resources/resource.h"
#include "tests/login/AllocationHook.h"
#include "tests/login/MemoryScan.h"
#include "tests/login/SessionHarness.h"
#include "tests/workdir/WorkdirTestSupport.h"
#include "tools/uidriver/UiDriver.h"

namespace velmora::test {
namespace {

const char* const kServer = VELMORA_BOUNDARYSERVER_ADDRESS;

// The passwords in pieces: whole, this program holds them only in the
// needles' pages and, while the data file is written, in a wiping buffer.
// One is longer than a string's own small buffer, one fits in it.
const char* const volatile kLong[] = {"Vq7#", "Lm2&", "Zx9!", "Kp4$", "Wd"};
const char* const volatile kShort[] = {"Hs3%", "Tb8"};
// The file servers' passwords: liuyang's login gives the long one, project
// P1 the short one.
const char* const volatile kFtpLong[] = {"Fj5*", "Rn8(", "Qc1)", "Gy6@", "Uv"};
const char* const volatile kFtpShort[] = {"Pe4^", "Xo9"};

SecretText Concatenate(std::initializer_list<const char*> parts) {
  size_t size = 0;
  for (const char* part : parts) size += std::strlen(part);
  SecretText text;
  char* at = text.Overwrite(size);
  for (const char* part : parts) at = std::copy(part, part + std::strlen(part), at);
  return text;
}

// zhangwei's password is the long one.
SecretText AccountsNamingThePassword() {
  return Concatenate({R"({"accounts": [
  {"account": "zhangwei", "password": ")", kLong[0], kLong[1], kLong[2], kLong[3], kLong[4], R"(", "姓名": "张伟",
   "UPDATESERVER": "", "FTPIP": "", "USERNAME": "", "PASSWORD": "", "管理专业": "", "管理专业名称": "", "本地路径": ""},
  {"account": "liuyang", "password": "ly2026", "姓名": "刘洋", "UPDATESERVER": "", "FTPIP": "10.2.2.2",
   "USERNAME": "ftpuser", "PASSWORD": ")", kFtpLong[0], kFtpLong[1], kFtpLong[2], kFtpLong[3], kFtpLong[4], R"(",
   "管理专业": "", "管理专业名称": "", "本地路径": ""},
  {"account": "lina", "password": "ln2026", "姓名": "李娜", "UPDATESERVER": "", "FTPIP": "", "USERNAME": "",
   "PASSWORD": "", "管理专业": "", "管理专业名称": "", "本地路径": ""},
  {"account": "wangfang", "password": "wf2026", "姓名": "王芳", "UPDATESERVER": "", "FTPIP": "", "USERNAME": "",
   "PASSWORD": "", "管理专业": "", "管理专业名称": "", "本地路径": ""}],
 "fileServers": [{"project": "P1", "文件服务器": "10.3.3.3", "登录用户": "u", "登录口令": ")", kFtpShort[0], kFtpShort[1],
   R"("}]})"});
}

class PasswordMemory : public SessionTest {
 protected:
  void SetUp() override {
    alloc::KeepFreedBlocks(true);
    Prepare(kServer, AccountsNamingThePassword().view());
  }
  void TearDown() override {
    SessionTest::TearDown();
    alloc::KeepFreedBlocks(false);
  }

  HWND Dialog(const wchar_t* title) { return ui::WaitForWindow(title, kWaitMs, L"#32770", ui_->ThreadId()); }
};

TEST_F(PasswordMemory, NoCopyStaysInMemoryTheControlAllocated) {
  enum class Use { Login, RefusedLogin, PasswordChange };
  const struct {
    const char* name;
    Use use;
    HRESULT hr;
    VARIANT_BOOL value;
  } cases[] = {
      {"a login and a logout", Use::Login, S_OK, VARIANT_TRUE},
      {"a refused login", Use::RefusedLogin, S_OK, 9},
      {"a password change and a logout", Use::PasswordChange, S_OK, VARIANT_TRUE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const SecretNeedle needle = c.use == Use::Login ? SecretNeedle(kLong, std::size(kLong))
                                                    : SecretNeedle(kShort, std::size(kShort));
    HRESULT hr = E_UNEXPECTED, changed = S_OK;
    VARIANT_BOOL value = 5;
    std::vector<MemoryHit> whileLoggedIn, hits;
    Start([&](IVelmoraCtl* control) {
      hr = Login(control, &value);
      if (c.use == Use::PasswordChange) changed = control->ChangePassword();
      // While logged in the password is held: the scan must find it.
      if (c.use == Use::Login) whileLoggedIn = needle.Scan();
      control->Logout();
      hits = needle.Scan();
    });
    HWND login = Dialog(L"Sorvik平台");
    ASSERT_NE(login, nullptr);
    switch (c.use) {
      case Use::Login:
        ASSERT_TRUE(ui::TypeInto(login, IDC_LOGIN_ACCOUNT, L"zhangwei"));
        ASSERT_TRUE(needle.TypeInto(login, IDC_LOGIN_PASSWORD));
        ASSERT_TRUE(ui::PressButton(login, IDOK));
        break;
      case Use::RefusedLogin:
        ASSERT_TRUE(ui::TypeInto(login, IDC_LOGIN_ACCOUNT, L"lina"));
        ASSERT_TRUE(needle.TypeInto(login, IDC_LOGIN_PASSWORD));
        ASSERT_TRUE(ui::PressButton(login, IDOK));
        Answer(L"系统", L"帐号或者密码输入错误，请核实后重新输入！");
        ASSERT_TRUE(ui::PressButton(login, IDCANCEL));
        break;
      case Use::PasswordChange: {
        ASSERT_TRUE(ui::TypeInto(login, IDC_LOGIN_ACCOUNT, L"wangfang"));
        ASSERT_TRUE(ui::TypeInto(login, IDC_LOGIN_PASSWORD, L"wf2026"));
        ASSERT_TRUE(ui::PressButton(login, IDOK));
        HWND change = Dialog(L"修改密码");
        ASSERT_NE(change, nullptr);
        ASSERT_TRUE(ui::TypeInto(change, IDC_PASSWORD_OLD, L"wf2026"));
        ASSERT_TRUE(needle.TypeInto(change, IDC_PASSWORD_NEW));
        ASSERT_TRUE(needle.TypeInto(change, IDC_PASSWORD_CONFIRM));
        ASSERT_TRUE(ui::PressButton(change, IDOK));
        break;
      }
    }
    Finish();
    EXPECT_EQ(hr, c.hr);
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(changed, S_OK);
    if (c.use == Use::Login) {
      EXPECT_TRUE(std::any_of(whileLoggedIn.begin(), whileLoggedIn.end(), [](const MemoryHit& h) { return h.control; }))
          << "the scan finds the password the login state holds";
    }
    std::printf("[ copies  ] after %s: %zu\n", c.name, hits.size());
    for (const MemoryHit& hit : hits) {
      std::printf("[ copy    ] %s\n", Describe(hit).c_str());
      EXPECT_FALSE(hit.control) << Describe(hit);
    }
  }
}

// The file servers' passwords come from the server, as BSTRs: read through
// FtpServerInfo, the login's and a project's; the host wipes and frees the
// one handed to it, and logs out.
TEST_F(PasswordMemory, NoCopyOfAFileServerPasswordStaysInMemoryTheControlAllocated) {
  const struct {
    const char* name;
    const wchar_t* project;
    const char* const volatile* pieces;
    size_t count;
  } cases[] = {
      {"the login's file server", L"", kFtpLong, std::size(kFtpLong)},
      {"a project's file server", L"P1", kFtpShort, std::size(kFtpShort)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const SecretNeedle needle(c.pieces, c.count);
    HRESULT hr = E_UNEXPECTED, asked = E_UNEXPECTED;
    VARIANT_BOOL value = 5;
    bool handedOut = false;
    std::vector<MemoryHit> whileHeld, hits;
    Start([&](IVelmoraCtl* control) {
      hr = Login(control, &value);
      {
        UniqueBstr project(SysAllocString(c.project)), ip, user;
        SecretBstr password;
        asked = control->FtpServerInfo(project.get(), ip.put(), user.put(), password.put());
        handedOut = needle.Matches(password.get());
        whileHeld = needle.Scan();
      }
      control->Logout();
      hits = needle.Scan();
    });
    Submit(L"liuyang", L"ly2026");
    Finish();
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(value, VARIANT_TRUE);
    EXPECT_EQ(asked, S_OK);
    EXPECT_TRUE(handedOut) << "FtpServerInfo hands out the server's password";
    EXPECT_TRUE(std::any_of(whileHeld.begin(), whileHeld.end(), [](const MemoryHit& h) { return h.control; }))
        << "the scan finds the password the control holds";
    std::printf("[ copies  ] after %s: %zu\n", c.name, hits.size());
    for (const MemoryHit& hit : hits) {
      std::printf("[ copy    ] %s\n", Describe(hit).c_str());
      EXPECT_FALSE(hit.control) << Describe(hit);
    }
  }
}

// A copy that fails part of the way through an argument array frees the
// texts copied before it; a password may be among them.
TEST(ArgumentArray, MadeInVainLeavesNoCopyOfAPassword) {
  const SecretNeedle needle(kShort, std::size(kShort));
  {
    SecretVariant password;
    V_VT(password.get()) = VT_BSTR;
    V_BSTR(password.get()) = needle.NewBstr();
    ASSERT_NE(V_BSTR(password.get()), nullptr);
    VARIANT refused;  // no VARIANT may hold a CLSID: the copy fails
    VariantInit(&refused);
    V_VT(&refused) = VT_CLSID;
    VARIANT array = appserver::MakeArgumentArray({password.get(), &refused});
    EXPECT_EQ(V_VT(&array), VT_EMPTY);
    VariantClear(&array);
  }
  for (const MemoryHit& hit : needle.Scan()) EXPECT_FALSE(hit.control) << Describe(hit);
}

}  // namespace
}  // namespace velmora::test
