// Runs the real velmora-msgserver on loopback with a system-chosen port and
// talks to it as a client would.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "messaging/ChannelCore.h"

extern char** environ;

namespace velmora::msg {
namespace {

// Bounds a wait so a broken server fails the test instead of hanging it.
constexpr int kPatienceMs = 10000;

class ServerProcess {
 public:
  explicit ServerProcess(std::vector<std::string> extraArgs) {
    int out[2];
    if (pipe(out) != 0) return;
    std::vector<std::string> args = {VELMORA_MSGSERVER_PATH, "--port", "0"};
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    stdout_ = out[0];
    if (pid_ > 0) port_ = ReadPort();
  }

  ~ServerProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (stdout_ >= 0) close(stdout_);
  }

  uint16_t port() const { return port_; }

  // Sends the signal and returns the exit status, or -1 if it did not exit.
  int Stop(int signal) {
    kill(pid_, signal);
    int status = 0;
    const pid_t done = waitpid(pid_, &status, 0);
    pid_ = -1;
    return done > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  // First line: "velmora-msgserver listening on 127.0.0.1:PORT".
  uint16_t ReadPort() {
    std::string line;
    char c = 0;
    pollfd fd{stdout_, POLLIN, 0};
    while (line.size() < 200 && poll(&fd, 1, kPatienceMs) == 1 && read(stdout_, &c, 1) == 1) {
      if (c == '\n') break;
      line += c;
    }
    const size_t colon = line.rfind(':');
    if (colon == std::string::npos) return 0;
    return static_cast<uint16_t>(std::stoi(line.substr(colon + 1)));
  }

  pid_t pid_ = -1;
  int stdout_ = -1;
  uint16_t port_ = 0;
};

class LoopbackClient {
 public:
  LoopbackClient() : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in address = Address(0);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~LoopbackClient() { close(fd_); }

  uint16_t port() const { return port_; }

  // Room for a few lock records only, whatever the system would grant.
  void NarrowBuffer() const {
    const int size = 64 * 1024;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  }

  void SendTo(uint16_t port, const std::vector<uint8_t>& datagram) const {
    const sockaddr_in to = Address(port);
    sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
           sizeof(to));
  }

  std::optional<std::vector<uint8_t>> Receive() const {
    pollfd fd{fd_, POLLIN, 0};
    if (poll(&fd, 1, kPatienceMs) != 1) return std::nullopt;
    std::vector<uint8_t> buffer(kReceiveBufferSize);
    const ssize_t got = recv(fd_, buffer.data(), buffer.size(), 0);
    if (got < 0) return std::nullopt;
    buffer.resize(static_cast<size_t>(got));
    return buffer;
  }

  // Next datagram of `type`, skipping others (such as pushed lock records).
  std::optional<std::vector<uint8_t>> ReceiveType(uint32_t type) const {
    for (int skipped = 0; skipped < 100; ++skipped) {
      auto datagram = Receive();
      if (!datagram || ReadType(datagram->data(), datagram->size()) == type) return datagram;
    }
    return std::nullopt;
  }

 private:
  static sockaddr_in Address(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }

  int fd_;
  uint16_t port_ = 0;
};

PeerRecord Own(const std::string& name, uint16_t port) {
  PeerRecord record;
  record.name = name;
  record.entries[0] = AddressEntry{Ipv4{127, 0, 0, 1}, port};
  record.count = 1;
  return record;
}

// Claims `count` locks of distinct tasks, each answered before the next.
void FillLocks(const LoopbackClient& loader, uint16_t port, int count) {
  for (int i = 0; i < count; ++i) {
    loader.SendTo(port, ChannelCore::MakeLockChange(true, "u" + std::to_string(i % 7), "User", 3,
                                                    "task-" + std::to_string(i)));
    ASSERT_TRUE(loader.ReceiveType(kMsgLockChangeDone).has_value()) << i;
  }
}

struct TableRead {
  std::set<std::string> keys;
  bool ended = false;
  int checks = 0;
};

struct Reader {
  bool answer = true;        // answers each alive check
  useconds_t pauseUs = 0;    // rests after each datagram
  size_t stallAt = 0;        // after this many datagrams (0: never) stops reading for
  useconds_t stallUs = 0;    //   this long
  size_t want = 0;           // reads on past an end until it has this many records
};

// Reads the lock table as the control does: records that come after the end
// are stored all the same.
TableRead ReadTable(const LoopbackClient& client, uint16_t port, const PeerRecord& own, const Reader& how) {
  TableRead read;
  size_t count = 0;
  while (const auto datagram = client.Receive()) {
    const uint32_t type = ReadType(datagram->data(), datagram->size());
    if (type == kMsgAliveCheck) {
      ++read.checks;
      if (how.answer) client.SendTo(port, MakeDatagram(kMsgAliveAnswer, own));
    } else if (type == kMsgLockTableEnd) {
      read.ended = true;
      if (read.keys.size() >= how.want) break;
    } else if (type == kMsgLockRecord) {
      read.keys.insert(LockKey(TaskLockRecord::Decode(datagram->data() + 4)));
    }
    if (how.pauseUs > 0) usleep(how.pauseUs);
    if (++count == how.stallAt) usleep(how.stallUs);
  }
  return read;
}

TEST(MsgServerProcess, RegistersListsAndSurvivesGarbage) {
  ServerProcess server({"--alive-interval", "0"});
  ASSERT_NE(server.port(), 0);
  LoopbackClient client;

  client.SendTo(server.port(), std::vector<uint8_t>(3, 0xFF));
  client.SendTo(server.port(), std::vector<uint8_t>(kReceiveBufferSize + 100, 0xCD));
  std::vector<uint8_t> cutClaim = MakeDatagram(kMsgLockClaim, TaskLockRecord{"x", "", 1, "t"});
  cutClaim.resize(100);
  client.SendTo(server.port(), cutClaim);

  client.SendTo(server.port(), MakeDatagram(kMsgRegister, Own("amy", client.port())));
  const auto granted = client.Receive();
  ASSERT_TRUE(granted.has_value());
  ASSERT_EQ(ReadType(granted->data(), granted->size()), 103u);
  const PeerRecord record = PeerRecord::Decode(granted->data() + 4);
  EXPECT_EQ(record.entries[1], (AddressEntry{Ipv4{127, 0, 0, 1}, client.port()}));

  client.SendTo(server.port(), MakeDatagram(kMsgPeerList, record));
  const auto listed = client.Receive();
  ASSERT_TRUE(listed.has_value());
  EXPECT_EQ(ReadType(listed->data(), listed->size()), 104u);
  const auto end = client.Receive();
  ASSERT_TRUE(end.has_value());
  EXPECT_EQ(ReadType(end->data(), end->size()), 105u);

  EXPECT_EQ(server.Stop(SIGTERM), 0);
}

// Every claim is answered, and the whole table reaches a client that answers
// the alive checks, right and in key order (a window sent again after an
// answer came late repeats records already read).
TEST(MsgServerProcess, TenThousandClaimsAnsweredAndTheTableSentInKeyOrder) {
  ServerProcess server({"--alive-interval", "0"});
  ASSERT_NE(server.port(), 0);
  LoopbackClient client;

  constexpr int kLocks = 10000;
  for (int i = 0; i < kLocks; ++i) {
    std::string tasks;
    for (int t = 0; t < 10; ++t) tasks += (t ? "," : "") + std::to_string(i) + "-" + std::to_string(t);
    client.SendTo(server.port(),
                  ChannelCore::MakeLockChange(true, "u" + std::to_string(i % 40), "User",
                                              i % 25, tasks));
    const auto done = client.Receive();
    ASSERT_TRUE(done.has_value()) << i;
    ASSERT_EQ(ReadType(done->data(), done->size()), 206u) << i;
  }

  size_t records = 0;
  std::string lastKey;
  std::set<std::string> keys;
  client.SendTo(server.port(), ChannelCore::MakeLockTableRequest());
  for (;;) {
    const auto datagram = client.Receive();
    if (!datagram) break;  // the end code itself was lost
    const uint32_t type = ReadType(datagram->data(), datagram->size());
    if (type == kMsgLockTableEnd) break;
    if (type == kMsgAliveCheck) {
      client.SendTo(server.port(), MakeDatagram(kMsgAliveAnswer, Own("reader", client.port())));
      continue;
    }
    ASSERT_EQ(type, kMsgLockRecord);
    ASSERT_EQ(datagram->size(), kLockDatagramSize);
    const TaskLockRecord lock = TaskLockRecord::Decode(datagram->data() + 4);
    const int claim = std::stoi(lock.tasks);  // the tasks begin with the claim's number
    ASSERT_EQ(lock.account, "u" + std::to_string(claim % 40));
    ASSERT_EQ(lock.projectId, claim % 25);
    const std::string key = LockKey(lock);
    if (key <= lastKey) {
      ASSERT_TRUE(keys.count(key)) << "after " << records << " records";
    }
    lastKey = key;
    keys.insert(key);
    ++records;
  }
  EXPECT_EQ(keys.size(), static_cast<size_t>(kLocks));
  std::printf("lock table: %zu of %d records arrived, %zu sent again\n", keys.size(), kLocks,
              records - keys.size());
  EXPECT_EQ(server.Stop(SIGINT), 0);
}

// A client that missed the end of the table asks again, as the control does
// when its records stop growing, and reads what comes: every lock reaches it,
// at whatever pace the server slows down to.
TEST(MsgServerProcess, AClientThatAsksAgainGetsTheWholeTable) {
  ServerProcess server({"--alive-interval", "0", "--pace-rate", "2048"});
  ASSERT_NE(server.port(), 0);
  LoopbackClient loader, client;
  constexpr size_t kLocks = 200;
  for (size_t i = 0; i < kLocks; ++i) {
    loader.SendTo(server.port(), ChannelCore::MakeLockChange(true, "u" + std::to_string(i % 7), "User", 3,
                                                             "task-" + std::to_string(i)));
    ASSERT_TRUE(loader.ReceiveType(kMsgLockChangeDone).has_value()) << i;
  }
  client.NarrowBuffer();
  client.SendTo(server.port(), MakeDatagram(kMsgRegister, Own("slow", client.port())));
  ASSERT_TRUE(client.ReceiveType(kMsgRegistered).has_value());

  // Reads nothing while the table comes: its buffer overflows, and the end
  // is lost with most records.
  client.SendTo(server.port(), ChannelCore::MakeLockTableRequest());
  usleep(1000 * 1000);
  std::set<std::string> keys;
  bool ended = false;
  for (int ask = 2; ask <= 5 && !(ended && keys.size() == kLocks); ++ask) {
    client.SendTo(server.port(), ChannelCore::MakeLockTableRequest());
    ended = false;
    while (const auto datagram = client.Receive()) {
      const uint32_t type = ReadType(datagram->data(), datagram->size());
      if (type == kMsgLockTableEnd) {
        ended = true;
        break;
      }
      if (type == kMsgAliveCheck) {
        client.SendTo(server.port(), MakeDatagram(kMsgAliveAnswer, Own("slow", client.port())));
        continue;
      }
      ASSERT_EQ(type, kMsgLockRecord);
      keys.insert(LockKey(TaskLockRecord::Decode(datagram->data() + 4)));
    }
  }
  EXPECT_TRUE(ended);
  EXPECT_EQ(keys.size(), kLocks);
  EXPECT_EQ(server.Stop(SIGTERM), 0);
}

// Clients with the buffer the system gives by default still get every
// record: one that takes its time over every datagram, since each window
// waits until it has read the one before; and one stalled long enough to be
// taken for one that never answers (a loaded machine), which gets the table
// without checks and overflows, since its answers when it reads on bring
// again what it may have lost.
TEST(MsgServerProcess, SlowAndStalledClientsWithAStockBufferGetEveryRecord) {
  struct Case {
    const char* name;
    int locks;
    Reader how;
  };
  const Case cases[] = {
      {"slow", 10000, Reader{true, 200}},
      {"stalled", 2000, Reader{true, 0, 100, 3000 * 1000, 2000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServerProcess server({"--alive-interval", "0"});
    ASSERT_NE(server.port(), 0);
    LoopbackClient loader, client;
    FillLocks(loader, server.port(), c.locks);
    const PeerRecord own = Own(c.name, client.port());
    client.SendTo(server.port(), MakeDatagram(kMsgRegister, own));
    ASSERT_TRUE(client.ReceiveType(kMsgRegistered).has_value());
    client.SendTo(server.port(), ChannelCore::MakeLockTableRequest());
    const TableRead read = ReadTable(client, server.port(), own, c.how);
    EXPECT_TRUE(read.ended);
    EXPECT_EQ(read.keys.size(), static_cast<size_t>(c.locks));
    EXPECT_EQ(server.Stop(SIGTERM), 0);
  }
}

// A client that never answers the checks gets its table all the same, after a
// few unanswered checks, at a pace a client reading at once keeps up with.
TEST(MsgServerProcess, ClientThatNeverAnswersStillGetsTheTableAndTheEnd) {
  ServerProcess server({"--alive-interval", "0", "--pace-rate", "8192"});
  ASSERT_NE(server.port(), 0);
  LoopbackClient loader, client;
  constexpr int kLocks = 300;
  FillLocks(loader, server.port(), kLocks);
  client.SendTo(server.port(), ChannelCore::MakeLockTableRequest());
  const TableRead read = ReadTable(client, server.port(), Own("mute", client.port()), Reader{false});
  EXPECT_TRUE(read.ended);
  EXPECT_EQ(read.keys.size(), static_cast<size_t>(kLocks));
  EXPECT_GT(read.checks, 0);
  EXPECT_EQ(server.Stop(SIGTERM), 0);
}

TEST(MsgServerProcess, SendsAliveChecksToRegisteredClients) {
  ServerProcess server({"--alive-interval", "1"});
  ASSERT_NE(server.port(), 0);
  LoopbackClient client;
  client.SendTo(server.port(), MakeDatagram(kMsgRegister, Own("amy", client.port())));
  ASSERT_TRUE(client.ReceiveType(kMsgRegistered).has_value());
  const auto check = client.ReceiveType(kMsgAliveCheck);
  ASSERT_TRUE(check.has_value());
  EXPECT_EQ(check->size(), kShortDatagramSize);
  EXPECT_EQ(server.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace velmora::msg
