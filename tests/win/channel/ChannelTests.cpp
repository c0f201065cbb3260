// MessageChannel over real loopback sockets: its receive thread, the
// request pattern with resends, and the datagrams it answers by itself.
// Each test has its own fake-server address; peers live on 127.0.0.70-79.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <thread>

#include "tests/win/channel/ChannelTestSupport.h"

namespace velmora::test {
namespace {

using msg::PeerRecord;
using msg::TaskLockRecord;

TEST(ChannelStart, SecondStartKeepsTheSocketAndOwnEntriesCarryItsPort) {
  RecordingChannel channel;
  ASSERT_EQ(1, channel.Start(0));
  const uint16_t port = channel.LocalPort();
  ASSERT_NE(0, port);
  const PeerRecord own = channel.OwnRecord();
  ASSERT_GE(own.count, 1);
  EXPECT_LE(own.count, 4);
  for (size_t i = 0; i < own.count; ++i) {
    EXPECT_EQ(port, own.entries[i].port) << "entry " << i;
    EXPECT_FALSE(msg::IsZero(own.entries[i].ip)) << "entry " << i;
  }
  EXPECT_EQ(1, channel.Start(0));
  EXPECT_EQ(port, channel.LocalPort());
  EXPECT_EQ(own, channel.OwnRecord());
  // The port in the record is the one the receive thread listens on.
  Endpoint peer(70, 0);
  ASSERT_TRUE(peer.ok());
  EXPECT_TRUE(Settle(peer, ChannelAt(channel)));
}

// A host whose name does not resolve.
class NamelessHostChannel : public RecordingChannel {
 protected:
  bool ResolveOwnAddresses(std::vector<msg::Ipv4>&) override { return false; }
};

TEST(ChannelStart, FailsWhenThePortIsTakenOrTheHostNameDoesNotResolve) {
  RecordingChannel holder;
  ASSERT_EQ(1, holder.Start(0));
  RecordingChannel second;
  EXPECT_EQ(0, second.Start(holder.LocalPort()));
  EXPECT_FALSE(second.IsStarted());
  EXPECT_EQ(1, second.Start(0)) << "a failed bind leaves no socket behind";

  NamelessHostChannel nameless;
  EXPECT_EQ(0, nameless.Start(0));
  EXPECT_FALSE(nameless.IsStarted());
  EXPECT_EQ(0, nameless.Start(0)) << "the socket stays bound, so later starts fail too";
}

TEST(ChannelRegister, RegistersThenLoadsTheLockTable) {
  FakeServer server(41);
  ASSERT_TRUE(server.ok());
  RecordingChannel channel;
  ASSERT_EQ(1, channel.Start(0));
  const PeerRecord before = channel.OwnRecord();
  const PeerRecord accepted = AcceptedRecord("alice", before, msg::AddressEntry{LoopbackIp(1), 4321});
  const std::vector<TaskLockRecord> locks = {{"bob", "Bob", 7, "t1,t2"},
                                             {"amy", "Amy", 7, "t3"},
                                             {"bob", "Bobby", 7, "t1,t2"}};  // same key as the first

  auto script = ServeRegistration(server, accepted, locks);
  EXPECT_EQ(1, channel.Register("alice", server.ip()));
  const std::vector<Datagram> got = script.get();

  ASSERT_EQ(2u, got.size());
  EXPECT_EQ(msg::kMsgRegister, got[0].type());
  EXPECT_EQ(msg::kShortDatagramSize, got[0].bytes.size());
  EXPECT_EQ(channel.LocalPort(), ntohs(got[0].from.sin_port)) << "requests leave from the bound socket";
  PeerRecord expectedHello = before;
  expectedHello.name = "alice";
  EXPECT_EQ(expectedHello, got[0].peer());

  EXPECT_EQ(msg::kMsgLockTableRequest, got[1].type());
  ASSERT_EQ(msg::kLockDatagramSize, got[1].bytes.size());
  EXPECT_EQ(std::vector<uint8_t>(msg::kTaskLockRecordSize, 0),
            std::vector<uint8_t>(got[1].bytes.begin() + msg::kTypeCodeSize, got[1].bytes.end()));

  EXPECT_TRUE(channel.IsRegistered());
  EXPECT_EQ(accepted, channel.OwnRecord());
  EXPECT_EQ(2u, channel.LockCount());
}

TEST(ChannelRegister, LongAccountsAndRepeatsAreRefusedWithoutSending) {
  FakeServer server(42);
  ASSERT_TRUE(server.ok());
  RecordingChannel channel;
  ASSERT_EQ(1, channel.Start(0));

  EXPECT_EQ(0, channel.Register(std::string(20, 'a'), server.ip()));
  EXPECT_TRUE(server.ExpectNothing());

  const std::string nineteen(19, 'b');
  auto script = ServeRegistration(server, msg::PeerRecord{}, {});
  EXPECT_EQ(1, channel.Register(nineteen, server.ip()));
  const std::vector<Datagram> got = script.get();
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(msg::kMsgRegister, got[0].type());
  const std::string sent = got[0].peer().name;
  EXPECT_FALSE(sent.empty());
  EXPECT_EQ(0u, nineteen.find(sent)) << "the name slot holds the start of the account";

  EXPECT_EQ(0, channel.Register("carol", server.ip()));
  EXPECT_TRUE(server.ExpectNothing());
}

// A registration left unanswered is withdrawn when its sends run out: a late
// (or forged) 103 after the logout, or during the next login's dialog, would
// otherwise register the old account's record, the next Register would
// return at once and the next logout would send the old record.
TEST(ChannelRegister, UnansweredRegistrationSendsFiveTimesThenALateAnswerRegistersNothing) {
  FakeServer server(43);
  ASSERT_TRUE(server.ok());
  Endpoint probe(71, 0);
  ASSERT_TRUE(probe.ok());
  RecordingChannel channel;
  ASSERT_EQ(1, channel.Start(0));

  EXPECT_EQ(0, channel.Register("dave", server.ip()));
  const std::vector<Datagram> sent = server.Drain();
  ASSERT_EQ(5u, sent.size());
  EXPECT_EQ(5u, CountType(sent, msg::kMsgRegister)) << "no lock table request without a registration";
  EXPECT_FALSE(channel.IsRegistered());
  channel.SendLogout();
  EXPECT_TRUE(server.ExpectNothing()) << "a logout without a registration";

  server.SendTo(sent.back().from, Short(msg::kMsgRegistered, Peer("dave", {})));
  ASSERT_TRUE(Settle(probe, ChannelAt(channel)));
  EXPECT_FALSE(channel.IsRegistered());

  const PeerRecord accepted =
      AcceptedRecord("erin", channel.OwnRecord(), msg::AddressEntry{LoopbackIp(1), channel.LocalPort()});
  auto script = ServeRegistration(server, accepted, {});
  EXPECT_EQ(1, channel.Register("erin", server.ip())) << "the next login registers its own account";
  EXPECT_EQ(2u, script.get().size());
  EXPECT_EQ(accepted, channel.OwnRecord());
  channel.SendLogout();
  const std::vector<Datagram> logout = server.Drain();
  ASSERT_EQ(1u, logout.size());
  EXPECT_EQ(msg::kMsgLogout, logout[0].type());
  EXPECT_EQ(accepted, logout[0].peer());
}

// The server's side of a registration whose lock table comes as `trickle`
// records 20 ms apart, then 203; or, with `end` false, never comes at all.
// The gap is far inside the 500 ms window, so a busy machine keeps it.
std::future<bool> ServeSlowLockTable(FakeServer& server, const std::string& account, int trickle, bool end) {
  return std::async(std::launch::async, [&server, account, trickle, end] {
    std::optional<Datagram> hello = server.ReceiveType(msg::kMsgRegister);
    if (!hello) return false;
    server.SendTo(hello->from, Short(msg::kMsgRegistered, Peer(account, {})));
    std::optional<Datagram> request = server.ReceiveType(msg::kMsgLockTableRequest);
    if (!request) return false;
    for (int i = 0; i < trickle; ++i) {
      server.SendTo(request->from, Lock(msg::kMsgLockRecord, "bob", 1, "t" + std::to_string(i)));
      Sleep(20);
    }
    if (end) server.SendTo(request->from, Short(msg::kMsgLockTableEnd));
    return true;
  });
}

TEST(ChannelRegister, TheLockTableRequestWaitsOnWhileRecordsArriveAndNeverDecidesTheResult) {
  const struct {
    int octet;
    int trickle;
    bool end;
    size_t requests;  // 202s the server sees
  } cases[] = {
      {53, 60, true, 1},  // records over more than one window: no resend
      {54, 0, false, 5},  // unanswered: five sends, registered all the same
  };
  for (const auto& c : cases) {
    FakeServer server(c.octet);
    ASSERT_TRUE(server.ok());
    RecordingChannel channel;
    ASSERT_EQ(1, channel.Start(0));
    auto script = ServeSlowLockTable(server, "erin", c.trickle, c.end);
    EXPECT_EQ(1, channel.Register("erin", server.ip())) << c.octet;
    ASSERT_TRUE(script.get());
    EXPECT_EQ(c.requests - 1, CountType(server.Drain(), msg::kMsgLockTableRequest)) << c.octet;
    EXPECT_EQ(static_cast<size_t>(c.trickle), channel.LockCount());
    EXPECT_TRUE(channel.IsRegistered());
  }
}

TEST(ChannelPeerList, ListsTheAnsweredPeersAndAnUnansweredRequestEmptiesIt) {
  FakeServer server(44);
  ASSERT_TRUE(server.ok());
  RecordingChannel channel;
  ASSERT_EQ(1, channel.Start(0));
  channel.SetServerAddress(server.ip());
  const msg::AddressEntry carolAt{LoopbackIp(71), 5001};

  auto script = AnswerNext(server, {Short(msg::kMsgPeerList, Peer("Carol", {carolAt})),
                                    Short(msg::kMsgPeerList, Peer("dave", {{LoopbackIp(72), 5002}})),
                                    Short(msg::kMsgPeerListEnd)});
  EXPECT_EQ(1, channel.RequestPeerList());
  const std::optional<Datagram> request = script.get();
  ASSERT_TRUE(request);
  EXPECT_EQ(msg::kMsgPeerList, request->type());
  EXPECT_EQ(channel.OwnRecord(), request->peer());
  EXPECT_EQ(2u, channel.PeerCount());
  const std::optional<PeerRecord> carol = channel.FindPeer("cAROL");
  ASSERT_TRUE(carol);
  EXPECT_EQ("Carol", carol->name);
  EXPECT_EQ(carolAt, carol->entries[0]);
  EXPECT_FALSE(channel.FindPeer("eve"));

  EXPECT_EQ(0, channel.RequestPeerList());
  EXPECT_EQ(0u, channel.PeerCount());
  EXPECT_FALSE(channel.FindPeer("carol"));
  EXPECT_EQ(5u, CountType(server.Drain(), msg::kMsgPeerList));
}

TEST(ChannelPeerList, RecordsStillArrivingHoldBackTheResend) {
  FakeServer server(45);
  ASSERT_TRUE(server.ok());
  RecordingChannel channel;
  ASSERT_EQ(1, channel.Start(0));
  channel.SetServerAddress(server.ip());

  // Records trickle in over more than one 500 ms window, each far within
  // one (20 ms apart), so the request must wait on without sending again.
  constexpr int kPeers = 60;
  auto script = std::async(std::launch::async, [&server] {
    std::optional<Datagram> request = server.Receive();
    if (!request) return false;
    for (int i = 0; i < kPeers; ++i) {
      server.SendTo(request->from, Short(msg::kMsgPeerList, Peer("p" + std::to_string(i), {})));
      Sleep(20);
    }
    server.SendTo(request->from, Short(msg::kMsgPeerListEnd));
    return true;
  });
  EXPECT_EQ(1, channel.RequestPeerList());
  ASSERT_TRUE(script.get());
  EXPECT_EQ(static_cast<size_t>(kPeers), channel.PeerCount());
  EXPECT_TRUE(server.ExpectNothing()) << "the request was sent again while records kept coming";
}

TEST(ChannelDatagrams, ShortDatagramsAndEmptyTextsAreIgnored) {
  RecordingChannel channel;
  ASSERT_EQ(1, channel.Start(0));
  Endpoint peer(73, 0);
  ASSERT_TRUE(peer.ok());
  const sockaddr_in at = ChannelAt(channel);

  std::vector<uint8_t> alive = Short(msg::kMsgAliveCheck, Peer("erin", {}));
  alive.resize(msg::kShortDatagramSize - 1);
  std::vector<uint8_t> registered = Short(msg::kMsgRegistered, Peer("erin", {}));
  registered.resize(msg::kShortDatagramSize - 1);
  peer.SendTo(at, alive);
  peer.SendTo(at, registered);
  peer.SendTo(at, Short(msg::kMsgPeerText, Peer("erin", {})));  // 72 bytes: no text at all

  std::vector<Datagram> before;
  ASSERT_TRUE(Settle(peer, at, &before));
  EXPECT_TRUE(before.empty()) << "a short datagram or an empty text was answered";
  EXPECT_FALSE(channel.IsRegistered());
  EXPECT_TRUE(channel.Messages().empty());
}

TEST(ChannelDatagrams, PeerTextsAndAliveChecksAreAnsweredToTheirSender) {
  RecordingChannel channel;
  ASSERT_EQ(1, channel.Start(0));
  Endpoint peer(74, 0);
  ASSERT_TRUE(peer.ok());
  const sockaddr_in at = ChannelAt(channel);
  const PeerRecord own = channel.OwnRecord();

  peer.SendTo(at, Short(msg::kMsgAliveCheck, Peer("erin", {})));
  std::optional<Datagram> answer = peer.Receive();
  ASSERT_TRUE(answer);
  EXPECT_EQ(msg::kMsgAliveAnswer, answer->type());
  EXPECT_EQ(own, answer->peer());

  const std::string hello = "hello \xC4\xE3\xBA\xC3";  // GBK text passes through untouched
  const std::string longest(msg::kMaxPeerTextSize, 'x');  // fills the receive buffer exactly
  peer.SendTo(at, msg::MakePeerTextDatagram(Peer("erin", {}), hello));
  peer.SendTo(at, msg::MakePeerTextDatagram(Peer("frank", {}), longest));
  for (int i = 0; i < 2; ++i) {
    std::optional<Datagram> ack = peer.Receive();
    ASSERT_TRUE(ack) << "acknowledgement " << i;
    EXPECT_EQ(msg::kMsgPeerTextAck, ack->type());
    EXPECT_EQ(msg::kShortDatagramSize, ack->bytes.size());
    EXPECT_EQ(own, ack->peer());
  }
  ASSERT_TRUE(Settle(peer, at));

  const std::vector<RecordingChannel::Message> messages = channel.Messages();
  ASSERT_EQ(2u, messages.size());
  EXPECT_EQ("erin", messages[0].sender);
  EXPECT_EQ(hello, messages[0].text);
  EXPECT_EQ(static_cast<int>(hello.size()), messages[0].length);
  EXPECT_TRUE(messages[0].terminated);
  EXPECT_EQ("frank", messages[1].sender);
  EXPECT_EQ(longest, messages[1].text);
  EXPECT_TRUE(messages[1].terminated) << "the spare byte after a full buffer";
}

TEST(ChannelDatagrams, ProbesAreAnsweredWhereTheirSenderSays) {
  FakeServer server(47);
  ASSERT_TRUE(server.ok());
  RecordingChannel channel;
  ASSERT_EQ(1, channel.Start(0));
  channel.SetServerAddress(server.ip());
  Endpoint first(75, 0), second(76, 0), carol(77, 0);
  ASSERT_TRUE(first.ok() && second.ok() && carol.ok());
  const sockaddr_in at = ChannelAt(channel);
  const PeerRecord own = channel.OwnRecord();

  auto script = AnswerNext(server, {Short(msg::kMsgPeerList, Peer("carol", {carol.address()})),
                                    Short(msg::kMsgPeerListEnd)});
  ASSERT_EQ(1, channel.RequestPeerList());
  ASSERT_TRUE(script.get());

  // From the server: the record names whom to answer. The channel knows the
  // server by the address its datagrams come from, which under Wine is not
  // the bound one (see Endpoint).
  channel.SetServerAddress(msg::FormatIpv4(server.sourceIp()));
  server.SendTo(at, Short(msg::kMsgProbe, Peer("carol", {first.address(), second.address()})));
  ASSERT_TRUE(Settle(carol, at));
  EXPECT_TRUE(server.ExpectNothing(0));
  for (Endpoint* listed : {&first, &second}) {
    const std::vector<Datagram> got = listed->Drain();
    ASSERT_EQ(1u, got.size()) << listed->ip();
    EXPECT_EQ(msg::kMsgProbeAnswer, got[0].type());
    EXPECT_EQ(own, got[0].peer());
  }
  std::optional<PeerRecord> listed = channel.FindPeer("carol");
  ASSERT_TRUE(listed);
  EXPECT_TRUE(msg::IsZero(listed->observedIp)) << "a probe from the server says nothing about carol's address";

  // From another client: answer that client and note where it was seen.
  channel.SetServerAddress(server.ip());
  ASSERT_NE(server.ip(), msg::FormatIpv4(carol.sourceIp()));
  carol.SendTo(at, Short(msg::kMsgProbe, Peer("carol", {first.address()})));
  const std::vector<Datagram> got = carol.Drain();
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(msg::kMsgProbeAnswer, got[0].type());
  EXPECT_EQ(own, got[0].peer());
  EXPECT_TRUE(first.ExpectNothing(0));
  listed = channel.FindPeer("carol");
  ASSERT_TRUE(listed);
  EXPECT_EQ(carol.sourceIp(), listed->observedIp);
  EXPECT_EQ(carol.address().port, listed->observedPort);
  EXPECT_EQ(1u, channel.PeerCount());
}

TEST(ChannelLocks, ChangeRequestsReportDoneOrTheRefusingHolder) {
  FakeServer server(48);
  ASSERT_TRUE(server.ok());
  RecordingChannel channel;
  ASSERT_EQ(1, channel.Start(0));
  channel.SetServerAddress(server.ip());
  EXPECT_EQ(0, channel.RequestLockChange("alice", "Alice", 7, "t1", true));
  EXPECT_TRUE(server.ExpectNothing()) << "sent while not registered";

  ASSERT_NO_FATAL_FAILURE(StartRegistered(channel, server, "alice"));
  auto claim = AnswerNext(server, {Short(msg::kMsgLockChangeDone)});
  EXPECT_EQ(1, channel.RequestLockChange("alice", "Alice", 7, "t1,t2", true));
  std::optional<Datagram> request = claim.get();
  ASSERT_TRUE(request);
  EXPECT_EQ(msg::kMsgLockClaim, request->type());
  EXPECT_EQ(msg::kLockDatagramSize, request->bytes.size());
  EXPECT_EQ((TaskLockRecord{"alice", "Alice", 7, "t1,t2"}), request->lock());

  auto release = AnswerNext(server, {Lock(msg::kMsgLockRefused, "bob", 7, "t1")});
  EXPECT_EQ(2, channel.RequestLockChange("alice", "Alice", 7, "t1", false));
  request = release.get();
  ASSERT_TRUE(request);
  EXPECT_EQ(msg::kMsgLockRelease, request->type());
  EXPECT_EQ((TaskLockRecord{"alice", "Alice", 7, "t1"}), request->lock());
  EXPECT_EQ("bob", channel.HolderName());
}

TEST(ChannelLocks, ResourceAnswerIsFreeWhenItsAccountStartsWithZero) {
  FakeServer server(49);
  ASSERT_TRUE(server.ok());
  RecordingChannel channel;
  ASSERT_EQ(1, channel.Start(0));
  channel.SetServerAddress(server.ip());
  EXPECT_EQ(0, channel.QueryResource("alice", "Alice", "P-1", "structure"));
  EXPECT_TRUE(server.ExpectNothing()) << "sent while not registered";

  ASSERT_NO_FATAL_FAILURE(StartRegistered(channel, server, "alice"));
  auto answeredFree = AnswerNext(server, {ResourceAnswer("")});
  EXPECT_EQ(1, channel.QueryResource("alice", "Alice", "P-1", "structure"));
  std::optional<Datagram> request = answeredFree.get();
  ASSERT_TRUE(request);
  EXPECT_EQ(msg::kMsgResourceQuery, request->type());
  EXPECT_EQ(msg::kResourceDatagramSize, request->bytes.size());
  EXPECT_EQ((msg::ResourceQuery{"P-1", "alice", "Alice", "structure"}), request->resource());

  auto taken = AnswerNext(server, {ResourceAnswer("bob")});
  EXPECT_EQ(0, channel.QueryResource("alice", "Alice", "P-1", "structure"));
  EXPECT_TRUE(taken.get());

  // Only the first byte of the account tells: what follows a zero is noise.
  std::vector<uint8_t> noisy = ResourceAnswer("bob");
  noisy[msg::kTypeCodeSize + msg::kProjectUuidSlot] = 0;
  auto freeAfterAll = AnswerNext(server, {noisy});
  EXPECT_EQ(1, channel.QueryResource("alice", "Alice", "P-1", "structure"));
  EXPECT_TRUE(freeAfterAll.get());
}

// Replies carry no request number: what keeps a stranger's datagram from
// being taken for the server's answer is the port it comes from.
TEST(ChannelLocks, RepliesFromAnotherPortNeitherRegisterNorAnswerARequest) {
  FakeServer server(56);
  ASSERT_TRUE(server.ok());
  Endpoint mallory(72, 0), probe(71, 0);
  ASSERT_TRUE(mallory.ok() && probe.ok());
  RecordingChannel channel;
  ASSERT_EQ(1, channel.Start(0));
  const sockaddr_in at = ChannelAt(channel);
  const PeerRecord own = channel.OwnRecord();
  mallory.SendTo(at, Short(msg::kMsgRegistered, Peer("mallory", {})));
  mallory.SendTo(at, Lock(msg::kMsgLockRecord, "mallory", 7, "t1"));
  ASSERT_TRUE(Settle(probe, at));
  EXPECT_FALSE(channel.IsRegistered());
  EXPECT_EQ(own, channel.OwnRecord());
  EXPECT_EQ(0u, channel.LockCount());

  ASSERT_NO_FATAL_FAILURE(StartRegistered(channel, server, "alice"));
  const struct {
    const char* what;
    std::vector<uint8_t> forged;  // dispatched while the request waits
    std::vector<uint8_t> answer;  // the server's, after it
    std::function<int()> request;
    int expected;
  } cases[] = {
      {"claim", Lock(msg::kMsgLockRefused, "mallory", 7, "t1"), Short(msg::kMsgLockChangeDone),
       [&] { return channel.RequestLockChange("alice", "Alice", 7, "t1", true); }, 1},
      {"release", Short(msg::kMsgLockChangeDone), Lock(msg::kMsgLockRefused, "bob", 7, "t1"),
       [&] { return channel.RequestLockChange("alice", "Alice", 7, "t1", false); }, 2},
      {"resource", ResourceAnswer(""), ResourceAnswer("bob"),
       [&] { return channel.QueryResource("alice", "Alice", "P-1", "structure"); }, 0},
  };
  for (const auto& c : cases) {
    auto script = std::async(std::launch::async, [&] {
      std::optional<Datagram> request = server.Receive();
      if (!request) return false;
      mallory.SendTo(at, c.forged);
      const bool settled = Settle(probe, at);
      server.SendTo(request->from, c.answer);
      return settled;
    });
    EXPECT_EQ(c.expected, c.request()) << c.what;
    EXPECT_TRUE(script.get()) << c.what;
  }
  EXPECT_EQ("bob", channel.HolderName());
}

TEST(ChannelLocks, LockQuestionsAreAnsweredFromTheTableTheServerFilled) {
  FakeServer server(50);
  RecordingChannel channel;
  ASSERT_NO_FATAL_FAILURE(StartRegistered(channel, server, "alice",
                                          {{"alice", "", 7, "t1"},
                                           {"bob", "", 7, "t2,t3"},
                                           {"amy", "", 7, "t3,t4"},
                                           {"carol", "", 8, "t9"}}));
  std::string holder = "stale";
  EXPECT_EQ(1, channel.CheckTaskLock("alice", "", 7, "t1", holder)) << "own locks never block";
  EXPECT_EQ("", holder);
  EXPECT_EQ(1, channel.CheckTaskLock("alice", "", 8, "t2,t3", holder)) << "other projects never block";
  EXPECT_EQ("", holder);
  EXPECT_EQ(0, channel.CheckTaskLock("alice", "", 7, "t3", holder));
  EXPECT_EQ("amy", holder) << "of two blockers, the smaller key";
  EXPECT_EQ(0, channel.CheckTaskLock("alice", "", 7, "t0,t2", holder));
  EXPECT_EQ("bob", holder);

  channel.ClearProjectLocks(7);
  EXPECT_EQ(1, channel.CheckTaskLock("alice", "", 7, "t2,t3", holder));
  EXPECT_EQ("", holder);
  EXPECT_EQ(0, channel.CheckTaskLock("alice", "", 8, "t9", holder)) << "other projects are kept";
  EXPECT_EQ("carol", holder);

  server.SendTo(ChannelAt(channel), msg::MakeDatagram(msg::kMsgLockRecord, TaskLockRecord{"bob", "", 7, "t3"}));
  Endpoint probe(79, 0);
  ASSERT_TRUE(Settle(probe, ChannelAt(channel)));
  EXPECT_EQ(0, channel.CheckTaskLock("alice", "", 7, "t3", holder));
  EXPECT_EQ("bob", holder);
}

// Records come in groups that end inside the receive thread's bursts and
// across them; meanwhile another thread keeps asking about every lock.
TEST(ChannelLocks, RecordsAreAppliedInArrivalOrderAndAHeldLockIsNeverReportedFree) {
  FakeServer server(57);
  RecordingChannel channel;
  ASSERT_NO_FATAL_FAILURE(StartRegistered(channel, server, "reader"));
  constexpr int kLocks = 120;
  constexpr int kGroup = 23;  // small enough for a stock receive buffer
  const auto lock = [](int i) {
    return TaskLockRecord{"h" + std::to_string(i % 7), "", 3 + i % 2, "u" + std::to_string(i) + ",shared"};
  };

  std::atomic<bool> done{false};
  std::atomic<int> freedWhileHeld{-1};
  std::thread asker([&] {
    std::vector<bool> held(kLocks, false);
    std::string holder;
    while (!done) {
      for (int i = 0; i < kLocks; ++i) {
        const TaskLockRecord l = lock(i);
        const bool blocked = channel.CheckTaskLock("reader", "", l.projectId, "u" + std::to_string(i), holder) == 0;
        if (held[i] && !blocked) freedWhileHeld = i;
        held[i] = held[i] || blocked;
      }
    }
  });
  for (int first = 0; first < kLocks; first += kGroup) {
    const int end = std::min(first + kGroup, kLocks);
    for (int i = first; i < end; ++i) {
      server.SendTo(ChannelAt(channel), msg::MakeDatagram(msg::kMsgLockRecord, lock(i)));
      // A record sent again in the same group replaces its twin.
      if (i % 10 == 0) server.SendTo(ChannelAt(channel), msg::MakeDatagram(msg::kMsgLockRecord, lock(i)));
    }
    EXPECT_TRUE(WaitUntil([&] { return channel.LockCount() == static_cast<size_t>(end); })) << end;
  }
  // Two refusals back to back: the later one names the holder.
  server.SendTo(ChannelAt(channel), msg::MakeDatagram(msg::kMsgLockRefused, TaskLockRecord{"first", "", 3, "x"}));
  server.SendTo(ChannelAt(channel), msg::MakeDatagram(msg::kMsgLockRefused, TaskLockRecord{"second", "", 3, "x"}));
  Endpoint probe(79, 0);
  ASSERT_TRUE(Settle(probe, ChannelAt(channel)));
  done = true;
  asker.join();

  EXPECT_EQ(-1, freedWhileHeld.load()) << "a lock reported free after it was held";
  EXPECT_EQ("second", channel.HolderName());
  std::string holder;
  for (int i = 0; i < kLocks; ++i) {
    EXPECT_EQ(0, channel.CheckTaskLock("reader", "", lock(i).projectId, "u" + std::to_string(i), holder)) << i;
    EXPECT_EQ(lock(i).account, holder) << i;
  }
  EXPECT_EQ(0, channel.CheckTaskLock("reader", "", 3, "shared", holder));
  EXPECT_EQ("h0", holder) << "of all holders of a shared task, the smallest key";
}

// Receives that fail at once (network down, no buffers) until told to work.
class FaultyChannel : public RecordingChannel {
 public:
  struct Fault {
    std::atomic<bool> failing{true};
    std::atomic<int> failed{0};
  };

  FaultyChannel() {
    SetReceiveFault([fault = fault_] {
      if (!fault->failing) return false;
      ++fault->failed;
      return true;
    });
  }
  Fault& fault() { return *fault_; }

 private:
  std::shared_ptr<Fault> fault_ = std::make_shared<Fault>();
};

TEST(ChannelReceive, ReceivesThatKeepFailingRestTheThreadWhichRecoversWhenTheyWorkAgain) {
  FaultyChannel channel;
  ASSERT_EQ(1, channel.Start(0));
  Endpoint peer(79, 0);
  ASSERT_TRUE(peer.ok());
  // Nine failures in a row bring the rest to its longest.
  ASSERT_TRUE(WaitUntil([&] { return channel.fault().failed >= 9; }));
  const int before = channel.fault().failed;
  const ULONGLONG start = GetTickCount64();
  Sleep(300);
  const int retried = channel.fault().failed - before;
  const ULONGLONG watched = GetTickCount64() - start;
  // A spinning thread fails thousands of times meanwhile; a resting one
  // once a second. A slow machine only lengthens the rests.
  EXPECT_LE(retried, 2 + static_cast<int>(watched / 100)) << "in " << watched << " ms";

  channel.fault().failing = false;
  EXPECT_TRUE(Settle(peer, ChannelAt(channel))) << "the channel receives again";
}

TEST(ChannelLogout, OneNoticeWhenRegisteredAndNoneOtherwise) {
  FakeServer server(51);
  ASSERT_TRUE(server.ok());
  RecordingChannel channel;
  ASSERT_EQ(1, channel.Start(0));
  channel.SetServerAddress(server.ip());
  channel.SendLogout();
  EXPECT_TRUE(server.ExpectNothing());

  ASSERT_NO_FATAL_FAILURE(StartRegistered(channel, server, "alice"));
  channel.SendLogout();
  const std::vector<Datagram> got = server.Drain();
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(msg::kMsgLogout, got[0].type());
  EXPECT_EQ(channel.OwnRecord(), got[0].peer());
  EXPECT_FALSE(channel.IsRegistered());
  channel.SendLogout();
  EXPECT_TRUE(server.ExpectNothing());
}

TEST(ChannelLifetime, DestroyingARegisteredChannelSendsOneLogout) {
  FakeServer server(52);
  auto channel = std::make_unique<RecordingChannel>();
  ASSERT_NO_FATAL_FAILURE(StartRegistered(*channel, server, "alice"));
  channel.reset();
  const std::vector<Datagram> got = server.Drain();
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(msg::kMsgLogout, got[0].type());
}

DWORD WINAPI DestroyChannel(void* channel) {
  delete static_cast<RecordingChannel*>(channel);
  return 0;
}

TEST(ChannelLifetime, DestroyingWhileAReceiveIsPendingReturns) {
  auto* channel = new RecordingChannel;
  ASSERT_EQ(1, channel->Start(0));
  Endpoint peer(78, 0);
  ASSERT_TRUE(peer.ok());
  const sockaddr_in at = ChannelAt(*channel);
  ASSERT_TRUE(Settle(peer, at));  // the receive thread is up and waiting again

  HANDLE destroyer = CreateThread(nullptr, 0, &DestroyChannel, channel, 0, nullptr);
  ASSERT_NE(nullptr, destroyer);
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(destroyer, 10000)) << "destruction hangs";
  CloseHandle(destroyer);

  peer.SendTo(at, Short(msg::kMsgAliveCheck));
  EXPECT_TRUE(peer.ExpectNothing()) << "the socket outlived its channel";
}

}  // namespace
}  // namespace velmora::test
