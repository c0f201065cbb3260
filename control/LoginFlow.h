// The Win32 acts of the login around the dialog: the single-login check and
// registration on the message channel, and settling the working directory.
// The decisions are in LoginFlowCore; these only ask and show.
#pragma once

#include <string>

#include "control/LoginFlowCore.h"

namespace velmora {

class MessageChannel;

// Points the channel at `messageIp`, starts it and runs the bounded cycle.
// InUseElsewhere has already told the user where the account is in use;
// GaveUp (also when the channel cannot start) means: go on unregistered.
login::RegistrationResult RegisterOnChannel(MessageChannel& channel, const std::string& account,
                                            const std::string& messageIp);

// The working directory after a successful check: a usable TempFilePath
// (with a warning when its disk is nearly full), otherwise the
// working-directory dialog, whose Cancel ends the host process with 0.
// False, with a message and `*localFilePath` untouched, when the settings
// key cannot be opened.
bool SettleWorkingDirectory(std::string* localFilePath);

}  // namespace velmora
