// The password dialog: old password once, the new one twice, checked here
// against the password held since login; the change itself goes through a
// function the caller supplies (the control wires it to the server).
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "common/DialogHelpers.h"
#include "common/SecretText.h"

namespace velmora {

class ChangePasswordDialog : public ModalDialog {
 public:
  explicit ChangePasswordDialog(SecretText expected) : expected_(std::move(expected)) {}

  // IDOK with a checked new password, IDCANCEL, or -1 when not created.
  INT_PTR Run(HWND owner);
  const SecretText& NewPassword() const { return new_; }
  // Hands the new password over; the dialog keeps no copy.
  SecretText TakeNewPassword() { return std::move(new_); }

 protected:
  BOOL OnCommand(int controlId, int notifyCode) override;

 private:
  void Accept();

  SecretText expected_;
  SecretText new_;
};

// (user, old password, new password) -> the server's answer.
using SetPasswordFn =
    std::function<HRESULT(const std::string& user, const SecretText& oldPassword, const SecretText& newPassword)>;

// Shows the dialog and sends the change; `*password` is replaced only when
// the server took it. Not confirmed: S_OK, nothing sent.
HRESULT RunPasswordChange(HWND owner, const std::string& user, SecretText* password, const SetPasswordFn& setPassword);

}  // namespace velmora
