#include "tests/login/SessionHarness.h"

#include <objbase.h>
#include <wrl/client.h>

#include "common/Raii.h"
#include "common/Text.h"
#include "control/VelmoraCtl.h"
#include "resources/resource.h"
#include "tests/workdir/WorkdirTestSupport.h"

namespace velmora::test {

void SessionTest::Prepare(const std::string& messageIp, std::string_view accounts) {
  root_ = FreshDirectory(L"login-session");
  MakeTree(root_, {{L"temp\\", ""}, {L"temp\\kept.txt", "x"}});
  temp_ = Mb(root_) + "\\temp";
  SetTempFilePath(REG_SZ, temp_ + '\0');
  // Written straight from the caller's text: it may hold a password the
  // test keeps no other copy of.
  data_ = root_ + L"\\appserver.json";
  UniqueFile file(CreateFileW(data_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  ASSERT_TRUE(file && WriteFile(file.get(), accounts.data(), static_cast<DWORD>(accounts.size()), &written, nullptr));
  SetEnvironmentVariableW(L"VELMORA_APPSERVER_DATA", data_.c_str());
  ini_ = root_ + L"\\servers.ini";
  WritePrivateProfileStringW(L"RemoteServers", L"ServersNum", L"1", ini_.c_str());
  WritePrivateProfileStringW(L"Server1", L"ServerName", L"测试中心", ini_.c_str());
  WritePrivateProfileStringW(L"Server1", L"MessageIP", ToWide(messageIp).c_str(), ini_.c_str());
}

void SessionTest::TearDown() {
  ui_.reset();
  DeleteTempFilePath();
  RemoveTree(root_);
}

void SessionTest::Start(std::function<void(IVelmoraCtl*)> session) {
  ui_ = std::make_unique<ui::UiThread>([session] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
      Microsoft::WRL::ComPtr<IVelmoraCtl> control;
      if (SUCCEEDED(VelmoraCtl::CreateInstance(nullptr, IID_PPV_ARGS(&control)))) session(control.Get());
    }
    CoUninitialize();
    return INT_PTR{0};
  });
}

HRESULT SessionTest::Login(IVelmoraCtl* control, VARIANT_BOOL* value) {
  UniqueBstr ini(SysAllocString(ini_.c_str()));
  return control->Login(ini.get(), value);
}

HWND SessionTest::LoginDialog() { return ui::WaitForWindow(L"Sorvik平台", kWaitMs, L"#32770", ui_->ThreadId()); }

void SessionTest::Submit(const std::wstring& account, const std::wstring& password, bool accepted) {
  HWND dialog = LoginDialog();
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(ui::TypeInto(dialog, IDC_LOGIN_ACCOUNT, account));
  ASSERT_TRUE(ui::TypeInto(dialog, IDC_LOGIN_PASSWORD, password));
  ASSERT_TRUE(ui::PressButton(dialog, IDOK));
  if (accepted) {
    ASSERT_TRUE(ui::WaitForWindowGone(dialog, kWaitMs));
  }
}

void SessionTest::Answer(const wchar_t* caption, const std::wstring& text) {
  std::optional<ui::MessageBoxInfo> box = ui::WaitForMessageBox(caption, kWaitMs, ui_->ThreadId());
  ASSERT_TRUE(box) << Mb(text);
  EXPECT_EQ(box->text, text);
  ASSERT_TRUE(ui::AnswerMessageBox(box->hwnd, IDOK));
  ASSERT_TRUE(ui::WaitForWindowGone(box->hwnd, kWaitMs));
}

void SessionTest::Finish() {
  // A login's steps after the dialog (peer list, registration with its
  // resends, lock table) take their time on a busy machine.
  constexpr DWORD kSessionPatienceMs = 30000;
  if (!ui_->WaitAnswering(kSessionPatienceMs, L"系统提示", IDOK)) ADD_FAILURE() << "the session did not end";
}

}  // namespace velmora::test
