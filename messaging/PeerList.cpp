#include "messaging/PeerList.h"

namespace velmora::msg {

namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool EqualsIgnoreAsciiCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

AddressEntry IdentifyingAddress(const PeerRecord& record) {
  if (record.count >= kMaxAddressEntries) return AddressEntry{};
  return record.entries[record.count];
}

PeerList::PeerList() { records_.reserve(kInitialCapacity); }

void PeerList::AddPeer(const PeerRecord& record) {
  PeerRecord* listed = FindPeer(record.name);
  if (listed == nullptr) {
    records_.push_back(record);
  } else if (IdentifyingAddress(*listed) == IdentifyingAddress(record)) {
    *listed = record;
  }
}

PeerRecord* PeerList::FindPeer(const std::string& name) {
  for (PeerRecord& record : records_) {
    if (EqualsIgnoreAsciiCase(record.name, name)) return &record;
  }
  return nullptr;
}

const PeerRecord* PeerList::FindPeer(const std::string& name) const {
  for (const PeerRecord& record : records_) {
    if (EqualsIgnoreAsciiCase(record.name, name)) return &record;
  }
  return nullptr;
}

}  // namespace velmora::msg
