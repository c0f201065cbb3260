// The adapter that speaks for the machine, chosen from made-up adapter lists.
#include <gtest/gtest.h>

#include "control/MachineAddress.h"

namespace velmora {
namespace {

AdapterAddresses Adapter(uint8_t last, std::vector<std::string> ips) {
  AdapterAddresses adapter;
  adapter.address[5] = last;
  adapter.ips = std::move(ips);
  return adapter;
}

TEST(MachineAddress, TheFirstAdapterWithAnAddressSpeaksForTheMachine) {
  const struct {
    const char* name;
    std::vector<AdapterAddresses> adapters;
    std::optional<std::string> ip;
    uint8_t macLast;
  } cases[] = {
      {"disconnected adapter first", {Adapter(1, {"0.0.0.0"}), Adapter(2, {"192.0.2.2"}), Adapter(3, {"10.0.0.3"})},
       "192.0.2.2", 2},
      {"first address unset", {Adapter(1, {"0.0.0.0", "192.0.2.7"}), Adapter(2, {"10.0.0.2"})}, "192.0.2.7", 1},
      {"connected adapter first", {Adapter(1, {"10.0.0.1"}), Adapter(2, {"10.0.0.2"})}, "10.0.0.1", 1},
      {"none has an address", {Adapter(1, {"0.0.0.0"}), Adapter(2, {}), Adapter(3, {""})}, "0.0.0.0", 1},
      {"the first lists none", {Adapter(1, {}), Adapter(2, {"0.0.0.0"})}, "", 1},
      {"no adapter", {}, std::nullopt, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<MachineAddress> chosen = ChooseMachineAddress(c.adapters);
    ASSERT_EQ(chosen.has_value(), c.ip.has_value());
    if (!chosen) continue;
    EXPECT_EQ(chosen->ip, *c.ip);
    uint8_t mac[8] = {};
    mac[5] = c.macLast;
    EXPECT_EQ(chosen->macId, FormatMacId(mac)) << "the MAC of the adapter whose address is taken";
  }
}

}  // namespace
}  // namespace velmora
