#include "messaging/Records.h"

#include <gtest/gtest.h>

#include <vector>

namespace velmora::msg {
namespace {

std::vector<uint8_t> Bytes(const uint8_t* begin, size_t count) {
  return std::vector<uint8_t>(begin, begin + count);
}

TEST(Ipv4Text, ParsesAndFormatsDottedQuads) {
  EXPECT_EQ(ParseIpv4("10.0.200.255"), (Ipv4{10, 0, 200, 255}));
  EXPECT_EQ(FormatIpv4(Ipv4{127, 0, 0, 1}), "127.0.0.1");
  for (const char* bad : {"", "1.2.3", "1.2.3.4.", "256.1.1.1", "a.b.c.d", "1.2.3.4 ", "1..2.3",
                          "0001.2.3.4", "-1.2.3.4"}) {
    EXPECT_FALSE(ParseIpv4(bad).has_value()) << bad;
  }
}

TEST(PeerRecordCodec, WritesEveryFieldAtItsOffset) {
  PeerRecord record;
  record.name = "alice";
  record.entries[0] = AddressEntry{Ipv4{192, 168, 1, 2}, 0x1234};
  record.entries[4] = AddressEntry{Ipv4{10, 0, 0, 9}, 4568};
  record.count = 1;
  record.observedIp = Ipv4{172, 16, 0, 1};
  record.observedPort = 0xBEEF;

  std::vector<uint8_t> out(kPeerRecordSize, 0xAA);
  record.Encode(out.data());

  EXPECT_EQ(Bytes(out.data(), 12), (std::vector<uint8_t>{'a', 'l', 'i', 'c', 'e', 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Bytes(out.data() + 12, 8), (std::vector<uint8_t>{192, 168, 1, 2, 0x34, 0x12, 0, 0}));
  EXPECT_EQ(Bytes(out.data() + 44, 8), (std::vector<uint8_t>{10, 0, 0, 9, 0xD8, 0x11, 0, 0}));
  EXPECT_EQ(out[52], 1);
  EXPECT_EQ(Bytes(out.data() + 53, 3), (std::vector<uint8_t>{0, 0, 0}));
  EXPECT_EQ(Bytes(out.data() + 56, 6), (std::vector<uint8_t>{172, 16, 0, 1, 0xEF, 0xBE}));
  EXPECT_EQ(Bytes(out.data() + 62, 6), std::vector<uint8_t>(6, 0));

  EXPECT_EQ(PeerRecord::Decode(out.data()), record);
}

TEST(PeerRecordCodec, DecodeKeepsAnOversizedCountButCountsOnlyFiveEntries) {
  std::vector<uint8_t> in(kPeerRecordSize, 0);
  in[52] = 200;
  const PeerRecord record = PeerRecord::Decode(in.data());
  EXPECT_EQ(record.count, 200);
  EXPECT_EQ(record.CountedEntries(), 5u);
}

TEST(TaskLockRecordCodec, WritesEveryFieldAtItsOffset) {
  const TaskLockRecord record{"bob", "Bob Li", -2, "t1,t2"};
  const std::vector<uint8_t> datagram = MakeDatagram(kMsgLockClaim, record);

  ASSERT_EQ(datagram.size(), kLockDatagramSize);
  EXPECT_EQ(Bytes(datagram.data(), 4), (std::vector<uint8_t>{201, 0, 0, 0}));
  const uint8_t* r = datagram.data() + 4;
  EXPECT_EQ(Bytes(r, 4), (std::vector<uint8_t>{'b', 'o', 'b', 0}));
  EXPECT_EQ(Bytes(r + 10, 7), (std::vector<uint8_t>{'B', 'o', 'b', ' ', 'L', 'i', 0}));
  EXPECT_EQ(Bytes(r + 32, 4), (std::vector<uint8_t>{0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Bytes(r + 36, 6), (std::vector<uint8_t>{'t', '1', ',', 't', '2', 0}));
  EXPECT_EQ(datagram.back(), 0);

  EXPECT_EQ(TaskLockRecord::Decode(r), record);
  const TaskLockView view = TaskLockView::Read(r);
  EXPECT_EQ(TaskLockRecord({std::string(view.account), std::string(view.displayName), view.projectId,
                            std::string(view.tasks)}),
            record);
}

TEST(ResourceQueryCodec, WritesEveryFieldAtItsOffset) {
  const ResourceQuery query{"uuid-1", "amy", "Amy", "structure"};
  const std::vector<uint8_t> datagram = MakeDatagram(kMsgResourceQuery, query);

  ASSERT_EQ(datagram.size(), kResourceDatagramSize);
  EXPECT_EQ(ReadType(datagram.data(), datagram.size()), 211u);
  const uint8_t* r = datagram.data() + 4;
  EXPECT_EQ(ReadText(r, 40), "uuid-1");
  EXPECT_EQ(ReadText(r + 40, 10), "amy");
  EXPECT_EQ(ReadText(r + 50, 20), "Amy");
  EXPECT_EQ(ReadText(r + 70, 602), "structure");
  EXPECT_EQ(ResourceQuery::Decode(r), query);
}

TEST(TextSlots, LongTextIsCutWithoutTouchingTheNextField) {
  const TaskLockRecord record{"abcdefghijklmnop", "display-name-that-is-far-too-long", 7, "t"};
  std::vector<uint8_t> out(kTaskLockRecordSize, 0xAA);
  record.Encode(out.data());

  EXPECT_EQ(ReadText(out.data(), 10), "abcdefghi");
  EXPECT_EQ(out[9], 0);
  EXPECT_EQ(ReadText(out.data() + 10, 22), "display-name-that-is-");
  EXPECT_EQ(out[31], 0);
  EXPECT_EQ(TaskLockRecord::Decode(out.data()).projectId, 7);
}

TEST(TextSlots, CutNeverSplitsATwoByteCharacter) {
  // 8 ASCII bytes then one two-byte character: 10 bytes, 9 fit.
  EXPECT_EQ(SlotText("abcdefgh\xD6\xD0", 10), "abcdefgh");
  // 7 ASCII bytes then the character: exactly 9, kept whole.
  EXPECT_EQ(SlotText("abcdefg\xD6\xD0xyz", 10), "abcdefg\xD6\xD0");
  // Trail byte 0xA1 is also a valid lead byte: boundaries are found from the
  // start, so "a" and four whole characters fit.
  EXPECT_EQ(SlotText("a\xB0\xA1\xB0\xA1\xB0\xA1\xB0\xA1\xB0\xA1", 10),
            "a\xB0\xA1\xB0\xA1\xB0\xA1\xB0\xA1");
  // A lead byte without a valid trail byte is a byte of its own.
  EXPECT_EQ(SlotText("abcdefgh\xB0 tail", 10), "abcdefgh\xB0");
}

TEST(TextSlots, ReadStopsAtTerminatorOrSlotEnd) {
  std::vector<uint8_t> slot = {'a', 'b', 0, 'c', 'd'};
  EXPECT_EQ(ReadText(slot.data(), slot.size()), "ab");

  // An account slot with no terminator gives all ten bytes and nothing of the
  // display name behind it.
  std::vector<uint8_t> record(kTaskLockRecordSize, 0);
  std::fill(record.begin(), record.begin() + 10, 'x');
  record[10] = 'N';
  EXPECT_EQ(TaskLockRecord::Decode(record.data()).account, std::string(10, 'x'));

  std::vector<uint8_t> peer(kPeerRecordSize, 0);
  std::fill(peer.begin(), peer.begin() + 12, 'n');
  peer[12] = 127;
  EXPECT_EQ(PeerRecord::Decode(peer.data()).name, std::string(12, 'n'));
}

TEST(TextSlots, EmbeddedTerminatorEndsTheWrittenText) {
  std::vector<uint8_t> slot(10, 0xAA);
  WriteText(slot.data(), slot.size(), std::string("ab\0cd", 5));
  EXPECT_EQ(slot, (std::vector<uint8_t>{'a', 'b', 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(LockKeys, SeparateAccountProjectAndTasksSoNoTwoRecordsShareAKey) {
  using namespace std::string_literals;
  EXPECT_EQ(LockKey(TaskLockRecord{"abc", "", 12, "t1,t2"}), "abc\0" "12\0t1,t2"s);
  EXPECT_EQ(LockKey(TaskLockRecord{"abc", "", -1, "t1,t2"}), "abc\0-1\0t1,t2"s);
  EXPECT_EQ(LockKey(TaskLockRecord{"", "", INT32_MIN, ""}), "\0-2147483648\0"s);

  // Glued together, each pair would have read "amy123".
  EXPECT_NE(LockKey(TaskLockRecord{"amy", "", 1, "23"}), LockKey(TaskLockRecord{"amy", "", 12, "3"}));
  EXPECT_NE(LockKey(TaskLockRecord{"amy", "", 12, "3"}), LockKey(TaskLockRecord{"amy1", "", 2, "3"}));
  // The account still orders first: "amy" before "amy1" before "amz".
  EXPECT_LT(LockKey(TaskLockRecord{"amy", "", 99, "z"}), LockKey(TaskLockRecord{"amy1", "", 0, "a"}));
  EXPECT_LT(LockKey(TaskLockRecord{"amy1", "", 99, "z"}), LockKey(TaskLockRecord{"amz", "", 0, "a"}));
}

TEST(TextSlots, AccountsThatFillTheSlotMayBeCut) {
  EXPECT_FALSE(MayBeCut("abcdefg", kAccountSlot));
  EXPECT_TRUE(MayBeCut("abcdefgh", kAccountSlot));  // a GBK pair may have followed
  EXPECT_TRUE(MayBeCut("engineer0", kAccountSlot));
}

TEST(Datagrams, PeerTextCarriesTheTextAfterTheRecordAndFitsAReceiveBuffer) {
  PeerRecord sender;
  sender.name = "amy";
  const std::vector<uint8_t> hello = MakePeerTextDatagram(sender, "hi");
  ASSERT_EQ(hello.size(), kShortDatagramSize + 2);
  EXPECT_EQ(ReadType(hello.data(), hello.size()), 110u);
  EXPECT_EQ(hello[72], 'h');

  const std::vector<uint8_t> huge = MakePeerTextDatagram(sender, std::string(20000, 'x'));
  EXPECT_EQ(huge.size(), kReceiveBufferSize);
}

TEST(Datagrams, TypeCodeIsLittleEndianAndNeedsFourBytes) {
  const uint8_t data[4] = {0x0D, 0x01, 0, 0};
  EXPECT_EQ(ReadType(data, 4), 269u);
  EXPECT_EQ(ReadType(data, 3), 0u);
  EXPECT_STREQ(MsgTypeName(kMsgLockRecord), "lock-record");
  EXPECT_STREQ(MsgTypeName(300), "unknown");
}

// The trace's view of a datagram: codes, size and peer, and for a whole
// lock record its project and task count, never a text it carries.
TEST(Datagrams, DescriptionShowsCountsAndNoText) {
  const std::vector<uint8_t> claim = MakeDatagram(kMsgLockClaim, TaskLockRecord{"amy", "Amy", 7, "t1,t2,t3"});
  const Ipv4 ip{127, 0, 0, 81};
  EXPECT_EQ(DescribeDatagram(claim.data(), claim.size(), ip, kServerPort),
            "201 lock-claim bytes=8040 peer=127.0.0.81:4568 project=7 tasks=3");
  EXPECT_EQ(DescribeDatagram(claim.data(), 100, ip, kServerPort), "201 lock-claim bytes=100 peer=127.0.0.81:4568");
  const std::vector<uint8_t> empty = MakeDatagram(kMsgLockTableRequest, TaskLockRecord{});
  EXPECT_EQ(DescribeDatagram(empty.data(), empty.size(), ip, 1),
            "202 lock-table-request bytes=8040 peer=127.0.0.81:1 project=0 tasks=0");
}

}  // namespace
}  // namespace velmora::msg
