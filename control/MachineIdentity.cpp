#include "control/MachineIdentity.h"

#include <windows.h>
#include <iphlpapi.h>

#include <cstring>
#include <vector>

#include "control/LoginState.h"

namespace velmora {

void CollectMachineIdentity(LoginState& state) {
  char name[16] = {};
  DWORD size = sizeof(name);
  if (GetComputerNameA(name, &size)) state.Computer += name;

  ULONG needed = 0;
  if (GetAdaptersInfo(nullptr, &needed) != ERROR_BUFFER_OVERFLOW || needed == 0) return;
  std::vector<unsigned char> buffer(needed);
  auto* first = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
  if (GetAdaptersInfo(first, &needed) != ERROR_SUCCESS) return;

  std::vector<AdapterAddresses> adapters;
  for (const IP_ADAPTER_INFO* adapter = first; adapter; adapter = adapter->Next) {
    AdapterAddresses seen;
    // The address field is eight bytes; all of them are shown, as they stand.
    for (int i = 0; i < 8; ++i) seen.address[i] = adapter->Address[i];
    for (const IP_ADDR_STRING* ip = &adapter->IpAddressList; ip; ip = ip->Next) {
      seen.ips.emplace_back(ip->IpAddress.String, strnlen(ip->IpAddress.String, sizeof(ip->IpAddress.String)));
    }
    adapters.push_back(std::move(seen));
  }
  if (std::optional<MachineAddress> chosen = ChooseMachineAddress(adapters)) {
    state.MacID = chosen->macId;
    state.IP = chosen->ip;
  }
}

}  // namespace velmora
