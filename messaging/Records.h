// Fixed-layout records carried by the message datagrams, and their codecs.
// Every field is encoded at its byte offset, little-endian; records are never
// copied as memory images, so host layout and padding play no part.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::msg {

constexpr uint16_t kServerPort = 4568;

constexpr size_t kTypeCodeSize = 4;
constexpr size_t kPeerRecordSize = 68;
constexpr size_t kTaskLockRecordSize = 8036;
constexpr size_t kResourceQuerySize = 672;

constexpr size_t kShortDatagramSize = kTypeCodeSize + kPeerRecordSize;         // 72
constexpr size_t kLockDatagramSize = kTypeCodeSize + kTaskLockRecordSize;      // 8040
constexpr size_t kResourceDatagramSize = kTypeCodeSize + kResourceQuerySize;   // 676
constexpr size_t kReceiveBufferSize = 8192;
// Longest text a peer message can carry and still fit a receiver's buffer.
constexpr size_t kMaxPeerTextSize = kReceiveBufferSize - kShortDatagramSize;

// Text slot sizes, terminator included.
constexpr size_t kPeerNameSlot = 12;
constexpr size_t kAccountSlot = 10;
constexpr size_t kLockDisplayNameSlot = 22;
constexpr size_t kTaskListSlot = 8000;
constexpr size_t kProjectUuidSlot = 40;
constexpr size_t kQueryDisplayNameSlot = 20;
constexpr size_t kSpecialtySlot = 602;

constexpr size_t kMaxAddressEntries = 5;

// Type codes. 207 means "release" when a client sends it and "refused" when
// a client receives it, hence two names for one value.
enum MsgType : uint32_t {
  kMsgRegister = 101,
  kMsgLogout = 102,
  kMsgRegistered = 103,
  kMsgPeerList = 104,
  kMsgPeerListEnd = 105,
  kMsgAliveCheck = 106,
  kMsgAliveAnswer = 107,
  kMsgProbe = 108,
  kMsgProbeAnswer = 109,
  kMsgPeerText = 110,
  kMsgPeerTextAck = 111,
  kMsgLockClaim = 201,
  kMsgLockTableRequest = 202,
  kMsgLockTableEnd = 203,
  kMsgLockQueryAnswer = 204,
  kMsgLockRecord = 205,
  kMsgLockChangeDone = 206,
  kMsgLockRelease = 207,
  kMsgLockRefused = 207,
  kMsgResourceQuery = 211,
  kMsgResourceAnswer = 213,
};

// Readable name of a type code ("register", "lock-record", ...); "unknown"
// for codes outside the protocol.
const char* MsgTypeName(uint32_t type);

// IPv4 address in network byte order: a.b.c.d is {a, b, c, d}.
using Ipv4 = std::array<uint8_t, 4>;

// Strict dotted-quad parse ("10.0.0.1"); nothing else is accepted.
std::optional<Ipv4> ParseIpv4(const std::string& text);
std::string FormatIpv4(const Ipv4& ip);
bool IsZero(const Ipv4& ip);

// --- text slots -------------------------------------------------------------

// The text as a receiver reads it back once written into a slot of
// `slotSize` bytes: it ends at the first NUL, and a text too long for the
// slot and its terminator is cut to slotSize - 1 bytes, never inside a
// two-byte GBK character.
std::string SlotText(const std::string& text, size_t slotSize);

// Writes SlotText(text, slotSize) NUL-terminated and zero-filled.
void WriteText(uint8_t* slot, size_t slotSize, const std::string& text);

// Reads up to the terminator, at most slotSize bytes.
std::string ReadText(const uint8_t* slot, size_t slotSize);
// The same text as a view into the slot.
std::string_view ReadTextView(const uint8_t* slot, size_t slotSize);

// --- little-endian integers ---------------------------------------------------

void PutU16(uint8_t* out, uint16_t value);
void PutU32(uint8_t* out, uint32_t value);
uint16_t GetU16(const uint8_t* in);
uint32_t GetU32(const uint8_t* in);

// --- records ------------------------------------------------------------------

struct AddressEntry {
  Ipv4 ip{};
  uint16_t port = 0;

  bool operator==(const AddressEntry& other) const {
    return ip == other.ip && port == other.port;
  }
  bool operator!=(const AddressEntry& other) const { return !(*this == other); }
};

// One client: account name, the addresses it can be reached at, and the
// address a receiver saw it at.
struct PeerRecord {
  std::string name;  // 12-byte slot
  std::array<AddressEntry, kMaxAddressEntries> entries{};
  uint8_t count = 0;  // as received; may exceed the five entries
  Ipv4 observedIp{};
  uint16_t observedPort = 0;

  // Number of entries that are both counted and present.
  size_t CountedEntries() const;

  void Encode(uint8_t* out) const;               // kPeerRecordSize bytes
  static PeerRecord Decode(const uint8_t* in);  // reads kPeerRecordSize bytes

  bool operator==(const PeerRecord& other) const;
  bool operator!=(const PeerRecord& other) const { return !(*this == other); }
};

// One edit lock on a project's tasks, or a request for one.
struct TaskLockRecord {
  std::string account;      // 10-byte slot
  std::string displayName;  // 22-byte slot
  int32_t projectId = 0;
  std::string tasks;        // 8000-byte slot, comma-separated task UIDs

  void Encode(uint8_t* out) const;                   // kTaskLockRecordSize bytes
  static TaskLockRecord Decode(const uint8_t* in);  // reads kTaskLockRecordSize bytes

  bool operator==(const TaskLockRecord& other) const;
};

// A lock record read in place: views into the received bytes, each field
// taken from its offset, so a table can store it without a copy in between.
// Valid as long as those bytes are.
struct TaskLockView {
  std::string_view account;
  std::string_view displayName;
  int32_t projectId = 0;
  std::string_view tasks;

  static TaskLockView Read(const uint8_t* in);  // reads kTaskLockRecordSize bytes
  static TaskLockView Of(const TaskLockRecord& record);
};

// Whether one project's resource assignment in one specialty is free.
struct ResourceQuery {
  std::string projectUuid;  // 40-byte slot
  std::string account;      // 10-byte slot; empty in an answer means free
  std::string displayName;  // 20-byte slot
  std::string specialty;    // 602-byte slot

  void Encode(uint8_t* out) const;                  // kResourceQuerySize bytes
  static ResourceQuery Decode(const uint8_t* in);  // reads kResourceQuerySize bytes

  bool operator==(const ResourceQuery& other) const;
};

// Lock table key: account, NUL, project id in decimal, NUL, task list. Keys
// order by account first (byte-wise, a shorter account before its
// extensions), and distinct records never share one.
std::string LockKey(const TaskLockRecord& record);
// The same key written into `out` (emptied first), so a caller can keep one
// buffer for every key it forms.
void FormLockKey(const TaskLockView& lock, std::string& out);

// Whether a text read back from a slot of `slotSize` bytes may be the cut
// form of a longer one, so that two different texts read back as it.
bool MayBeCut(const std::string& slotText, size_t slotSize);

// --- datagrams ------------------------------------------------------------------

std::vector<uint8_t> MakeDatagram(uint32_t type, const PeerRecord& record);
std::vector<uint8_t> MakeDatagram(uint32_t type, const TaskLockRecord& record);
std::vector<uint8_t> MakeDatagram(uint32_t type, const ResourceQuery& record);

// 110 with `text` after the sender's record; text beyond kMaxPeerTextSize
// is dropped so the datagram fits any receiver's buffer.
std::vector<uint8_t> MakePeerTextDatagram(const PeerRecord& sender, const std::string& text);

// Type code of a datagram; 0 (no protocol code) when shorter than 4 bytes.
uint32_t ReadType(const uint8_t* data, size_t length);

// One datagram for the diagnostic trace: "205 lock-record bytes=8040
// peer=10.0.0.1:4568", then " project=7 tasks=3" for a full lock record
// (tasks counted as the comma list holds them). Codes, sizes and counts
// only: none of a datagram's texts.
std::string DescribeDatagram(const uint8_t* data, size_t length, const Ipv4& peer, uint16_t port);

}  // namespace velmora::msg
