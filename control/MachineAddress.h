// Which network adapter speaks for this machine, decided on plain data so it
// is tested with made-up adapter lists; MachineIdentity gathers the list.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

struct AdapterAddresses {
  uint8_t address[8] = {};       // the adapter's address field, all eight bytes
  std::vector<std::string> ips;  // dotted IPv4 texts in the adapter's own order
};

struct MachineAddress {
  std::string ip;
  std::string macId;
};

// The first adapter with an address other than 0.0.0.0, that address and
// the adapter's MAC: a disconnected adapter listed first must not stand for
// the machine. Without one, the first adapter and its first address (which
// may be 0.0.0.0 or nothing); nothing for an empty list.
std::optional<MachineAddress> ChooseMachineAddress(const std::vector<AdapterAddresses>& adapters);

// Eight "%02X" groups joined by "-", whatever the adapter's address length.
std::string FormatMacId(const uint8_t (&address)[8]);

}  // namespace velmora
