// Protocol side of the reference message server: registrations, the lock
// table and resource assignments, with no sockets. Every answer goes to the
// sender of the request or to the source address of a registered client.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
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
  bool operator<(const Endpoint& other) const {
    return ip != other.ip ? ip < other.ip : port < other.port;
  }
};

// Datagram bytes, shared by every destination of one push.
using Bytes = std::shared_ptr<const std::vector<uint8_t>>;

struct Datagram {
  Endpoint to;
  Bytes bytes;
};

// A client asked for the lock table. `ask` counts its asks since it last
// registered: a client asks again only when it missed the end of the table.
// `checkPending`: an alive check to it is still unanswered.
struct TableAsk {
  Endpoint to;
  int ask = 1;
  bool checkPending = false;
};

struct Answers {
  std::vector<Datagram> datagrams;  // in the order they are to go out
  std::optional<TableAsk> table;    // sent record by record, as the pace allows
  std::optional<Endpoint> aliveFrom;  // a 107 came from there, registered or not
};

// One record of the lock table, where the server keeps it.
struct TableEntry {
  const std::string* key;
  const msg::TaskLockRecord* record;
};

class MessageServer {
 public:
  // A client that leaves `expireAfter` alive checks in a row unanswered is
  // dropped; 0 keeps every client until it logs out.
  explicit MessageServer(int expireAfter = 3) : expireAfter_(expireAfter) {}

  // Answers to one received datagram.
  Answers Handle(const uint8_t* data, size_t length, const Endpoint& source);

  // One round of alive checks: drops expired clients, then sends 106 to
  // every remaining one.
  std::vector<Datagram> AliveTick();

  // The lock table is sent from here a record at a time, so a long answer
  // neither holds up the other clients nor goes out from a stale copy:
  // the first lock in key order after `key` (from the start without one),
  // or nothing past the last. Valid until the next Handle.
  std::optional<TableEntry> LockAfter(const std::optional<std::string>& key) const;
  static Bytes TableRecord(const msg::TaskLockRecord& lock);
  static Bytes TableEnd();
  static Bytes AliveCheck();

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
    int tableAsks = 0;
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
  struct Stored {
    msg::TaskLockRecord record;
    Claimant claimant;
  };

  void Register(const uint8_t* record, const Endpoint& source, std::vector<Datagram>& out);
  void Logout(const uint8_t* record, const Endpoint& source);
  void ListPeers(const Endpoint& source, std::vector<Datagram>& out) const;
  void AliveAnswer(const uint8_t* record, const Endpoint& source);
  TableAsk AskTable(const Endpoint& source);
  void Claim(const uint8_t* record, const Endpoint& source, std::vector<Datagram>& out);
  void Release(const uint8_t* record, const Endpoint& source, std::vector<Datagram>& out);
  void QueryResource(const uint8_t* record, const Endpoint& source, std::vector<Datagram>& out);
  Client* FindRegistration(const std::string& name, const Endpoint& source);
  Claimant ClaimantOf(const msg::TaskLockRecord& request, const Endpoint& source) const;
  msg::LockTable::OwnLockCheck OwnedBy(const Claimant& asker) const;

  int expireAfter_;
  std::map<std::string, Client> clients_;  // by lower-case name
  msg::LockTable locks_;                  // answers lock questions
  std::map<std::string, Stored> stored_;  // the same locks by key, to send and to own
  std::map<ResourceKey, Holding> resources_;
};

}  // namespace velmora::msgserver
