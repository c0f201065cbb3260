#include "messaging/Records.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace velmora::msg {

namespace {

// PeerRecord layout.
constexpr size_t kPeerNameOffset = 0;
constexpr size_t kPeerEntriesOffset = 12;
constexpr size_t kEntrySize = 8;
constexpr size_t kPeerCountOffset = 52;
constexpr size_t kPeerObservedIpOffset = 56;
constexpr size_t kPeerObservedPortOffset = 60;

// TaskLockRecord layout.
constexpr size_t kLockAccountOffset = 0;
constexpr size_t kLockDisplayNameOffset = 10;
constexpr size_t kLockProjectOffset = 32;
constexpr size_t kLockTasksOffset = 36;

// ResourceQuery layout.
constexpr size_t kQueryUuidOffset = 0;
constexpr size_t kQueryAccountOffset = 40;
constexpr size_t kQueryDisplayNameOffset = 50;
constexpr size_t kQuerySpecialtyOffset = 70;

bool IsGbkLead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }
bool IsGbkTrail(unsigned char c) { return c >= 0x40 && c <= 0xFE && c != 0x7F; }

void PutIp(uint8_t* out, const Ipv4& ip) { std::copy(ip.begin(), ip.end(), out); }

Ipv4 GetIp(const uint8_t* in) { return Ipv4{in[0], in[1], in[2], in[3]}; }

std::vector<uint8_t> WithTypeCode(uint32_t type, size_t size) {
  std::vector<uint8_t> datagram(size, 0);
  PutU32(datagram.data(), type);
  return datagram;
}

}  // namespace

const char* MsgTypeName(uint32_t type) {
  switch (type) {
    case kMsgRegister: return "register";
    case kMsgLogout: return "logout";
    case kMsgRegistered: return "registered";
    case kMsgPeerList: return "peer-list";
    case kMsgPeerListEnd: return "peer-list-end";
    case kMsgAliveCheck: return "alive-check";
    case kMsgAliveAnswer: return "alive-answer";
    case kMsgProbe: return "probe";
    case kMsgProbeAnswer: return "probe-answer";
    case kMsgPeerText: return "peer-text";
    case kMsgPeerTextAck: return "peer-text-ack";
    case kMsgLockClaim: return "lock-claim";
    case kMsgLockTableRequest: return "lock-table-request";
    case kMsgLockTableEnd: return "lock-table-end";
    case kMsgLockQueryAnswer: return "lock-query-answer";
    case kMsgLockRecord: return "lock-record";
    case kMsgLockChangeDone: return "lock-change-done";
    case kMsgLockRelease: return "lock-release/refused";
    case kMsgResourceQuery: return "resource-query";
    case kMsgResourceAnswer: return "resource-answer";
    default: return "unknown";
  }
}

std::optional<Ipv4> ParseIpv4(const std::string& text) {
  Ipv4 ip{};
  size_t pos = 0;
  for (size_t part = 0; part < ip.size(); ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return std::nullopt;
      ++pos;
    }
    unsigned value = 0;
    size_t digits = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 3) {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
      ++digits;
    }
    if (digits == 0 || value > 255) return std::nullopt;
    ip[part] = static_cast<uint8_t>(value);
  }
  if (pos != text.size()) return std::nullopt;
  return ip;
}

std::string FormatIpv4(const Ipv4& ip) {
  return std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) +
         "." + std::to_string(ip[3]);
}

bool IsZero(const Ipv4& ip) { return ip == Ipv4{}; }

std::string SlotText(const std::string& text, size_t slotSize) {
  if (slotSize == 0) return std::string();
  const size_t end = std::min(text.find('\0'), text.size());
  const size_t limit = slotSize - 1;
  if (end <= limit) return text.substr(0, end);
  // Walk characters from the start: a GBK trail byte can look like a lead
  // byte, so the boundary cannot be found by looking backwards.
  size_t cut = 0;
  while (cut < limit) {
    const bool pair = IsGbkLead(static_cast<unsigned char>(text[cut])) && cut + 1 < end &&
                      IsGbkTrail(static_cast<unsigned char>(text[cut + 1]));
    const size_t width = pair ? 2 : 1;
    if (cut + width > limit) break;
    cut += width;
  }
  return text.substr(0, cut);
}

void WriteText(uint8_t* slot, size_t slotSize, const std::string& text) {
  std::fill(slot, slot + slotSize, uint8_t{0});
  const std::string fitted = SlotText(text, slotSize);
  std::copy(fitted.begin(), fitted.end(), slot);
}

std::string ReadText(const uint8_t* slot, size_t slotSize) {
  return std::string(ReadTextView(slot, slotSize));
}

std::string_view ReadTextView(const uint8_t* slot, size_t slotSize) {
  const void* terminator = std::memchr(slot, 0, slotSize);
  const size_t length =
      terminator ? static_cast<size_t>(static_cast<const uint8_t*>(terminator) - slot) : slotSize;
  return std::string_view(reinterpret_cast<const char*>(slot), length);
}

void PutU16(uint8_t* out, uint16_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint16_t GetU16(const uint8_t* in) { return static_cast<uint16_t>(in[0] | (in[1] << 8)); }

uint32_t GetU32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
         (static_cast<uint32_t>(in[2]) << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

// --- PeerRecord ---------------------------------------------------------------------

size_t PeerRecord::CountedEntries() const {
  return std::min<size_t>(count, kMaxAddressEntries);
}

void PeerRecord::Encode(uint8_t* out) const {
  std::fill(out, out + kPeerRecordSize, uint8_t{0});
  WriteText(out + kPeerNameOffset, kPeerNameSlot, name);
  for (size_t i = 0; i < entries.size(); ++i) {
    uint8_t* entry = out + kPeerEntriesOffset + i * kEntrySize;
    PutIp(entry, entries[i].ip);
    PutU16(entry + 4, entries[i].port);
  }
  out[kPeerCountOffset] = count;
  PutIp(out + kPeerObservedIpOffset, observedIp);
  PutU16(out + kPeerObservedPortOffset, observedPort);
}

PeerRecord PeerRecord::Decode(const uint8_t* in) {
  PeerRecord record;
  record.name = ReadText(in + kPeerNameOffset, kPeerNameSlot);
  for (size_t i = 0; i < record.entries.size(); ++i) {
    const uint8_t* entry = in + kPeerEntriesOffset + i * kEntrySize;
    record.entries[i].ip = GetIp(entry);
    record.entries[i].port = GetU16(entry + 4);
  }
  record.count = in[kPeerCountOffset];
  record.observedIp = GetIp(in + kPeerObservedIpOffset);
  record.observedPort = GetU16(in + kPeerObservedPortOffset);
  return record;
}

bool PeerRecord::operator==(const PeerRecord& other) const {
  return name == other.name && entries == other.entries && count == other.count &&
         observedIp == other.observedIp && observedPort == other.observedPort;
}

// --- TaskLockRecord -------------------------------------------------------------------

void TaskLockRecord::Encode(uint8_t* out) const {
  WriteText(out + kLockAccountOffset, kAccountSlot, account);
  WriteText(out + kLockDisplayNameOffset, kLockDisplayNameSlot, displayName);
  PutU32(out + kLockProjectOffset, static_cast<uint32_t>(projectId));
  WriteText(out + kLockTasksOffset, kTaskListSlot, tasks);
}

TaskLockRecord TaskLockRecord::Decode(const uint8_t* in) {
  const TaskLockView view = TaskLockView::Read(in);
  return TaskLockRecord{std::string(view.account), std::string(view.displayName), view.projectId,
                        std::string(view.tasks)};
}

TaskLockView TaskLockView::Read(const uint8_t* in) {
  TaskLockView view;
  view.account = ReadTextView(in + kLockAccountOffset, kAccountSlot);
  view.displayName = ReadTextView(in + kLockDisplayNameOffset, kLockDisplayNameSlot);
  view.projectId = static_cast<int32_t>(GetU32(in + kLockProjectOffset));
  view.tasks = ReadTextView(in + kLockTasksOffset, kTaskListSlot);
  return view;
}

TaskLockView TaskLockView::Of(const TaskLockRecord& record) {
  return TaskLockView{record.account, record.displayName, record.projectId, record.tasks};
}

bool TaskLockRecord::operator==(const TaskLockRecord& other) const {
  return account == other.account && displayName == other.displayName &&
         projectId == other.projectId && tasks == other.tasks;
}

// --- ResourceQuery --------------------------------------------------------------------

void ResourceQuery::Encode(uint8_t* out) const {
  WriteText(out + kQueryUuidOffset, kProjectUuidSlot, projectUuid);
  WriteText(out + kQueryAccountOffset, kAccountSlot, account);
  WriteText(out + kQueryDisplayNameOffset, kQueryDisplayNameSlot, displayName);
  WriteText(out + kQuerySpecialtyOffset, kSpecialtySlot, specialty);
}

ResourceQuery ResourceQuery::Decode(const uint8_t* in) {
  ResourceQuery record;
  record.projectUuid = ReadText(in + kQueryUuidOffset, kProjectUuidSlot);
  record.account = ReadText(in + kQueryAccountOffset, kAccountSlot);
  record.displayName = ReadText(in + kQueryDisplayNameOffset, kQueryDisplayNameSlot);
  record.specialty = ReadText(in + kQuerySpecialtyOffset, kSpecialtySlot);
  return record;
}

bool ResourceQuery::operator==(const ResourceQuery& other) const {
  return projectUuid == other.projectUuid && account == other.account &&
         displayName == other.displayName && specialty == other.specialty;
}

std::string LockKey(const TaskLockRecord& record) {
  std::string key;
  FormLockKey(TaskLockView::Of(record), key);
  return key;
}

void FormLockKey(const TaskLockView& lock, std::string& out) {
  // An account never holds a NUL (texts end at the first one), and neither
  // does a number, so the separators make every key name one record only.
  const std::string_view account = lock.account.substr(0, lock.account.find('\0'));
  char project[12];
  const auto written = std::to_chars(project, project + sizeof(project), lock.projectId);
  out.clear();
  out.reserve(account.size() + 13 + lock.tasks.size());
  out.append(account);
  out += '\0';
  out.append(project, written.ptr);
  out += '\0';
  out.append(lock.tasks);
}

bool MayBeCut(const std::string& slotText, size_t slotSize) {
  // A cut keeps slotSize - 1 bytes, or one fewer not to split a GBK pair.
  return slotSize >= 2 && slotText.size() + 2 >= slotSize;
}

// --- datagrams ----------------------------------------------------------------------

std::vector<uint8_t> MakeDatagram(uint32_t type, const PeerRecord& record) {
  std::vector<uint8_t> datagram = WithTypeCode(type, kShortDatagramSize);
  record.Encode(datagram.data() + kTypeCodeSize);
  return datagram;
}

std::vector<uint8_t> MakeDatagram(uint32_t type, const TaskLockRecord& record) {
  std::vector<uint8_t> datagram = WithTypeCode(type, kLockDatagramSize);
  record.Encode(datagram.data() + kTypeCodeSize);
  return datagram;
}

std::vector<uint8_t> MakeDatagram(uint32_t type, const ResourceQuery& record) {
  std::vector<uint8_t> datagram = WithTypeCode(type, kResourceDatagramSize);
  record.Encode(datagram.data() + kTypeCodeSize);
  return datagram;
}

std::vector<uint8_t> MakePeerTextDatagram(const PeerRecord& sender, const std::string& text) {
  std::vector<uint8_t> datagram = MakeDatagram(kMsgPeerText, sender);
  const size_t length = std::min(text.size(), kMaxPeerTextSize);
  datagram.insert(datagram.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(length));
  return datagram;
}

uint32_t ReadType(const uint8_t* data, size_t length) {
  return length < kTypeCodeSize ? 0 : GetU32(data);
}

std::string DescribeDatagram(const uint8_t* data, size_t length, const Ipv4& peer, uint16_t port) {
  const uint32_t type = ReadType(data, length);
  std::string text = std::to_string(type) + ' ' + MsgTypeName(type) + " bytes=" + std::to_string(length) +
                     " peer=" + FormatIpv4(peer) + ':' + std::to_string(port);
  switch (type) {
    case kMsgLockClaim:
    case kMsgLockTableRequest:
    case kMsgLockQueryAnswer:
    case kMsgLockRecord:
    case kMsgLockChangeDone:
    case kMsgLockRelease:
      break;
    default:
      return text;
  }
  if (length < kLockDatagramSize) return text;
  const TaskLockView lock = TaskLockView::Read(data + kTypeCodeSize);
  const size_t tasks = lock.tasks.empty() ? 0 : std::count(lock.tasks.begin(), lock.tasks.end(), ',') + size_t{1};
  return text + " project=" + std::to_string(lock.projectId) + " tasks=" + std::to_string(tasks);
}

}  // namespace velmora::msg
