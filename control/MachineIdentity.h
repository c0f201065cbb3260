#pragma once

#include "control/MachineAddress.h"

namespace velmora {

struct LoginState;

// Fills Computer, IP and MacID from the machine's network adapters (see
// ChooseMachineAddress). Never fails: what cannot be learned stays empty.
void CollectMachineIdentity(LoginState& state);

}  // namespace velmora
