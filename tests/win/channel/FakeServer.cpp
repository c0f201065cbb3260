#include "tests/win/channel/FakeServer.h"

#include <cstdio>
#include <cstring>

namespace velmora::test {

WinsockScope::WinsockScope() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
}

WinsockScope::~WinsockScope() { WSACleanup(); }

msg::PeerRecord Datagram::peer() const {
  std::vector<uint8_t> padded(bytes);
  padded.resize(msg::kShortDatagramSize);
  return msg::PeerRecord::Decode(padded.data() + msg::kTypeCodeSize);
}

msg::TaskLockRecord Datagram::lock() const {
  std::vector<uint8_t> padded(bytes);
  padded.resize(msg::kLockDatagramSize);
  return msg::TaskLockRecord::Decode(padded.data() + msg::kTypeCodeSize);
}

msg::ResourceQuery Datagram::resource() const {
  std::vector<uint8_t> padded(bytes);
  padded.resize(msg::kResourceDatagramSize);
  return msg::ResourceQuery::Decode(padded.data() + msg::kTypeCodeSize);
}

msg::Ipv4 LoopbackIp(int lastOctet) { return msg::Ipv4{127, 0, 0, static_cast<uint8_t>(lastOctet)}; }

sockaddr_in Loopback(int lastOctet, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  msg::Ipv4 ip = LoopbackIp(lastOctet);
  std::memcpy(&a.sin_addr.s_addr, ip.data(), 4);
  a.sin_port = htons(port);
  return a;
}

Endpoint::Endpoint(int lastOctet, uint16_t port) : octet_(lastOctet) {
  static WinsockScope winsock;  // outlives every endpoint
  // Other test programs hold port 4568 for a while (see the header); the
  // waits of the whole run share one budget so a port held for good fails
  // the remaining tests quickly.
  static ULONGLONG budgetMs = 60000;
  bool told = false;
  while (!Bind(port)) {
    if (budgetMs < 250) return;
    if (!told) std::fprintf(stderr, "port %u on %s is busy; waiting\n", port, ip().c_str());
    told = true;
    Sleep(250);
    budgetMs -= 250;
  }
  // Learn the source address receivers see from a datagram to ourselves.
  const msg::AddressEntry self = address();
  const sockaddr_in to = Loopback(octet_, self.port);
  const std::vector<uint8_t> marker = {0};
  SendTo(to, marker);
  sourceIp_ = LoopbackIp(octet_);
  for (std::optional<Datagram> d; (d = Receive(kReplyTimeoutMs));) {
    if (d->bytes == marker && ntohs(d->from.sin_port) == self.port) {
      std::memcpy(sourceIp_.data(), &d->from.sin_addr.s_addr, 4);
      break;
    }
  }
}

bool Endpoint::Bind(uint16_t port) {
  socket_ = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (socket_ == INVALID_SOCKET) return false;
  sockaddr_in local = Loopback(octet_, port);
  if (bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) == 0) return true;
  closesocket(socket_);
  socket_ = INVALID_SOCKET;
  return false;
}

Endpoint::~Endpoint() {
  if (socket_ != INVALID_SOCKET) closesocket(socket_);
}

msg::AddressEntry Endpoint::address() const {
  sockaddr_in bound{};
  int size = sizeof(bound);
  getsockname(socket_, reinterpret_cast<sockaddr*>(&bound), &size);
  return msg::AddressEntry{LoopbackIp(octet_), ntohs(bound.sin_port)};
}

std::optional<Datagram> Endpoint::Receive(int timeoutMs) {
  if (socket_ == INVALID_SOCKET) return std::nullopt;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket_, &readable);
  timeval wait{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  if (select(0, &readable, nullptr, nullptr, &wait) != 1) return std::nullopt;
  Datagram d;
  d.bytes.resize(65536);
  int fromSize = sizeof(d.from);
  int n = recvfrom(socket_, reinterpret_cast<char*>(d.bytes.data()), static_cast<int>(d.bytes.size()), 0,
                   reinterpret_cast<sockaddr*>(&d.from), &fromSize);
  if (n < 0) return std::nullopt;
  d.bytes.resize(static_cast<size_t>(n));
  return d;
}

std::optional<Datagram> Endpoint::ReceiveType(uint32_t type, std::vector<Datagram>* skipped, int timeoutMs) {
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
  for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
    std::optional<Datagram> d = Receive(static_cast<int>(end - now));
    if (!d) return std::nullopt;
    if (d->type() == type) return d;
    if (skipped) skipped->push_back(std::move(*d));
  }
  return std::nullopt;
}

std::vector<Datagram> Endpoint::Drain(int quietMs) {
  std::vector<Datagram> all;
  while (std::optional<Datagram> d = Receive(quietMs)) all.push_back(std::move(*d));
  return all;
}

testing::AssertionResult Endpoint::ExpectNothing(int ms) {
  std::vector<Datagram> got = Drain(ms);
  if (got.empty()) return testing::AssertionSuccess();
  testing::AssertionResult failure = testing::AssertionFailure();
  failure << ip() << " received " << got.size() << " datagram(s), first of type " << got[0].type() << " ("
          << msg::MsgTypeName(got[0].type()) << ", " << got[0].bytes.size() << " bytes)";
  return failure;
}

void Endpoint::SendTo(const sockaddr_in& to, const std::vector<uint8_t>& bytes) {
  sendto(socket_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
         reinterpret_cast<const sockaddr*>(&to), sizeof(to));
}

std::future<std::optional<Datagram>> AnswerNext(Endpoint& server, std::vector<std::vector<uint8_t>> replies) {
  return std::async(std::launch::async, [&server, replies = std::move(replies)] {
    std::optional<Datagram> request = server.Receive();
    if (request) {
      for (const auto& reply : replies) server.SendTo(request->from, reply);
    }
    return request;
  });
}

std::future<std::vector<Datagram>> ServeRegistration(Endpoint& server, msg::PeerRecord accepted,
                                                     std::vector<msg::TaskLockRecord> locks) {
  return std::async(std::launch::async, [&server, accepted, locks = std::move(locks)] {
    std::vector<Datagram> got;
    std::optional<Datagram> hello = server.Receive();
    if (!hello) return got;
    got.push_back(*hello);
    server.SendTo(hello->from, msg::MakeDatagram(msg::kMsgRegistered, accepted));
    std::optional<Datagram> table = server.ReceiveType(msg::kMsgLockTableRequest);
    if (!table) return got;
    got.push_back(*table);
    for (const msg::TaskLockRecord& lock : locks) {
      server.SendTo(table->from, msg::MakeDatagram(msg::kMsgLockRecord, lock));
    }
    server.SendTo(table->from, Short(msg::kMsgLockTableEnd));
    return got;
  });
}

testing::AssertionResult Settle(Endpoint& probe, const sockaddr_in& channel, std::vector<Datagram>* before) {
  probe.SendTo(channel, Short(msg::kMsgAliveCheck, Peer("probe", {})));
  if (probe.ReceiveType(msg::kMsgAliveAnswer, before)) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "no alive answer (107) from the channel";
}

std::vector<uint8_t> Short(uint32_t type, const msg::PeerRecord& record) { return msg::MakeDatagram(type, record); }

msg::PeerRecord Peer(const std::string& name, std::vector<msg::AddressEntry> entries) {
  msg::PeerRecord r;
  r.name = name;
  for (size_t i = 0; i < entries.size() && i < msg::kMaxAddressEntries; ++i) r.entries[i] = entries[i];
  r.count = static_cast<uint8_t>(entries.size());
  return r;
}

std::vector<uint8_t> Lock(uint32_t type, const std::string& account, int32_t project, const std::string& tasks) {
  return msg::MakeDatagram(type, msg::TaskLockRecord{account, "", project, tasks});
}

std::vector<uint8_t> ResourceAnswer(const std::string& account) {
  return msg::MakeDatagram(msg::kMsgResourceAnswer, msg::ResourceQuery{"P-1", account, "", "structure"});
}

size_t CountType(const std::vector<Datagram>& all, uint32_t type) {
  size_t n = 0;
  for (const Datagram& d : all) n += d.type() == type ? 1 : 0;
  return n;
}

}  // namespace velmora::test
