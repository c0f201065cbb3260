#include "control/ChangePasswordDialog.h"

#include "control/LoginFlowCore.h"
#include "resources/resource.h"

namespace velmora {

INT_PTR ChangePasswordDialog::Run(HWND owner) { return ModalDialog::Run(owner, IDD_CHANGE_PASSWORD); }

BOOL ChangePasswordDialog::OnCommand(int controlId, int notifyCode) {
  if (notifyCode != BN_CLICKED) return FALSE;
  if (controlId == IDOK) {
    Accept();
    return TRUE;
  }
  if (controlId == IDCANCEL) {
    new_.clear();
    End(IDCANCEL);
    return TRUE;
  }
  return FALSE;
}

void ChangePasswordDialog::Accept() {
  HWND window = Window();
  new_.clear();
  const std::string typedNew = GetControlText(window, IDC_PASSWORD_NEW);
  const wchar_t* refusal = nullptr;
  switch (login::JudgePasswordChange(expected_, GetControlText(window, IDC_PASSWORD_OLD), typedNew,
                                     GetControlText(window, IDC_PASSWORD_CONFIRM))) {
    case login::PasswordVerdict::WrongOldPassword:
      refusal = L"您输入的原密码有误，请重试！";
      break;
    case login::PasswordVerdict::ConfirmationDiffers:
      refusal = L"您输入的新密码和新密码确认不一致，请重试！";
      break;
    case login::PasswordVerdict::IllegalCharacter:
      refusal = L"您的输入中含有可能会造成系统出错的非法字符，请重新输入！";
      break;
    case login::PasswordVerdict::Accepted:
      new_ = typedNew;
      End(IDOK);
      return;
  }
  ShowMessage(window, std::wstring(refusal), kCaptionSystem, MB_ICONINFORMATION | MB_OK);
}

HRESULT RunPasswordChange(HWND owner, const std::string& user, std::string* password, const SetPasswordFn& setPassword) {
  ChangePasswordDialog dialog(*password);
  if (dialog.Run(owner) != IDOK) return S_OK;
  // The old password sent is the one held, which the dialog found typed.
  const HRESULT hr = setPassword(user, *password, dialog.NewPassword());
  if (SUCCEEDED(hr)) *password = dialog.NewPassword();
  return hr;
}

}  // namespace velmora
