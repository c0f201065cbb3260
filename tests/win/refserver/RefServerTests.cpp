// MessageChannel instances of different accounts against the real reference
// message server on loopback: registration, peer list, task locks, resource
// assignments and logout, end to end through Wine's sockets.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "messaging/MessageChannel.h"

namespace velmora {
namespace {

const char* const kServer = VELMORA_REFSERVER_ADDRESS;
// GBK bytes: the channel works in the ANSI code page (936 here).
const std::string kZhang = "\xD5\xC5\xB9\xA4";           // 张工
const std::string kStructure = "\xBD\xE1\xB9\xB9";       // 结构
const std::string kPlumbing = "\xB8\xF8\xC5\xC5\xCB\xAE";  // 给排水

// Bounds every wait for something the server pushes, so a lost push fails
// the test instead of hanging it; generous, for a busy machine.
bool WaitFor(const std::function<bool()>& done, DWORD patienceMs = 30000) {
  const ULONGLONG end = GetTickCount64() + patienceMs;
  while (GetTickCount64() < end) {
    if (done()) return true;
    Sleep(10);
  }
  return done();
}

// The server outlives each test: project ids and resource UUIDs are unique
// to this run and to each test, so state left by one cannot answer another.
int32_t ProjectId(int n) {
  static const int32_t base = static_cast<int32_t>((GetTickCount64() / 10) % 10000000) * 100;
  return base + n;
}

std::string ProjectUuid(int n) { return "{refserver-" + std::to_string(ProjectId(n)) + "}"; }

class RefServer : public testing::Test {
 protected:
  // A started and registered channel; destroyed (and so logged out) with the test.
  MessageChannel& Join(const std::string& account) {
    channels_.push_back(std::make_unique<MessageChannel>());
    MessageChannel& channel = *channels_.back();
    EXPECT_EQ(channel.Start(0), 1) << account;
    EXPECT_EQ(channel.Register(account, kServer), 1) << account;
    return channel;
  }

  static int Claim(MessageChannel& channel, const std::string& account, int32_t project,
                   const std::string& tasks) {
    return channel.RequestLockChange(account, account, project, tasks, true);
  }
  static int Release(MessageChannel& channel, const std::string& account, int32_t project,
                     const std::string& tasks) {
    return channel.RequestLockChange(account, account, project, tasks, false);
  }
  // Holder who blocks `account` from the tasks, per the channel's lock table.
  static std::string Blocker(MessageChannel& channel, const std::string& account, int32_t project,
                             const std::string& tasks) {
    std::string holder;
    channel.CheckTaskLock(account, account, project, tasks, holder);
    return holder;
  }

 private:
  std::vector<std::unique_ptr<MessageChannel>> channels_;
};

// --- registration and the peer list ------------------------------------------

using RefServerRegistration = RefServer;

TEST_F(RefServerRegistration, OwnRecordCarriesTheObservedAddressAfterTheCountedEntries) {
  MessageChannel& alice = Join("alice");
  ASSERT_TRUE(alice.IsRegistered());
  const msg::PeerRecord own = alice.OwnRecord();
  EXPECT_EQ(own.name, "alice");
  ASSERT_GE(own.count, 1);
  ASSERT_LT(own.count, msg::kMaxAddressEntries);
  const msg::AddressEntry observed = own.entries[own.count];
  EXPECT_EQ(observed.port, alice.LocalPort());
  EXPECT_EQ(observed.ip[0], 127) << msg::FormatIpv4(observed.ip);
}

TEST_F(RefServerRegistration, PeerListNamesEveryAccountAtThisMachine) {
  MessageChannel& alice = Join("alice");
  MessageChannel& bob = Join("bob");
  MessageChannel& zhang = Join(kZhang);
  ASSERT_EQ(alice.RequestPeerList(), 1);

  for (const std::string& name : {std::string("alice"), std::string("BOB"), kZhang}) {
    const auto peer = alice.FindPeer(name);
    ASSERT_TRUE(peer.has_value()) << name;
    ASSERT_GE(peer->count, 1) << name;
    // The login rule: the last counted entry is the machine the account is
    // logged in on, here this one, so a login there is not refused.
    EXPECT_TRUE(alice.IsOwnAddress(peer->entries[peer->count - 1].ip)) << name;
  }
  // Each listed registration is told apart by the address the server saw.
  const auto listedBob = alice.FindPeer("bob");
  EXPECT_EQ(listedBob->entries[listedBob->count].port, bob.LocalPort());
  const auto listedZhang = alice.FindPeer(kZhang);
  EXPECT_EQ(listedZhang->name, kZhang);
  EXPECT_EQ(listedZhang->entries[listedZhang->count].port, zhang.LocalPort());
}

TEST_F(RefServerRegistration, LogoutTakesTheAccountOffThePeerList) {
  MessageChannel& alice = Join("alice");
  MessageChannel& bob = Join("bob");
  ASSERT_EQ(alice.RequestPeerList(), 1);
  ASSERT_TRUE(alice.FindPeer("bob").has_value());

  bob.SendLogout();
  EXPECT_FALSE(bob.IsRegistered());
  ASSERT_EQ(alice.RequestPeerList(), 1);
  EXPECT_FALSE(alice.FindPeer("bob").has_value());
  EXPECT_TRUE(alice.FindPeer("alice").has_value());

  // The channel stays started: the next login registers again.
  EXPECT_EQ(bob.Register("bob", kServer), 1);
  ASSERT_EQ(alice.RequestPeerList(), 1);
  EXPECT_TRUE(alice.FindPeer("bob").has_value());
}

TEST_F(RefServerRegistration, StaysListedWhileAnsweringAliveChecks) {
  // The fixture's server checks every second and drops a client after three
  // unanswered checks; alice sees more checks than that. Nothing but the
  // checks comes to her meanwhile.
  MessageChannel& alice = Join("alice");
  const uint64_t before = alice.DatagramsDispatched();
  ASSERT_TRUE(WaitFor([&] { return alice.DatagramsDispatched() >= before + 4; }));
  ASSERT_EQ(alice.RequestPeerList(), 1);
  EXPECT_TRUE(alice.FindPeer("alice").has_value());
}

// --- task edit locks --------------------------------------------------------------

using RefServerLocks = RefServer;

TEST_F(RefServerLocks, LockTableIsLoadedAtRegistration) {
  const int32_t project = ProjectId(10);
  MessageChannel& alice = Join("alice");
  ASSERT_EQ(Claim(alice, "alice", project, "t1,t2"), 1);

  // Registered after the claim: only the lock-table load can tell bob.
  MessageChannel& bob = Join("bob");
  EXPECT_EQ(Blocker(bob, "bob", project, "t9,t2"), "alice");
  std::string holder;
  EXPECT_EQ(bob.CheckTaskLock("bob", "bob", project, "t2", holder), 0);
  EXPECT_EQ(bob.CheckTaskLock("alice", "alice", project, "t2", holder), 1);
  EXPECT_EQ(Blocker(bob, "bob", ProjectId(11), "t1,t2"), "");
}

TEST_F(RefServerLocks, ClaimIsPushedToTheOtherClient) {
  const int32_t project = ProjectId(20);
  MessageChannel& alice = Join("alice");
  MessageChannel& bob = Join("bob");
  const size_t before = bob.LockCount();

  ASSERT_EQ(Claim(alice, "alice", project, "a,b"), 1);
  EXPECT_TRUE(WaitFor([&] { return bob.LockCount() == before + 1; })) << bob.LockCount();
  EXPECT_EQ(Blocker(bob, "bob", project, "b"), "alice");
}

TEST_F(RefServerLocks, ConflictingClaimIsRefusedNamingTheHolder) {
  const int32_t project = ProjectId(30);
  MessageChannel& alice = Join("alice");
  MessageChannel& bob = Join("bob");
  ASSERT_EQ(Claim(alice, "alice", project, "x1,x2"), 1);

  EXPECT_EQ(Claim(bob, "bob", project, "x2,x3"), 2);
  EXPECT_EQ(bob.HolderName(), "alice");
  // Other tasks of the project, and the same tasks in another project, are free.
  EXPECT_EQ(Claim(bob, "bob", project, "x3"), 1);
  EXPECT_EQ(Claim(bob, "bob", ProjectId(31), "x1"), 1);
  // A holder's own claim on its own tasks is not a conflict.
  EXPECT_EQ(Claim(alice, "alice", project, "x1"), 1);
}

TEST_F(RefServerLocks, ReleaseLetsAnotherAccountClaim) {
  const int32_t project = ProjectId(40);
  MessageChannel& alice = Join("alice");
  MessageChannel& bob = Join("bob");
  ASSERT_EQ(Claim(alice, "alice", project, "r1"), 1);
  ASSERT_EQ(Claim(bob, "bob", project, "r1"), 2);

  EXPECT_EQ(Release(alice, "alice", project, "r1"), 1);
  EXPECT_EQ(Claim(bob, "bob", project, "r1"), 1);
  EXPECT_EQ(Claim(alice, "alice", project, "r1"), 2);
  EXPECT_EQ(alice.HolderName(), "bob");
}

TEST_F(RefServerLocks, ReleaseByAnotherAccountLeavesTheLock) {
  const int32_t project = ProjectId(45);
  MessageChannel& alice = Join("alice");
  MessageChannel& bob = Join("bob");
  ASSERT_EQ(Claim(alice, "alice", project, "k1"), 1);

  Release(bob, "bob", project, "k1");
  EXPECT_EQ(Claim(bob, "bob", project, "k1"), 2);
  EXPECT_EQ(bob.HolderName(), "alice");
}

TEST_F(RefServerLocks, ChineseAccountIsNamedAsHolder) {
  const int32_t project = ProjectId(50);
  MessageChannel& zhang = Join(kZhang);
  MessageChannel& alice = Join("alice");
  ASSERT_EQ(Claim(zhang, kZhang, project, "c1"), 1);

  EXPECT_EQ(Claim(alice, "alice", project, "c1,c2"), 2);
  EXPECT_EQ(alice.HolderName(), kZhang);
  EXPECT_TRUE(WaitFor([&] { return Blocker(alice, "alice", project, "c1") == kZhang; }));
  EXPECT_EQ(Blocker(zhang, kZhang, project, "c1"), "");
}

TEST_F(RefServerLocks, FullTaskListSurvivesTheRoundTrip) {
  // 200 UIDs of 38 characters: 7,799 bytes of the 8,000-byte slot.
  const int32_t project = ProjectId(60);
  std::string tasks;
  for (int i = 0; i < 200; ++i) {
    char uid[40];
    std::snprintf(uid, sizeof(uid), "{%08d-0000-4000-8000-%012d}", i, static_cast<int>(ProjectId(60)));
    if (i) tasks += ',';
    tasks += uid;
  }
  ASSERT_EQ(tasks.size(), 7799u);
  const std::string last = tasks.substr(tasks.rfind(',') + 1);

  MessageChannel& alice = Join("alice");
  ASSERT_EQ(Claim(alice, "alice", project, tasks), 1);
  MessageChannel& bob = Join("bob");
  EXPECT_EQ(Blocker(bob, "bob", project, last), "alice");
  EXPECT_EQ(Claim(bob, "bob", project, last), 2);
}

// --- resource assignments -----------------------------------------------------------

using RefServerResources = RefServer;

TEST_F(RefServerResources, FreeForTheFirstAskerThenTakenForAnother) {
  const std::string uuid = ProjectUuid(70);
  MessageChannel& alice = Join("alice");
  MessageChannel& bob = Join("bob");

  EXPECT_EQ(alice.QueryResource("alice", "alice", uuid, kStructure), 1);
  EXPECT_EQ(bob.QueryResource("bob", "bob", uuid, kStructure), 0);
  EXPECT_EQ(alice.QueryResource("alice", "alice", uuid, kStructure), 1);
  // Another specialty of the same project is a separate assignment.
  EXPECT_EQ(bob.QueryResource("bob", "bob", uuid, kPlumbing), 1);
  EXPECT_EQ(alice.QueryResource("alice", "alice", uuid, kPlumbing), 0);
}

}  // namespace
}  // namespace velmora
