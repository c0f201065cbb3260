// Login and ChangePassword of a whole control, end to end: the real login
// dialog driven through the UI driver, the development AppServer checking
// the account, and the reference message server, whose log tells which
// datagrams the control sent.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>

#include "common/Raii.h"
#include "common/Settings.h"
#include "common/Text.h"
#include "control/LoginFlow.h"
#include "control/VelmoraCtl.h"
#include "messaging/MessageChannel.h"
#include "resources/resource.h"
#include "tests/login/SessionHarness.h"
#include "tests/workdir/WorkdirTestSupport.h"
#include "tools/uidriver/UiDriver.h"

namespace velmora::test {
namespace {

using Microsoft::WRL::ComPtr;

const char* const kServer = VELMORA_LOGINSERVER_ADDRESS;
// Nothing listens here: a message server that is down or wrongly named.
const char* const kSilent = "127.0.0.86";
// A login's steps after the dialog (peer list, registration with its
// resends, lock table) and the server's log of them, on a busy machine.
constexpr DWORD kSessionPatienceMs = 30000;

// The accounts the development AppServer knows in these tests.
const char kAccounts[] = R"({"accounts": [
  {"account": "zhangwei", "password": "zw2026", "姓名": "张伟", "UPDATESERVER": "10.1.1.1", "FTPIP": "10.2.2.2",
   "USERNAME": "ftpuser", "PASSWORD": "ftppass", "管理专业": "JG", "管理专业名称": "结构", "本地路径": "C:\\srv"},
  {"account": "lina", "password": "ln2026", "姓名": "李娜", "UPDATESERVER": 7, "FTPIP": "", "USERNAME": "",
   "PASSWORD": "", "管理专业": null, "管理专业名称": null, "本地路径": "C:\\srv"},
  {"account": "o'brien", "password": "ob", "姓名": "O", "UPDATESERVER": null, "FTPIP": "", "USERNAME": "",
   "PASSWORD": "", "管理专业": "", "管理专业名称": "", "本地路径": ""},
  {"account": "chen", "password": "pa'ss", "姓名": "陈", "UPDATESERVER": "", "FTPIP": "", "USERNAME": "",
   "PASSWORD": "", "管理专业": "", "管理专业名称": "", "本地路径": ""},
  {"account": "nopath", "password": "np", "姓名": "无路径", "UPDATESERVER": "", "FTPIP": "", "USERNAME": "",
   "PASSWORD": "", "管理专业": "", "管理专业名称": "", "本地路径": null}]})";

// The server's log: "recv N (type), ... from ip:port" per datagram.
class ServerLog {
 public:
  ServerLog() : start_(Read().size()) {}

  // The types received since construction, in order, with repeats of one
  // type in a row kept once (a register may be resent while unanswered):
  // as soon as they read `expected`, otherwise as they stand after a
  // generous wait.
  std::string Sequence(const std::string& expected) const {
    std::string seen = Parsed(Read());
    for (const ULONGLONG end = GetTickCount64() + kSessionPatienceMs; seen != expected && GetTickCount64() < end;) {
      Sleep(50);
      seen = Parsed(Read());
    }
    return seen;
  }

 private:
  std::string Parsed(const std::string& now) const {
    static const std::regex line(R"(recv \d+ \((register|logout|peer-list)\))");
    std::string sequence;
    std::istringstream in(now.substr(start_));
    for (std::string text; std::getline(in, text);) {
      std::smatch match;
      if (!std::regex_search(text, match, line)) continue;
      const std::string type = match[1];
      if (sequence.size() >= type.size() && sequence.compare(sequence.size() - type.size(), type.size(), type) == 0) {
        continue;
      }
      sequence += (sequence.empty() ? "" : " ") + type;
    }
    return sequence;
  }

  static std::string Read() {
    std::ifstream file(VELMORA_LOGINSERVER_LOG, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  }
  size_t start_;
};

// Another machine where the account is logged in: a channel that gives the
// server an address this machine does not have.
class RemoteChannel : public MessageChannel {
 protected:
  bool ResolveOwnAddresses(std::vector<msg::Ipv4>& addresses) override {
    addresses = {msg::Ipv4{10, 20, 30, 40}};
    return true;
  }
};

// Notes the login thread's cursor where the registration begins: the
// dialog has closed, and the channel asks for this machine's addresses.
class CursorWatchingChannel : public MessageChannel {
 public:
  HCURSOR seen = nullptr;

 protected:
  bool ResolveOwnAddresses(std::vector<msg::Ipv4>& addresses) override {
    seen = GetCursor();
    return MessageChannel::ResolveOwnAddresses(addresses);
  }
};

struct Outcome {
  HRESULT hr = E_UNEXPECTED;
  VARIANT_BOOL value = 5;
  LoginState state;
};

class LoginSession : public SessionTest {
 protected:
  void SetUp() override { Prepare(kServer, kAccounts); }

  // A session's step: one Login, its outcome kept.
  void Login(IVelmoraCtl* control) {
    Outcome outcome;
    outcome.hr = SessionTest::Login(control, &outcome.value);
    outcome.state = VelmoraCtl::FromInterface(control)->State();
    outcomes_.push_back(outcome);
  }

  std::vector<Outcome> outcomes_;
};

TEST_F(LoginSession, CancelReturnsNineAndSendsNothing) {
  const ServerLog log;
  Start([this](IVelmoraCtl* control) { Login(control); });
  HWND dialog = LoginDialog();
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(ui::PressButton(dialog, IDCANCEL));
  Finish();
  ASSERT_EQ(outcomes_.size(), 1u);
  EXPECT_EQ(outcomes_[0].hr, S_OK);
  EXPECT_EQ(outcomes_[0].value, 9);
  EXPECT_EQ(outcomes_[0].state.UserID, "");
  EXPECT_EQ(log.Sequence(""), "");
}

// Wrong then right password, a second login, then the control released:
// one logout between the logins and one at the end.
TEST_F(LoginSession, LogsInFillsTheStateAndLogsOutOnceEachTime) {
  const ServerLog log;
  Start([this](IVelmoraCtl* control) {
    Login(control);
    Login(control);
  });
  Submit(L"zhangwei", L"wrong", false);
  Answer(L"系统", L"帐号或者密码输入错误，请核实后重新输入！");
  Submit(L"zhangwei", L"zw2026");
  Submit(L"zhangwei", L"zw2026");
  Finish();
  ASSERT_EQ(outcomes_.size(), 2u);
  for (const Outcome& o : outcomes_) {
    EXPECT_EQ(o.hr, S_OK);
    EXPECT_EQ(o.value, VARIANT_TRUE);
    const LoginState& s = o.state;
    EXPECT_EQ(s.UserID, "zhangwei");
    EXPECT_EQ(ToWide(s.UserName), L"张伟");
    EXPECT_EQ(s.Password, "zw2026");
    EXPECT_EQ(s.FtpIP + "|" + s.FtpUserName + "|" + std::string(s.FtpPassword.view()), "10.2.2.2|ftpuser|ftppass");
    EXPECT_EQ(s.ManagedSpecialty, "JG");
    EXPECT_EQ(ToWide(s.ManageSpecNames), L"结构");
    EXPECT_EQ(s.LocalFilePath, temp_ + "\\");
    EXPECT_EQ(s.MessageIP, kServer);
  }
  EXPECT_EQ(ToWide(ReadSettingValue("CurServer")), L"测试中心");
  EXPECT_EQ(ReadSettingValue("UpdateServer"), "10.1.1.1");
  const std::string both = "peer-list register logout peer-list register logout";
  EXPECT_EQ(log.Sequence(both), both);
}

// What the account check's row decides: the account alone is tested for an
// apostrophe, a NULL local path fails the login after the identity is read,
// and UPDATESERVER is stored as text whatever the column holds.
TEST_F(LoginSession, TheCheckResultDecides) {
  const struct {
    const wchar_t* account;
    const wchar_t* password;
    const wchar_t* refusal;  // then the dialog is cancelled
    VARIANT_BOOL value;
    bool failed;
    const char* userId;
    const char* updateServer;
  } cases[] = {
      {L"o'brien", L"ob", L"您的输入中含有可能会造成系统出错的非法字符，请重新输入！", 9, false, "", ""},
      {L"chen", L"pa'ss", nullptr, VARIANT_TRUE, false, "chen", ""},
      {L"nopath", L"np", nullptr, VARIANT_FALSE, true, "nopath", ""},
      {L"lina", L"ln2026", nullptr, VARIANT_TRUE, false, "lina", "7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Mb(c.account));
    WriteSettingValue("HKEY_LOCAL_MACHINE", "SOFTWARE\\Sorvik", "UpdateServer", "unset");
    outcomes_.clear();
    Start([this](IVelmoraCtl* control) { Login(control); });
    Submit(c.account, c.password, !c.refusal);
    if (c.refusal) {
      Answer(L"系统", c.refusal);
      ASSERT_TRUE(ui::PressButton(LoginDialog(), IDCANCEL));
    }
    Finish();
    ASSERT_EQ(outcomes_.size(), 1u);
    const Outcome& o = outcomes_[0];
    EXPECT_EQ(o.value, c.value);
    EXPECT_EQ(FAILED(o.hr), c.failed) << std::hex << o.hr;
    EXPECT_EQ(o.state.UserID, c.userId);
    EXPECT_EQ(o.state.Password.empty(), c.value != VARIANT_TRUE) << "stored only on success";
    EXPECT_EQ(ReadSettingValue("UpdateServer"), c.updateServer);
    if (c.failed) {
      EXPECT_EQ(ToWide(o.state.UserName), L"无路径");
    }
  }
}

TEST_F(LoginSession, RefusesAnAccountInUseOnAnotherMachineOnly) {
  const struct {
    bool remote;
    VARIANT_BOOL value;
  } cases[] = {{true, 10}, {false, VARIANT_TRUE}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.remote ? "remote" : "this machine");
    outcomes_.clear();
    std::unique_ptr<MessageChannel> other =
        c.remote ? std::make_unique<RemoteChannel>() : std::make_unique<MessageChannel>();
    ASSERT_EQ(other->Start(0), 1);
    ASSERT_EQ(other->Register("lina", kServer), 1);
    Start([this](IVelmoraCtl* control) { Login(control); });
    Submit(L"lina", L"ln2026");
    if (c.remote) Answer(L"系统提示", L"你已经在10.20.30.40登录使用本系统，不能两台机器上同时登录使用！");
    Finish();
    ASSERT_EQ(outcomes_.size(), 1u);
    EXPECT_EQ(outcomes_[0].hr, S_OK);
    EXPECT_EQ(outcomes_[0].value, c.value);
    EXPECT_EQ(outcomes_[0].state.UserID, c.remote ? "" : "lina");
  }
}

// On an ordinary user's rights to the installed key the login reads the
// working directory and remembers the server; with no rights the message
// shows as it always has, and the login keeps the check's local path.
TEST_F(LoginSession, AnOrdinaryUsersKeyRightsAreEnough) {
  const struct {
    KeyRightsScope::Rights rights;
    bool refused;
  } cases[] = {{KeyRightsScope::kOrdinaryUser, false}, {KeyRightsScope::kNone, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.refused ? "no rights" : "ordinary user");
    WriteSettingValue("HKEY_LOCAL_MACHINE", "SOFTWARE\\Sorvik", "CurServer", "unset");
    outcomes_.clear();
    {
      const KeyRightsScope rights(c.rights);
      Start([this](IVelmoraCtl* control) { Login(control); });
      Submit(L"zhangwei", L"zw2026");
      if (c.refused) Answer(L"系统提示", L"注册表不能打开!");
      Finish();
    }
    ASSERT_EQ(outcomes_.size(), 1u);
    EXPECT_EQ(outcomes_[0].hr, S_OK);
    EXPECT_EQ(outcomes_[0].value, VARIANT_TRUE);
    EXPECT_EQ(outcomes_[0].state.LocalFilePath, c.refused ? "C:\\srv" : temp_ + "\\");
    EXPECT_EQ(ToWide(ReadSettingValue("CurServer")), c.refused ? L"unset" : L"测试中心");
  }
}

// Only a server that answers gets more than one cycle (GaveUp comes only
// after all of them): an account too long for the record is never
// registered, whatever the server says.
TEST_F(LoginSession, RegistrationTellsASilentServerFromOneThatAnswers) {
  const struct {
    const char* server;
    std::string account;
    login::RegistrationResult result;
  } cases[] = {
      {kSilent, "zhangwei", login::RegistrationResult::Unanswered},
      {kServer, std::string(20, 'x'), login::RegistrationResult::GaveUp},
      {kServer, "zhangwei", login::RegistrationResult::Registered},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.server + (" " + c.account));
    MessageChannel channel;
    EXPECT_EQ(RegisterOnChannel(channel, c.account, c.server), c.result);
    EXPECT_EQ(channel.IsRegistered(), c.result == login::RegistrationResult::Registered);
  }
}

// With nothing at the message server's address the person still gets in,
// unregistered, and sees the wait cursor from OK until Login returns.
TEST_F(LoginSession, ASilentServerLogsInUnregisteredUnderTheWaitCursor) {
  WritePrivateProfileStringW(L"Server1", L"MessageIP", ToWide(kSilent).c_str(), ini_.c_str());
  const HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW), wait = LoadCursorW(nullptr, IDC_WAIT);
  // Away from the dialog, so that no hovering changes the cursor meanwhile.
  SetCursorPos(0, 0);
  struct {
    LoginResult result{VARIANT_FALSE, E_UNEXPECTED};
    std::string userId;
    bool registered = true;
    HCURSOR checking = nullptr, registering = nullptr, after = nullptr;
  } seen;
  ui_ = std::make_unique<ui::UiThread>([&] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
      CursorWatchingChannel channel;
      LoginState state;
      SetCursor(arrow);
      seen.result = RunLogin(channel, state, Mb(ini_), [&](const std::string& account, const SecretText& password) {
        seen.checking = GetCursor();
        return CheckAccountOnServer(account, password);
      });
      seen.after = GetCursor();
      seen.registering = channel.seen;
      seen.registered = channel.IsRegistered();
      seen.userId = state.UserID;
    }
    CoUninitialize();
    return INT_PTR{0};
  });
  Submit(L"zhangwei", L"zw2026");
  Finish();
  EXPECT_EQ(seen.result.hr, S_OK);
  EXPECT_EQ(seen.result.value, VARIANT_TRUE);
  EXPECT_EQ(seen.userId, "zhangwei");
  EXPECT_FALSE(seen.registered);
  EXPECT_EQ(seen.checking, wait);
  EXPECT_EQ(seen.registering, wait);
  EXPECT_EQ(seen.after, arrow);
}

// The change goes to the server; the held password follows only a change
// the server took.
TEST_F(LoginSession, ChangePasswordReachesTheServer) {
  HRESULT changed = E_UNEXPECTED;
  std::string password;
  Start([&](IVelmoraCtl* control) {
    Login(control);
    changed = control->ChangePassword();
    password = VelmoraCtl::FromInterface(control)->State().Password.view();
  });
  Submit(L"zhangwei", L"zw2026");
  HWND dialog = ui::WaitForWindow(L"修改密码", kWaitMs, L"#32770", ui_->ThreadId());
  if (!dialog) {
    Finish();  // a low-disk warning came first
    FAIL() << "no password dialog";
  }
  ASSERT_TRUE(ui::TypeInto(dialog, IDC_PASSWORD_OLD, L"zw2026"));
  ASSERT_TRUE(ui::TypeInto(dialog, IDC_PASSWORD_NEW, L"n3w"));
  ASSERT_TRUE(ui::TypeInto(dialog, IDC_PASSWORD_CONFIRM, L"n3w"));
  ASSERT_TRUE(ui::PressButton(dialog, IDOK));
  Finish();
  EXPECT_EQ(changed, S_OK);
  EXPECT_EQ(password, "n3w");

  // The next login needs the new password.
  outcomes_.clear();
  Start([this](IVelmoraCtl* control) { Login(control); });
  Submit(L"zhangwei", L"n3w");
  Finish();
  ASSERT_EQ(outcomes_.size(), 1u);
  EXPECT_EQ(outcomes_[0].value, VARIANT_TRUE);
}

}  // namespace
}  // namespace velmora::test
