#include "messaging/MessageChannel.h"

#include <ws2tcpip.h>

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>

#include "common/Barrier.h"
#include "common/Trace.h"

namespace velmora {
namespace {

constexpr int kMaxSends = 5;
constexpr DWORD kWindowMs = 500;
constexpr DWORD kPollMs = 50;
constexpr DWORD kStopWaitMs = 300;
// Longest single wait of the receive thread: a stop is seen by its event at
// once; the slices only keep every wait bounded.
constexpr DWORD kReceiveSliceMs = 1000;
// How long a cancelled receive may take to end before its slot is given up.
constexpr ULONGLONG kSettleMs = 5000;
// Lock tables arrive in bursts: the socket asks for the largest buffer the
// system grants, from this down, halving while a size is refused.
constexpr int kLargestReceiveBuffer = 16 * 1024 * 1024;
constexpr int kSmallestReceiveBuffer = 64 * 1024;
// Datagrams received back to back and then handled under one taking of the
// channel lock; a burst ends earlier when the socket runs empty.
constexpr size_t kBurstDatagrams = 16;

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

struct ReceivedDatagram {
  std::array<uint8_t, msg::kReceiveBufferSize> bytes;
  sockaddr_in from{};
  int fromSize = 0;
  int length = 0;
};

// Where receives land: a ring of datagram buffers, the burst received and
// not yet handled, and the one receive in flight. The system writes a
// datagram, its sender and the flags here when a receive ends, so all of it
// outlives the wait for that. Allocated once: receiving allocates nothing.
struct ReceiveSlot {
  WSAOVERLAPPED overlapped{};
  DWORD flags = 0;
  bool pending = false;  // the receive thread's own, as is everything here
  std::array<ReceivedDatagram, kBurstDatagrams> ring;
  size_t first = 0;  // the burst: ring[first], ... (count of them, wrapping)
  size_t count = 0;
  std::array<msg::DispatchResult, kBurstDatagrams> results;

  ReceivedDatagram& At(size_t i) { return ring[(first + i) % kBurstDatagrams]; }
};

}  // namespace

// What the receive thread touches. The channel and the thread each hold a
// reference; the last one out closes the socket and frees the tables.
struct MessageChannel::State {
  State() : slot(std::make_unique<ReceiveSlot>()) {
    WSADATA data;
    wsaStarted = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    receiveEvent.reset(WSACreateEvent());
    stopEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    replyEvent.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    slot->overlapped.hEvent = receiveEvent.get();
  }
  ~State() {
    // The thread settles its receive before it ends. One that would not end
    // even when cancelled may still write into its slot and signal its
    // event: both are left to it rather than freed.
    if (slot->pending) {
      static_cast<void>(slot.release());
      static_cast<void>(receiveEvent.release());
    }
    socket.reset();  // before WSACleanup
    if (wsaStarted) WSACleanup();
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  struct ThreadStart;
  static DWORD WINAPI ReceiveThread(void* param);
  void ReceiveLoop(const ThreadStart& start);
  bool AwaitReceive();
  void SettleReceive();
  void HandleBurst(const MessageSink& sink);
  void Act(msg::DispatchResult& result, const MessageSink& sink);
  void Send(const uint8_t* datagram, size_t size, const msg::Ipv4& ip, uint16_t port) noexcept;
  // Rests after a failed receive as `backoff` says; false when a stop came.
  bool RestAfterFailure(msg::ReceiveBackoff& backoff) noexcept;
  void SetIndicator(msg::Indicator indicator, int32_t value);

  bool wsaStarted = false;
  CriticalSection lock;  // guards core (peer list, lock table, own record, holder)
  msg::ChannelCore core;
  UniqueSocket socket;
  UniqueHandle receiveEvent;  // the overlapped receive's event; issuing a receive resets it
  UniqueHandle stopEvent;     // set once, never reset: a stop cannot be lost
  UniqueHandle replyEvent;    // set by the receive thread whenever a reply arrives
  std::unique_ptr<ReceiveSlot> slot;  // peer text is copied out (and terminated) before the sink
  uint16_t localPort = 0;
  int receiveBufferLimit = kLargestReceiveBuffer;
  int receiveBuffer = 0;  // what the socket reported after asking
  msg::Ipv4 serverAddress{};

  std::atomic<LONG> stopRequested{0};
  std::atomic<LONG> registered{0};
  std::atomic<LONG> peerListComplete{0};
  std::atomic<LONG> resourceResult{-1};
  std::atomic<LONG> started{0};
  std::atomic<LONG> changeResult{0};
  std::atomic<LONG> lockTableComplete{0};
  std::atomic<uint64_t> dispatched{0};
  std::atomic<uint64_t> fromServerPort{0};
};

// What a receive thread starts with: its share of the state, its sink, its
// hook and the reference on the module that holds its code.
struct MessageChannel::State::ThreadStart {
  std::shared_ptr<State> state;
  MessageSink sink;
  std::function<void()> beforeReceive;
  std::function<bool()> receiveFault;
  HMODULE module = nullptr;
};

DWORD WINAPI MessageChannel::State::ReceiveThread(void* param) {
  HMODULE module = nullptr;
  {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(param));
    module = start->module;
    // The thread's end must still give the module back.
    Barrier([&] {
      start->state->ReceiveLoop(*start);
      return S_OK;
    });
  }  // the state may go here, while the module is still held
  FreeLibraryAndExitThread(module, 0);
}

MessageChannel::MessageChannel() : state_(std::make_shared<State>()) {}

// Nothing on this path allocates or throws: a destructor is outside every
// barrier, so a failed allocation here would end the host.
MessageChannel::~MessageChannel() {
  SendLogout();
  StopReceiving();
}

void MessageChannel::StopReceiving() noexcept {
  if (!thread_) return;
  state_->stopRequested = 1;
  SetEvent(state_->stopEvent.get());
  // The bound on how long destruction blocks; a thread that is still busy
  // holds the state and the module until it returns.
  WaitForSingleObject(thread_.get(), kStopWaitMs);
  thread_.reset();
}

void MessageChannel::SetMessageSink(MessageSink sink) { sink_ = std::move(sink); }
void MessageChannel::SetBeforeReceive(std::function<void()> hook) { beforeReceive_ = std::move(hook); }
void MessageChannel::SetReceiveFault(std::function<bool()> fault) { receiveFault_ = std::move(fault); }

bool MessageChannel::IsRegistered() const { return state_->registered.load() != 0; }
bool MessageChannel::IsStarted() const { return state_->started.load() != 0; }
uint16_t MessageChannel::LocalPort() const { return state_->localPort; }
uint64_t MessageChannel::DatagramsDispatched() const { return state_->dispatched.load(); }
void MessageChannel::SetReceiveBufferLimit(int bytes) { state_->receiveBufferLimit = bytes; }
int MessageChannel::ReceiveBufferBytes() const { return state_->receiveBuffer; }
uint64_t MessageChannel::ServerDatagramsReceived() const { return state_->fromServerPort.load(); }

void MessageChannel::SetServerAddress(const std::string& dotted) {
  in_addr a{};
  a.s_addr = inet_addr(dotted.c_str());  // INADDR_NONE (all ones) when unparsable
  State& s = *state_;
  s.serverAddress = ToIpv4(a);
  std::lock_guard<CriticalSection> guard(s.lock);
  s.core.SetServerAddress(s.serverAddress);
}

int MessageChannel::Start(uint16_t port) {
  State& s = *state_;
  if (s.started) return 1;
  if (s.socket.valid()) return 0;

  s.socket.reset(WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED));
  if (!s.socket.valid()) return 0;
  for (int asked = s.receiveBufferLimit; asked >= kSmallestReceiveBuffer; asked /= 2) {
    if (setsockopt(s.socket.get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&asked), sizeof(asked)) == 0)
      break;
  }
  int granted = 0, grantedSize = sizeof(granted);
  if (getsockopt(s.socket.get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&granted), &grantedSize) == 0)
    s.receiveBuffer = granted;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(port);
  if (bind(s.socket.get(), reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
    s.socket.reset();
    return 0;
  }
  s.localPort = port;
  if (port == 0) {
    sockaddr_in bound{};
    int size = sizeof(bound);
    if (getsockname(s.socket.get(), reinterpret_cast<sockaddr*>(&bound), &size) == 0) s.localPort = ntohs(bound.sin_port);
  }

  // The socket stays bound when this fails, so later calls return 0 too.
  std::vector<msg::Ipv4> addresses;
  if (!ResolveOwnAddresses(addresses)) return 0;
  {
    std::lock_guard<CriticalSection> guard(s.lock);
    s.core.BuildOwnRecord(addresses, s.localPort);
  }

  s.stopRequested = 0;
  auto start = std::make_unique<State::ThreadStart>();
  start->state = state_;
  start->sink = sink_;
  start->beforeReceive = beforeReceive_;
  start->receiveFault = receiveFault_;
  // A reference on whichever module holds this code (the DLL, or a program
  // linking it), given back by the thread as its last act.
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&State::ReceiveThread),
                          &start->module)) {
    return 0;
  }
  const HMODULE module = start->module;
  thread_.reset(CreateThread(nullptr, 0, &State::ReceiveThread, start.get(), 0, nullptr));
  if (!thread_) {
    FreeLibrary(module);
    return 0;
  }
  start.release();  // the thread's now
  s.started = 1;
  return 1;
}

bool MessageChannel::ResolveOwnAddresses(std::vector<msg::Ipv4>& addresses) {
  char host[256] = {};
  if (gethostname(host, sizeof(host)) != 0) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) return false;
  for (addrinfo* a = found; a; a = a->ai_next) {
    addresses.push_back(ToIpv4(reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr));
  }
  freeaddrinfo(found);
  return true;
}

// One receive per datagram. A receive that completes at once means more
// was queued: the datagram joins the burst. One that has to wait means the
// socket ran empty: the burst is handled meanwhile, its records under one
// taking of the lock, all in arrival order.
void MessageChannel::State::ReceiveLoop(const ThreadStart& start) {
  ReceiveSlot& r = *slot;
  msg::ReceiveBackoff backoff;
  while (!stopRequested) {
    ReceivedDatagram& next = r.At(r.count);
    WSABUF chunk{static_cast<ULONG>(next.bytes.size()), reinterpret_cast<char*>(next.bytes.data())};
    next.fromSize = sizeof(next.from);
    r.flags = 0;
    DWORD received = 0;
    if (start.beforeReceive) start.beforeReceive();
    int rc = SOCKET_ERROR;
    if (start.receiveFault && start.receiveFault()) {
      WSASetLastError(WSAENOBUFS);
    } else {
      rc = WSARecvFrom(socket.get(), &chunk, 1, &received, &r.flags, reinterpret_cast<sockaddr*>(&next.from),
                       &next.fromSize, &r.overlapped, nullptr);
    }
    bool delivered = rc == 0;
    if (!delivered) {
      // A failed receive (say, an earlier datagram refused by its
      // destination) delivers nothing and ends the burst too.
      const bool pending = WSAGetLastError() == WSA_IO_PENDING;
      if (pending) r.pending = true;
      HandleBurst(start.sink);
      if (pending) {
        if (!AwaitReceive()) break;
        r.pending = false;
        delivered = WSAGetOverlappedResult(socket.get(), &r.overlapped, &received, FALSE, &r.flags) != FALSE;
      }
    }
    if (stopRequested) break;
    if (delivered) {
      backoff.Succeeded();
      next.length = static_cast<int>(received);
      if (++r.count == kBurstDatagrams) HandleBurst(start.sink);
    } else if (!RestAfterFailure(backoff)) {
      break;
    }
  }
  SettleReceive();
}

// The rest is a wait on the stop event, so a stop ends it at once.
bool MessageChannel::State::RestAfterFailure(msg::ReceiveBackoff& backoff) noexcept {
  const DWORD rest = backoff.Failed();
  if (rest == 0) return !stopRequested;
  WaitForSingleObject(stopEvent.get(), rest);
  return !stopRequested;
}

// Until the pending receive has ended (true) or a stop is asked for (false).
// The completion itself is looked at, not only the event, so neither a lost
// nor a stale signal can leave the thread waiting on the wrong thing.
bool MessageChannel::State::AwaitReceive() {
  const HANDLE events[] = {stopEvent.get(), receiveEvent.get()};
  for (;;) {
    if (stopRequested) return false;
    if (HasOverlappedIoCompleted(&slot->overlapped)) return true;
    if (WaitForMultipleObjects(2, events, FALSE, kReceiveSliceMs) == WAIT_FAILED) Sleep(kPollMs);
  }
}

// A receive still pending at the stop is cancelled and seen to end before
// its slot may go.
void MessageChannel::State::SettleReceive() {
  if (!slot->pending) return;
  CancelIoEx(reinterpret_cast<HANDLE>(socket.get()), &slot->overlapped);
  const ULONGLONG end = GetTickCount64() + kSettleMs;
  while (!HasOverlappedIoCompleted(&slot->overlapped)) {
    if (GetTickCount64() >= end) return;  // still pending: the state keeps the slot alive
    WaitForSingleObject(receiveEvent.get(), kPollMs);
  }
  slot->pending = false;
}

void MessageChannel::State::HandleBurst(const MessageSink& sink) {
  ReceiveSlot& r = *slot;
  const size_t count = r.count;
  if (count == 0) return;
  // The burst ends here whatever happens below: a receive may be pending
  // into the ring entry after it.
  r.first = (r.first + count) % kBurstDatagrams;
  r.count = 0;
  const size_t burstStart = (r.first + kBurstDatagrams - count) % kBurstDatagrams;
  if (trace::On()) {
    for (size_t i = 0; i < count; ++i) {
      const ReceivedDatagram& d = r.ring[(burstStart + i) % kBurstDatagrams];
      trace::Event("recv", [&](std::string& detail) {
        detail = msg::DescribeDatagram(d.bytes.data(), static_cast<size_t>(d.length), ToIpv4(d.from.sin_addr),
                                       ntohs(d.from.sin_port));
      });
    }
  }
  {
    std::lock_guard<CriticalSection> guard(lock);
    for (size_t i = 0; i < count; ++i) {
      const ReceivedDatagram& d = r.ring[(burstStart + i) % kBurstDatagrams];
      if (ntohs(d.from.sin_port) == msg::kServerPort) ++fromServerPort;
      msg::DispatchResult& result = r.results[i];
      // A datagram that cannot be handled for want of memory is dropped
      // like a lost one (requests are sent again); the others still count.
      Barrier([&] {
        result = core.Dispatch(d.bytes.data(), static_cast<size_t>(d.length), ToIpv4(d.from.sin_addr),
                               ntohs(d.from.sin_port));
        return S_OK;
      });
    }
  }
  dispatched += count;
  // No lock is held while sending or calling out.
  for (size_t i = 0; i < count; ++i) {
    Barrier([&] {
      Act(r.results[i], sink);
      return S_OK;
    });
    r.results[i] = msg::DispatchResult{};
  }
}

void MessageChannel::State::Act(msg::DispatchResult& result, const MessageSink& sink) {
  for (const msg::Outgoing& out : result.sends) Send(out.bytes.data(), out.bytes.size(), out.ip, out.port);
  SetIndicator(result.indicator, result.value);
  if (result.message && sink && !stopRequested) {
    std::string text(result.message->text.begin(), result.message->text.end());
    sink(result.message->senderName, text.c_str(), static_cast<int>(text.size()));
  }
}

void MessageChannel::State::SetIndicator(msg::Indicator indicator, int32_t value) {
  switch (indicator) {
    case msg::Indicator::kNone:
      return;
    case msg::Indicator::kRegistered:
      registered = value;
      break;
    case msg::Indicator::kPeerListComplete:
      peerListComplete = value;
      break;
    case msg::Indicator::kLockTableComplete:
      lockTableComplete = value;
      break;
    case msg::Indicator::kChangeResult:
      changeResult = value;
      break;
    case msg::Indicator::kResourceResult:
      resourceResult = value;
      break;
  }
  SetEvent(replyEvent.get());  // the waiting thread looks at once
}

void MessageChannel::State::Send(const uint8_t* datagram, size_t size, const msg::Ipv4& ip, uint16_t port) noexcept {
  if (!socket.valid()) return;
  sockaddr_in to = ToSockaddr(ip, port);
  // Send errors are not examined: a lost datagram is covered by resends.
  sendto(socket.get(), reinterpret_cast<const char*>(datagram), static_cast<int>(size), 0,
         reinterpret_cast<sockaddr*>(&to), sizeof(to));
  trace::Event("send", [&](std::string& detail) { detail = msg::DescribeDatagram(datagram, size, ip, port); });
}

void MessageChannel::SendToServer(const std::vector<uint8_t>& datagram) noexcept {
  state_->Send(datagram.data(), datagram.size(), state_->serverAddress, msg::kServerPort);
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
    WaitForSingleObject(state_->replyEvent.get(), left < kPollMs ? left : kPollMs);
  }
}

template <typename Done>
bool MessageChannel::Request(const std::vector<uint8_t>& datagram, Done done, size_t (MessageChannel::*count)()) {
  ResetEvent(state_->replyEvent.get());
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
  if (state_->registered || account.size() > 19) return 0;
  SetServerAddress(serverAddress);
  std::vector<uint8_t> request;
  {
    std::lock_guard<CriticalSection> guard(state_->lock);
    state_->core.SetOwnName(account);
    state_->core.AskRegistration();
    request = state_->core.MakeOwnDatagram(msg::kMsgRegister);
  }
  if (!Request(request, [this] { return state_->registered.load() != 0; })) {
    // The sends ran out: a late or forged 103 must not register this
    // record after a logout or under the next login's account.
    bool answered = false;
    {
      std::lock_guard<CriticalSection> guard(state_->lock);
      answered = !state_->core.WithdrawRegistration();
    }
    if (!answered) return 0;
    // The answer was taken as the last window closed; its indicator is on
    // its way.
    state_->registered = 1;
  }

  state_->lockTableComplete = 0;
  Request(msg::ChannelCore::MakeLockTableRequest(), [this] { return state_->lockTableComplete.load() != 0; },
          &MessageChannel::LockCount);
  return 1;  // registered, whether or not the whole lock table came
}

int MessageChannel::RequestPeerList() {
  std::vector<uint8_t> request;
  {
    std::lock_guard<CriticalSection> guard(state_->lock);
    state_->core.peers().Clear();
    request = state_->core.MakeOwnDatagram(msg::kMsgPeerList);
  }
  state_->peerListComplete = 0;
  return Request(request, [this] { return state_->peerListComplete.load() != 0; }, &MessageChannel::PeerCount) ? 1 : 0;
}

std::optional<msg::PeerRecord> MessageChannel::FindPeer(const std::string& name) {
  std::lock_guard<CriticalSection> guard(state_->lock);
  const msg::PeerRecord* found = state_->core.peers().FindPeer(name);
  if (!found) return std::nullopt;
  return *found;
}

bool MessageChannel::IsOwnAddress(const msg::Ipv4& ip) {
  std::lock_guard<CriticalSection> guard(state_->lock);
  return state_->core.IsOwnAddress(ip);
}

void MessageChannel::SendLogout() noexcept {
  State& s = *state_;
  if (!s.registered) return;
  msg::ShortDatagram notice;
  {
    std::lock_guard<CriticalSection> guard(s.lock);
    notice = s.core.logoutNotice();
    s.core.WithdrawRegistration();
  }
  s.Send(notice.data(), notice.size(), s.serverAddress, msg::kServerPort);
  s.registered = 0;
}

int MessageChannel::CheckTaskLock(const std::string& account, const std::string&, int32_t projectId,
                                  const std::string& tasks, std::string& holder) {
  holder.clear();
  if (!state_->registered) return 0;
  std::lock_guard<CriticalSection> guard(state_->lock);
  return state_->core.CheckTaskLock(account, projectId, tasks, holder);
}

int MessageChannel::RequestLockChange(const std::string& account, const std::string& name, int32_t projectId,
                                      const std::string& tasks, bool claim) {
  if (!state_->registered) return 0;
  state_->changeResult = 0;
  auto request = msg::ChannelCore::MakeLockChange(claim, account, name, projectId, tasks);
  if (!Request(request, [this] { return state_->changeResult.load() != 0; })) return 0;
  return state_->changeResult.load();
}

int MessageChannel::QueryResource(const std::string& account, const std::string& name,
                                  const std::string& projectUuid, const std::string& specialty) {
  if (!state_->registered) return 0;
  state_->resourceResult = -1;
  auto request = msg::ChannelCore::MakeResourceQuery(account, name, projectUuid, specialty);
  if (!Request(request, [this] { return state_->resourceResult.load() != -1; })) return 0;
  return state_->resourceResult.load() == 1 ? 1 : 0;
}

void MessageChannel::ClearProjectLocks(int32_t projectId) {
  std::lock_guard<CriticalSection> guard(state_->lock);
  state_->core.locks().RemoveProject(projectId);
}

std::string MessageChannel::HolderName() {
  std::lock_guard<CriticalSection> guard(state_->lock);
  return state_->core.holderName();
}

msg::PeerRecord MessageChannel::OwnRecord() {
  std::lock_guard<CriticalSection> guard(state_->lock);
  return state_->core.ownRecord();
}

size_t MessageChannel::PeerCount() {
  std::lock_guard<CriticalSection> guard(state_->lock);
  return state_->core.peers().size();
}

size_t MessageChannel::LockCount() {
  std::lock_guard<CriticalSection> guard(state_->lock);
  return state_->core.locks().size();
}

size_t MessageChannel::LockTableBytes() {
  std::lock_guard<CriticalSection> guard(state_->lock);
  return state_->core.locks().MemoryBytes();
}

}  // namespace velmora
