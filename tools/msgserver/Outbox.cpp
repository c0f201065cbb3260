#include "tools/msgserver/Outbox.h"

#include <algorithm>
#include <queue>
#include <utility>

namespace velmora::msgserver {

namespace {

// At most this many datagrams leave one call, so an unpaced table leaves
// the loop time to receive.
constexpr size_t kMaxBatch = 256;
constexpr size_t kRecordCharge = BufferCharge(msg::kLockDatagramSize);
constexpr size_t kEndCharge = BufferCharge(msg::kShortDatagramSize);
constexpr size_t kCheckCharge = BufferCharge(msg::kShortDatagramSize);

bool IsAliveCheck(const Bytes& bytes) {
  return msg::ReadType(bytes->data(), bytes->size()) == msg::kMsgAliveCheck;
}

// An ask while a pass goes on: on to the end from here, then from the start
// up to here.
template <typename Cursor>
void WrapAt(Cursor& cursor) {
  cursor.stopAfter.reset();
  cursor.wrapUpTo = cursor.last;
}

}  // namespace

Outbox::Destination& Outbox::At(const Endpoint& to, Clock::time_point now) {
  const auto [it, added] = destinations_.try_emplace(to);
  if (added) {
    it->second.rate = rate_;
    it->second.refilled = now;
  }
  return it->second;
}

void Outbox::Refill(Destination& d, Clock::time_point now) const {
  if (d.rate <= 0 || now <= d.refilled) return;
  const double elapsed = std::chrono::duration<double>(now - d.refilled).count();
  d.tokens = std::min(kPaceBurstBytes, d.tokens + elapsed * d.rate);
  d.refilled = now;
}

bool Outbox::Afford(const Destination& d, size_t charge) {
  return d.rate <= 0 || d.tokens >= static_cast<double>(charge);
}

void Outbox::Spend(Destination& d, size_t charge) {
  if (d.rate > 0) d.tokens -= static_cast<double>(charge);
}

void Outbox::Add(Datagram datagram, Clock::time_point now) {
  Destination& d = At(datagram.to, now);
  if (d.pass && IsAliveCheck(datagram.bytes)) {
    d.checkDeferred = true;
    return;
  }
  d.queue.emplace_back(nextOrder_++, std::move(datagram.bytes));
}

double Outbox::SilentRate(double rate) const {
  return rate > 0 ? std::min(rate, kSilentPaceBytesPerSecond) : kSilentPaceBytesPerSecond;
}

void Outbox::AddTable(const TableAsk& ask, Clock::time_point now) {
  Destination& d = At(ask.to, now);
  Refill(d, now);
  const int halvings = std::clamp(ask.ask - 1, 0, 30);
  d.rate = rate_ / std::min(kSlowestPaceDivisor, 1 << halvings);
  if (!d.pass) {
    Pass pass;
    pass.flow = TableFlow(ask.checkPending, now);
    pass.rate = d.rate;
    d.pass = std::move(pass);
    return;
  }
  Pass& pass = *d.pass;
  pass.rate = d.rate;
  pass.flow.AskedAgain();
  if (pass.flow.silent()) d.rate = SilentRate(d.rate);
  WrapAt(pass.sent);
  WrapAt(pass.read);
  pass.endSent = false;
}

void Outbox::Answered(const Endpoint& from, Clock::time_point now) {
  const auto it = destinations_.find(from);
  if (it == destinations_.end() || !it->second.pass) return;
  Destination& d = it->second;
  Pass& pass = *d.pass;
  switch (pass.flow.Answered(now)) {
    case TableFlow::Answer::kNothing:
      return;
    case TableFlow::Answer::kWindowRead:
      if (pass.endSent) {
        EndPass(d);
        return;
      }
      pass.read = pass.sent;
      pass.inWindow = 0;
      return;
    case TableFlow::Answer::kRevived:
      d.rate = pass.rate;
      GoAgainFromRead(pass);
      return;
  }
}

void Outbox::GoAgainFromRead(Pass& pass) {
  pass.sent = pass.read;
  pass.inWindow = 0;
  pass.endSent = false;
}

void Outbox::EndPass(Destination& d) {
  d.pass.reset();
  d.rate = rate_;
  if (d.checkDeferred) {
    d.checkDeferred = false;
    d.queue.emplace_back(nextOrder_++, MessageServer::AliveCheck());
  }
}

std::optional<TableEntry> Outbox::NextOf(Cursor& cursor, const MessageServer& server) {
  std::optional<TableEntry> next = server.LockAfter(cursor.last);
  if (!next && cursor.wrapUpTo) {
    cursor.stopAfter = std::move(cursor.wrapUpTo);
    cursor.wrapUpTo.reset();
    cursor.last.reset();
    next = server.LockAfter(std::nullopt);
  }
  if (next && cursor.stopAfter && *next->key > *cursor.stopAfter) next.reset();
  return next;
}

size_t Outbox::NextCharge(Destination& d, const MessageServer& server) {
  Pass& pass = *d.pass;
  if (!pass.flow.silent() && (pass.endSent || pass.inWindow >= pass.flow.window())) {
    return kCheckCharge;
  }
  return NextOf(pass.sent, server) ? kRecordCharge : kEndCharge;
}

void Outbox::TakeTable(const Endpoint& to, Destination& d, const MessageServer& server,
                       Clock::time_point now, std::vector<Datagram>& out, size_t limit) {
  Pass& pass = *d.pass;
  while (out.size() < limit && !pass.flow.waiting()) {
    if (!pass.flow.silent() && (pass.endSent || pass.inWindow >= pass.flow.window())) {
      if (!Afford(d, kCheckCharge)) return;
      Spend(d, kCheckCharge);
      out.push_back(Datagram{to, MessageServer::AliveCheck()});
      pass.flow.CheckSent(now);
      return;
    }
    const std::optional<TableEntry> next = NextOf(pass.sent, server);
    if (!Afford(d, next ? kRecordCharge : kEndCharge)) return;
    ++pass.inWindow;
    if (!next) {
      Spend(d, kEndCharge);
      out.push_back(Datagram{to, MessageServer::TableEnd()});
      pass.endSent = true;
      if (pass.flow.silent()) {
        // One check more, unmetered: its answer says the client was only
        // stalled and may have lost what went without checks.
        out.push_back(Datagram{to, MessageServer::AliveCheck()});
        pass.flow.CheckSent(now);
        return;
      }
      continue;
    }
    Spend(d, kRecordCharge);
    pass.sent.last = *next->key;
    out.push_back(Datagram{to, MessageServer::TableRecord(*next->record)});
  }
}

std::optional<Clock::time_point> Outbox::TakeDue(Clock::time_point now, const MessageServer& server,
                                                 std::vector<Datagram>& out) {
  const size_t limit = out.size() + kMaxBatch;
  for (auto& [to, d] : destinations_) {
    (void)to;
    Refill(d, now);
    // An answer that did not come in time: the window goes again, and a
    // client that never answers goes on without checks, at the silent pace.
    if (d.pass && d.pass->flow.Expire(now)) {
      Pass& pass = *d.pass;
      if (pass.flow.silent() && pass.endSent) {
        EndPass(d);  // it never answered: its table and end are out
        continue;
      }
      GoAgainFromRead(pass);
      if (pass.flow.silent()) d.rate = SilentRate(d.rate);
    }
  }

  // Oldest first across destinations; one that has to wait holds back only
  // what was queued after it to the same destination.
  using Head = std::pair<uint64_t, std::map<Endpoint, Destination>::iterator>;
  const auto later = [](const Head& a, const Head& b) { return a.first > b.first; };
  std::priority_queue<Head, std::vector<Head>, decltype(later)> heads(later);
  for (auto it = destinations_.begin(); it != destinations_.end(); ++it) {
    if (!it->second.queue.empty()) heads.emplace(it->second.queue.front().first, it);
  }
  while (!heads.empty() && out.size() < limit) {
    const auto it = heads.top().second;
    heads.pop();
    Destination& d = it->second;
    const size_t charge = BufferCharge(d.queue.front().second->size());
    if (!Afford(d, charge)) continue;
    Spend(d, charge);
    out.push_back(Datagram{it->first, std::move(d.queue.front().second)});
    d.queue.pop_front();
    if (!d.queue.empty()) heads.emplace(d.queue.front().first, it);
  }

  for (auto& [to, d] : destinations_) {
    if (out.size() >= limit) break;
    if (d.pass && d.queue.empty()) TakeTable(to, d, server, now, out, limit);
  }

  // When the next datagram can go. A destination with nothing left is
  // forgotten once it could take a whole burst again anyway.
  std::optional<Clock::time_point> due;
  for (auto it = destinations_.begin(); it != destinations_.end();) {
    Destination& d = it->second;
    size_t need = 0;
    if (!d.queue.empty()) {
      need = BufferCharge(d.queue.front().second->size());
    } else if (d.pass && d.pass->flow.waiting()) {
      const Clock::time_point giveUp = *d.pass->flow.deadline();
      due = due ? std::min(*due, giveUp) : giveUp;
      ++it;
      continue;
    } else if (d.pass) {
      need = NextCharge(d, server);
    } else {
      it = d.rate <= 0 || d.tokens >= kPaceBurstBytes ? destinations_.erase(it) : std::next(it);
      continue;
    }
    Clock::time_point when = now;
    if (!Afford(d, need)) {
      const std::chrono::duration<double> wait((static_cast<double>(need) - d.tokens) / d.rate);
      when += std::chrono::ceil<Clock::duration>(wait);
    }
    due = due ? std::min(*due, when) : when;
    ++it;
  }
  if (out.size() >= limit) due = now;
  return due;
}

double Outbox::RateOf(const Endpoint& to) const {
  const auto it = destinations_.find(to);
  return it == destinations_.end() ? rate_ : it->second.rate;
}

int Outbox::WindowOf(const Endpoint& to) const {
  const auto it = destinations_.find(to);
  if (it == destinations_.end() || !it->second.pass || it->second.pass->flow.silent()) return 0;
  return it->second.pass->flow.window();
}

size_t Outbox::queued() const {
  size_t count = 0;
  for (const auto& [to, d] : destinations_) {
    (void)to;
    count += d.queue.size();
  }
  return count;
}

}  // namespace velmora::msgserver
