#include "tools/msgserver/TableFlow.h"

#include <algorithm>

namespace velmora::msgserver {

static_assert(TableFlow::kLargestWindow >= TableFlow::kFirstWindow);

std::optional<Clock::time_point> TableFlow::deadline() const {
  if (!waiting_) return std::nullopt;
  return sentAt_ + bound_;
}

void TableFlow::CheckSent(Clock::time_point now) {
  ++owed_;
  waiting_ = true;
  sentAt_ = now;
}

bool TableFlow::Answered(Clock::time_point now) {
  misses_ = 0;
  // An answer nothing is owed for answers a check already given up on.
  if (owed_ == 0) return false;
  if (--owed_ > 0 || !waiting_) return false;
  waiting_ = false;
  const Clock::duration took = now - sentAt_;
  if (took <= kPromptAnswer) {
    window_ = std::min(kLargestWindow, window_ + 1);
  } else if (took > kSlowAnswer) {
    window_ = std::max(1, window_ / 2);
  }
  bound_ = std::max<Clock::duration>(kFirstBound, bound_ / 2);
  return true;
}

bool TableFlow::Expire(Clock::time_point now) {
  if (!waiting_ || now < sentAt_ + bound_) return false;
  waiting_ = false;
  // Waiting on for answers to checks that may have been lost could stall
  // the table for good; an answer that comes after all is taken for a later
  // check, which the window's size above allows for.
  owed_ = 0;
  window_ = std::max(1, window_ / 2);
  bound_ = std::min<Clock::duration>(kLongestBound, bound_ * 2);
  if (++misses_ >= kSilentAfter) silent_ = true;
  return true;
}

}  // namespace velmora::msgserver
