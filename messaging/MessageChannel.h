// The control's UDP endpoint: one socket, a receive thread that dispatches
// every datagram, the own record, the peer list and the lock table. The
// calling (apartment) thread sends requests and waits on reply indicators;
// it never reads the socket itself.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "control/Raii.h"
#include "messaging/ChannelCore.h"

namespace velmora {

class MessageChannel {
 public:
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
  // One 102 when registered; ends the registration.
  void SendLogout();

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
  bool IsRegistered() const { return registered_.load() != 0; }
  bool IsStarted() const { return started_.load() != 0; }
  uint16_t LocalPort() const { return localPort_; }
  msg::PeerRecord OwnRecord();
  size_t PeerCount();
  size_t LockCount();
  size_t LockTableBytes();
  uint64_t DatagramsDispatched() const { return dispatched_.load(); }

 protected:
  // Called on the receive thread for each peer text message (110).
  virtual void OnMessage(const std::string& senderName, const char* text, int length);

 private:
  static DWORD WINAPI ReceiveThread(void* self);
  void ReceiveLoop();
  void HandleDatagram(int length, const sockaddr_in& from);
  void Send(const std::vector<uint8_t>& datagram, const msg::Ipv4& ip, uint16_t port);
  void SendToServer(const std::vector<uint8_t>& datagram);
  void SetIndicator(msg::Indicator indicator, int32_t value);

  // The request pattern: up to five sends, each followed by 500 ms windows;
  // while `grown` reports more records than at the window's start, the
  // wait goes on without a resend.
  template <typename Done>
  bool Request(const std::vector<uint8_t>& datagram, Done done, size_t (MessageChannel::*count)() = nullptr);
  template <typename Done>
  bool WaitWindow(Done done);

  bool wsaStarted_ = false;
  CriticalSection lock_;  // guards core_ (peer list, lock table, own record, holder)
  msg::ChannelCore core_;
  SOCKET socket_ = INVALID_SOCKET;
  UniqueHandle thread_;
  UniqueHandle receiveEvent_;  // the overlapped receive's event
  UniqueHandle replyEvent_;    // set by the receive thread whenever a reply arrives
  WSAOVERLAPPED overlapped_{};
  std::vector<char> buffer_;   // one datagram; peer text is copied out (and terminated) before OnMessage
  uint16_t localPort_ = 0;
  msg::Ipv4 serverAddress_{};

  std::atomic<LONG> stopRequested_{0};
  std::atomic<LONG> registered_{0};
  std::atomic<LONG> peerListComplete_{0};
  std::atomic<LONG> resourceResult_{-1};
  std::atomic<LONG> started_{0};
  std::atomic<LONG> changeResult_{0};
  std::atomic<LONG> lockTableComplete_{0};
  std::atomic<uint64_t> dispatched_{0};
};

}  // namespace velmora
