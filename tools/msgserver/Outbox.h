// What the reference server still has to send, and when it may go. A
// datagram that finds its client's socket buffer full is lost, and nothing
// tells the server. So the lock table goes to each client in windows that
// its buffer holds, each read before the next goes (see TableFlow), drawn
// from the server a record at a time while other clients are served in
// between; and every destination is metered on its own at a steady rate of
// the buffer it fills, an upper bound on any client's pace. It decides only;
// the socket loop sends, and tells it the time and the answers that came.
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
#include "tools/msgserver/TableFlow.h"

namespace velmora::msgserver {

// A destination may be sent at most this much at once, then waits for its
// rate to pay it back. Time the server itself lost is not made up.
constexpr double kPaceBurstBytes = 64 * 1024;

// A client that asks for the table again missed its end, so most likely
// records too: each ask since its registration halves its pace, down to
// this share of the set one.
constexpr int kSlowestPaceDivisor = 16;

// A client that never answers the checks gets the rest of its table at no
// more than this, in bytes of buffer charge a second (about 980 records):
// what the control took on the slowest machines measured.
constexpr double kSilentPaceBytesPerSecond = 16384.0 * 1024;

class Outbox {
 public:
  // `bytesPerSecond`: buffer charge each destination may be sent per second;
  // 0 sends without waiting.
  explicit Outbox(double bytesPerSecond) : rate_(bytesPerSecond) {}

  // Queues a datagram behind those queued earlier. A periodic alive check
  // to a client whose table is going out waits for the table's end, so its
  // answer cannot be taken for a window's.
  void Add(Datagram datagram, Clock::time_point now);

  // A pass over the lock table to `ask.to`, ended by 203. An ask while a
  // pass to it is still going out does not start over: the pass goes on
  // to the end of the table, then from its start up to where it was, so
  // every record goes once after the last ask.
  void AddTable(const TableAsk& ask, Clock::time_point now);

  // A 107 came from `from`.
  void Answered(const Endpoint& from, Clock::time_point now);

  // Appends what may go by `now`: queued datagrams in the order they were
  // queued, then table records and checks; a destination's queued datagrams
  // go before its table. Returns when more is due or an answer is given up
  // on, or nothing when all is sent.
  std::optional<Clock::time_point> TakeDue(Clock::time_point now, const MessageServer& server,
                                           std::vector<Datagram>& out);

  // The rate `to` is metered at now, bytes of charge per second (0: unpaced).
  double RateOf(const Endpoint& to) const;
  // Datagrams waiting, table passes not counted.
  size_t queued() const;
  // The window the table to `to` goes in now, or 0 when it goes without
  // checks (or none is going).
  int WindowOf(const Endpoint& to) const;

 private:
  // A place in a pass over the table.
  struct Cursor {
    std::optional<std::string> last;      // key of the record sent last
    std::optional<std::string> wrapUpTo;  // at the end, start over up to this key
    std::optional<std::string> stopAfter; // started over: end past this key
  };
  struct Pass {
    Cursor sent;  // the next record follows this
    Cursor read;  // the client has read up to here: a window goes again from here
    int inWindow = 0;      // records and end code sent since the last check
    bool endSent = false;  // the window out ends the table
    double rate = 0;       // the pace asked for, kept while a silent client goes slower
    TableFlow flow;
  };
  struct Destination {
    std::deque<std::pair<uint64_t, Bytes>> queue;  // with the order they were queued in
    std::optional<Pass> pass;
    double rate = 0;
    double tokens = kPaceBurstBytes;
    Clock::time_point refilled;
    bool checkDeferred = false;  // a periodic alive check waits for the pass's end
  };

  Destination& At(const Endpoint& to, Clock::time_point now);
  void Refill(Destination& d, Clock::time_point now) const;
  static bool Afford(const Destination& d, size_t charge);
  static void Spend(Destination& d, size_t charge);
  // The cursor's next record, or nothing when the end is next.
  static std::optional<TableEntry> NextOf(Cursor& cursor, const MessageServer& server);
  // Buffer charge of what `d`'s pass sends next.
  static size_t NextCharge(Destination& d, const MessageServer& server);
  // Sends what the window and the pace allow of `d`'s table pass.
  void TakeTable(const Endpoint& to, Destination& d, const MessageServer& server,
                 Clock::time_point now, std::vector<Datagram>& out, size_t limit);
  void EndPass(Destination& d);
  static void GoAgainFromRead(Pass& pass);
  double SilentRate(double rate) const;

  double rate_;
  uint64_t nextOrder_ = 0;
  std::map<Endpoint, Destination> destinations_;
};

}  // namespace velmora::msgserver
