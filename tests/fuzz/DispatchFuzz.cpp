// Fuzz target: arbitrary byte strings as sequences of received datagrams,
// fed to the client's dispatch and to the reference server. Lock questions
// are checked against a plain walk of the table in key order.
//
// Input: repeated chunks of [sender][port: 2][length: 2][count: 2][count
// bytes]. The datagram is `length` bytes long (at most 8192): the given bytes,
// then zeros, so long records stay short in the corpus.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "messaging/ChannelCore.h"
#include "common/CommaList.h"
#include "tools/msgserver/MessageServer.h"
#include "tools/msgserver/Outbox.h"

namespace {

using namespace velmora::msg;
using velmora::msgserver::Answers;
using velmora::msgserver::Clock;
using velmora::msgserver::Datagram;
using velmora::msgserver::Endpoint;
using velmora::msgserver::MessageServer;
using velmora::msgserver::Outbox;

const Ipv4 kServerIp{10, 0, 0, 1};

void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
    std::abort();
  }
}

struct Chunk {
  Endpoint sender;
  std::vector<uint8_t> bytes;  // exactly the datagram, so any over-read is caught
};

uint16_t U16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

std::vector<Chunk> Split(const uint8_t* data, size_t size) {
  constexpr size_t kHeader = 7;
  std::vector<Chunk> chunks;
  size_t at = 0;
  while (at + kHeader <= size && chunks.size() < 64) {
    Chunk chunk;
    // Odd selectors come from the server's address; the rest from peers.
    chunk.sender.ip = data[at] & 1 ? kServerIp : Ipv4{10, 0, 1, static_cast<uint8_t>(data[at] >> 1)};
    chunk.sender.port = U16(data + at + 1);
    const size_t length = U16(data + at + 3) % (kReceiveBufferSize + 1);
    const size_t given = std::min<size_t>(U16(data + at + 5), size - at - kHeader);
    at += kHeader;
    chunk.bytes.assign(length, 0);
    std::copy(data + at, data + at + std::min(given, length), chunk.bytes.begin());
    at += given;
    chunks.push_back(std::move(chunk));
  }
  return chunks;
}

// The lock question answered the slow, obvious way.
std::string ReferenceHolder(const LockTable& table, const std::string& account, int32_t project,
                            const std::string& tasks) {
  std::string holder;
  bool found = false;
  table.ForEach([&](const TaskLockRecord& lock) {
    if (found || lock.projectId != project) return;
    if (lock.account == account || !ListsIntersect(lock.tasks, tasks)) return;
    holder = lock.account;
    found = true;
  });
  return holder;
}

void CheckClientResult(const Chunk& chunk, const DispatchResult& result) {
  for (const Outgoing& sent : result.sends) {
    Require(sent.bytes.size() == kShortDatagramSize, "client replies are short datagrams");
  }
  if (result.message) {
    Require(chunk.bytes.size() > kShortDatagramSize, "text only with bytes after the record");
    Require(result.message->text.size() == chunk.bytes.size() - kShortDatagramSize,
            "text is everything after the record");
    Require(result.message->senderName.size() <= kPeerNameSlot, "name read within its slot");
  }
}

void CheckLockQuestions(const LockTable& table, const std::vector<TaskLockRecord>& asked) {
  for (const TaskLockRecord& question : asked) {
    for (const std::string& account : {question.account, std::string("fuzzer"), std::string()}) {
      Require(table.FindBlockingHolder(account, question.projectId, question.tasks) ==
                  ReferenceHolder(table, account, question.projectId, question.tasks),
              "indexed lock question matches the key-order walk");
    }
  }
}

void CheckRemovals(LockTable table, const std::vector<TaskLockRecord>& asked) {
  for (const TaskLockRecord& question : asked) {
    size_t expected = 0;
    table.ForEach([&](const TaskLockRecord& lock) {
      if (lock.projectId == question.projectId && lock.account == question.account &&
          ListsIntersect(lock.tasks, question.tasks)) {
        ++expected;
      }
    });
    const size_t before = table.size();
    Require(table.RemoveHeld(question.account, question.projectId, question.tasks) == expected,
            "RemoveHeld removes exactly the intersecting own locks");
    Require(table.size() == before - expected, "size follows removal");
    CheckLockQuestions(table, asked);
    table.RemoveProject(question.projectId);
    Require(ReferenceHolder(table, "", question.projectId, question.tasks).empty(),
            "nothing left of a removed project");
  }
}

// Sends what is due; true while more is left.
bool TakeFromOutbox(Outbox& outbox, const MessageServer& server, Clock::time_point now,
                    const std::set<std::pair<Ipv4, uint16_t>>& knownSources) {
  std::vector<Datagram> out;
  const auto due = outbox.TakeDue(now, server, out);
  for (const Datagram& sent : out) {
    Require(knownSources.count({sent.to.ip, sent.to.port}) == 1,
            "server answers only addresses it has heard from");
  }
  return due.has_value();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<Chunk> chunks = Split(data, size);

  ChannelCore client;
  client.SetServerAddress(kServerIp);
  client.BuildOwnRecord({Ipv4{10, 0, 2, 1}, Ipv4{10, 0, 2, 2}}, 5000);
  client.SetOwnName("fuzzer");
  MessageServer server(2);
  Outbox outbox(1024 * 1024);
  Clock::time_point now{};
  std::set<std::pair<Ipv4, uint16_t>> knownSources;
  std::vector<TaskLockRecord> asked;

  for (const Chunk& chunk : chunks) {
    client.AskRegistration();  // so that every 103 reaches the record it replaces
    const DispatchResult result =
        client.Dispatch(chunk.bytes.data(), chunk.bytes.size(), chunk.sender.ip, chunk.sender.port);
    CheckClientResult(chunk, result);
    const std::vector<uint8_t> logout = client.MakeOwnDatagram(kMsgLogout);
    Require(std::equal(logout.begin(), logout.end(), client.logoutNotice().begin(), client.logoutNotice().end()),
            "the prepared logout notice carries the own record");

    knownSources.insert({chunk.sender.ip, chunk.sender.port});
    Answers answers = server.Handle(chunk.bytes.data(), chunk.bytes.size(), chunk.sender);
    for (Datagram& sent : answers.datagrams) outbox.Add(std::move(sent), now);
    if (answers.table) outbox.AddTable(*answers.table, now);
    now += std::chrono::milliseconds(1);
    TakeFromOutbox(outbox, server, now, knownSources);
    if (chunk.bytes.size() >= kLockDatagramSize && asked.size() < 8) {
      asked.push_back(TaskLockRecord::Decode(chunk.bytes.data() + kTypeCodeSize));
    }
  }
  server.AliveTick();
  // Whatever was queued goes out in bounded time.
  for (int step = 0; step < 10000 && TakeFromOutbox(outbox, server, now, knownSources); ++step) {
    now += std::chrono::milliseconds(10);
  }
  Require(!TakeFromOutbox(outbox, server, now, knownSources), "the outbox empties");
  CheckLockQuestions(client.locks(), asked);
  CheckLockQuestions(server.locks(), asked);
  CheckRemovals(client.locks(), asked);
  return 0;
}
