// Loopback UDP endpoints that stand in for the message server and for other
// clients, so the channel's sockets, receive thread and resends are tested
// against real datagrams. Datagrams are built and read with the messaging
// records, never by hand, except where a test means to send a malformed one.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "messaging/Records.h"

namespace velmora::test {

// Long enough that a slow Wine start never fails a test that works, short
// enough that a broken one ends.
constexpr int kReplyTimeoutMs = 15000;
// How long a test listens before it concludes that nothing was sent.
constexpr int kQuietMs = 300;

// Winsock for the test process, started before any endpoint exists.
class WinsockScope {
 public:
  WinsockScope();
  ~WinsockScope();
};

struct Datagram {
  std::vector<uint8_t> bytes;
  sockaddr_in from{};

  uint32_t type() const { return msg::ReadType(bytes.data(), bytes.size()); }
  msg::PeerRecord peer() const;
  msg::TaskLockRecord lock() const;
  msg::ResourceQuery resource() const;
};

sockaddr_in Loopback(int lastOctet, uint16_t port);
msg::Ipv4 LoopbackIp(int lastOctet);

// A UDP socket bound to 127.0.0.<lastOctet>:<port> (port 0: ephemeral).
// Wine 8 binds a datagram socket asked for 127.0.0.N (N other than 1) to all
// addresses instead, so its datagrams carry the source address the system
// picks (127.0.0.1) and it shares the port with any other such socket:
// sourceIp() tells what receivers see, and a refused bind is retried for a
// while since other test programs hold port 4568 briefly.
class Endpoint {
 public:
  Endpoint(int lastOctet, uint16_t port);
  ~Endpoint();
  Endpoint(const Endpoint&) = delete;
  Endpoint& operator=(const Endpoint&) = delete;

  bool ok() const { return socket_ != INVALID_SOCKET; }
  std::string ip() const { return "127.0.0." + std::to_string(octet_); }
  msg::AddressEntry address() const;
  // The address datagrams from this endpoint arrive from.
  msg::Ipv4 sourceIp() const { return sourceIp_; }

  std::optional<Datagram> Receive(int timeoutMs = kReplyTimeoutMs);
  // The next datagram of `type`, skipping others (they are kept in `skipped`).
  std::optional<Datagram> ReceiveType(uint32_t type, std::vector<Datagram>* skipped = nullptr,
                                      int timeoutMs = kReplyTimeoutMs);
  // Everything that arrives until the line stays quiet for `quietMs`.
  std::vector<Datagram> Drain(int quietMs = kQuietMs);
  testing::AssertionResult ExpectNothing(int ms = kQuietMs);
  void SendTo(const sockaddr_in& to, const std::vector<uint8_t>& bytes);

 private:
  bool Bind(uint16_t port);

  int octet_;
  SOCKET socket_ = INVALID_SOCKET;
  msg::Ipv4 sourceIp_{};
};

// The message server's side: 127.0.0.<lastOctet>, port 4568.
class FakeServer : public Endpoint {
 public:
  explicit FakeServer(int lastOctet) : Endpoint(lastOctet, msg::kServerPort) {}
};

// Plays the server's side of one exchange in the background: takes the next
// datagram and answers its sender with `replies`, in order.
std::future<std::optional<Datagram>> AnswerNext(Endpoint& server, std::vector<std::vector<uint8_t>> replies);

// The server's side of a registration: 101 answered by 103 carrying
// `accepted`, then 202 answered by a 205 per lock and 203. Returns the
// datagrams received (101 and 202 when all went well).
std::future<std::vector<Datagram>> ServeRegistration(Endpoint& server, msg::PeerRecord accepted,
                                                     std::vector<msg::TaskLockRecord> locks);

// Sends an alive check (106) from `probe` and waits for the answer (107).
// The receive thread handles datagrams in arrival order, so once the answer
// is back everything sent to the channel before it has been dispatched.
// `before` receives what reached `probe` ahead of the answer.
testing::AssertionResult Settle(Endpoint& probe, const sockaddr_in& channel,
                                std::vector<Datagram>* before = nullptr);

// Short (72-byte) datagram of `type` carrying `record`.
std::vector<uint8_t> Short(uint32_t type, const msg::PeerRecord& record = {});
msg::PeerRecord Peer(const std::string& name, std::vector<msg::AddressEntry> entries);
std::vector<uint8_t> Lock(uint32_t type, const std::string& account, int32_t project, const std::string& tasks);
std::vector<uint8_t> ResourceAnswer(const std::string& account);

// Datagrams of `type` among `all`.
size_t CountType(const std::vector<Datagram>& all, uint32_t type);

}  // namespace velmora::test
