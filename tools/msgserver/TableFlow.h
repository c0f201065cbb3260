// How much of the lock table one client may have unread. The protocol has
// no flow control and no sequence number, but every client answers an alive
// check (106) with 107 at any time, in the order its datagrams came. So the
// table goes in windows, each followed by a check, and the next window waits
// for the answer: a window never has to wait in a buffer behind another.
// This class only decides; the outbox sends and tells it what came back.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>

#include "messaging/Records.h"

namespace velmora::msgserver {

using Clock = std::chrono::steady_clock;

// What a datagram takes of its receiver's socket buffer: the kernel charges
// about twice its size plus bookkeeping.
constexpr size_t BufferCharge(size_t datagramSize) { return 2 * datagramSize + 1024; }

// A receive buffer nobody enlarged (Linux net.core.rmem_default).
constexpr size_t kStockReceiveBuffer = 212992;

class TableFlow {
 public:
  // A late answer may be taken for the next window's (answers carry no
  // number), leaving two windows unread at once: two windows and their
  // checks fit a stock buffer, so even then nothing overflows.
  static constexpr int kLargestWindow = static_cast<int>(
      (kStockReceiveBuffer - 2 * BufferCharge(msg::kShortDatagramSize)) /
      (2 * BufferCharge(msg::kLockDatagramSize)));
  static constexpr int kFirstWindow = 3;
  // Answers within this grow the window; later than kSlowAnswer shrink it.
  static constexpr Clock::duration kPromptAnswer = std::chrono::milliseconds(20);
  static constexpr Clock::duration kSlowAnswer = std::chrono::milliseconds(100);
  // How long an answer is waited for at first; each miss doubles it, up to
  // the longest, so a client that stalls now and then is not taken for
  // silent, and one that never answers waits little before its table goes.
  static constexpr Clock::duration kFirstBound = std::chrono::milliseconds(250);
  static constexpr Clock::duration kLongestBound = std::chrono::milliseconds(1000);
  // A client that leaves this many checks in a row unanswered gets the rest
  // of the table without checks, at the silent pace (see Outbox).
  static constexpr int kSilentAfter = 3;
  // After the end, a silent client's last check waits this long: a client
  // only stalled (a loaded machine) answers it, and gets again what it may
  // have missed; one that never answers already has its end marker.
  static constexpr Clock::duration kSilentTail = std::chrono::seconds(10);

  // What an answer means to the pass.
  enum class Answer {
    kNothing,     // owed nothing, or not the window's check yet
    kWindowRead,  // the client has read the window: the next may go
    kRevived,     // a silent client answered: go again from what it is known to have read
  };

  // `checkPending`: an alive check to the client was still unanswered when
  // the table was asked for; its answer must not count for the first window.
  explicit TableFlow(bool checkPending = false, Clock::time_point now = {}) {
    if (checkPending) unanswered_.push_back(now);
  }

  // Records the next window may hold, the end code counted as one.
  int window() const { return window_; }
  // Waiting for the answer to the last window's check.
  bool waiting() const { return waiting_; }
  // The client never answers: send without checks.
  bool silent() const { return silent_; }
  // When the answer is given up on, while waiting.
  std::optional<Clock::time_point> deadline() const;

  // The window is out and its check went after it.
  void CheckSent(Clock::time_point now);
  // A 107 came from the client.
  Answer Answered(Clock::time_point now);
  // The table was asked for again while a silent client's last check
  // waited: the pass goes on at once, the check still counted.
  void AskedAgain() {
    if (silent_) waiting_ = false;
  }
  // True when the answer did not come in time: the window goes again from
  // its start, smaller.
  bool Expire(Clock::time_point now);

 private:
  int window_ = kFirstWindow;
  Clock::duration bound_ = kFirstBound;
  // When each check not yet answered went, oldest first. Clients answer in
  // order, so an answer is taken for the oldest: when one was lost, the
  // client is thought to have read less than it has, never more.
  std::deque<Clock::time_point> unanswered_;
  bool answeredWhileWaiting_ = false;
  int misses_ = 0;  // checks in a row that met no answer at all
  bool waiting_ = false;
  bool silent_ = false;
  Clock::time_point sentAt_{};
};

}  // namespace velmora::msgserver
