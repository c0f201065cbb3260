#include "tools/msgserver/TableFlow.h"

#include <algorithm>

namespace velmora::msgserver {

static_assert(TableFlow::kLargestWindow >= TableFlow::kFirstWindow);

std::optional<Clock::time_point> TableFlow::deadline() const {
  if (!waiting_) return std::nullopt;
  return sentAt_ + (silent_ ? kSilentTail : bound_);
}

void TableFlow::CheckSent(Clock::time_point now) {
  unanswered_.push_back(now);
  waiting_ = true;
  answeredWhileWaiting_ = false;
  sentAt_ = now;
}

TableFlow::Answer TableFlow::Answered(Clock::time_point now) {
  misses_ = 0;
  // An answer to a check already taken as lost: nothing is owed for it.
  if (unanswered_.empty()) return Answer::kNothing;
  unanswered_.pop_front();
  if (silent_) {
    // It was only stalled. What went without checks may have overflowed its
    // buffer, so the pass goes again from the last window it confirmed.
    silent_ = false;
    waiting_ = false;
    bound_ = kFirstBound;
    return Answer::kRevived;
  }
  if (waiting_) answeredWhileWaiting_ = true;
  if (!unanswered_.empty() || !waiting_) return Answer::kNothing;
  waiting_ = false;
  const Clock::duration took = now - sentAt_;
  if (took <= kPromptAnswer) {
    window_ = std::min(kLargestWindow, window_ + 1);
  } else if (took > kSlowAnswer) {
    window_ = std::max(1, window_ / 2);
  }
  bound_ = std::max<Clock::duration>(kFirstBound, bound_ / 2);
  return Answer::kWindowRead;
}

bool TableFlow::Expire(Clock::time_point now) {
  if (!waiting_ || now < *deadline()) return false;
  waiting_ = false;
  if (silent_) return true;  // the last check after the end: given up
  // An answer came, but not to the last check: either an earlier check was
  // lost, and every answer would be taken for the one before it from now
  // on, or the answers are late. Only taking every check as answered ends
  // the first; in the second, the answer still to come is taken for the
  // next window's check, which the window's size allows for. With no answer
  // at all the checks still count: answers come late more often than a
  // check is lost.
  if (answeredWhileWaiting_) unanswered_.clear();
  window_ = std::max(1, window_ / 2);
  bound_ = std::min<Clock::duration>(kLongestBound, bound_ * 2);
  if (++misses_ >= kSilentAfter) silent_ = true;
  return true;
}

}  // namespace velmora::msgserver
