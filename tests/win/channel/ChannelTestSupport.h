// A channel that records the peer texts handed to it, and the steps that
// bring a channel to the started or registered state against a fake server.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "messaging/MessageChannel.h"
#include "tests/win/channel/FakeServer.h"

namespace velmora::test {

class RecordingChannel : public MessageChannel {
 public:
  struct Message {
    std::string sender;
    std::string text;
    int length = 0;
    bool terminated = false;  // the byte after the text is a NUL
  };

  RecordingChannel() {
    // The sink shares the record with the channel: the receive thread may
    // hold it a moment longer.
    SetMessageSink([log = log_](const std::string& sender, const char* text, int length) {
      std::lock_guard<std::mutex> guard(log->mutex);
      log->messages.push_back(
          Message{sender, std::string(text, static_cast<size_t>(length)), length, text[length] == '\0'});
    });
  }

  std::vector<Message> Messages() {
    std::lock_guard<std::mutex> guard(log_->mutex);
    return log_->messages;
  }

 private:
  struct Log {
    std::mutex mutex;
    std::vector<Message> messages;
  };
  std::shared_ptr<Log> log_ = std::make_shared<Log>();
};

// Where a test reaches the channel: its socket listens on every local address.
inline sockaddr_in ChannelAt(MessageChannel& channel) { return Loopback(1, channel.LocalPort()); }

// Polls until `done` holds; false when `timeoutMs` passes first.
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = kReplyTimeoutMs) {
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
  while (!done()) {
    if (GetTickCount64() >= end) return false;
    Sleep(10);
  }
  return true;
}

// The record a server returns on registration: the client's own entries and,
// in the slot after them, the address the server saw the request come from.
inline msg::PeerRecord AcceptedRecord(const std::string& account, const msg::PeerRecord& own,
                                      const msg::AddressEntry& seen) {
  msg::PeerRecord accepted = own;
  accepted.name = account;
  if (accepted.count < msg::kMaxAddressEntries) accepted.entries[accepted.count] = seen;
  return accepted;
}

// Starts `channel` (if need be) and registers `account` with `server`,
// which hands out `locks` as the lock table.
inline void StartRegistered(MessageChannel& channel, FakeServer& server, const std::string& account,
                            std::vector<msg::TaskLockRecord> locks = {}) {
  ASSERT_TRUE(server.ok()) << "cannot bind the fake server at " << server.ip();
  ASSERT_EQ(1, channel.Start(0));
  msg::PeerRecord accepted =
      AcceptedRecord(account, channel.OwnRecord(), msg::AddressEntry{LoopbackIp(1), channel.LocalPort()});
  auto script = ServeRegistration(server, accepted, std::move(locks));
  ASSERT_EQ(1, channel.Register(account, server.ip()));
  ASSERT_EQ(2u, script.get().size()) << "the server saw no 101 and 202";
  ASSERT_TRUE(channel.IsRegistered());
}

}  // namespace velmora::test
