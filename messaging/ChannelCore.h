// What the message channel decides for one received datagram, apart from
// locking and sockets: the caller holds its channel lock around every call
// here, then does the returned sends and callbacks after releasing it.
// Replies carry no request number, so the only guards against datagrams from
// elsewhere are where a reply comes from (the server's port) and whether
// anything was asked that it could answer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "messaging/LockTable.h"
#include "messaging/PeerList.h"
#include "messaging/Records.h"

namespace velmora::msg {

// Reply indicator a datagram sets; the caller stores `DispatchResult::value`
// into it.
enum class Indicator {
  kNone,
  kRegistered,         // 1
  kPeerListComplete,   // 1
  kLockTableComplete,  // 1
  kChangeResult,       // 1 done, 2 refused
  kResourceResult,     // 1 free, 0 taken
};

struct Outgoing {
  Ipv4 ip{};
  uint16_t port = 0;
  std::vector<uint8_t> bytes;
};

struct PeerText {
  std::string senderName;
  std::vector<uint8_t> text;  // at least one byte, not terminated
};

// A datagram carrying only a record of the peer kind (72 bytes).
using ShortDatagram = std::array<uint8_t, kShortDatagramSize>;

struct DispatchResult {
  Indicator indicator = Indicator::kNone;
  int32_t value = 0;
  std::vector<Outgoing> sends;
  std::optional<PeerText> message;
};

class ChannelCore {
 public:
  DispatchResult Dispatch(const uint8_t* data, size_t length, Ipv4 senderIp, uint16_t senderPort);

  // Own record: zeroed, then one entry per address (the first four) with
  // `port`. The name is cleared; SetOwnName fills it in.
  void BuildOwnRecord(const std::vector<Ipv4>& addresses, uint16_t port);
  // Stores the name as it goes out: cut to the record's name slot.
  void SetOwnName(const std::string& name);
  // A registration (101) is going out: the first 103 from then on is its
  // answer, until it is withdrawn.
  void AskRegistration() { registrationAsked_ = true; }
  // No answer is awaited any more (the sends ran out, or a logout): a 103
  // from now on would register a record nobody asked for. True when the
  // registration was still unanswered; false when its 103 had already come
  // (or none was asked).
  bool WithdrawRegistration() noexcept {
    const bool unanswered = registrationAsked_;
    registrationAsked_ = false;
    return unanswered;
  }
  const PeerRecord& ownRecord() const { return own_; }
  void SetOwnRecord(const PeerRecord& record) { ReplaceOwn(record); }
  // The logout notice (102) for the own record as it stands, kept up to date
  // with every change of it, so sending it (from a destructor too) needs no
  // allocation.
  const ShortDatagram& logoutNotice() const noexcept { return logoutNotice_; }

  // True when `ip` is the address of one of the own record's counted entries.
  bool IsOwnAddress(const Ipv4& ip) const;

  void SetServerAddress(const Ipv4& ip) { serverAddress_ = ip; }
  const Ipv4& serverAddress() const { return serverAddress_; }

  const std::string& holderName() const { return holderName_; }

  PeerList& peers() { return peers_; }
  const PeerList& peers() const { return peers_; }
  LockTable& locks() { return locks_; }
  const LockTable& locks() const { return locks_; }

  // Answer to a lock question from the lock table: 1 when the asker may
  // change the tasks, else 0; `holder` names who blocks, or is left empty.
  int CheckTaskLock(const std::string& account, int32_t projectId, const std::string& tasks,
                    std::string& holder) const;

  // Requests. Own-record kinds: 101 register, 102 logout, 104 peer list (and
  // the answers 107, 109, 111).
  std::vector<uint8_t> MakeOwnDatagram(uint32_t type) const;
  static std::vector<uint8_t> MakeLockTableRequest();
  static std::vector<uint8_t> MakeLockChange(bool claim, const std::string& account,
                                             const std::string& displayName, int32_t projectId,
                                             const std::string& tasks);
  static std::vector<uint8_t> MakeResourceQuery(const std::string& account,
                                                const std::string& displayName,
                                                const std::string& projectUuid,
                                                const std::string& specialty);

 private:
  // Encodes first and only then commits, so a failure leaves the record and
  // its notice as they were, and matching.
  void ReplaceOwn(PeerRecord record);
  void Reply(DispatchResult& result, uint32_t type, const Ipv4& ip, uint16_t port) const;
  void NotePeerAddress(const PeerRecord& record, const Ipv4& ip, uint16_t port);

  PeerRecord own_;
  ShortDatagram logoutNotice_{};
  PeerList peers_;
  LockTable locks_;
  std::string holderName_;
  Ipv4 serverAddress_{};
  bool registrationAsked_ = false;
};

// The receive thread's rest after receives that fail at once (network down,
// no buffers), so a lasting fault does not spin it: the first failure is
// retried at once, since a lone one is usually a datagram refused by its
// destination; after that the rest starts at 10 ms and doubles up to a
// second, so the end of the fault is noticed within about a second.
constexpr uint32_t kReceiveRestLimitMs = 1000;
// The rest in ms after `failures` consecutive failed receives.
uint32_t ReceiveRestMs(uint32_t failures) noexcept;

class ReceiveBackoff {
 public:
  // A receive failed: how long to rest before the next one.
  uint32_t Failed() noexcept {
    if (failures_ != UINT32_MAX) ++failures_;
    return ReceiveRestMs(failures_);
  }
  // A receive delivered: the next failure is again a lone one.
  void Succeeded() noexcept { failures_ = 0; }
  uint32_t failures() const noexcept { return failures_; }

 private:
  uint32_t failures_ = 0;
};

}  // namespace velmora::msg
