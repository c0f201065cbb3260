#include "messaging/PeerList.h"

#include <gtest/gtest.h>

namespace velmora::msg {
namespace {

// A registration as the server lists it: `count` own addresses and the
// address the server saw in the slot after them.
PeerRecord Registration(const std::string& name, uint8_t count, const Ipv4& seenAt,
                        uint16_t seenPort) {
  PeerRecord record;
  record.name = name;
  for (uint8_t i = 0; i < count && i < kMaxAddressEntries; ++i) {
    record.entries[i] = AddressEntry{Ipv4{10, 0, 0, static_cast<uint8_t>(i + 1)}, 5000};
  }
  record.count = count;
  if (count < kMaxAddressEntries) record.entries[count] = AddressEntry{seenAt, seenPort};
  return record;
}

TEST(PeerList, KeepsArrivalOrderWhileGrowingPastItsFirstCapacity) {
  PeerList list;
  EXPECT_GE(list.records().capacity(), PeerList::kInitialCapacity);
  for (int i = 0; i < 101; ++i) {
    list.AddPeer(Registration("user" + std::to_string(i), 1, Ipv4{127, 0, 0, 1}, 1));
  }
  ASSERT_EQ(list.size(), 101u);
  for (int i = 0; i < 101; ++i) EXPECT_EQ(list.records()[i].name, "user" + std::to_string(i));
}

TEST(PeerList, SameNameReplacesOnlyWithTheSameIdentifyingAddress) {
  PeerList list;
  list.AddPeer(Registration("alice", 2, Ipv4{192, 168, 0, 5}, 3000));

  PeerRecord elsewhere = Registration("ALICE", 2, Ipv4{192, 168, 0, 6}, 3000);
  elsewhere.entries[0].port = 1;
  list.AddPeer(elsewhere);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list.records()[0].name, "alice");
  EXPECT_EQ(list.records()[0].entries[0].port, 5000);

  PeerRecord again = Registration("Alice", 2, Ipv4{192, 168, 0, 5}, 3000);
  again.entries[0].port = 2;
  list.AddPeer(again);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list.records()[0].name, "Alice");
  EXPECT_EQ(list.records()[0].entries[0].port, 2);
}

TEST(PeerList, IdentifyingAddressIsTheSlotAfterTheCountedEntries) {
  EXPECT_EQ(IdentifyingAddress(Registration("a", 0, Ipv4{1, 2, 3, 4}, 9)),
            (AddressEntry{Ipv4{1, 2, 3, 4}, 9}));
  EXPECT_EQ(IdentifyingAddress(Registration("a", 4, Ipv4{1, 2, 3, 4}, 9)),
            (AddressEntry{Ipv4{1, 2, 3, 4}, 9}));
  // No slot left: an all-zero entry, never a read past the fifth entry.
  EXPECT_EQ(IdentifyingAddress(Registration("a", 5, Ipv4{}, 0)), AddressEntry{});
  EXPECT_EQ(IdentifyingAddress(Registration("a", 200, Ipv4{}, 0)), AddressEntry{});

  PeerList list;
  list.AddPeer(Registration("full", 5, Ipv4{}, 0));
  PeerRecord update = Registration("full", 200, Ipv4{}, 0);
  list.AddPeer(update);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list.records()[0].count, 200);
}

TEST(PeerList, FindPeerIgnoresAsciiCaseOnly) {
  PeerList list;
  list.AddPeer(Registration("Zoe", 1, Ipv4{1, 1, 1, 1}, 1));
  list.AddPeer(Registration("\xD5\xC5", 1, Ipv4{1, 1, 1, 1}, 1));
  ASSERT_NE(list.FindPeer("zOE"), nullptr);
  EXPECT_EQ(list.FindPeer("zOE")->name, "Zoe");
  EXPECT_NE(list.FindPeer("\xD5\xC5"), nullptr);
  EXPECT_EQ(list.FindPeer("\xF5\xC5"), nullptr);  // 0xD5 + 0x20 is no case pair
  EXPECT_EQ(list.FindPeer("Zo"), nullptr);
  list.Clear();
  EXPECT_EQ(list.size(), 0u);
  EXPECT_EQ(list.FindPeer("Zoe"), nullptr);
}

}  // namespace
}  // namespace velmora::msg
