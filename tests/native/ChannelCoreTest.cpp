#include "messaging/ChannelCore.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace velmora::msg {
namespace {

const Ipv4 kServer{192, 168, 10, 1};
const Ipv4 kPeerIp{192, 168, 10, 20};
constexpr uint16_t kPeerPort = 6001;

PeerRecord Peer(const std::string& name, uint8_t count = 1) {
  PeerRecord record;
  record.name = name;
  for (uint8_t i = 0; i < count && i < kMaxAddressEntries; ++i) {
    record.entries[i] = AddressEntry{Ipv4{10, 1, 1, static_cast<uint8_t>(i + 1)},
                                     static_cast<uint16_t>(7000 + i)};
  }
  record.count = count;
  return record;
}

class ChannelCoreTest : public ::testing::Test {
 protected:
  ChannelCoreTest() {
    core.BuildOwnRecord({Ipv4{10, 9, 9, 9}}, 5555);
    core.SetOwnName("me");
    core.SetServerAddress(kServer);
  }

  DispatchResult Receive(const std::vector<uint8_t>& datagram, const Ipv4& from = kPeerIp,
                         uint16_t port = kPeerPort) {
    return core.Dispatch(datagram.data(), datagram.size(), from, port);
  }

  // Replies of the message server come from its port, from whichever of its
  // addresses.
  DispatchResult FromServer(const std::vector<uint8_t>& datagram) {
    return core.Dispatch(datagram.data(), datagram.size(), kServer, kServerPort);
  }

  static void ExpectNothing(const DispatchResult& result) {
    EXPECT_EQ(result.indicator, Indicator::kNone);
    EXPECT_TRUE(result.sends.empty());
    EXPECT_FALSE(result.message.has_value());
  }

  void ExpectOwnReply(const Outgoing& sent, uint32_t type, const Ipv4& ip, uint16_t port) {
    EXPECT_EQ(sent.ip, ip);
    EXPECT_EQ(sent.port, port);
    EXPECT_EQ(sent.bytes, MakeDatagram(type, core.ownRecord()));
  }

  ChannelCore core;
};

TEST_F(ChannelCoreTest, DatagramsShorterThan72BytesDoNothing) {
  std::vector<uint8_t> registered = MakeDatagram(kMsgRegistered, Peer("server-says"));
  registered.resize(71);
  core.AskRegistration();
  ExpectNothing(FromServer(registered));
  EXPECT_EQ(core.ownRecord().name, "me");

  std::vector<uint8_t> alive = MakeDatagram(kMsgAliveCheck, PeerRecord{});
  alive.resize(71);
  ExpectNothing(Receive(alive));
  ExpectNothing(core.Dispatch(nullptr, 0, kPeerIp, kPeerPort));
}

TEST_F(ChannelCoreTest, RegisteredReplacesTheOwnRecord) {
  PeerRecord granted = Peer("me", 1);
  granted.entries[1] = AddressEntry{Ipv4{1, 2, 3, 4}, 99};
  core.AskRegistration();
  const DispatchResult result = FromServer(MakeDatagram(kMsgRegistered, granted));
  EXPECT_EQ(result.indicator, Indicator::kRegistered);
  EXPECT_EQ(result.value, 1);
  EXPECT_EQ(core.ownRecord(), granted);
  EXPECT_EQ(core.MakeOwnDatagram(kMsgLogout), MakeDatagram(kMsgLogout, granted));
}

TEST_F(ChannelCoreTest, PeerListRecordsAreListedWithoutObservedAddress) {
  PeerRecord listed = Peer("bob");
  listed.observedIp = Ipv4{8, 8, 8, 8};
  listed.observedPort = 53;
  ExpectNothing(FromServer(MakeDatagram(kMsgPeerList, listed)));
  ASSERT_EQ(core.peers().size(), 1u);
  EXPECT_TRUE(IsZero(core.peers().records()[0].observedIp));
  EXPECT_EQ(core.peers().records()[0].observedPort, 0);

  const DispatchResult end = FromServer(MakeDatagram(kMsgPeerListEnd, PeerRecord{}));
  EXPECT_EQ(end.indicator, Indicator::kPeerListComplete);
  EXPECT_EQ(end.value, 1);
}

TEST_F(ChannelCoreTest, AliveCheckIsAnsweredToItsSender) {
  const DispatchResult result = Receive(MakeDatagram(kMsgAliveCheck, PeerRecord{}), kServer, 4568);
  EXPECT_EQ(result.indicator, Indicator::kNone);
  ASSERT_EQ(result.sends.size(), 1u);
  ExpectOwnReply(result.sends[0], kMsgAliveAnswer, kServer, 4568);
}

TEST_F(ChannelCoreTest, ProbeFromServerAnswersEveryListedAddressAndLeavesPeersAlone) {
  FromServer(MakeDatagram(kMsgPeerList, Peer("bob", 3)));
  // The server is recognised by address alone, whatever its source port.
  const DispatchResult result = Receive(MakeDatagram(kMsgProbe, Peer("bob", 3)), kServer, 40000);
  ASSERT_EQ(result.sends.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    ExpectOwnReply(result.sends[i], kMsgProbeAnswer, Ipv4{10, 1, 1, static_cast<uint8_t>(i + 1)},
                   static_cast<uint16_t>(7000 + i));
  }
  EXPECT_TRUE(IsZero(core.peers().FindPeer("bob")->observedIp));
}

TEST_F(ChannelCoreTest, ProbeFromServerWithOversizedCountAnswersFiveAddresses) {
  EXPECT_EQ(Receive(MakeDatagram(kMsgProbe, Peer("bob", 200)), kServer).sends.size(), 5u);
  EXPECT_TRUE(Receive(MakeDatagram(kMsgProbe, Peer("bob", 0)), kServer).sends.empty());
}

TEST_F(ChannelCoreTest, ProbeFromPeerNotesItsAddressOnceAndAnswersIt) {
  FromServer(MakeDatagram(kMsgPeerList, Peer("bob")));
  const DispatchResult first = Receive(MakeDatagram(kMsgProbe, Peer("BOB")));
  ASSERT_EQ(first.sends.size(), 1u);
  ExpectOwnReply(first.sends[0], kMsgProbeAnswer, kPeerIp, kPeerPort);
  EXPECT_EQ(core.peers().FindPeer("bob")->observedIp, kPeerIp);
  EXPECT_EQ(core.peers().FindPeer("bob")->observedPort, kPeerPort);

  // An address already noted is kept.
  Receive(MakeDatagram(kMsgProbe, Peer("bob")), Ipv4{1, 1, 1, 1}, 1);
  EXPECT_EQ(core.peers().FindPeer("bob")->observedIp, kPeerIp);

  // An unlisted prober is still answered.
  const DispatchResult stranger = Receive(MakeDatagram(kMsgProbe, Peer("eve")), Ipv4{5, 5, 5, 5}, 9);
  ASSERT_EQ(stranger.sends.size(), 1u);
  EXPECT_EQ(stranger.sends[0].ip, (Ipv4{5, 5, 5, 5}));
  EXPECT_EQ(core.peers().size(), 1u);
}

TEST_F(ChannelCoreTest, ProbeAnswerNotesThePeerAddressWithoutReplying) {
  FromServer(MakeDatagram(kMsgPeerList, Peer("bob")));
  ExpectNothing(Receive(MakeDatagram(kMsgProbeAnswer, Peer("bob"))));
  EXPECT_EQ(core.peers().FindPeer("bob")->observedIp, kPeerIp);
  ExpectNothing(Receive(MakeDatagram(kMsgProbeAnswer, Peer("nobody"))));
}

TEST_F(ChannelCoreTest, PeerTextIsAcknowledgedAndHandedOnOnlyWithText) {
  const DispatchResult result = Receive(MakePeerTextDatagram(Peer("bob"), "hello"));
  ASSERT_EQ(result.sends.size(), 1u);
  ExpectOwnReply(result.sends[0], kMsgPeerTextAck, kPeerIp, kPeerPort);
  ASSERT_TRUE(result.message.has_value());
  EXPECT_EQ(result.message->senderName, "bob");
  EXPECT_EQ(std::string(result.message->text.begin(), result.message->text.end()), "hello");

  ExpectNothing(Receive(MakeDatagram(kMsgPeerText, Peer("bob"))));
  ExpectNothing(Receive(MakeDatagram(kMsgPeerTextAck, Peer("bob"))));
}

TEST_F(ChannelCoreTest, LockRecordsAreStoredByKeyAndTableEndIsSignalled) {
  ExpectNothing(FromServer(MakeDatagram(kMsgLockRecord, TaskLockRecord{"bob", "B", 7, "t1"})));
  ExpectNothing(FromServer(MakeDatagram(kMsgLockRecord, TaskLockRecord{"bob", "B2", 7, "t1"})));
  ExpectNothing(FromServer(MakeDatagram(kMsgLockRecord, TaskLockRecord{"amy", "A", 7, "t1"})));
  EXPECT_EQ(core.locks().size(), 2u);

  std::string holder;
  EXPECT_EQ(core.CheckTaskLock("me", 7, "t1", holder), 0);
  EXPECT_EQ(holder, "amy");
  core.locks().RemoveProject(7);
  EXPECT_EQ(core.CheckTaskLock("me", 7, "t1", holder), 1);
  EXPECT_EQ(holder, "");

  // Only the code of the end marker is read.
  const DispatchResult end = FromServer(MakeDatagram(kMsgLockTableEnd, PeerRecord{}));
  EXPECT_EQ(end.indicator, Indicator::kLockTableComplete);
  EXPECT_EQ(end.value, 1);
}

TEST_F(ChannelCoreTest, CutOffLockAndResourceDatagramsAreIgnored) {
  std::vector<uint8_t> lock = MakeDatagram(kMsgLockRecord, TaskLockRecord{"bob", "", 7, "t1"});
  lock.resize(kLockDatagramSize - 1);
  ExpectNothing(FromServer(lock));
  lock.resize(kShortDatagramSize);
  ExpectNothing(FromServer(lock));
  EXPECT_EQ(core.locks().size(), 0u);

  std::vector<uint8_t> refused = MakeDatagram(kMsgLockRefused, TaskLockRecord{"bob", "", 7, "t1"});
  refused.resize(kShortDatagramSize);
  ExpectNothing(FromServer(refused));
  EXPECT_EQ(core.holderName(), "");

  std::vector<uint8_t> answer = MakeDatagram(kMsgResourceAnswer, ResourceQuery{"p", "bob", "", "s"});
  answer.resize(kResourceDatagramSize - 1);
  ExpectNothing(FromServer(answer));
}

TEST_F(ChannelCoreTest, LockChangeOutcomes) {
  const DispatchResult done = FromServer(MakeDatagram(kMsgLockChangeDone, PeerRecord{}));
  EXPECT_EQ(done.indicator, Indicator::kChangeResult);
  EXPECT_EQ(done.value, 1);

  const DispatchResult refused =
      FromServer(MakeDatagram(kMsgLockRefused, TaskLockRecord{"bob", "Bob", 7, "t1"}));
  EXPECT_EQ(refused.indicator, Indicator::kChangeResult);
  EXPECT_EQ(refused.value, 2);
  EXPECT_EQ(core.holderName(), "bob");
  EXPECT_EQ(core.locks().size(), 0u);  // a refusal is not a lock record
}

TEST_F(ChannelCoreTest, ResourceAnswerIsFreeExactlyWhenTheAccountStartsWithZero) {
  std::vector<uint8_t> answer = MakeDatagram(kMsgResourceAnswer, ResourceQuery{"p", "", "", "s"});
  answer[4 + 41] = 'x';  // garbage after the terminator
  DispatchResult result = FromServer(answer);
  EXPECT_EQ(result.indicator, Indicator::kResourceResult);
  EXPECT_EQ(result.value, 1);

  result = FromServer(MakeDatagram(kMsgResourceAnswer, ResourceQuery{"p", "bob", "", "s"}));
  EXPECT_EQ(result.indicator, Indicator::kResourceResult);
  EXPECT_EQ(result.value, 0);
}

TEST_F(ChannelCoreTest, OutgoingAndUnknownCodesAreIgnored) {
  for (uint32_t type : {101u, 102u, 107u, 111u, 201u, 202u, 204u, 211u, 0u, 300u}) {
    std::vector<uint8_t> datagram = MakeDatagram(type, TaskLockRecord{"bob", "", 1, "t"});
    ExpectNothing(FromServer(datagram));
  }
  EXPECT_EQ(core.locks().size(), 0u);
  EXPECT_EQ(core.peers().size(), 0u);
  EXPECT_EQ(core.ownRecord().name, "me");
}

TEST_F(ChannelCoreTest, OversizedCountInOwnRecordIsSafe) {
  PeerRecord granted = Peer("me", 5);
  granted.count = 200;
  core.AskRegistration();
  FromServer(MakeDatagram(kMsgRegistered, granted));
  EXPECT_TRUE(core.IsOwnAddress(Ipv4{10, 1, 1, 5}));
  EXPECT_FALSE(core.IsOwnAddress(Ipv4{10, 1, 1, 6}));
}

TEST_F(ChannelCoreTest, ServerRepliesCountOnlyFromTheServerPortWhicheverItsAddress) {
  core.AskRegistration();
  const struct {
    const char* what;
    std::vector<uint8_t> datagram;
    Indicator indicator;  // kNone: the effect is a stored record
  } replies[] = {
      {"103", MakeDatagram(kMsgRegistered, Peer("mallory")), Indicator::kRegistered},
      {"104", MakeDatagram(kMsgPeerList, Peer("me")), Indicator::kNone},
      {"105", MakeDatagram(kMsgPeerListEnd, PeerRecord{}), Indicator::kPeerListComplete},
      {"203", MakeDatagram(kMsgLockTableEnd, PeerRecord{}), Indicator::kLockTableComplete},
      {"205", MakeDatagram(kMsgLockRecord, TaskLockRecord{"mallory", "", 7, "t1"}), Indicator::kNone},
      {"206", MakeDatagram(kMsgLockChangeDone, PeerRecord{}), Indicator::kChangeResult},
      {"207", MakeDatagram(kMsgLockRefused, TaskLockRecord{"mallory", "", 7, "t1"}), Indicator::kChangeResult},
      {"213", MakeDatagram(kMsgResourceAnswer, ResourceQuery{"p", "", "", "s"}), Indicator::kResourceResult},
  };
  const PeerRecord own = core.ownRecord();
  for (const auto& reply : replies) {
    for (uint16_t port : {kPeerPort, static_cast<uint16_t>(kServerPort + 1)}) {
      ExpectNothing(Receive(reply.datagram, kServer, port));
      ExpectNothing(Receive(reply.datagram, kPeerIp, port));
    }
    EXPECT_EQ(core.ownRecord(), own) << reply.what;
    EXPECT_EQ(core.peers().size(), 0u) << reply.what;
    EXPECT_EQ(core.locks().size(), 0u) << reply.what;
    EXPECT_EQ(core.holderName(), "") << reply.what;
  }
  // A server bound to all its addresses may answer from another of them.
  for (const auto& reply : replies) {
    EXPECT_EQ(Receive(reply.datagram, kPeerIp, kServerPort).indicator, reply.indicator) << reply.what;
  }
  EXPECT_EQ(core.ownRecord().name, "mallory");
  EXPECT_EQ(core.peers().size(), 1u);
  EXPECT_EQ(core.locks().size(), 1u);
  EXPECT_EQ(core.holderName(), "mallory");
}

TEST_F(ChannelCoreTest, OnlyTheFirstRegisteredAfterARegistrationIsAskedCounts) {
  const PeerRecord own = core.ownRecord();
  ExpectNothing(FromServer(MakeDatagram(kMsgRegistered, Peer("unasked"))));
  EXPECT_EQ(core.ownRecord(), own);

  core.AskRegistration();
  EXPECT_EQ(FromServer(MakeDatagram(kMsgRegistered, Peer("me"))).indicator, Indicator::kRegistered);
  ExpectNothing(FromServer(MakeDatagram(kMsgRegistered, Peer("second"))));
  EXPECT_EQ(core.ownRecord().name, "me");

  core.AskRegistration();
  core.WithdrawRegistration();  // logged out before any answer
  ExpectNothing(FromServer(MakeDatagram(kMsgRegistered, Peer("late"))));
  EXPECT_EQ(core.ownRecord().name, "me");
}

TEST_F(ChannelCoreTest, WithdrawingSaysWhetherTheRegistrationWasStillUnanswered) {
  EXPECT_FALSE(core.WithdrawRegistration()) << "none asked";

  core.AskRegistration();
  EXPECT_TRUE(core.WithdrawRegistration()) << "the sends ran out unanswered";
  ExpectNothing(FromServer(MakeDatagram(kMsgRegistered, Peer("late"))));
  EXPECT_EQ(core.ownRecord().name, "me");

  core.AskRegistration();
  EXPECT_EQ(FromServer(MakeDatagram(kMsgRegistered, Peer("me", 2))).indicator, Indicator::kRegistered);
  EXPECT_FALSE(core.WithdrawRegistration()) << "answered just before the give-up";
}

TEST_F(ChannelCoreTest, TheLogoutNoticeFollowsEveryChangeOfTheOwnRecord) {
  const struct {
    const char* what;
    std::function<void()> change;
  } cases[] = {
      {"built", [] {}},
      {"named", [&] { core.SetOwnName("renamed"); }},
      {"registered",
       [&] {
         core.AskRegistration();
         FromServer(MakeDatagram(kMsgRegistered, Peer("granted", 3)));
       }},
      {"set", [&] { core.SetOwnRecord(Peer("set", 2)); }},
      {"rebuilt", [&] { core.BuildOwnRecord({Ipv4{10, 7, 7, 7}}, 6000); }},
  };
  for (const auto& c : cases) {
    c.change();
    const ShortDatagram& notice = core.logoutNotice();
    EXPECT_EQ(std::vector<uint8_t>(notice.begin(), notice.end()), core.MakeOwnDatagram(kMsgLogout)) << c.what;
  }
  EXPECT_EQ(core.ownRecord().entries[0].port, 6000);
}

TEST(ChannelCoreReceiveRest, ALoneFailureIsRetriedAtOnceThenTheRestDoublesUpToASecond) {
  const struct {
    uint32_t failures;
    uint32_t restMs;
  } cases[] = {{0, 0}, {1, 0}, {2, 10}, {3, 20}, {8, 640}, {9, 1000}, {40, 1000}, {UINT32_MAX, 1000}};
  for (const auto& c : cases) EXPECT_EQ(ReceiveRestMs(c.failures), c.restMs) << c.failures;
  for (uint32_t n = 1; n < 64; ++n) {
    EXPECT_LE(ReceiveRestMs(n - 1), ReceiveRestMs(n)) << n;
    EXPECT_LE(ReceiveRestMs(n), kReceiveRestLimitMs) << n;
  }

  ReceiveBackoff backoff;
  EXPECT_EQ(backoff.Failed(), 0u);
  EXPECT_EQ(backoff.Failed(), 10u);
  EXPECT_EQ(backoff.Failed(), 20u);
  backoff.Succeeded();
  EXPECT_EQ(backoff.failures(), 0u);
  EXPECT_EQ(backoff.Failed(), 0u) << "a delivered datagram starts the count again";
  for (int i = 0; i < 100; ++i) backoff.Failed();
  EXPECT_EQ(backoff.Failed(), kReceiveRestLimitMs);
}

TEST(ChannelCoreOwnRecord, ListsTheFirstFourAddressesAndCutsTheName) {
  ChannelCore core;
  std::vector<Ipv4> six;
  for (uint8_t i = 1; i <= 6; ++i) six.push_back(Ipv4{10, 0, 0, i});
  core.BuildOwnRecord(six, 4321);
  core.SetOwnName("nineteen-byte-name!");

  const PeerRecord& own = core.ownRecord();
  EXPECT_EQ(own.count, 4);
  EXPECT_EQ(own.entries[3], (AddressEntry{Ipv4{10, 0, 0, 4}, 4321}));
  EXPECT_EQ(own.entries[4], AddressEntry{});
  EXPECT_EQ(own.name, "nineteen-by");
  EXPECT_TRUE(core.IsOwnAddress(Ipv4{10, 0, 0, 4}));
  EXPECT_FALSE(core.IsOwnAddress(Ipv4{10, 0, 0, 5}));
  EXPECT_FALSE(core.IsOwnAddress(Ipv4{}));  // the empty fifth entry is not counted

  core.BuildOwnRecord({}, 4321);
  EXPECT_EQ(core.ownRecord(), PeerRecord{});
}

TEST(ChannelCoreRequests, BuildTheRequestDatagrams) {
  const std::vector<uint8_t> table = ChannelCore::MakeLockTableRequest();
  ASSERT_EQ(table.size(), kLockDatagramSize);
  EXPECT_EQ(ReadType(table.data(), table.size()), 202u);
  EXPECT_EQ(std::vector<uint8_t>(table.begin() + 4, table.end()),
            std::vector<uint8_t>(kTaskLockRecordSize, 0));

  const TaskLockRecord lock{"me", "Me", -3, "a,b"};
  EXPECT_EQ(ChannelCore::MakeLockChange(true, "me", "Me", -3, "a,b"), MakeDatagram(201, lock));
  EXPECT_EQ(ChannelCore::MakeLockChange(false, "me", "Me", -3, "a,b"), MakeDatagram(207, lock));
  EXPECT_EQ(ChannelCore::MakeResourceQuery("me", "Me", "uuid", "civil"),
            MakeDatagram(211, ResourceQuery{"uuid", "me", "Me", "civil"}));
}

}  // namespace
}  // namespace velmora::msg
