// The control's UDP endpoint: one socket, a receive thread that dispatches
// every datagram, the own record, the peer list and the lock table. The
// calling (apartment) thread sends requests and waits on reply indicators;
// it never reads the socket itself. Everything the receive thread touches
// lives in a reference-counted state that the thread co-owns, together with
// a reference on the module, so a thread that outlasts the channel's bounded
// wait finishes harmlessly on its own.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/Raii.h"
#include "messaging/ChannelCore.h"

namespace velmora {

class MessageChannel {
 public:
  // Where peer texts (110) go, called on the receive thread with the text
  // terminated after its length. The thread keeps its own copy and may still
  // be inside it after the channel is gone, so a sink refers to nothing the
  // channel owns.
  using MessageSink = std::function<void(const std::string& senderName, const char* text, int length)>;

  MessageChannel();
  virtual ~MessageChannel();
  MessageChannel(const MessageChannel&) = delete;
  MessageChannel& operator=(const MessageChannel&) = delete;

  // Dotted IPv4 text; an unparsable text gives the all-ones address.
  void SetServerAddress(const std::string& dotted);
  // Binds the socket (port 0: the system chooses), fills the own record and
  // starts the receive thread. 1 on success; later calls return 1 at once.
  int Start(uint16_t port);
  // Registers the account (101 -> 103), then loads the lock table
  // (202 -> 205..., 203). 1 when registered.
  int Register(const std::string& account, const std::string& serverAddress);
  // 104 -> 104..., 105. 1 when the list is complete.
  int RequestPeerList();
  std::optional<msg::PeerRecord> FindPeer(const std::string& name);
  bool IsOwnAddress(const msg::Ipv4& ip);
  // One 102 when registered; ends the registration. Allocates nothing, so
  // destruction may call it.
  void SendLogout() noexcept;
  // Tells the receive thread to end and waits for it at most 300 ms; a
  // thread still busy then ends on its own and hands the sink nothing more.
  // The channel does not receive again.
  void StopReceiving() noexcept;

  // Task edit locks.
  int CheckTaskLock(const std::string& account, const std::string& name, int32_t projectId,
                    const std::string& tasks, std::string& holder);
  // 0 not registered or no answer, 1 done, 2 refused.
  int RequestLockChange(const std::string& account, const std::string& name, int32_t projectId,
                        const std::string& tasks, bool claim);
  // 1 free; 0 taken, not registered or no answer.
  int QueryResource(const std::string& account, const std::string& name, const std::string& projectUuid,
                    const std::string& specialty);
  void ClearProjectLocks(int32_t projectId);
  // Holder account of the most recent refusal (207) received.
  std::string HolderName();

  // State for the control, tests and the benchmark.
  bool IsRegistered() const;
  bool IsStarted() const;
  uint16_t LocalPort() const;
  msg::PeerRecord OwnRecord();
  size_t PeerCount();
  size_t LockCount();
  size_t LockTableBytes();
  uint64_t DatagramsDispatched() const;
  // The most the socket asks for as its receive buffer, from the next Start
  // on (by default the largest the system grants, up to 16 MiB); the
  // benchmark sets it to see a machine with a smaller limit.
  void SetReceiveBufferLimit(int bytes);
  // The receive buffer the socket reported once asked, 0 before Start.
  int ReceiveBufferBytes() const;
  // Datagrams received from the server's port, whatever they said: a
  // count that never moves during a request means the server is silent.
  uint64_t ServerDatagramsReceived() const;

 protected:
  // Takes effect for a receive thread started afterwards.
  void SetMessageSink(MessageSink sink);
  // Runs on the receive thread just before each receive is issued, from a
  // thread started afterwards. Tests widen the gap between the thread's
  // look at the stop and its receive with it.
  void SetBeforeReceive(std::function<void()> hook);
  // Runs on the receive thread in place of each receive, from a thread
  // started afterwards: true makes that receive fail at once, as it does
  // when the network is down or the system has no buffers. Tests stand in
  // for such a fault with it.
  void SetReceiveFault(std::function<bool()> fault);
  // The IPv4 addresses of this host's name, in the order the resolver gives
  // them; false when the name cannot be had or resolved.
  virtual bool ResolveOwnAddresses(std::vector<msg::Ipv4>& addresses);

 private:
  struct State;

  void SendToServer(const std::vector<uint8_t>& datagram) noexcept;

  // The request pattern: up to five sends, each followed by 500 ms windows;
  // while `grown` reports more records than at the window's start, the
  // wait goes on without a resend.
  template <typename Done>
  bool Request(const std::vector<uint8_t>& datagram, Done done, size_t (MessageChannel::*count)() = nullptr);
  template <typename Done>
  bool WaitWindow(Done done);

  std::shared_ptr<State> state_;
  MessageSink sink_;
  std::function<void()> beforeReceive_;
  std::function<bool()> receiveFault_;
  UniqueHandle thread_;
};

}  // namespace velmora
