#include "control/MachineIdentity.h"

#include <windows.h>
#include <iphlpapi.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "control/LoginState.h"

namespace velmora {

std::string FormatMacId(const uint8_t (&address)[8]) {
  char text[3 * 8] = {};
  for (int i = 0; i < 8; ++i) {
    std::snprintf(text + 3 * i, 4, i < 7 ? "%02X-" : "%02X", address[i]);
  }
  return text;
}

void CollectMachineIdentity(LoginState& state) {
  char name[16] = {};
  DWORD size = sizeof(name);
  if (GetComputerNameA(name, &size)) state.Computer += name;

  ULONG needed = 0;
  if (GetAdaptersInfo(nullptr, &needed) != ERROR_BUFFER_OVERFLOW || needed == 0) return;
  std::vector<unsigned char> buffer(needed);
  auto* adapters = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
  if (GetAdaptersInfo(adapters, &needed) != ERROR_SUCCESS) return;

  // The address field is eight bytes; all of them are shown, as they stand.
  uint8_t address[8];
  for (int i = 0; i < 8; ++i) address[i] = adapters->Address[i];
  state.MacID = FormatMacId(address);
  const char* ip = adapters->IpAddressList.IpAddress.String;
  state.IP.assign(ip, strnlen(ip, sizeof(adapters->IpAddressList.IpAddress.String)));
}

}  // namespace velmora
