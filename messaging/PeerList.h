// The clients the message server listed, in arrival order.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "messaging/Records.h"

namespace velmora::msg {

// ASCII letters compared without case; every other byte exactly.
bool EqualsIgnoreAsciiCase(const std::string& a, const std::string& b);

// The entry that tells two registrations of one name apart: the slot just
// after the counted entries, where the server writes the address it saw the
// registration come from. A record with all five entries counted has no such
// slot and is identified by an all-zero entry.
AddressEntry IdentifyingAddress(const PeerRecord& record);

class PeerList {
 public:
  static constexpr size_t kInitialCapacity = 100;

  PeerList();

  // Overwrites the listed record of the same name (any case) when it has the
  // same identifying address; keeps the listed one when the address differs;
  // appends a record of a new name.
  void AddPeer(const PeerRecord& record);

  // First record whose name equals `name` ignoring ASCII case, or nullptr.
  PeerRecord* FindPeer(const std::string& name);
  const PeerRecord* FindPeer(const std::string& name) const;

  void Clear() { records_.clear(); }
  size_t size() const { return records_.size(); }
  const std::vector<PeerRecord>& records() const { return records_; }

 private:
  std::vector<PeerRecord> records_;
};

}  // namespace velmora::msg
