#include "control/LoginDialog.h"

#include "common/Module.h"
#include "common/Settings.h"
#include "common/Text.h"
#include "resources/resource.h"
#include "workdir/WorkingDirectoryDialog.h"

namespace velmora {

namespace {

const char kSettingsKey[] = "SOFTWARE\\Sorvik";

void Remember(const char* name, const std::string& text) {
  WriteSettingValue("HKEY_LOCAL_MACHINE", kSettingsKey, name, text);
}

void Tell(HWND owner, const wchar_t* text) { ShowMessage(owner, std::wstring(text), kCaptionSystem, MB_ICONINFORMATION); }

}  // namespace

std::optional<int32_t> ServerCountFromText(const std::string& text) {
  BSTR wide = nullptr;
  if (FAILED(ToBstr(text, &wide))) return std::nullopt;
  UniqueVariant source, number;
  V_VT(source.get()) = VT_BSTR;
  V_BSTR(source.get()) = wide;
  if (FAILED(VariantChangeTypeEx(number.get(), source.get(), LOCALE_USER_DEFAULT, 0, VT_I4))) return std::nullopt;
  return static_cast<int32_t>(V_I4(number.get()));
}

INT_PTR LoginDialog::Run(HWND owner) { return ModalDialog::Run(owner, IDD_LOGIN); }

BOOL LoginDialog::OnInitDialog() {
  HWND window = Window();
  servers_box_ = GetDlgItem(window, IDC_LOGIN_SERVERS);
  if (!servers_box_) return TRUE;
  SetWindowTextW(window, L"Sorvik平台");
  SendMessageW(window, WM_SETICON, ICON_BIG,
               reinterpret_cast<LPARAM>(LoadIconW(ModuleHandle(), MAKEINTRESOURCEW(IDI_LOGIN))));
  background_.reset(LoadBitmapW(ModuleHandle(), MAKEINTRESOURCEW(IDB_LOGIN_BACKGROUND)));

  const int buttons[] = {IDOK, IDCANCEL, IDC_LOGIN_WORKDIR};
  const int faces[] = {IDB_LOGIN_OK, IDB_LOGIN_CANCEL, IDB_LOGIN_WORKDIR};
  if (GetDlgItem(window, IDOK) && GetDlgItem(window, IDCANCEL) && GetDlgItem(window, IDC_LOGIN_WORKDIR)) {
    for (int i = 0; i < 3; ++i) {
      faces_[i].reset(LoadBitmapW(ModuleHandle(), MAKEINTRESOURCEW(faces[i])));
      if (faces_[i]) {
        SendDlgItemMessageW(window, buttons[i], BM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(faces_[i].get()));
      }
    }
  }

  const std::string remembered = ReadSettingValue("CurServer");
  servers_ = login::ReadServerList([this](const std::string& section, const std::string& key) {
    char value[256] = {};
    GetPrivateProfileStringA(section.c_str(), key.c_str(), "", value, sizeof value, iniPath_.c_str());
    return std::string(value);
  }, ServerCountFromText);
  for (const auto& server : servers_) {
    SendMessageW(servers_box_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(ToWide(server.name).c_str()));
  }
  const int line = login::PreselectedLine(servers_, remembered);
  if (line >= 0) SendMessageW(servers_box_, CB_SETCURSEL, static_cast<WPARAM>(line), 0);
  SetFocus(GetDlgItem(window, IDC_LOGIN_ACCOUNT));
  return FALSE;  // focus set here
}

BOOL LoginDialog::OnCommand(int controlId, int notifyCode) {
  if (notifyCode != BN_CLICKED) return FALSE;
  switch (controlId) {
    case IDOK:
      Accept();
      return TRUE;
    case IDCANCEL:
      account_.clear();
      password_.clear();
      End(IDCANCEL);
      return TRUE;
    case IDC_LOGIN_WORKDIR:
      ShowWorkingDirectorySettings();
      return TRUE;
    default:
      return FALSE;
  }
}

void LoginDialog::Accept() {
  // From OK until the login is done: nothing shows while the server is
  // asked, and after an accepted account the dialog is gone at once.
  WaitCursor wait;
  HWND window = Window();
  const int line = static_cast<int>(SendMessageW(servers_box_, CB_GETCURSEL, 0, 0));
  const std::optional<login::ServerEntry> chosen = login::ChosenServer(servers_, line);
  if (!chosen) {
    // Without a server there is nothing to remember and nowhere to log in.
    Tell(window, L"没有可选的服务器，请检查服务器配置文件！");
    return;
  }
  chosen_ = *chosen;
  Remember("CurServer", GetControlText(window, IDC_LOGIN_SERVERS));
  Remember("CurServerIP", chosen_.serverIp);
  Remember("ArcServerIP", chosen_.arcServerIp);

  account_.clear();
  password_.clear();
  account_ = GetControlText(window, IDC_LOGIN_ACCOUNT);
  password_ = GetSecretControlText(window, IDC_LOGIN_PASSWORD);

  login::AccountCheck check = checkAccount_(account_, password_);
  const login::CheckVerdict verdict = login::JudgeAccountCheck(check, account_);
  if (verdict != login::CheckVerdict::NetworkFault) result_ = std::move(check);
  if (login::StoresUpdateServer(verdict)) Remember("UpdateServer", *result_->updateServer);
  if (verdict == login::CheckVerdict::Accepted) {
    busy_.emplace(std::move(wait));
  } else {
    wait.Restore();  // the dialog stays for the person
  }
  switch (verdict) {
    case login::CheckVerdict::NetworkFault:
      Tell(window, L"网络连接出现故障！");
      break;
    case login::CheckVerdict::WrongCredentials:
      Tell(window, L"帐号或者密码输入错误，请核实后重新输入！");
      break;
    case login::CheckVerdict::Silent:
      break;
    case login::CheckVerdict::IllegalAccount:
      Tell(window, L"您的输入中含有可能会造成系统出错的非法字符，请重新输入！");
      break;
    case login::CheckVerdict::Accepted:
      End(IDOK);
      break;
  }
}

BOOL LoginDialog::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  (void)wParam;
  switch (message) {
    case WM_PAINT:
      Paint();
      return TRUE;
    case WM_LBUTTONDOWN: {
      // No caption to drag: the background stands in for it.
      POINT at{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
      ClientToScreen(Window(), &at);
      PostMessageW(Window(), WM_NCLBUTTONDOWN, HTCAPTION, MAKELPARAM(at.x, at.y));
      return TRUE;
    }
    default:
      return FALSE;
  }
}

void LoginDialog::Paint() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(Window(), &paint);
  BITMAP info{};
  if (background_ && GetObjectW(background_.get(), sizeof info, &info)) {
    UniqueMemoryDc memory(CreateCompatibleDC(dc));
    HGDIOBJ previous = SelectObject(memory.get(), background_.get());
    BitBlt(dc, 0, 0, info.bmWidth, info.bmHeight, memory.get(), 0, 0, SRCCOPY);
    SelectObject(memory.get(), previous);
  }
  EndPaint(Window(), &paint);
}

}  // namespace velmora
