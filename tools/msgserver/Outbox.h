// What the reference server still has to send, and when it may go. The
// protocol has no flow control: a datagram that finds its client's socket
// buffer full is lost. So every destination is metered on its own at a
// steady rate of the buffer it fills, and the lock table is drawn from the
// server a record at a time as its pace allows, while other clients are
// served in between. It decides only; the socket loop sends, and tells it
// the time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/msgserver/MessageServer.h"

namespace velmora::msgserver {

using Clock = std::chrono::steady_clock;

// What a datagram takes of its receiver's socket buffer: the kernel charges
// about twice its size plus bookkeeping.
constexpr size_t BufferCharge(size_t datagramSize) { return 2 * datagramSize + 1024; }

// A destination may be sent at most this much at once, then waits for its
// rate to pay it back. Time the server itself lost is not made up.
constexpr double kPaceBurstBytes = 64 * 1024;

// A client that asks for the table again missed its end, so most likely
// records too: each ask since its registration halves its pace, down to
// this share of the set one.
constexpr int kSlowestPaceDivisor = 16;

class Outbox {
 public:
  // `bytesPerSecond`: buffer charge each destination may be sent per second;
  // 0 sends without waiting.
  explicit Outbox(double bytesPerSecond) : rate_(bytesPerSecond) {}

  // Queues a datagram behind those queued earlier.
  void Add(Datagram datagram, Clock::time_point now);

  // A pass over the lock table to `ask.to`, ended by 203. An ask while a
  // pass to it is still going out does not start over: the pass goes on
  // to the end of the table, then from its start up to where it was, so
  // every record goes once after the last ask.
  void AddTable(const TableAsk& ask, Clock::time_point now);

  // Appends what may go by `now`: queued datagrams in the order they were
  // queued, then table records; a destination's queued datagrams go before
  // its table. Returns when more is due, or nothing when all is sent.
  std::optional<Clock::time_point> TakeDue(Clock::time_point now, const MessageServer& server,
                                           std::vector<Datagram>& out);

  // The rate `to` is metered at now, bytes of charge per second (0: unpaced).
  double RateOf(const Endpoint& to) const;
  // Datagrams waiting, table passes not counted.
  size_t queued() const;

 private:
  struct Pass {
    std::optional<std::string> last;      // key of the record sent last
    std::optional<std::string> wrapUpTo;  // at the end, start over up to this key
    std::optional<std::string> stopAfter; // started over: end past this key
  };
  struct Destination {
    std::deque<std::pair<uint64_t, Bytes>> queue;  // with the order they were queued in
    std::optional<Pass> pass;
    double rate = 0;
    double tokens = kPaceBurstBytes;
    Clock::time_point refilled;
  };

  Destination& At(const Endpoint& to, Clock::time_point now);
  void Refill(Destination& d, Clock::time_point now) const;
  static bool Afford(const Destination& d, size_t charge);
  static void Spend(Destination& d, size_t charge);
  // The pass's next record, or nothing when its end is next.
  static std::optional<TableEntry> NextOf(Pass& pass, const MessageServer& server);
  // Sends what the pace allows of `d`'s table pass.
  void TakeTable(const Endpoint& to, Destination& d, const MessageServer& server,
                 std::vector<Datagram>& out, size_t limit);

  double rate_;
  uint64_t nextOrder_ = 0;
  std::map<Endpoint, Destination> destinations_;
};

}  // namespace velmora::msgserver
