// The Win32 acts of the login around the dialog: the single-login check and
// registration on the message channel, and settling the working directory.
// The decisions are in LoginFlowCore; these only ask and show.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

#include "control/LoginDialog.h"
#include "control/LoginFlowCore.h"
#include "control/LoginState.h"

namespace velmora {

class MessageChannel;

// The account check against the application server: command 140, then the
// row count, "UPDATESERVER" and the texts of the first row. The recordset
// is released before it returns, so a later check replaces every text.
login::AccountCheck CheckAccountOnServer(const std::string& account, const SecretText& password);

// What Login hands back: the result slot (-1 logged in, 0 the login state
// could not be filled, 9 cancelled, 10 in use elsewhere) and the HRESULT.
struct LoginResult {
  VARIANT_BOOL value = VARIANT_FALSE;
  HRESULT hr = S_OK;
};
constexpr VARIANT_BOOL kLoginCancelled = 9;
constexpr VARIANT_BOOL kLoginInUseElsewhere = 10;

// Everything of a login after the opening logout: the dialog, the single
// login check and registration, the login state, the working directory.
// `state` starts cleared.
LoginResult RunLogin(MessageChannel& channel, LoginState& state, const std::string& iniPath,
                     const CheckAccountFn& checkAccount);

// Points the channel at `messageIp`, starts it and runs the bounded cycle.
// InUseElsewhere has already told the user where the account is in use;
// GaveUp (also when the channel cannot start) and Unanswered mean: go on
// unregistered.
login::RegistrationResult RegisterOnChannel(MessageChannel& channel, const std::string& account,
                                            const std::string& messageIp);

// The working directory after a successful check: a usable TempFilePath
// (with a warning when its disk is nearly full), otherwise the
// working-directory dialog, whose Cancel ends the host process with 0.
// False, with a message and `*localFilePath` untouched, when the settings
// key cannot be opened.
bool SettleWorkingDirectory(std::string* localFilePath);

}  // namespace velmora
