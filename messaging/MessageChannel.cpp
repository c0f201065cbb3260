#include "messaging/MessageChannel.h"

#include <ws2tcpip.h>

#include <cstring>
#include <mutex>

namespace velmora {
namespace {

constexpr int kMaxSends = 5;
constexpr DWORD kWindowMs = 500;
constexpr DWORD kPollMs = 50;
constexpr DWORD kStopWaitMs = 300;
constexpr int kReceiveSocketBuffer = 4 * 1024 * 1024;  // lock tables arrive in bursts

msg::Ipv4 ToIpv4(const in_addr& a) {
  msg::Ipv4 ip;
  std::memcpy(ip.data(), &a.s_addr, 4);  // both in network order
  return ip;
}

sockaddr_in ToSockaddr(const msg::Ipv4& ip, uint16_t port) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  std::memcpy(&to.sin_addr.s_addr, ip.data(), 4);
  to.sin_port = htons(port);
  return to;
}

}  // namespace

MessageChannel::MessageChannel() : buffer_(msg::kReceiveBufferSize) {
  WSADATA data;
  wsaStarted_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  receiveEvent_.reset(WSACreateEvent());
  replyEvent_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  overlapped_.hEvent = receiveEvent_.get();
}

MessageChannel::~MessageChannel() {
  SendLogout();
  if (thread_) {
    stopRequested_ = 1;
    SetEvent(receiveEvent_.get());
    WaitForSingleObject(thread_.get(), kStopWaitMs);
    thread_.reset();
  }
  if (socket_ != INVALID_SOCKET) closesocket(socket_);  // also cancels a pending receive
  socket_ = INVALID_SOCKET;
  receiveEvent_.reset();
  if (wsaStarted_) WSACleanup();
}

void MessageChannel::OnMessage(const std::string&, const char*, int) {}

void MessageChannel::SetServerAddress(const std::string& dotted) {
  in_addr a{};
  a.s_addr = inet_addr(dotted.c_str());  // INADDR_NONE (all ones) when unparsable
  serverAddress_ = ToIpv4(a);
  std::lock_guard<CriticalSection> guard(lock_);
  core_.SetServerAddress(serverAddress_);
}

int MessageChannel::Start(uint16_t port) {
  if (started_) return 1;
  if (socket_ != INVALID_SOCKET) return 0;

  socket_ = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED);
  if (socket_ == INVALID_SOCKET) return 0;
  setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&kReceiveSocketBuffer),
             sizeof(kReceiveSocketBuffer));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(port);
  if (bind(socket_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
    closesocket(socket_);
    socket_ = INVALID_SOCKET;
    return 0;
  }
  localPort_ = port;
  if (port == 0) {
    sockaddr_in bound{};
    int size = sizeof(bound);
    if (getsockname(socket_, reinterpret_cast<sockaddr*>(&bound), &size) == 0) localPort_ = ntohs(bound.sin_port);
  }

  char host[256] = {};
  if (gethostname(host, sizeof(host)) != 0) return 0;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) return 0;
  std::vector<msg::Ipv4> addresses;
  for (addrinfo* a = found; a; a = a->ai_next) {
    addresses.push_back(ToIpv4(reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr));
  }
  freeaddrinfo(found);
  {
    std::lock_guard<CriticalSection> guard(lock_);
    core_.BuildOwnRecord(addresses, localPort_);
  }

  stopRequested_ = 0;
  thread_.reset(CreateThread(nullptr, 0, &MessageChannel::ReceiveThread, this, 0, nullptr));
  if (!thread_) return 0;
  started_ = 1;
  return 1;
}

DWORD WINAPI MessageChannel::ReceiveThread(void* self) {
  static_cast<MessageChannel*>(self)->ReceiveLoop();
  return 0;
}

void MessageChannel::ReceiveLoop() {
  for (;;) {
    WSABUF chunk{static_cast<ULONG>(msg::kReceiveBufferSize), buffer_.data()};
    sockaddr_in from{};
    int fromSize = sizeof(from);
    DWORD received = 0, flags = 0;
    if (stopRequested_) return;
    WSAResetEvent(receiveEvent_.get());
    // Looked at again after the reset: a stop signalled just before it
    // would otherwise be lost and the wait below would never end.
    if (stopRequested_) return;
    int rc = WSARecvFrom(socket_, &chunk, 1, &received, &flags, reinterpret_cast<sockaddr*>(&from), &fromSize,
                         &overlapped_, nullptr);
    bool delivered = rc == 0;
    if (rc != 0 && WSAGetLastError() == WSA_IO_PENDING) {
      WaitForSingleObject(receiveEvent_.get(), INFINITE);
      if (stopRequested_) return;
      delivered = WSAGetOverlappedResult(socket_, &overlapped_, &received, FALSE, &flags) != FALSE;
    }
    if (stopRequested_) return;
    // A failed receive (say, an earlier datagram refused by its destination)
    // delivers nothing; the loop simply receives again.
    if (delivered) HandleDatagram(static_cast<int>(received), from);
  }
}

void MessageChannel::HandleDatagram(int length, const sockaddr_in& from) {
  ++dispatched_;
  msg::DispatchResult result;
  {
    std::lock_guard<CriticalSection> guard(lock_);
    result = core_.Dispatch(reinterpret_cast<const uint8_t*>(buffer_.data()), static_cast<size_t>(length),
                            ToIpv4(from.sin_addr), ntohs(from.sin_port));
  }
  // No lock is held while sending or calling out.
  for (const msg::Outgoing& out : result.sends) Send(out.bytes, out.ip, out.port);
  SetIndicator(result.indicator, result.value);
  if (result.message) {
    std::string text(result.message->text.begin(), result.message->text.end());
    OnMessage(result.message->senderName, text.c_str(), static_cast<int>(text.size()));
  }
}

void MessageChannel::SetIndicator(msg::Indicator indicator, int32_t value) {
  switch (indicator) {
    case msg::Indicator::kNone:
      return;
    case msg::Indicator::kRegistered:
      registered_ = value;
      break;
    case msg::Indicator::kPeerListComplete:
      peerListComplete_ = value;
      break;
    case msg::Indicator::kLockTableComplete:
      lockTableComplete_ = value;
      break;
    case msg::Indicator::kChangeResult:
      changeResult_ = value;
      break;
    case msg::Indicator::kResourceResult:
      resourceResult_ = value;
      break;
  }
  SetEvent(replyEvent_.get());  // the waiting thread looks at once
}

void MessageChannel::Send(const std::vector<uint8_t>& datagram, const msg::Ipv4& ip, uint16_t port) {
  if (socket_ == INVALID_SOCKET) return;
  sockaddr_in to = ToSockaddr(ip, port);
  // Send errors are not examined: a lost datagram is covered by resends.
  sendto(socket_, reinterpret_cast<const char*>(datagram.data()), static_cast<int>(datagram.size()), 0,
         reinterpret_cast<sockaddr*>(&to), sizeof(to));
}

void MessageChannel::SendToServer(const std::vector<uint8_t>& datagram) {
  Send(datagram, serverAddress_, msg::kServerPort);
}

template <typename Done>
bool MessageChannel::WaitWindow(Done done) {
  const ULONGLONG end = GetTickCount64() + kWindowMs;
  for (;;) {
    if (done()) return true;
    ULONGLONG now = GetTickCount64();
    if (now >= end) return done();
    DWORD left = static_cast<DWORD>(end - now);
    // Woken by each reply; the poll interval is only the longest reaction.
    WaitForSingleObject(replyEvent_.get(), left < kPollMs ? left : kPollMs);
  }
}

template <typename Done>
bool MessageChannel::Request(const std::vector<uint8_t>& datagram, Done done, size_t (MessageChannel::*count)()) {
  ResetEvent(replyEvent_.get());
  for (int sends = 0; sends < kMaxSends; ++sends) {
    SendToServer(datagram);
    for (;;) {
      size_t before = count ? (this->*count)() : 0;
      if (WaitWindow(done)) return true;
      if (!count || (this->*count)() == before) break;  // nothing more arrived: send again
    }
  }
  return false;
}

int MessageChannel::Register(const std::string& account, const std::string& serverAddress) {
  if (registered_ || account.size() > 19) return 0;
  SetServerAddress(serverAddress);
  std::vector<uint8_t> request;
  {
    std::lock_guard<CriticalSection> guard(lock_);
    core_.SetOwnName(account);
    request = core_.MakeOwnDatagram(msg::kMsgRegister);
  }
  if (!Request(request, [this] { return registered_.load() != 0; })) return 0;

  lockTableComplete_ = 0;
  Request(msg::ChannelCore::MakeLockTableRequest(), [this] { return lockTableComplete_.load() != 0; },
          &MessageChannel::LockCount);
  return 1;  // registered, whether or not the whole lock table came
}

int MessageChannel::RequestPeerList() {
  std::vector<uint8_t> request;
  {
    std::lock_guard<CriticalSection> guard(lock_);
    core_.peers().Clear();
    request = core_.MakeOwnDatagram(msg::kMsgPeerList);
  }
  peerListComplete_ = 0;
  return Request(request, [this] { return peerListComplete_.load() != 0; }, &MessageChannel::PeerCount) ? 1 : 0;
}

std::optional<msg::PeerRecord> MessageChannel::FindPeer(const std::string& name) {
  std::lock_guard<CriticalSection> guard(lock_);
  const msg::PeerRecord* found = core_.peers().FindPeer(name);
  if (!found) return std::nullopt;
  return *found;
}

bool MessageChannel::IsOwnAddress(const msg::Ipv4& ip) {
  std::lock_guard<CriticalSection> guard(lock_);
  return core_.IsOwnAddress(ip);
}

void MessageChannel::SendLogout() {
  if (!registered_) return;
  std::vector<uint8_t> notice;
  {
    std::lock_guard<CriticalSection> guard(lock_);
    notice = core_.MakeOwnDatagram(msg::kMsgLogout);
  }
  SendToServer(notice);
  registered_ = 0;
}

int MessageChannel::CheckTaskLock(const std::string& account, const std::string&, int32_t projectId,
                                  const std::string& tasks, std::string& holder) {
  holder.clear();
  if (!registered_) return 0;
  std::lock_guard<CriticalSection> guard(lock_);
  return core_.CheckTaskLock(account, projectId, tasks, holder);
}

int MessageChannel::RequestLockChange(const std::string& account, const std::string& name, int32_t projectId,
                                      const std::string& tasks, bool claim) {
  if (!registered_) return 0;
  changeResult_ = 0;
  auto request = msg::ChannelCore::MakeLockChange(claim, account, name, projectId, tasks);
  if (!Request(request, [this] { return changeResult_.load() != 0; })) return 0;
  return changeResult_.load();
}

int MessageChannel::QueryResource(const std::string& account, const std::string& name,
                                  const std::string& projectUuid, const std::string& specialty) {
  if (!registered_) return 0;
  resourceResult_ = -1;
  auto request = msg::ChannelCore::MakeResourceQuery(account, name, projectUuid, specialty);
  if (!Request(request, [this] { return resourceResult_.load() != -1; })) return 0;
  return resourceResult_.load() == 1 ? 1 : 0;
}

void MessageChannel::ClearProjectLocks(int32_t projectId) {
  std::lock_guard<CriticalSection> guard(lock_);
  core_.locks().RemoveProject(projectId);
}

std::string MessageChannel::HolderName() {
  std::lock_guard<CriticalSection> guard(lock_);
  return core_.holderName();
}

msg::PeerRecord MessageChannel::OwnRecord() {
  std::lock_guard<CriticalSection> guard(lock_);
  return core_.ownRecord();
}

size_t MessageChannel::PeerCount() {
  std::lock_guard<CriticalSection> guard(lock_);
  return core_.peers().size();
}

size_t MessageChannel::LockCount() {
  std::lock_guard<CriticalSection> guard(lock_);
  return core_.locks().size();
}

size_t MessageChannel::LockTableBytes() {
  std::lock_guard<CriticalSection> guard(lock_);
  return core_.locks().MemoryBytes();
}

}  // namespace velmora
