#include "tools/msgserver/MessageServer.h"

#include "messaging/PeerList.h"

namespace velmora::msgserver {

using msg::PeerRecord;
using msg::ResourceQuery;
using msg::TaskLockRecord;

namespace {

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

Bytes Share(std::vector<uint8_t> bytes) {
  return std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
}

Datagram To(const Endpoint& destination, std::vector<uint8_t> bytes) {
  return Datagram{destination, Share(std::move(bytes))};
}

// Codes whose payload is not read still travel as a full short datagram, as
// clients ignore anything shorter.
std::vector<uint8_t> Signal(uint32_t type) { return msg::MakeDatagram(type, PeerRecord{}); }

}  // namespace

Answers MessageServer::Handle(const uint8_t* data, size_t length, const Endpoint& source) {
  Answers answers;
  std::vector<Datagram>& out = answers.datagrams;
  if (length < msg::kShortDatagramSize) return answers;
  const uint8_t* record = data + msg::kTypeCodeSize;
  const bool lockSized = length >= msg::kLockDatagramSize;

  switch (msg::ReadType(data, length)) {
    case msg::kMsgRegister: Register(record, source, out); break;
    case msg::kMsgLogout: Logout(record, source); break;
    case msg::kMsgPeerList: ListPeers(source, out); break;
    case msg::kMsgAliveAnswer:
      AliveAnswer(record, source);
      answers.aliveFrom = source;
      break;
    case msg::kMsgLockTableRequest: answers.table = AskTable(source); break;
    case msg::kMsgLockClaim:
      if (lockSized) Claim(record, source, out);
      break;
    case msg::kMsgLockRelease:
      if (lockSized) Release(record, source, out);
      break;
    case msg::kMsgResourceQuery:
      if (length >= msg::kResourceDatagramSize) QueryResource(record, source, out);
      break;
    default: break;
  }
  return answers;
}

std::vector<Datagram> MessageServer::AliveTick() {
  std::vector<Datagram> out;
  for (auto it = clients_.begin(); it != clients_.end();) {
    Client& client = it->second;
    if (client.checkPending) ++client.missedChecks;
    if (expireAfter_ > 0 && client.missedChecks >= expireAfter_) {
      it = clients_.erase(it);
      continue;
    }
    client.checkPending = true;
    out.push_back(To(client.source, Signal(msg::kMsgAliveCheck)));
    ++it;
  }
  return out;
}

const PeerRecord* MessageServer::FindClient(const std::string& name) const {
  const auto it = clients_.find(LowerAscii(name));
  return it == clients_.end() ? nullptr : &it->second.record;
}

void MessageServer::Register(const uint8_t* record, const Endpoint& source,
                             std::vector<Datagram>& out) {
  PeerRecord peer = PeerRecord::Decode(record);
  peer.name = msg::SlotText(peer.name, msg::kPeerNameSlot);
  // The address the request came from goes into the slot after the counted
  // entries: clients tell registrations of one name apart by it.
  if (peer.count < msg::kMaxAddressEntries) {
    peer.entries[peer.count] = msg::AddressEntry{source.ip, source.port};
  }
  peer.observedIp = source.ip;
  peer.observedPort = source.port;
  clients_[LowerAscii(peer.name)] = Client{peer, source, 0, false, 0};
  out.push_back(To(source, msg::MakeDatagram(msg::kMsgRegistered, peer)));
}

void MessageServer::Logout(const uint8_t* record, const Endpoint& source) {
  // Only the registered address may end a registration, so nobody can log
  // another machine out by naming its account.
  const PeerRecord peer = PeerRecord::Decode(record);
  if (FindRegistration(peer.name, source) != nullptr) {
    clients_.erase(LowerAscii(msg::SlotText(peer.name, msg::kPeerNameSlot)));
  }
}

void MessageServer::ListPeers(const Endpoint& source, std::vector<Datagram>& out) const {
  for (const auto& [key, client] : clients_) {
    (void)key;
    out.push_back(To(source, msg::MakeDatagram(msg::kMsgPeerList, client.record)));
  }
  out.push_back(To(source, Signal(msg::kMsgPeerListEnd)));
}

void MessageServer::AliveAnswer(const uint8_t* record, const Endpoint& source) {
  Client* client = FindRegistration(PeerRecord::Decode(record).name, source);
  if (client == nullptr) return;
  client->missedChecks = 0;
  client->checkPending = false;
}

TableAsk MessageServer::AskTable(const Endpoint& source) {
  // Only a registration's own address counts its asks; anyone else gets
  // the table as a first ask.
  for (auto& [key, client] : clients_) {
    (void)key;
    if (client.source == source) return TableAsk{source, ++client.tableAsks, client.checkPending};
  }
  return TableAsk{source, 1, false};
}

std::optional<TableEntry> MessageServer::LockAfter(const std::optional<std::string>& key) const {
  const auto next = key ? stored_.upper_bound(*key) : stored_.begin();
  if (next == stored_.end()) return std::nullopt;
  return TableEntry{&next->first, &next->second.record};
}

Bytes MessageServer::TableRecord(const TaskLockRecord& lock) {
  return Share(msg::MakeDatagram(msg::kMsgLockRecord, lock));
}

Bytes MessageServer::TableEnd() {
  static const Bytes end = Share(Signal(msg::kMsgLockTableEnd));
  return end;
}

Bytes MessageServer::AliveCheck() {
  static const Bytes check = Share(Signal(msg::kMsgAliveCheck));
  return check;
}

void MessageServer::Claim(const uint8_t* record, const Endpoint& source,
                          std::vector<Datagram>& out) {
  const TaskLockRecord claim = TaskLockRecord::Decode(record);
  const Claimant claimant = ClaimantOf(claim, source);
  const auto holder =
      locks_.FindBlockingRecord(claim.account, claim.projectId, claim.tasks, OwnedBy(claimant));
  if (holder) {
    out.push_back(To(source, msg::MakeDatagram(msg::kMsgLockRefused, *holder)));
    return;
  }
  locks_.Store(claim);
  stored_[msg::LockKey(claim)] = Stored{claim, claimant};
  out.reserve(clients_.size() + 1);
  out.push_back(To(source, Signal(msg::kMsgLockChangeDone)));
  // One copy of the record, however many clients are registered.
  const Bytes notice = Share(msg::MakeDatagram(msg::kMsgLockRecord, claim));
  for (const auto& [key, client] : clients_) {
    (void)key;
    out.push_back(Datagram{client.source, notice});
  }
}

void MessageServer::Release(const uint8_t* record, const Endpoint& source,
                            std::vector<Datagram>& out) {
  const TaskLockRecord release = TaskLockRecord::Decode(record);
  std::vector<TaskLockRecord> removed;
  locks_.RemoveHeld(release.account, release.projectId, release.tasks, &removed,
                    OwnedBy(ClaimantOf(release, source)));
  for (const TaskLockRecord& lock : removed) stored_.erase(msg::LockKey(lock));
  out.push_back(To(source, Signal(msg::kMsgLockChangeDone)));
}

void MessageServer::QueryResource(const uint8_t* record, const Endpoint& source,
                                  std::vector<Datagram>& out) {
  const ResourceQuery query = ResourceQuery::Decode(record);
  ResourceQuery answer;
  answer.projectUuid = query.projectUuid;
  answer.specialty = query.specialty;

  const ResourceKey key{query.projectUuid, query.specialty};
  const auto held = resources_.find(key);
  if (held != resources_.end() && held->second.account != query.account) {
    answer.account = held->second.account;
    answer.displayName = held->second.displayName;
  } else if (!query.account.empty()) {
    // An empty account could not be reported as a holder, so it takes nothing.
    resources_[key] = Holding{query.account, query.displayName};
  }
  out.push_back(To(source, msg::MakeDatagram(msg::kMsgResourceAnswer, answer)));
}

MessageServer::Claimant MessageServer::ClaimantOf(const TaskLockRecord& request,
                                                   const Endpoint& source) const {
  Claimant claimant{std::string(), source};
  // The registration at the source vouches for the account when its name,
  // which has the longer slot, reads back whole and cuts to the account.
  for (const auto& [key, client] : clients_) {
    (void)key;
    if (!(client.source == source)) continue;
    const std::string& name = client.record.name;
    if (!msg::MayBeCut(name, msg::kPeerNameSlot) &&
        msg::SlotText(name, msg::kAccountSlot) == request.account) {
      claimant.name = name;
    }
    break;
  }
  return claimant;
}

msg::LockTable::OwnLockCheck MessageServer::OwnedBy(const Claimant& asker) const {
  // A lock of the asker's account text is the asker's when that text cannot
  // stand for another account, or when the same client claimed it. In doubt
  // it belongs to someone else: it blocks, and it is not released.
  return [this, asker](const TaskLockRecord& lock) {
    if (!msg::MayBeCut(lock.account, msg::kAccountSlot)) return true;
    const auto found = stored_.find(msg::LockKey(lock));
    if (found == stored_.end()) return false;
    const Claimant& holder = found->second.claimant;
    if (!asker.name.empty() && holder.name == asker.name) return true;
    return holder.source == asker.source;
  };
}

MessageServer::Client* MessageServer::FindRegistration(const std::string& name,
                                                       const Endpoint& source) {
  const auto it = clients_.find(LowerAscii(msg::SlotText(name, msg::kPeerNameSlot)));
  if (it == clients_.end() || !(it->second.source == source)) return nullptr;
  return &it->second;
}

}  // namespace velmora::msgserver
