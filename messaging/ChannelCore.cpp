#include "messaging/ChannelCore.h"

#include <utility>

namespace velmora::msg {

namespace {

// Only the first four addresses of the host go into the own record; the
// fifth entry is left for the address the server observes.
constexpr size_t kOwnAddressEntries = 4;
constexpr size_t kResourceAccountOffset = kTypeCodeSize + 40;

// Codes only the message server sends. A server answers from the port it
// listens on (clients behind a firewall or NAT get nothing else), but not
// necessarily from the address it was asked at, so only the port is checked.
bool IsServerReply(uint32_t type) {
  switch (type) {
    case kMsgRegistered:
    case kMsgPeerList:
    case kMsgPeerListEnd:
    case kMsgLockTableEnd:
    case kMsgLockRecord:
    case kMsgLockChangeDone:
    case kMsgLockRefused:
    case kMsgResourceAnswer:
      return true;
    default:
      return false;
  }
}

DispatchResult SetIndicator(Indicator indicator, int32_t value) {
  DispatchResult result;
  result.indicator = indicator;
  result.value = value;
  return result;
}

}  // namespace

DispatchResult ChannelCore::Dispatch(const uint8_t* data, size_t length, Ipv4 senderIp,
                                     uint16_t senderPort) {
  DispatchResult result;
  if (length < kShortDatagramSize) return result;
  const uint8_t* record = data + kTypeCodeSize;
  const uint32_t type = ReadType(data, length);
  if (IsServerReply(type) && senderPort != kServerPort) return result;

  switch (type) {
    case kMsgRegistered:
      // Unasked, it would mark the channel registered and replace the record
      // that later logs out; a second one adds nothing the first did not.
      if (!registrationAsked_) return result;
      ReplaceOwn(PeerRecord::Decode(record));
      registrationAsked_ = false;
      return SetIndicator(Indicator::kRegistered, 1);

    case kMsgPeerList: {
      PeerRecord peer = PeerRecord::Decode(record);
      peer.observedIp = Ipv4{};
      peer.observedPort = 0;
      peers_.AddPeer(peer);
      return result;
    }

    case kMsgPeerListEnd:
      return SetIndicator(Indicator::kPeerListComplete, 1);

    case kMsgAliveCheck:
      Reply(result, kMsgAliveAnswer, senderIp, senderPort);
      return result;

    case kMsgProbe: {
      const PeerRecord peer = PeerRecord::Decode(record);
      if (senderIp == serverAddress_) {
        // The server names a client to reach: answer every address it lists.
        for (size_t i = 0; i < peer.CountedEntries(); ++i) {
          Reply(result, kMsgProbeAnswer, peer.entries[i].ip, peer.entries[i].port);
        }
      } else {
        NotePeerAddress(peer, senderIp, senderPort);
        Reply(result, kMsgProbeAnswer, senderIp, senderPort);
      }
      return result;
    }

    case kMsgProbeAnswer:
      NotePeerAddress(PeerRecord::Decode(record), senderIp, senderPort);
      return result;

    case kMsgPeerText:
      if (length > kShortDatagramSize) {
        Reply(result, kMsgPeerTextAck, senderIp, senderPort);
        PeerText text;
        text.senderName = ReadText(record, kPeerNameSlot);
        text.text.assign(data + kShortDatagramSize, data + length);
        result.message = std::move(text);
      }
      return result;

    case kMsgLockTableEnd:
      return SetIndicator(Indicator::kLockTableComplete, 1);

    case kMsgLockRecord:
      // A cut-off lock record would store a task list that was never sent.
      // Read in place, straight into the table's own storage.
      if (length >= kLockDatagramSize) locks_.Store(TaskLockView::Read(record));
      return result;

    case kMsgLockChangeDone:
      return SetIndicator(Indicator::kChangeResult, 1);

    case kMsgLockRefused:
      if (length < kLockDatagramSize) return result;
      holderName_.assign(TaskLockView::Read(record).account);
      return SetIndicator(Indicator::kChangeResult, 2);

    case kMsgResourceAnswer:
      if (length < kResourceDatagramSize) return result;
      return SetIndicator(Indicator::kResourceResult, data[kResourceAccountOffset] == 0 ? 1 : 0);

    default:
      return result;
  }
}

void ChannelCore::BuildOwnRecord(const std::vector<Ipv4>& addresses, uint16_t port) {
  PeerRecord own;
  for (const Ipv4& ip : addresses) {
    if (own.count >= kOwnAddressEntries) break;
    own.entries[own.count] = AddressEntry{ip, port};
    ++own.count;
  }
  ReplaceOwn(std::move(own));
}

void ChannelCore::SetOwnName(const std::string& name) {
  PeerRecord own = own_;
  own.name = SlotText(name, kPeerNameSlot);
  ReplaceOwn(std::move(own));
}

void ChannelCore::ReplaceOwn(PeerRecord record) {
  ShortDatagram notice{};
  PutU32(notice.data(), kMsgLogout);
  record.Encode(notice.data() + kTypeCodeSize);
  own_ = std::move(record);
  logoutNotice_ = notice;
}

bool ChannelCore::IsOwnAddress(const Ipv4& ip) const {
  for (size_t i = 0; i < own_.CountedEntries(); ++i) {
    if (own_.entries[i].ip == ip) return true;
  }
  return false;
}

int ChannelCore::CheckTaskLock(const std::string& account, int32_t projectId,
                               const std::string& tasks, std::string& holder) const {
  holder = locks_.FindBlockingHolder(account, projectId, tasks);
  return LockCheckResult(holder, account);
}

std::vector<uint8_t> ChannelCore::MakeOwnDatagram(uint32_t type) const {
  return MakeDatagram(type, own_);
}

std::vector<uint8_t> ChannelCore::MakeLockTableRequest() {
  return MakeDatagram(kMsgLockTableRequest, TaskLockRecord{});
}

std::vector<uint8_t> ChannelCore::MakeLockChange(bool claim, const std::string& account,
                                                 const std::string& displayName,
                                                 int32_t projectId, const std::string& tasks) {
  TaskLockRecord record{account, displayName, projectId, tasks};
  return MakeDatagram(claim ? kMsgLockClaim : kMsgLockRelease, record);
}

std::vector<uint8_t> ChannelCore::MakeResourceQuery(const std::string& account,
                                                    const std::string& displayName,
                                                    const std::string& projectUuid,
                                                    const std::string& specialty) {
  ResourceQuery query{projectUuid, account, displayName, specialty};
  return MakeDatagram(kMsgResourceQuery, query);
}

void ChannelCore::Reply(DispatchResult& result, uint32_t type, const Ipv4& ip,
                        uint16_t port) const {
  result.sends.push_back(Outgoing{ip, port, MakeDatagram(type, own_)});
}

void ChannelCore::NotePeerAddress(const PeerRecord& record, const Ipv4& ip, uint16_t port) {
  PeerRecord* listed = peers_.FindPeer(record.name);
  if (listed != nullptr && IsZero(listed->observedIp)) {
    listed->observedIp = ip;
    listed->observedPort = port;
  }
}

uint32_t ReceiveRestMs(uint32_t failures) noexcept {
  constexpr uint32_t kFirstRestMs = 10;
  if (failures <= 1) return 0;
  const uint32_t doublings = failures - 2;
  // 10 ms doubled seven times is past the limit already.
  if (doublings >= 7) return kReceiveRestLimitMs;
  const uint32_t rest = kFirstRestMs << doublings;
  return rest < kReceiveRestLimitMs ? rest : kReceiveRestLimitMs;
}

}  // namespace velmora::msg
