// The skinned login dialog: server list from the host's INI file, account
// and password, the account check through a function the caller supplies
// (the control wires it to the application server). It closes with OK only
// when the server has accepted the account.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/DialogHelpers.h"
#include "common/Raii.h"
#include "common/SecretText.h"
#include "control/LoginFlowCore.h"

namespace velmora {

// The account check: (account, password) -> what the server said, with the
// first row already read as texts.
using CheckAccountFn = std::function<login::AccountCheck(const std::string& account, const SecretText& password)>;

// ServersNum read as an automation number in the user's locale, the way
// the host's own scripts read numbers: " 3", "&H10" and "2.5" are numbers
// too. Nothing when the text is no number or beyond 32 bits.
std::optional<int32_t> ServerCountFromText(const std::string& text);

class LoginDialog : public ModalDialog {
 public:
  LoginDialog(std::string iniPath, CheckAccountFn checkAccount)
      : iniPath_(std::move(iniPath)), checkAccount_(std::move(checkAccount)) {}

  // IDOK after an accepted check, IDCANCEL, or -1 when not created.
  INT_PTR Run(HWND owner);

  const std::string& Account() const { return account_; }
  const SecretText& Password() const { return password_; }
  // Hands the password over; the dialog keeps no copy.
  SecretText TakePassword() { return std::move(password_); }
  const std::string& MessageIp() const { return chosen_.messageIp; }
  // The last check that reached the server; what the login state is filled from.
  const std::optional<login::AccountCheck>& Result() const { return result_; }
  // The wait cursor shown since the accepted OK, for the rest of the login
  // to hold; nothing after a Cancel.
  std::optional<WaitCursor> TakeWaitCursor() { return std::move(busy_); }

 protected:
  BOOL OnInitDialog() override;
  BOOL OnCommand(int controlId, int notifyCode) override;
  BOOL OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  void Accept();
  void Paint();

  std::string iniPath_;
  CheckAccountFn checkAccount_;
  std::vector<login::ServerEntry> servers_;  // one per combo box line
  login::ServerEntry chosen_;
  std::string account_;
  SecretText password_;
  std::optional<login::AccountCheck> result_;
  std::optional<WaitCursor> busy_;
  UniqueGdiObject background_;
  UniqueGdiObject faces_[3];  // the buttons show them but do not own them
  HWND servers_box_ = nullptr;
};

}  // namespace velmora
