#include "tools/msgserver/MessageServer.h"

#include <gtest/gtest.h>

#include "tools/msgserver/Options.h"
#include "tools/msgserver/Outbox.h"

namespace velmora::msgserver {
namespace {

using msg::Ipv4;
using msg::PeerRecord;
using msg::ResourceQuery;
using msg::TaskLockRecord;

const Endpoint kAmy{Ipv4{127, 0, 0, 2}, 5001};
const Endpoint kBob{Ipv4{127, 0, 0, 3}, 5002};
const Endpoint kStranger{Ipv4{127, 0, 0, 9}, 5009};

PeerRecord Own(const std::string& name, uint8_t count) {
  PeerRecord record;
  record.name = name;
  for (uint8_t i = 0; i < count && i < msg::kMaxAddressEntries; ++i) {
    record.entries[i] = msg::AddressEntry{Ipv4{10, 0, 0, static_cast<uint8_t>(i + 1)}, 4000};
  }
  record.count = count;
  return record;
}

uint32_t TypeOf(const Datagram& sent) { return msg::ReadType(sent.bytes->data(), sent.bytes->size()); }

Endpoint DestinationOf(const Datagram& sent) { return sent.to; }

class MessageServerTest : public ::testing::Test {
 protected:
  std::vector<Datagram> Send(const std::vector<uint8_t>& datagram, const Endpoint& from) {
    return server.Handle(datagram.data(), datagram.size(), from).datagrams;
  }
  // The whole lock table as it goes to `from`, unpaced, to a client that
  // answers every check at once; the checks are left out.
  std::vector<Datagram> Table(const Endpoint& from) {
    const auto ask = msg::MakeDatagram(msg::kMsgLockTableRequest, TaskLockRecord{});
    const Answers answers = server.Handle(ask.data(), ask.size(), from);
    EXPECT_TRUE(answers.datagrams.empty());
    Outbox outbox(0);
    const Clock::time_point now{};
    outbox.AddTable(*answers.table, now);
    std::vector<Datagram> out;
    for (int round = 0; round < 10000; ++round) {
      std::vector<Datagram> batch;
      const auto due = outbox.TakeDue(now, server, batch);
      for (Datagram& d : batch) {
        if (TypeOf(d) == msg::kMsgAliveCheck) {
          outbox.Answered(d.to, now);
        } else {
          out.push_back(std::move(d));
        }
      }
      if (!due && batch.empty()) break;
    }
    return out;
  }
  std::vector<Datagram> Register(const std::string& name, const Endpoint& from, uint8_t count = 1) {
    return Send(msg::MakeDatagram(msg::kMsgRegister, Own(name, count)), from);
  }
  std::vector<Datagram> Lock(uint32_t type, const std::string& account, int32_t project,
                             const std::string& tasks, const Endpoint& from) {
    return Send(msg::MakeDatagram(type, TaskLockRecord{account, account + "-name", project, tasks}),
                from);
  }
  std::vector<Datagram> AskResource(const std::string& account, const Endpoint& from) {
    return Send(msg::MakeDatagram(msg::kMsgResourceQuery,
                                  ResourceQuery{"proj-uuid", account, account + "-n", "pipes"}),
                from);
  }

  MessageServer server{3};
};

TEST_F(MessageServerTest, RegistrationStoresTheSeenAddressAfterTheCountedEntries) {
  const std::vector<Datagram> reply = Register("amy", kAmy, 2);
  ASSERT_EQ(reply.size(), 1u);
  EXPECT_EQ(TypeOf(reply[0]), 103u);
  EXPECT_EQ(DestinationOf(reply[0]), kAmy);

  const PeerRecord granted = PeerRecord::Decode(reply[0].bytes->data() + 4);
  EXPECT_EQ(granted.count, 2);
  EXPECT_EQ(granted.entries[1], Own("amy", 2).entries[1]);
  EXPECT_EQ(granted.entries[2], (msg::AddressEntry{kAmy.ip, kAmy.port}));
  EXPECT_EQ(granted.observedIp, kAmy.ip);
  EXPECT_EQ(granted.observedPort, kAmy.port);
  EXPECT_EQ(msg::IdentifyingAddress(granted), (msg::AddressEntry{kAmy.ip, kAmy.port}));
}

TEST_F(MessageServerTest, FullOrOversizedEntryListsAreNotWrittenPast) {
  const PeerRecord five = PeerRecord::Decode(Register("five", kAmy, 5)[0].bytes->data() + 4);
  EXPECT_EQ(five.entries, Own("five", 5).entries);
  EXPECT_EQ(five.observedIp, kAmy.ip);

  const PeerRecord many = PeerRecord::Decode(Register("many", kBob, 200)[0].bytes->data() + 4);
  EXPECT_EQ(many.count, 200);
  EXPECT_EQ(server.clientCount(), 2u);
}

TEST_F(MessageServerTest, ReRegistrationOfANameReplacesTheEarlierOne) {
  Register("Amy", kAmy);
  Register("AMY", kBob);
  EXPECT_EQ(server.clientCount(), 1u);
  ASSERT_NE(server.FindClient("amy"), nullptr);
  EXPECT_EQ(server.FindClient("amy")->observedIp, kBob.ip);
}

TEST_F(MessageServerTest, PeerListSendsEveryRegistrationThenTheEnd) {
  Register("amy", kAmy);
  Register("bob", kBob);
  const std::vector<Datagram> list =
      Send(msg::MakeDatagram(msg::kMsgPeerList, Own("carl", 1)), kStranger);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(PeerRecord::Decode(list[0].bytes->data() + 4).name, "amy");
  EXPECT_EQ(PeerRecord::Decode(list[1].bytes->data() + 4).name, "bob");
  EXPECT_EQ(TypeOf(list[2]), 105u);
  for (const Datagram& sent : list) EXPECT_EQ(DestinationOf(sent), kStranger);
}

TEST_F(MessageServerTest, LogoutCountsOnlyFromTheRegisteredAddress) {
  Register("amy", kAmy);
  EXPECT_TRUE(Send(msg::MakeDatagram(msg::kMsgLogout, Own("amy", 1)), kStranger).empty());
  EXPECT_EQ(server.clientCount(), 1u);
  Send(msg::MakeDatagram(msg::kMsgLogout, Own("AMY", 1)), kAmy);
  EXPECT_EQ(server.clientCount(), 0u);
}

TEST_F(MessageServerTest, FreeClaimIsStoredAnsweredAndPushedToEveryClient) {
  Register("amy", kAmy);
  Register("bob", kBob);
  const std::vector<Datagram> out = Lock(msg::kMsgLockClaim, "amy", 7, "t1,t2", kAmy);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(TypeOf(out[0]), 206u);
  EXPECT_EQ(DestinationOf(out[0]), kAmy);
  EXPECT_EQ(TypeOf(out[1]), 205u);
  EXPECT_EQ(TypeOf(out[2]), 205u);
  EXPECT_EQ(DestinationOf(out[1]), kAmy);
  EXPECT_EQ(DestinationOf(out[2]), kBob);
  EXPECT_EQ(out[1].bytes->size(), msg::kLockDatagramSize);
  EXPECT_EQ(TaskLockRecord::Decode(out[2].bytes->data() + 4).tasks, "t1,t2");
  EXPECT_EQ(server.locks().size(), 1u);
}

TEST_F(MessageServerTest, ClaimOnAnotherAccountsTaskIsRefusedNamingTheHolder) {
  Lock(msg::kMsgLockClaim, "amy", 7, "t1,t2", kAmy);
  const std::vector<Datagram> out = Lock(msg::kMsgLockClaim, "bob", 7, "t2,t3", kBob);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(TypeOf(out[0]), 207u);
  EXPECT_EQ(DestinationOf(out[0]), kBob);
  const TaskLockRecord holder = TaskLockRecord::Decode(out[0].bytes->data() + 4);
  EXPECT_EQ(holder.account, "amy");
  EXPECT_EQ(holder.displayName, "amy-name");
  EXPECT_EQ(server.locks().size(), 1u);

  // Own overlapping locks and other projects do not block.
  EXPECT_EQ(TypeOf(Lock(msg::kMsgLockClaim, "amy", 7, "t2,t9", kAmy)[0]), 206u);
  EXPECT_EQ(TypeOf(Lock(msg::kMsgLockClaim, "bob", 8, "t2", kBob)[0]), 206u);
}

TEST_F(MessageServerTest, ReleaseRemovesOnlyTheSendersIntersectingLocks) {
  Lock(msg::kMsgLockClaim, "amy", 7, "t1", kAmy);
  Lock(msg::kMsgLockClaim, "amy", 7, "t5", kAmy);
  Lock(msg::kMsgLockClaim, "bob", 7, "t2", kBob);

  const std::vector<Datagram> out = Lock(msg::kMsgLockRelease, "amy", 7, "t1,t2", kAmy);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(TypeOf(out[0]), 206u);
  EXPECT_EQ(server.locks().size(), 2u);
  EXPECT_EQ(server.locks().FindBlockingHolder("carl", 7, "t1,t2,t5"), "amy");
  EXPECT_EQ(server.locks().FindBlockingHolder("amy", 7, "t2"), "bob");
}

TEST_F(MessageServerTest, LockTableIsSentInKeyOrderThenTheEnd) {
  Lock(msg::kMsgLockClaim, "bob", 1, "x", kBob);
  Lock(msg::kMsgLockClaim, "amy", 1, "y", kAmy);
  const std::vector<Datagram> out = Table(kStranger);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(TaskLockRecord::Decode(out[0].bytes->data() + 4).account, "amy");
  EXPECT_EQ(TaskLockRecord::Decode(out[1].bytes->data() + 4).account, "bob");
  EXPECT_EQ(TypeOf(out[2]), 203u);
}

TEST_F(MessageServerTest, LocksWhoseFieldsGlueToOneTextAreKeptApartAndAllSent) {
  // amy/1/"23", amy/12/"3" and amy1/2/"3" would all have read "amy123".
  Lock(msg::kMsgLockClaim, "amy", 1, "23", kAmy);
  Lock(msg::kMsgLockClaim, "amy", 12, "3", kAmy);
  Lock(msg::kMsgLockClaim, "amy1", 2, "3", kStranger);
  EXPECT_EQ(TypeOf(Lock(msg::kMsgLockClaim, "bob", 1, "23", kBob)[0]), 207u);
  EXPECT_EQ(TypeOf(Lock(msg::kMsgLockClaim, "bob", 12, "3", kBob)[0]), 207u);

  const std::vector<Datagram> out = Table(Endpoint{Ipv4{127, 0, 0, 8}, 1});
  ASSERT_EQ(out.size(), 4u);
  std::vector<std::pair<std::string, int32_t>> sent;
  for (size_t i = 0; i < 3; ++i) {
    const TaskLockRecord r = TaskLockRecord::Decode(out[i].bytes->data() + 4);
    sent.emplace_back(r.account, r.projectId);
  }
  EXPECT_EQ(sent, (std::vector<std::pair<std::string, int32_t>>{{"amy", 1}, {"amy", 12}, {"amy1", 2}}));
}

TEST_F(MessageServerTest, AccountsCutToOneTextNeverPassOrReleaseEachOthersLocks) {
  // engineer01 and engineer02 both arrive as "engineer0".
  Register("engineer01", kAmy);
  Register("engineer02", kBob);
  ASSERT_EQ(TypeOf(Lock(msg::kMsgLockClaim, "engineer01", 3, "t1", kAmy)[0]), 206u);
  const std::vector<Datagram> refused = Lock(msg::kMsgLockClaim, "engineer02", 3, "t1,t2", kBob);
  ASSERT_EQ(TypeOf(refused[0]), 207u);
  EXPECT_EQ(TaskLockRecord::Decode(refused[0].bytes->data() + 4).displayName, "engineer01-name");
  Lock(msg::kMsgLockRelease, "engineer02", 3, "t1", kBob);
  EXPECT_EQ(server.locks().size(), 1u);
  // The claimer itself goes on owning its lock, and may release it.
  EXPECT_EQ(TypeOf(Lock(msg::kMsgLockClaim, "engineer01", 3, "t1,t3", kAmy)[0]), 206u);
  Lock(msg::kMsgLockRelease, "engineer01", 3, "t1", kAmy);
  EXPECT_TRUE(server.locks().empty());

  // A nine-byte account that its registration names whole is owned by name,
  // from a new address too.
  Register("zhangsan1", kStranger);
  ASSERT_EQ(TypeOf(Lock(msg::kMsgLockClaim, "zhangsan1", 3, "t1", kStranger)[0]), 206u);
  const Endpoint again{Ipv4{127, 0, 0, 10}, 6000};
  Register("zhangsan1", again);
  EXPECT_EQ(TypeOf(Lock(msg::kMsgLockClaim, "zhangsan1", 3, "t1", again)[0]), 206u);
  EXPECT_EQ(TypeOf(Lock(msg::kMsgLockClaim, "zhangsan1", 3, "t1", kAmy)[0]), 207u);
}

TEST_F(MessageServerTest, ResourceGoesToTheFirstAskerAndStaysFreeForThem) {
  std::vector<Datagram> out = AskResource("amy", kAmy);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(TypeOf(out[0]), 213u);
  EXPECT_EQ((*out[0].bytes)[4 + 40], 0);  // free
  const ResourceQuery free = ResourceQuery::Decode(out[0].bytes->data() + 4);
  EXPECT_EQ(free.projectUuid, "proj-uuid");
  EXPECT_EQ(free.specialty, "pipes");

  EXPECT_EQ((*AskResource("amy", kAmy)[0].bytes)[4 + 40], 0);

  const ResourceQuery taken = ResourceQuery::Decode(AskResource("bob", kBob)[0].bytes->data() + 4);
  EXPECT_EQ(taken.account, "amy");
  EXPECT_EQ(taken.displayName, "amy-n");
}

TEST_F(MessageServerTest, UnansweredAliveChecksDropAClient) {
  Register("amy", kAmy);
  Register("bob", kBob);
  for (int round = 0; round < 3; ++round) {
    const std::vector<Datagram> checks = server.AliveTick();
    ASSERT_EQ(checks.size(), 2u) << round;
    EXPECT_EQ(TypeOf(checks[0]), 106u);
    Send(msg::MakeDatagram(msg::kMsgAliveAnswer, Own("amy", 1)), kAmy);
    // An answer naming bob from elsewhere does not keep bob alive.
    Send(msg::MakeDatagram(msg::kMsgAliveAnswer, Own("bob", 1)), kStranger);
  }
  const std::vector<Datagram> last = server.AliveTick();
  ASSERT_EQ(last.size(), 1u);
  EXPECT_EQ(DestinationOf(last[0]), kAmy);
  EXPECT_EQ(server.FindClient("bob"), nullptr);
}

TEST(MessageServerExpiry, ZeroKeepsEveryClient) {
  MessageServer server(0);
  const auto reg = msg::MakeDatagram(msg::kMsgRegister, Own("amy", 1));
  server.Handle(reg.data(), reg.size(), kAmy);
  for (int round = 0; round < 10; ++round) server.AliveTick();
  EXPECT_EQ(server.clientCount(), 1u);
}

TEST_F(MessageServerTest, ShortGarbageAndUnknownDatagramsAreIgnored) {
  Register("amy", kAmy);
  std::vector<uint8_t> claim =
      msg::MakeDatagram(msg::kMsgLockClaim, TaskLockRecord{"bob", "", 1, "t"});
  claim.resize(msg::kLockDatagramSize - 1);
  EXPECT_TRUE(Send(claim, kBob).empty());
  std::vector<uint8_t> query = msg::MakeDatagram(msg::kMsgResourceQuery, ResourceQuery{});
  query.resize(msg::kShortDatagramSize);
  EXPECT_TRUE(Send(query, kBob).empty());
  EXPECT_TRUE(Send(std::vector<uint8_t>(3, 0xFF), kBob).empty());
  EXPECT_TRUE(Send(std::vector<uint8_t>(8192, 0xFF), kBob).empty());
  for (uint32_t type : {103u, 105u, 106u, 108u, 109u, 110u, 111u, 203u, 204u, 205u, 206u, 213u}) {
    EXPECT_TRUE(Send(msg::MakeDatagram(type, TaskLockRecord{"x", "", 1, "t"}), kBob).empty()) << type;
  }
  EXPECT_EQ(server.locks().size(), 0u);
  EXPECT_EQ(server.clientCount(), 1u);
}

TEST(MsgServerOptions, DefaultsAndEveryOption) {
  std::string error;
  const auto defaults = ParseOptions({}, error);
  ASSERT_TRUE(defaults.has_value());
  EXPECT_EQ(defaults->bind, (Ipv4{127, 0, 0, 1}));
  EXPECT_EQ(defaults->port, 4568);
  EXPECT_EQ(defaults->aliveIntervalSeconds, 30);
  EXPECT_EQ(defaults->expireAfter, 3);
  EXPECT_FALSE(defaults->verbose);
  EXPECT_EQ(defaults->paceKiBPerSecond, kDefaultPaceKiBPerSecond);

  const auto set = ParseOptions({"--bind", "127.0.0.5", "--port=0", "--verbose",
                                 "--alive-interval", "0", "--expire-after=7", "--pace-rate", "0"},
                                error);
  ASSERT_TRUE(set.has_value()) << error;
  EXPECT_EQ(set->bind, (Ipv4{127, 0, 0, 5}));
  EXPECT_EQ(set->port, 0);
  EXPECT_TRUE(set->verbose);
  EXPECT_EQ(set->aliveIntervalSeconds, 0);
  EXPECT_EQ(set->expireAfter, 7);
  EXPECT_EQ(set->paceKiBPerSecond, 0);
}

TEST(MsgServerOptions, RejectsBadInput) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--port", "65536"}, {"--port"}, {"--port", "-1"},
        {"--bind", "localhost"}, {"--frobnicate"}, {"--alive-interval", "x"},
        {"--verbose=1"}, {"--pace-rate", "-5"}, {"--pace-rate"}}) {
    std::string error;
    EXPECT_FALSE(ParseOptions(args, error).has_value()) << args[0];
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace velmora::msgserver
