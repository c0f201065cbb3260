// The login and password dialogs on a thread of their own, driven through
// the UI driver; the server behind them is a scripted fake.
#include <gtest/gtest.h>

#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>

#include "common/Raii.h"
#include "common/Settings.h"
#include "common/Text.h"
#include "control/ChangePasswordDialog.h"
#include "control/LoginDialog.h"
#include "resources/resource.h"
#include "tests/workdir/WorkdirTestSupport.h"
#include "tools/uidriver/UiDriver.h"

namespace velmora::test {
namespace {

const std::wstring kLoginTitle = L"Sorvik平台";
const std::wstring kPasswordTitle = L"修改密码";
const wchar_t kNoServer[] = L"没有可选的服务器，请检查服务器配置文件！";
const wchar_t kNetworkFault[] = L"网络连接出现故障！";
const wchar_t kWrongCredentials[] = L"帐号或者密码输入错误，请核实后重新输入！";
const wchar_t kIllegal[] = L"您的输入中含有可能会造成系统出错的非法字符，请重新输入！";
constexpr login::Status kUnexpected = static_cast<login::Status>(0x8000FFFF);

void Snapshot(HWND window, const wchar_t* name) {
  const wchar_t* dir = _wgetenv(L"VELMORA_SCREENSHOT_DIR");
  if (dir) ui::SaveWindowBitmap(window, std::wstring(dir) + L"\\" + name);
}

void SetSetting(const char* name, const std::string& text) {
  UniqueHkey key;
  RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Sorvik", 0, KEY_ALL_ACCESS, key.put());
  if (text.empty()) {
    RegDeleteValueA(key.get(), name);
  } else {
    RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
  }
}

// An INI file of servers; `count` is written as ServersNum as is.
std::string WriteIni(const std::wstring& count, const std::vector<std::wstring>& names) {
  const std::wstring path = FreshDirectory(L"login-ini") + L"\\servers.ini";
  WritePrivateProfileStringW(L"RemoteServers", L"ServersNum", count.c_str(), path.c_str());
  for (size_t i = 0; i < names.size(); ++i) {
    const std::wstring section = L"Server" + std::to_wstring(i + 1);
    const std::wstring n = std::to_wstring(i + 1);
    WritePrivateProfileStringW(section.c_str(), L"ServerName", names[i].c_str(), path.c_str());
    WritePrivateProfileStringW(section.c_str(), L"ServerIP", (L"10.0.0." + n).c_str(), path.c_str());
    WritePrivateProfileStringW(section.c_str(), L"MessageIP", (L"127.0.0." + n).c_str(), path.c_str());
    WritePrivateProfileStringW(section.c_str(), L"ArcServerIP", (L"10.9.0." + n).c_str(), path.c_str());
  }
  return Mb(path);
}

login::AccountCheck Row(const std::string& userId, std::optional<int32_t> count = 1,
                        std::optional<std::string> updateServer = std::string("update.example")) {
  login::AccountCheck check;
  check.recordCount = count;
  check.updateServer = updateServer;
  check.columns["帐号"] = {login::kOk, userId};
  return check;
}

class LoginDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"CurServer", "CurServerIP", "ArcServerIP", "UpdateServer"}) SetSetting(name, "");
    ini_ = WriteIni(L"3", {L"北京", L"上海", L"北京"});
  }
  void TearDown() override { ui_.reset(); }

  // Shows the login dialog; each check answers with the next scripted result.
  HWND Open() {
    ui_ = std::make_unique<ui::UiThread>([this] {
      CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
      LoginDialog dialog(ini_, [this](const std::string& account, const SecretText& password) {
        calls_.push_back(account + "/" + std::string(password.view()));
        login::AccountCheck next = script_.front();
        script_.pop_front();
        return next;
      });
      INT_PTR result = dialog.Run(nullptr);
      account_ = dialog.Account();
      password_ = dialog.Password().view();
      messageIp_ = dialog.MessageIp();
      if (dialog.Result()) resultUser_ = dialog.Result()->columns.at("帐号").text.view();
      CoUninitialize();
      return result;
    });
    return ui::WaitForWindow(kLoginTitle, kWaitMs, L"#32770", ui_->ThreadId());
  }

  // Presses OK and answers the message it brings; the dialog stays open.
  void ExpectRefusal(HWND dialog, const wchar_t* text) {
    ASSERT_TRUE(ui::PressButton(dialog, IDOK));
    std::optional<ui::MessageBoxInfo> box = ui::WaitForMessageBox(L"系统", kWaitMs, ui_->ThreadId());
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text, text);
    EXPECT_EQ(box->icon, ui::MessageIcon::Information);
    ASSERT_TRUE(ui::AnswerMessageBox(box->hwnd, IDOK));
    ASSERT_TRUE(ui::WaitForWindowGone(box->hwnd, kWaitMs));
    EXPECT_FALSE(ui_->Wait(0)) << "stays open";
  }

  std::string ini_;
  std::deque<login::AccountCheck> script_;
  std::vector<std::string> calls_;
  std::string account_ = "unset", password_ = "unset", messageIp_, resultUser_;
  std::unique_ptr<ui::UiThread> ui_;
};

TEST_F(LoginDialogTest, ListsTheServersInFileOrderAndPreselectsTheRememberedOne) {
  const struct {
    std::string remembered;
    int line;
  } cases[] = {{"上海", 1}, {"北京", 2}, {"深圳", 0}, {"", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.remembered);
    SetSetting("CurServer", c.remembered.empty() ? "" : Mb(ToWide(c.remembered, CP_UTF8)));
    HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(ui::ComboItems(dialog, IDC_LOGIN_SERVERS), (std::vector<std::wstring>{L"北京", L"上海", L"北京"}));
    EXPECT_EQ(ui::ComboSelection(dialog, IDC_LOGIN_SERVERS), c.line);
    EXPECT_EQ(GetWindowLongW(dialog, GWL_STYLE) & (WS_CAPTION | WS_BORDER), 0) << "captionless";
    EXPECT_NE(SendMessageW(dialog, WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_NE(SendDlgItemMessageW(dialog, IDOK, BM_GETIMAGE, IMAGE_BITMAP, 0), 0);
    ASSERT_TRUE(ui::TypeInto(dialog, IDC_LOGIN_ACCOUNT, L"zhangwei"));
    if (c.line == 1) Snapshot(dialog, L"login.bmp");
    ASSERT_TRUE(ui::PressButton(dialog, IDCANCEL));
    EXPECT_EQ(ui_->Wait(kWaitMs), IDCANCEL);
    EXPECT_EQ(account_, "");
    EXPECT_EQ(password_, "");
    EXPECT_TRUE(calls_.empty());
  }
}

TEST(ServerCount, ReadsServersNumAsAnAutomationNumber) {
  const struct {
    const char* text;
    std::optional<int32_t> count;
  } cases[] = {
      {"3", 3},       {" 3", 3},   {"3 ", 3},       {"&H10", 16},          {"&h10", 16},
      {"2.5", 2},     {"3.5", 4},  {"-1", -1},      {"2147483647", 2147483647},
      {"abc", std::nullopt},       {"", std::nullopt},  {"3x", std::nullopt}, {"99999999999", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ServerCountFromText(c.text), c.count) << '"' << c.text << '"';
}

TEST_F(LoginDialogTest, OffersAsManyServersAsServersNumCounts) {
  const struct {
    std::wstring count;
    size_t lines;
  } cases[] = {{L"&H2", 2}, {L" 3", 3}, {L"1.5", 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(Mb(c.count));
    ini_ = WriteIni(c.count, {L"北京", L"上海", L"广州"});
    HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(ui::ComboItems(dialog, IDC_LOGIN_SERVERS).size(), c.lines);
    ASSERT_TRUE(ui::PressButton(dialog, IDCANCEL));
    EXPECT_EQ(ui_->Wait(kWaitMs), IDCANCEL);
  }
}

TEST_F(LoginDialogTest, ABrokenServerListOffersNothingAndNeverChecks) {
  for (const std::wstring count : {L"", L"three", L"0", L"-1", L"99999999999"}) {
    SCOPED_TRACE(Mb(count));
    ini_ = WriteIni(count, {L"北京"});
    HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(ui::ComboItems(dialog, IDC_LOGIN_SERVERS).empty());
    ASSERT_TRUE(ui::TypeInto(dialog, IDC_LOGIN_ACCOUNT, L"zhangwei"));
    ExpectRefusal(dialog, kNoServer);
    EXPECT_TRUE(calls_.empty());
    EXPECT_EQ(ReadSettingValue("CurServer"), "") << "nothing remembered";
    ASSERT_TRUE(ui::PressButton(dialog, IDCANCEL));
    EXPECT_EQ(ui_->Wait(kWaitMs), IDCANCEL);
  }
}

TEST_F(LoginDialogTest, RefusesUntilTheServerAcceptsALegalAccount) {
  login::AccountCheck failed;
  failed.status = kUnexpected;
  const struct {
    const char* name;
    std::wstring account, password;
    login::AccountCheck check;
    const wchar_t* message;  // null: the dialog stays open without a word
    std::string updateServer;
  } cases[] = {
      {"the call fails", L"", L"", failed, kNetworkFault, ""},
      {"no row", L"zhangwei", L"bad", Row("zhangwei", 0), kWrongCredentials, ""},
      {"apostrophe in the account", L"o'brien", L"x", Row("o'brien"), kIllegal, "update.example"},
      {"UPDATESERVER unreadable", L"zhangwei", L"zw2026", Row("zhangwei", 1, std::nullopt), nullptr, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetSetting("UpdateServer", "");
    calls_.clear();
    script_ = {c.check};
    HWND dialog = Open();
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(ui::SelectComboItem(dialog, IDC_LOGIN_SERVERS, 1));
    ASSERT_TRUE(ui::TypeInto(dialog, IDC_LOGIN_ACCOUNT, c.account));
    ASSERT_TRUE(ui::TypeInto(dialog, IDC_LOGIN_PASSWORD, c.password));
    if (c.message) {
      ExpectRefusal(dialog, c.message);
    } else {
      ASSERT_TRUE(ui::PressButton(dialog, IDOK));
      EXPECT_FALSE(ui::WaitForMessageBox(L"系统", 500, ui_->ThreadId()));
      EXPECT_FALSE(ui_->Wait(0));
    }
    EXPECT_EQ(calls_, std::vector<std::string>{Mb(c.account) + "/" + Mb(c.password)});
    // The server is remembered before the check, whatever it says.
    EXPECT_EQ(ReadSettingValue("CurServer"), Mb(L"上海"));
    EXPECT_EQ(ReadSettingValue("CurServerIP"), "10.0.0.2");
    EXPECT_EQ(ReadSettingValue("ArcServerIP"), "10.9.0.2");
    EXPECT_EQ(ReadSettingValue("UpdateServer"), c.updateServer);
    ASSERT_TRUE(ui::PressButton(dialog, IDCANCEL));
    EXPECT_EQ(ui_->Wait(kWaitMs), IDCANCEL);
  }
}

TEST_F(LoginDialogTest, WrongThenRightPasswordKeepsOnlyTheSecondResult) {
  script_ = {Row("first", 0), Row("second", -1)};
  HWND dialog = Open();
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(ui::TypeInto(dialog, IDC_LOGIN_ACCOUNT, L"zhangwei"));
  ASSERT_TRUE(ui::TypeInto(dialog, IDC_LOGIN_PASSWORD, L"bad"));
  ExpectRefusal(dialog, kWrongCredentials);
  ASSERT_TRUE(ui::TypeInto(dialog, IDC_LOGIN_PASSWORD, L"zw'2026"));
  ASSERT_TRUE(ui::PressButton(dialog, IDOK));
  EXPECT_EQ(ui_->Wait(kWaitMs), IDOK) << "an apostrophe in the password is no reason to refuse";
  EXPECT_EQ(account_, "zhangwei");
  EXPECT_EQ(password_, "zw'2026");
  EXPECT_EQ(messageIp_, "127.0.0.1");
  EXPECT_EQ(resultUser_, "second");
  EXPECT_EQ(ReadSettingValue("UpdateServer"), "update.example");
}

class PasswordDialogTest : public ::testing::Test {
 protected:
  void TearDown() override { ui_.reset(); }

  HWND Open(HRESULT answer) {
    sent_.clear();
    ui_ = std::make_unique<ui::UiThread>([this, answer] {
      return static_cast<INT_PTR>(RunPasswordChange(nullptr, "zhangwei", &password_,
                                                    [this, answer](const std::string& user, const SecretText& oldPw,
                                                                   const SecretText& newPw) {
                                                      sent_.push_back(user + "/" + std::string(oldPw.view()) + "/" +
                                                                      std::string(newPw.view()));
                                                      return answer;
                                                    }));
    });
    return ui::WaitForWindow(kPasswordTitle, kWaitMs, L"#32770", ui_->ThreadId());
  }

  SecretText password_;
  std::vector<std::string> sent_;
  std::unique_ptr<ui::UiThread> ui_;
};

TEST_F(PasswordDialogTest, RefusesLocallyWithoutSending) {
  const struct {
    std::wstring oldText, newText, confirm;
    const wchar_t* message;
  } cases[] = {
      {L"ZW2026", L"new", L"new", L"您输入的原密码有误，请重试！"},
      {L"zw2026", L"new", L"neu", L"您输入的新密码和新密码确认不一致，请重试！"},
      {L"zw2026", L"n'w", L"n'w", kIllegal},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Mb(c.message));
    password_ = "zw2026";
    HWND dialog = Open(S_OK);
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(ui::TypeInto(dialog, IDC_PASSWORD_OLD, c.oldText));
    ASSERT_TRUE(ui::TypeInto(dialog, IDC_PASSWORD_NEW, c.newText));
    ASSERT_TRUE(ui::TypeInto(dialog, IDC_PASSWORD_CONFIRM, c.confirm));
    ASSERT_TRUE(ui::PressButton(dialog, IDOK));
    std::optional<ui::MessageBoxInfo> box = ui::WaitForMessageBox(L"系统", kWaitMs, ui_->ThreadId());
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text, c.message);
    EXPECT_EQ(box->buttonIds, std::vector<int>{IDOK});
    ASSERT_TRUE(ui::AnswerMessageBox(box->hwnd, IDOK));
    ASSERT_TRUE(ui::WaitForWindowGone(box->hwnd, kWaitMs));
    EXPECT_EQ(ui::ReadText(dialog, IDC_PASSWORD_NEW), c.newText) << "kept as typed";
    ASSERT_TRUE(ui::PressButton(dialog, IDCANCEL));
    EXPECT_EQ(ui_->Wait(kWaitMs), S_OK);
    EXPECT_TRUE(sent_.empty());
    EXPECT_EQ(password_, "zw2026");
  }
}

TEST_F(PasswordDialogTest, ReplacesThePasswordOnlyWhenTheServerTakesIt) {
  const struct {
    std::string held;
    std::wstring oldText, newText;
    HRESULT answer;
    std::string after;
  } cases[] = {
      {"zw2026", L"zw2026", L"fresh", S_OK, "fresh"},
      {"zw2026", L"zw2026", L"fresh", E_FAIL, "zw2026"},
      {"o'ld", L"o'ld", L"", S_OK, ""},
      {"", L"", L"first", S_OK, "first"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.held);
    password_ = c.held;
    HWND dialog = Open(c.answer);
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(ui::TypeInto(dialog, IDC_PASSWORD_OLD, c.oldText));
    ASSERT_TRUE(ui::TypeInto(dialog, IDC_PASSWORD_NEW, c.newText));
    ASSERT_TRUE(ui::TypeInto(dialog, IDC_PASSWORD_CONFIRM, c.newText));
    if (c.answer == S_OK && c.held == "zw2026") Snapshot(dialog, L"change-password.bmp");
    ASSERT_TRUE(ui::PressButton(dialog, IDOK));
    EXPECT_EQ(ui_->Wait(kWaitMs), static_cast<INT_PTR>(c.answer));
    EXPECT_EQ(sent_, std::vector<std::string>{"zhangwei/" + c.held + "/" + Mb(c.newText)});
    EXPECT_EQ(password_, c.after);
  }
}

}  // namespace
}  // namespace velmora::test
