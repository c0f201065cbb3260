#include "control/ChangePasswordDialog.h"

#include <utility>

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
  SecretText typedNew = GetSecretControlText(window, IDC_PASSWORD_NEW);
  const wchar_t* refusal = nullptr;
  switch (login::JudgePasswordChange(expected_.view(), GetSecretControlText(window, IDC_PASSWORD_OLD).view(),
                                     typedNew.view(), GetSecretControlText(window, IDC_PASSWORD_CONFIRM).view())) {
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
      new_ = std::move(typedNew);
      End(IDOK);
      return;
  }
  ShowMessage(window, std::wstring(refusal), kCaptionSystem, MB_ICONINFORMATION | MB_OK);
}

HRESULT RunPasswordChange(HWND owner, const std::string& user, SecretText* password, const SetPasswordFn& setPassword) {
  SecretText chosen;
  {
    ChangePasswordDialog dialog(*password);
    if (dialog.Run(owner) != IDOK) return S_OK;
    chosen = dialog.TakeNewPassword();
  }
  // The old password sent is the one held, which the dialog found typed.
  const HRESULT hr = setPassword(user, *password, chosen);
  if (SUCCEEDED(hr)) *password = std::move(chosen);
  return hr;
}

}  // namespace velmora
