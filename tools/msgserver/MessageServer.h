// Protocol side of the reference message server: registrations, the lock
// table and resource assignments, with no sockets. Every answer goes to the
// sender of the request or to the source address of a registered client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "messaging/ChannelCore.h"
#include "messaging/LockTable.h"
#include "messaging/Records.h"

namespace velmora::msgserver {

struct Endpoint {
  msg::Ipv4 ip{};
  uint16_t port = 0;

  bool operator==(const Endpoint& other) const { return ip == other.ip && port == other.port; }
};

class MessageServer {
 public:
  // A client that leaves `expireAfter` alive checks in a row unanswered is
  // dropped; 0 keeps every client until it logs out.
  explicit MessageServer(int expireAfter = 3) : expireAfter_(expireAfter) {}

  // Answers to one received datagram.
  std::vector<msg::Outgoing> Handle(const uint8_t* data, size_t length, const Endpoint& source);

  // One round of alive checks: drops expired clients, then sends 106 to
  // every remaining one.
  std::vector<msg::Outgoing> AliveTick();

  size_t clientCount() const { return clients_.size(); }
  // Stored registration of `name` (any case), or nullptr.
  const msg::PeerRecord* FindClient(const std::string& name) const;
  const msg::LockTable& locks() const { return locks_; }

 private:
  struct Client {
    msg::PeerRecord record;
    Endpoint source;
    int missedChecks = 0;
    bool checkPending = false;
  };
  struct Holding {
    std::string account;
    std::string displayName;
  };
  using ResourceKey = std::pair<std::string, std::string>;  // project UUID, specialty
  // Who claimed a lock, as far as the server can tell: an account that
  // fills its record slot may be the cut form of several.
  struct Claimant {
    std::string name;  // registered name, when it vouches for the account
    Endpoint source;
  };

  void Register(const uint8_t* record, const Endpoint& source, std::vector<msg::Outgoing>& out);
  void Logout(const uint8_t* record, const Endpoint& source);
  void ListPeers(const Endpoint& source, std::vector<msg::Outgoing>& out) const;
  void AliveAnswer(const uint8_t* record, const Endpoint& source);
  void SendLockTable(const Endpoint& source, std::vector<msg::Outgoing>& out) const;
  void Claim(const uint8_t* record, const Endpoint& source, std::vector<msg::Outgoing>& out);
  void Release(const uint8_t* record, const Endpoint& source, std::vector<msg::Outgoing>& out);
  void QueryResource(const uint8_t* record, const Endpoint& source,
                     std::vector<msg::Outgoing>& out);
  Client* FindRegistration(const std::string& name, const Endpoint& source);
  Claimant ClaimantOf(const msg::TaskLockRecord& request, const Endpoint& source) const;
  msg::LockTable::OwnLockCheck OwnedBy(const Claimant& asker) const;

  int expireAfter_;
  std::map<std::string, Client> clients_;  // by lower-case name
  msg::LockTable locks_;
  std::map<std::string, Claimant> claimants_;  // by lock key
  std::map<ResourceKey, Holding> resources_;
};

}  // namespace velmora::msgserver
