#pragma once

#include <cstdint>
#include <string>

namespace velmora {

struct LoginState;

// Fills Computer, IP and MacID from the first network adapter. Never fails:
// what cannot be learned stays empty.
void CollectMachineIdentity(LoginState& state);

// Eight "%02X" groups joined by "-", whatever the adapter's address length.
std::string FormatMacId(const uint8_t (&address)[8]);

}  // namespace velmora
