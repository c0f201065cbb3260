// Figures for the message channel under Wine against reference message
// servers on loopback (started by run-bench.sh): registration cost, loading a
// large lock table at registration beside a bare receive loop fed by a native
// sender, lock questions and the receive thread's dispatch rate; and what the
// diagnostic trace adds to a member call. Prints a markdown table; the exit
// status reports only real faults (a request never answered, a claim of the
// loader refused, a receive thread that dispatches nothing), never how fast
// or how often at the first try the steps were: a busy machine changes those
// figures, not the result.
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "common/Raii.h"
#include "common/Trace.h"
#include "control/VelmoraCtl.h"
#include "messaging/ChannelCore.h"
#include "messaging/LockTable.h"
#include "messaging/MessageChannel.h"
#include "messaging/Records.h"

namespace {

using namespace velmora::bench;

using velmora::MessageChannel;
namespace msg = velmora::msg;

struct LoadedServer {
  std::string address;
  std::string label;
};

struct Args {
  std::string empty;                 // server with an empty lock table
  std::vector<LoadedServer> loaded;  // servers to fill with locks
  int locks = 10000;
  int rounds = 20;
  int queries = 20000;
  int blast = 200000;
  int seconds = 120;  // limit of each load loop
  int window = 64;    // blast datagrams in flight
  // Receive buffer limit of a second reader of the first loaded server, as
  // on a machine with the stock limit; 0: no such reader.
  int stockBuffer = 212992;
  // The native record sender for the bare receive loop (ADDR:PORT), the
  // label of the loaded server set beside it, and how many records it sends.
  std::string bare;
  std::string bareBeside;
  int bareRecords = 500000;
};

// How long a request may go unanswered before it counts as never answered;
// meanwhile it is sent again every kResendMs, as a control would.
constexpr double kPatienceMs = 30000;
constexpr int kResendMs = 500;

bool ParseArgs(int argc, char** argv, Args& args) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i], value = argv[i + 1];
    if (name == "--empty") {
      args.empty = value;
    } else if (name == "--loaded") {
      const size_t equals = value.find('=');
      args.loaded.push_back({value.substr(0, equals),
                             equals == std::string::npos ? value : value.substr(equals + 1)});
    } else if (name == "--locks") {
      args.locks = std::atoi(value.c_str());
    } else if (name == "--rounds") {
      args.rounds = std::atoi(value.c_str());
    } else if (name == "--queries") {
      args.queries = std::atoi(value.c_str());
    } else if (name == "--blast") {
      args.blast = std::atoi(value.c_str());
    } else if (name == "--window") {
      args.window = std::atoi(value.c_str());
    } else if (name == "--seconds") {
      args.seconds = std::atoi(value.c_str());
    } else if (name == "--stock-buffer") {
      args.stockBuffer = std::atoi(value.c_str());
    } else if (name == "--bare") {
      const size_t equals = value.find('=');
      args.bare = value.substr(0, equals);
      if (equals != std::string::npos) args.bareBeside = value.substr(equals + 1);
    } else if (name == "--bare-records") {
      args.bareRecords = std::atoi(value.c_str());
    } else {
      return false;
    }
  }
  // Without servers only the bare receive loop runs.
  if (argc % 2 == 0 || (args.empty.empty() && args.bare.empty()) || args.locks < 1 || args.rounds < 1 ||
      args.queries < 1 || args.blast < 1 || args.seconds < 1 || args.bareRecords < 1)
    return false;
  // Everything here is sent to these addresses: loopback only.
  if (!args.empty.empty() && !IsLoopback(args.empty)) return false;
  if (!args.bare.empty() && !IsLoopback(args.bare.substr(0, args.bare.find(':')))) return false;
  for (const LoadedServer& server : args.loaded) {
    if (!IsLoopback(server.address)) return false;
  }
  return true;
}

struct Stats {
  double median = 0, mean = 0, min = 0, max = 0;
};

Stats Summarize(std::vector<double> values) {
  Stats s;
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  s.mean = std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(n);
  s.min = values.front();
  s.max = values.back();
  return s;
}

// Ten task UIDs per lock, unique to the lock; `absent` gives UIDs no lock has.
std::string Tasks(int lock, bool absent = false) {
  std::string tasks;
  char uid[48];
  for (int t = 0; t < 10; ++t) {
    std::snprintf(uid, sizeof(uid), "{%08X-%04X-4000-8000-%012X}", lock, t, absent ? 1 : 0);
    if (t) tasks += ',';
    tasks += uid;
  }
  return tasks;
}

std::string LoadAccount(int lock) { return Format("ld%02d", lock % 50); }
int32_t LoadProject(int lock) { return 900000 + lock % 25; }

// --- a plain UDP socket on loopback, for the loader and the blaster ----------

class LoopbackSocket {
 public:
  LoopbackSocket() : socket_(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (socket_ != INVALID_SOCKET &&
        bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
      closesocket(socket_);
      socket_ = INVALID_SOCKET;
    }
  }
  ~LoopbackSocket() {
    if (socket_ != INVALID_SOCKET) closesocket(socket_);
  }
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;

  bool ok() const { return socket_ != INVALID_SOCKET; }

  bool SendTo(const std::string& address, uint16_t port, const std::vector<uint8_t>& datagram) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = inet_addr(address.c_str());
    return sendto(socket_, reinterpret_cast<const char*>(datagram.data()),
                  static_cast<int>(datagram.size()), 0, reinterpret_cast<sockaddr*>(&to),
                  sizeof(to)) == static_cast<int>(datagram.size());
  }

  // Asks for a buffer as large as the channel's, so what a client misses is
  // the server's doing.
  void WidenBuffer() {
    const int asked = 4 * 1024 * 1024;
    setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&asked), sizeof(asked));
  }

  // Type code of the next datagram, or 0 when none came within `timeoutMs`.
  uint32_t ReceiveType(int timeoutMs) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket_, &readable);
    timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    if (select(0, &readable, nullptr, nullptr, &timeout) != 1) return 0;
    char buffer[msg::kReceiveBufferSize];
    const int got = recv(socket_, buffer, sizeof(buffer), 0);
    if (got < 4) return 0;
    return msg::ReadType(reinterpret_cast<const uint8_t*>(buffer), static_cast<size_t>(got));
  }

 private:
  SOCKET socket_;
};

// --- registration against an empty lock table --------------------------------

// Calls a channel request (which gives up after its own five sends) again
// until it succeeds or kPatienceMs has passed. True when it succeeded; the
// calls made again are added to `retries`.
template <typename Request>
bool Patiently(Request request, int& retries) {
  const double deadline = NowMs() + kPatienceMs;
  for (bool first = true;; first = false) {
    if (!first) ++retries;
    if (request()) return true;
    if (NowMs() >= deadline) return false;
  }
}

bool BenchRegister(const Args& args) {
  MessageChannel channel;
  if (channel.Start(0) != 1) return false;
  std::vector<double> registers, changes;
  int retries = 0;
  bool ok = true;
  for (int round = 0; round < args.rounds && ok; ++round) {
    const double start = NowMs();
    ok = Patiently([&] { return channel.Register("bench", args.empty) == 1; }, retries);
    registers.push_back(NowMs() - start);

    const double claimStart = NowMs();
    for (bool claim : {true, false}) {
      auto change = [&] { return channel.RequestLockChange("bench", "bench", 1, "t1,t2", claim) == 1; };
      ok = ok && Patiently(change, retries);
    }
    changes.push_back((NowMs() - claimStart) / 2);
    channel.SendLogout();
  }
  const Stats r = Summarize(registers), c = Summarize(changes);
  Row(Format("Register, empty lock table (%d rounds)", args.rounds),
      Format("median %.2f ms, mean %.2f ms (min %.2f, max %.2f)", r.median, r.mean, r.min, r.max));
  Row("Lock claim or release round trip",
      Format("median %.2f ms, mean %.2f ms (max %.2f)", c.median, c.mean, c.max));
  Row("Requests the channel gave up on and were made again", Format("%d", retries));
  if (!ok) std::fprintf(stderr, "velmora_channel_bench: a register, claim or release was never answered\n");
  return ok;
}

// --- a large lock table ----------------------------------------------------------

// Claims args.locks locks, one at a time, each sent again every kResendMs
// while unanswered; stops at the time limit. Returns the number the server
// accepted; `fault` tells a claim never answered or refused (the loader's
// tasks are its own, so nothing may block them).
int LoadLocks(const Args& args, const std::string& server, double& seconds, int& resends, std::string& fault) {
  LoopbackSocket loader;
  if (!loader.ok()) {
    fault = "no loader socket";
    return 0;
  }
  const double start = NowMs(), deadline = start + args.seconds * 1000.0;
  int accepted = 0;
  resends = 0;
  for (int lock = 0; lock < args.locks && NowMs() < deadline; ++lock) {
    const auto claim = msg::ChannelCore::MakeLockChange(true, LoadAccount(lock), "Loader",
                                                        LoadProject(lock), Tasks(lock));
    const double patience = NowMs() + kPatienceMs;
    uint32_t answer = 0;
    for (bool first = true; answer == 0 && NowMs() < patience; first = false) {
      if (!first) ++resends;
      loader.SendTo(server, msg::kServerPort, claim);
      answer = loader.ReceiveType(kResendMs);
    }
    if (answer != msg::kMsgLockChangeDone) {
      fault = answer == 0 ? Format("claim %d was never answered", lock)
                          : Format("claim %d was answered with type %u", lock, static_cast<unsigned>(answer));
      break;
    }
    ++accepted;
  }
  seconds = (NowMs() - start) / 1000.0;
  return accepted;
}

// Registers `reader` with a loaded server: how long, how fast its receive
// thread dispatched while the table came (from the first record to the last,
// so the wait for a lost end marker does not count) and how many records it
// missed. `bufferLimit` caps its receive buffer (0: the channel's own choice).
// The dispatch rate goes to `rate`.
bool ReadTable(MessageChannel& reader, const LoadedServer& server, const std::string& name, int accepted,
               int bufferLimit, bool summarize, double& rate) {
  if (bufferLimit > 0) reader.SetReceiveBufferLimit(bufferLimit);
  if (reader.Start(0) != 1) return false;
  const uint64_t dispatchedBefore = reader.DatagramsDispatched();
  std::atomic<bool> done{false};
  double firstMs = 0, lastMs = 0;
  uint64_t seen = dispatchedBefore;
  std::thread watcher([&] {
    while (!done) {
      const uint64_t now = reader.DatagramsDispatched();
      if (now != seen) {
        if (firstMs == 0) firstMs = NowMs();
        lastMs = NowMs();
        seen = now;
      }
      Sleep(1);
    }
  });
  const double start = NowMs();
  int retries = 0;
  const bool registered = Patiently([&] { return reader.Register(name, server.address) == 1; }, retries);
  const double elapsed = NowMs() - start;
  done = true;
  watcher.join();
  const uint64_t dispatched = reader.DatagramsDispatched() - dispatchedBefore;
  const double loadSeconds = std::max(lastMs - firstMs, 1.0) / 1000.0;
  const long long lost = static_cast<long long>(accepted) - static_cast<long long>(reader.LockCount());
  rate = static_cast<double>(dispatched) / loadSeconds;
  const std::string buffer =
      bufferLimit > 0 ? Format("receive buffer limited to %d, got %d", bufferLimit, reader.ReceiveBufferBytes())
                      : Format("receive buffer %d", reader.ReceiveBufferBytes());
  Row(Format("[%s] Register loading %d locks (%s)", server.label.c_str(), accepted, buffer.c_str()),
      Format("%.2f s, %lld lost; %.0f datagrams dispatched/s while the table came (%llu in %.2f s); "
             "%d registrations made again",
             elapsed / 1000.0, lost, rate,
             static_cast<unsigned long long>(dispatched), loadSeconds, retries));
  if (summarize) {
    Summary(Format("Register loading %d locks, %s, %s", accepted, server.label.c_str(),
                   bufferLimit > 0 ? Format("receive buffer limit %d", bufferLimit).c_str()
                                   : "largest receive buffer"),
            Format("%.2f s, %lld lost", elapsed / 1000.0, lost));
    Summary(Format("Lock records dispatched per second while the table loads (%s%s)", server.label.c_str(),
                   bufferLimit > 0 ? ", limited buffer" : ""),
            Format("%.0f", rate));
  }
  if (!registered) {
    std::fprintf(stderr, "velmora_channel_bench: [%s] the %s's registration was never answered\n",
                 server.label.c_str(), name.c_str());
    return false;
  }
  return true;
}

// `loadRate`: lock records the reader's receive thread dispatched per second
// while the table came.
bool BenchLoaded(const Args& args, const LoadedServer& server, bool first, double& loadRate) {
  double loadSeconds = 0;
  int resends = 0;
  std::string fault;
  const int accepted = LoadLocks(args, server.address, loadSeconds, resends, fault);
  Row(Format("[%s] locks stored by the loader (claims, one at a time)", server.label.c_str()),
      Format("%d of %d in %.1f s, %d resends%s", accepted, args.locks, loadSeconds, resends,
             accepted < args.locks && fault.empty() ? " (time limit)" : ""));
  if (!fault.empty()) {
    std::fprintf(stderr, "velmora_channel_bench: [%s] %s\n", server.label.c_str(), fault.c_str());
    return false;
  }
  if (accepted == 0) return true;

  MessageChannel reader;
  if (!ReadTable(reader, server, "reader", accepted, 0, first, loadRate)) return false;
  const size_t held = reader.LockCount();
  if (first && args.stockBuffer > 0) {
    MessageChannel stock;
    double stockRate = 0;
    if (!ReadTable(stock, server, "stock", accepted, args.stockBuffer, first, stockRate)) return false;
  }

  // Half the questions hit a lock held by someone else, half name ten task
  // UIDs that no lock lists. The texts are made beforehand: only the
  // question is timed.
  struct Query {
    int32_t project;
    std::string tasks;
  };
  std::vector<Query> queries;
  queries.reserve(static_cast<size_t>(args.queries));
  for (int q = 0; q < args.queries; ++q) {
    const int lock = static_cast<int>((static_cast<long long>(q) * 7919) % accepted);
    queries.push_back({LoadProject(lock), Tasks(lock, q % 2 == 1)});
  }
  int blocked = 0;
  std::string holder;
  const double queryStart = NowMs();
  for (const Query& query : queries) {
    if (reader.CheckTaskLock("reader", "reader", query.project, query.tasks, holder) == 0) ++blocked;
  }
  const double perQueryUs = (NowMs() - queryStart) * 1000.0 / args.queries;
  Row(Format("[%s] CheckTaskLock (mean of %d)", server.label.c_str(), args.queries),
      Format("%.1f us (%d blocked, of %d expected)", perQueryUs, blocked, (args.queries + 1) / 2));
  if (first) Summary(Format("CheckTaskLock with %zu locks held, under Wine", held), Format("%.2f us", perQueryUs));
  Row(Format("[%s] LockTableBytes", server.label.c_str()),
      Format("%.2f MiB for %zu locks", reader.LockTableBytes() / (1024.0 * 1024.0), held));
  return true;
}

// --- the table's limit: a bare receive loop ----------------------------------------

// What a table load could reach under this Wine: a plain blocking receive
// loop with a large buffer that does nothing with what comes, fed by the
// native sender (velmora_record_sender_host at args.bare) as fast as it
// sends. Records lost to a full buffer do not matter: the loop receives all
// along, from the first record to the last. Set beside `channelRate`, the
// channel's rate while the table came from the server labelled
// args.bareBeside (0: not measured in this run). A sender that never
// answers leaves the figure out; it is no fault of the channel.
void BenchBare(const Args& args, double channelRate) {
  velmora::UniqueSocket receiver(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const size_t colon = args.bare.find(':');
  sockaddr_in sender{};
  sender.sin_family = AF_INET;
  sender.sin_addr.s_addr = inet_addr(args.bare.substr(0, colon).c_str());
  sender.sin_port = htons(static_cast<u_short>(colon == std::string::npos ? 0 : std::atoi(args.bare.c_str() + colon + 1)));
  const int asked = 16 * 1024 * 1024;
  const DWORD timeoutMs = 1000;
  int got = 0, gotSize = sizeof(got);
  const std::string go = Format("go %d", args.bareRecords);
  if (!receiver || bind(receiver.get(), reinterpret_cast<sockaddr*>(&at), sizeof(at)) != 0 ||
      setsockopt(receiver.get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&asked), sizeof(asked)) != 0 ||
      getsockopt(receiver.get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&got), &gotSize) != 0 ||
      setsockopt(receiver.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
                 sizeof(timeoutMs)) != 0 ||
      sendto(receiver.get(), go.data(), static_cast<int>(go.size()), 0, reinterpret_cast<sockaddr*>(&sender),
             sizeof(sender)) != static_cast<int>(go.size())) {
    Row("Bare receive loop", Format("not measured (socket error %d)", WSAGetLastError()));
    return;
  }
  std::vector<char> buffer(msg::kReceiveBufferSize);
  long long received = 0;
  double firstMs = 0, lastMs = 0;
  const double start = NowMs();
  while (received < args.bareRecords) {
    const int length = recvfrom(receiver.get(), buffer.data(), static_cast<int>(buffer.size()), 0, nullptr, nullptr);
    if (length == static_cast<int>(msg::kLockDatagramSize)) {
      lastMs = NowMs();
      if (received++ == 0) firstMs = lastMs;
      continue;
    }
    if (length >= 0) continue;
    // A second without a record ends the burst; before the first, the
    // sender is given a few. Nobody at the sender's port shows as a reset.
    const int error = WSAGetLastError();
    if (error == WSAECONNRESET) continue;
    if (error != WSAETIMEDOUT || received > 0 || NowMs() - start > 5000) break;
  }
  if (received == 0) {
    Row("Bare receive loop", Format("not measured (nothing came from %s)", args.bare.c_str()));
    std::fprintf(stderr, "velmora_channel_bench: no lock records came from the sender at %s\n", args.bare.c_str());
    return;
  }
  const double seconds = std::max(lastMs - firstMs, 1.0) / 1000.0;
  const double bareRate = static_cast<double>(received) / seconds;
  Row(Format("Bare receive loop, %zu-byte lock records from a native sender (receive buffer %d)",
             msg::kLockDatagramSize, got),
      Format("%.0f per s (%lld of %d arrived, in %.2f s)", bareRate, received, args.bareRecords, seconds));
  const std::string channel = channelRate > 0 ? Format("%.0f", channelRate) : std::string("not measured");
  const std::string ratio = channelRate > 0 ? Format("%.2f", channelRate / bareRate) : std::string("-");
  Summary(Format("Lock records received per second: the control's channel while the table loads (%s) / "
                 "a bare Winsock receive loop",
                 args.bareBeside.empty() ? "no server" : args.bareBeside.c_str()),
          Format("%s / %.0f (ratio %s; the bare loop got %lld of %d sent)", channel.c_str(), bareRate, ratio.c_str(),
                 received, args.bareRecords));
}

// --- the receive thread's dispatch rate ------------------------------------------

bool BenchDispatch(const Args& args) {
  MessageChannel channel;
  LoopbackSocket sender;
  if (channel.Start(0) != 1 || !sender.ok()) return false;
  // 111, an acknowledgement: dispatched, with no effect and nothing sent back.
  const std::vector<uint8_t> datagram = msg::MakeDatagram(msg::kMsgPeerTextAck, msg::PeerRecord{});
  // A bounded number in flight, so the socket buffer never overflows and
  // the figure is the thread's own pace.
  const uint64_t kWindow = static_cast<uint64_t>(args.window);
  const uint64_t base = channel.DatagramsDispatched();
  auto dispatched = [&] { return channel.DatagramsDispatched() - base; };
  // Datagrams up to `writtenOff` are taken as gone when nothing moved for a
  // while, so the sender goes on; a late one still counts as dispatched.
  uint64_t sent = 0, writtenOff = 0, lastSeen = 0;
  double lastProgress = NowMs();
  const double start = NowMs(), deadline = start + args.seconds * 1000.0;
  while (sent < static_cast<uint64_t>(args.blast) && NowMs() < deadline) {
    const uint64_t done = dispatched();
    if (done != lastSeen) {
      lastSeen = done;
      lastProgress = NowMs();
    }
    if (sent - std::max(done, writtenOff) < kWindow) {
      sender.SendTo("127.0.0.1", channel.LocalPort(), datagram);
      ++sent;
      continue;
    }
    if (NowMs() - lastProgress > 200) {
      writtenOff = sent;
      lastProgress = NowMs();
    }
    SwitchToThread();
  }
  // The stragglers: until all are in or nothing has moved for a second.
  while (dispatched() < sent && NowMs() - lastProgress < 1000) {
    if (dispatched() != lastSeen) {
      lastSeen = dispatched();
      lastProgress = NowMs();
    }
    Sleep(1);
  }
  const uint64_t done = dispatched();
  const double seconds = std::max(lastProgress - start, 1.0) / 1000.0;
  Row(Format("Datagrams dispatched by the receive thread (%llu of %d x 72 bytes sent, %llu in flight)",
             static_cast<unsigned long long>(sent), args.blast, static_cast<unsigned long long>(kWindow)),
      Format("%.0f per s (%llu dispatched, %llu lost, %.2f s)", static_cast<double>(done) / seconds,
             static_cast<unsigned long long>(done), static_cast<unsigned long long>(sent - done), seconds));
  Summary("72-byte datagrams dispatched per second by the receive thread",
          Format("%.0f (%llu lost)", static_cast<double>(done) / seconds,
                 static_cast<unsigned long long>(sent - done)));
  if (done == 0) std::fprintf(stderr, "velmora_channel_bench: the receive thread dispatched nothing\n");
  return done > 0;
}

// --- many registered clients claiming ------------------------------------------------

// Sends `request` from `client` every kResendMs until a datagram of type
// `answer` comes back or kPatienceMs has passed; other datagrams (lock
// records the server pushes) are passed over. The sends made again are
// added to `resends`.
bool AskPatiently(LoopbackSocket& client, const std::string& server, const std::vector<uint8_t>& request,
                  uint32_t answer, int& resends) {
  const double deadline = NowMs() + kPatienceMs;
  for (bool first = true; NowMs() < deadline; first = false) {
    if (!first) ++resends;
    client.SendTo(server, msg::kServerPort, request);
    for (const double resend = NowMs() + kResendMs; NowMs() < resend;) {
      if (client.ReceiveType(static_cast<int>(std::max(resend - NowMs(), 1.0))) == answer) return true;
    }
  }
  return false;
}

// Registers `count` clients; all claim at once, and then one claims on its
// own, one claim after another: how many of the simultaneous claims are
// answered before a control would resend (500 ms), and what one claim costs
// while the server pushes each lock to every client. A claim never answered
// fails the step; a late answer is a figure.
bool BenchClients(const Args& args, int count) {
  std::vector<std::unique_ptr<LoopbackSocket>> clients;
  int resends = 0;
  for (int c = 0; c < count; ++c) {
    clients.push_back(std::make_unique<LoopbackSocket>());
    LoopbackSocket& client = *clients.back();
    if (!client.ok()) return false;
    client.WidenBuffer();
    msg::PeerRecord own;
    own.name = Format("c%dn%03d", count, c);
    if (!AskPatiently(client, args.empty, msg::MakeDatagram(msg::kMsgRegister, own), msg::kMsgRegistered, resends)) {
      std::fprintf(stderr, "velmora_channel_bench: client %d of %d was never registered\n", c, count);
      return false;
    }
  }

  std::vector<std::vector<uint8_t>> claims;
  for (int c = 0; c < count; ++c) {
    claims.push_back(msg::ChannelCore::MakeLockChange(true, Format("c%03d", c), "Client", 700 + count,
                                                      Format("burst-%d", c)));
  }
  std::vector<bool> answered(static_cast<size_t>(count), false);
  int answeredCount = 0;
  // Reads what has come to each client still waiting for its answer; the
  // locks the server pushes meanwhile are passed over.
  auto collect = [&] {
    for (int c = 0; c < count; ++c) {
      for (uint32_t type; !answered[c] && (type = clients[c]->ReceiveType(0)) != 0;) {
        if (type == msg::kMsgLockChangeDone) {
          answered[c] = true;
          ++answeredCount;
        }
      }
    }
  };
  const double start = NowMs();
  for (int c = 0; c < count; ++c) clients[c]->SendTo(args.empty, msg::kServerPort, claims[c]);
  // The figure: what the sockets hold just before a control would resend.
  Sleep(kResendMs - 50);
  collect();
  const int beforeResend = answeredCount;
  // Then the rest, sent again like a control would, each only after all
  // that had come for it was read; never answered within kPatienceMs is
  // the fault.
  int burstResends = 0;
  double lastResend = NowMs();
  while (answeredCount < count && NowMs() - start < kPatienceMs) {
    collect();
    if (answeredCount == count || NowMs() - lastResend < kResendMs) {
      Sleep(1);
      continue;
    }
    for (int c = 0; c < count; ++c) {
      if (answered[c]) continue;
      clients[c]->SendTo(args.empty, msg::kServerPort, claims[c]);
      ++burstResends;
    }
    lastResend = NowMs();
  }
  Row(Format("%d registered clients claim at once: answered before a resend", count),
      Format("%d of %d (%d answered within %.1f s, %d claims and %d registrations sent again)", beforeResend,
             count, answeredCount, (NowMs() - start) / 1000.0, burstResends, resends));
  if (answeredCount < count) {
    std::fprintf(stderr, "velmora_channel_bench: %d of %d simultaneous claims were never answered\n",
                 count - answeredCount, count);
    return false;
  }
  // The pushed locks still queued would be counted in the rounds below.
  for (auto& client : clients) {
    while (client->ReceiveType(0) != 0) {
    }
  }

  std::vector<double> rounds;
  LoopbackSocket& claimer = *clients.front();
  int roundResends = 0;
  for (int round = 0; round < args.rounds; ++round) {
    const auto claim = msg::ChannelCore::MakeLockChange(true, "c000", "Client", 800 + count,
                                                        Format("one-%d", round));
    const double roundStart = NowMs();
    if (!AskPatiently(claimer, args.empty, claim, msg::kMsgLockChangeDone, roundResends)) {
      std::fprintf(stderr, "velmora_channel_bench: a claim among %d clients was never answered\n", count);
      return false;
    }
    rounds.push_back(NowMs() - roundStart);
    for (auto& client : clients) {
      while (client->ReceiveType(0) != 0) {
      }
    }
  }
  const Stats r = Summarize(rounds);
  Row(Format("Claim round trip, %d registered clients (%d claims in turn)", count, args.rounds),
      Format("median %.2f ms, mean %.2f ms (max %.2f, %d resends)", r.median, r.mean, r.max, roundResends));
  if (count >= 200) {
    Summary(Format("Claim round trip with %d registered clients", count),
            Format("median %.2f ms (max %.2f)", r.median, r.max));
  }
  return true;
}

// --- where a received datagram's time goes --------------------------------------

// Mean microseconds per call of `step` over `n` calls.
template <typename Step>
double PerCallUs(int n, Step step) {
  const double start = NowMs();
  for (int i = 0; i < n; ++i) step(i);
  return (NowMs() - start) * 1000.0 / n;
}

// The receive thread's work for one datagram, step by step, in this
// process: the receive itself (datagrams already queued, so the call returns
// at once, as within a burst), reading a lock record in place, storing it,
// the whole decision for it, and taking and leaving the channel lock.
bool BenchProfile(int records) {
  const int n = std::min(records, 4000);
  SOCKET receiver = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED);
  LoopbackSocket sender;
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int atSize = sizeof(at);
  const int buffer = 16 * 1024 * 1024;
  if (receiver == INVALID_SOCKET || !sender.ok() ||
      bind(receiver, reinterpret_cast<sockaddr*>(&at), sizeof(at)) != 0 ||
      getsockname(receiver, reinterpret_cast<sockaddr*>(&at), &atSize) != 0) {
    if (receiver != INVALID_SOCKET) closesocket(receiver);
    return false;
  }
  setsockopt(receiver, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&buffer), sizeof(buffer));
  WSAEVENT event = WSACreateEvent();
  std::vector<char> into(msg::kReceiveBufferSize);
  // Queues `count` datagrams, then receives them the way the receive thread
  // does; returns microseconds per receive (0 when one did not come).
  auto receiveQueued = [&](const std::vector<uint8_t>& datagram, int count) {
    for (int i = 0; i < count; ++i) sender.SendTo("127.0.0.1", ntohs(at.sin_port), datagram);
    Sleep(200);
    int got = 0;
    const double us = PerCallUs(count, [&](int) {
      WSAOVERLAPPED overlapped{};
      overlapped.hEvent = event;
      WSABUF chunk{static_cast<ULONG>(into.size()), into.data()};
      DWORD received = 0, flags = 0;
      sockaddr_in from{};
      int fromSize = sizeof(from);
      int rc = WSARecvFrom(receiver, &chunk, 1, &received, &flags, reinterpret_cast<sockaddr*>(&from), &fromSize,
                           &overlapped, nullptr);
      if (rc != 0 && WSAGetLastError() == WSA_IO_PENDING) {
        if (WaitForSingleObject(event, 1000) != WAIT_OBJECT_0) CancelIoEx(reinterpret_cast<HANDLE>(receiver), &overlapped);
        rc = WSAGetOverlappedResult(receiver, &overlapped, &received, TRUE, &flags) ? 0 : -1;
      }
      if (rc == 0) ++got;
    });
    return got == count ? us : 0.0;
  };
  const double shortUs = receiveQueued(msg::MakeDatagram(msg::kMsgPeerTextAck, msg::PeerRecord{}), 200);
  const double lockUs = receiveQueued(msg::MakeDatagram(msg::kMsgLockRecord, msg::TaskLockRecord{"ld01", "Loader", 1, Tasks(1)}), 200);
  WSACloseEvent(event);
  closesocket(receiver);

  std::vector<std::vector<uint8_t>> datagrams;
  for (int i = 0; i < n; ++i) {
    datagrams.push_back(msg::MakeDatagram(
        msg::kMsgLockRecord, msg::TaskLockRecord{LoadAccount(i), "Loader", LoadProject(i), Tasks(i)}));
  }
  size_t sink = 0;
  const double readUs = PerCallUs(n, [&](int i) {
    sink += msg::TaskLockView::Read(datagrams[i].data() + msg::kTypeCodeSize).tasks.size();
  });
  msg::LockTable table;
  const double storeUs = PerCallUs(n, [&](int i) { table.Store(msg::TaskLockView::Read(datagrams[i].data() + msg::kTypeCodeSize)); });
  const double storeAgainUs = PerCallUs(n, [&](int i) { table.Store(msg::TaskLockView::Read(datagrams[i].data() + msg::kTypeCodeSize)); });
  msg::ChannelCore core;
  const msg::Ipv4 server{127, 0, 0, 1};
  const double dispatchUs = PerCallUs(n, [&](int i) {
    sink += core.Dispatch(datagrams[i].data(), datagrams[i].size(), server, msg::kServerPort).sends.size();
  });
  CRITICAL_SECTION lock;
  InitializeCriticalSection(&lock);
  const double lockPairUs = PerCallUs(n * 100, [&](int) {
    EnterCriticalSection(&lock);
    LeaveCriticalSection(&lock);
  });
  DeleteCriticalSection(&lock);

  Row("Profile: a receive that finds its datagram queued (72 / 8,040 bytes)",
      Format("%.2f / %.2f us", shortUs, lockUs));
  Row(Format("Profile: a lock record read in place / stored, new (%d) / stored again", n),
      Format("%.3f / %.2f / %.2f us", readUs, storeUs, storeAgainUs));
  Row("Profile: the whole decision for a lock record (read and store, new)", Format("%.2f us", dispatchUs));
  Row("Profile: taking and leaving the channel lock, uncontended", Format("%.3f us", lockPairUs));
  Summary("Receive thread per lock record: receive / decide (read and store) / lock",
          Format("%.1f / %.1f / %.2f us", lockUs, dispatchUs, lockPairUs));
  return sink > 0 && table.size() == static_cast<size_t>(n);
}

}  // namespace

// --- the trace's cost to a member -------------------------------------------------

// A member call (CanChangeTask, whose lock question is quick) untraced,
// traced into a file, and traced into a file that takes nothing (a pipe
// nobody reads): the caller only queues its line, and once the queue is
// full only counts it as dropped.
bool BenchTrace(const Args& args) {
  const int n = args.queries;
  Microsoft::WRL::ComPtr<IVelmoraCtl> control;
  if (FAILED(velmora::VelmoraCtl::CreateInstance(nullptr, IID_PPV_ARGS(&control)))) return false;
  velmora::UniqueBstr tasks(SysAllocString(L"t1,t2"));
  bool answered = true;
  auto call = [&](int) {
    VARIANT_BOOL free = VARIANT_FALSE;
    answered = control->CanChangeTask(7, tasks.get(), nullptr, &free) == S_OK && answered;
  };
  auto traced = [&](const std::wstring& file) {
    SetEnvironmentVariableW(L"VELMORA_TRACE", file.c_str());
    velmora::trace::Reconsider();
    call(0);  // turns it on
    return PerCallUs(n, call);
  };
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  const std::wstring file = std::wstring(temp) + L"velmora-bench-" + std::to_wstring(GetCurrentProcessId()) + L".trace";
  const std::wstring pipe = L"\\\\.\\pipe\\velmora-bench-" + std::to_wstring(GetCurrentProcessId());
  velmora::UniqueFile stalled(CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                               PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 0, 0, nullptr));
  if (!stalled) return false;

  const double untraced = traced(L"");  // set and empty: off
  const double intoFile = traced(file);
  const double intoStalled = traced(pipe);
  const bool stayedOn = velmora::trace::On();
  stalled.reset();  // the pending write fails, the writer ends
  SetEnvironmentVariableW(L"VELMORA_TRACE", nullptr);
  velmora::trace::Reconsider();
  DeleteFileW(file.c_str());
  DeleteFileW((file + L".1").c_str());
  Row(Format("Member call (CanChangeTask, mean of %d): untraced / traced into a file / traced into a file that takes nothing", n),
      Format("%.2f / %.2f / %.2f us", untraced, intoFile, intoStalled));
  Summary("Member call untraced / traced into a file that takes nothing", Format("%.2f / %.2f us", untraced, intoStalled));
  if (!answered || !stayedOn) std::fprintf(stderr, "velmora_channel_bench: the traced calls %s\n", answered ? "turned the trace off" : "failed");
  return answered && stayedOn;
}

int main(int argc, char** argv) {
  Args args;
  if (!ParseArgs(argc, argv, args)) {
    std::fprintf(stderr,
                 "usage: velmora_channel_bench --empty ADDR [--loaded ADDR[=LABEL]]...\n"
                 "         [--locks N] [--rounds N] [--queries N] [--blast N] [--seconds N]\n"
                 "         [--bare SENDER_ADDR:PORT[=LOADED_LABEL]] [--bare-records N]\n"
                 "  addresses are loopback (127.x.y.z); servers listen on port 4568; with --bare and\n"
                 "  no --empty only the bare receive loop runs\n");
    return 2;
  }
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 1;

  std::printf("| Figure | Value |\n|---|---|\n");
  if (args.empty.empty()) {
    BenchBare(args, 0);
    WSACleanup();
    return 0;
  }
  {
    MessageChannel probe;
    if (probe.Start(0) == 1) {
      Row("SO_RCVBUF the channel got", Format("%d bytes", probe.ReceiveBufferBytes()));
      Summary("Receive buffer the channel got (SO_RCVBUF as reported)", Format("%d bytes", probe.ReceiveBufferBytes()));
    }
  }
  // A fault ends the run: what follows would only wait out its patience.
  bool ok = BenchTrace(args);
  ok = ok && BenchProfile(args.locks);
  ok = ok && BenchRegister(args);
  double besideRate = 0;
  for (size_t i = 0; i < args.loaded.size(); ++i) {
    double loadRate = 0;
    ok = ok && BenchLoaded(args, args.loaded[i], i == 0, loadRate);
    if (args.loaded[i].label == args.bareBeside) besideRate = loadRate;
  }
  if (ok && !args.bare.empty()) BenchBare(args, besideRate);
  ok = ok && BenchDispatch(args);
  for (int clients : {20, 200}) ok = ok && BenchClients(args, clients);

  WSACleanup();
  if (!ok) std::fprintf(stderr, "velmora_channel_bench: a step could not be carried out\n");
  return ok ? 0 : 1;
}
