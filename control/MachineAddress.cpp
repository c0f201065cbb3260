#include "control/MachineAddress.h"

#include <cstdio>

namespace velmora {

namespace {

bool IsUsable(const std::string& ip) { return !ip.empty() && ip != "0.0.0.0"; }

}  // namespace

std::optional<MachineAddress> ChooseMachineAddress(const std::vector<AdapterAddresses>& adapters) {
  for (const AdapterAddresses& adapter : adapters) {
    for (const std::string& ip : adapter.ips) {
      if (IsUsable(ip)) return MachineAddress{ip, FormatMacId(adapter.address)};
    }
  }
  if (adapters.empty()) return std::nullopt;
  const AdapterAddresses& first = adapters.front();
  return MachineAddress{first.ips.empty() ? std::string() : first.ips.front(), FormatMacId(first.address)};
}

std::string FormatMacId(const uint8_t (&address)[8]) {
  char text[3 * 8] = {};
  for (int i = 0; i < 8; ++i) {
    std::snprintf(text + 3 * i, 4, i < 7 ? "%02X-" : "%02X", address[i]);
  }
  return text;
}

}  // namespace velmora
