// The native side of the channel benchmark's bare receive loop: a Linux
// program that waits for one "go N" datagram and then sends N lock-record
// datagrams back to where it came from, as fast as it can, so what the
// Windows program under Wine receives is the limit of its own receive loop.
//   velmora_record_sender_host [--listen 127.0.0.1:4571] [--wait SECONDS]
// Prints "listening on ADDRESS:PORT" once bound; ends after one burst, or
// when no "go" came within the wait.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "messaging/Records.h"

namespace {

namespace msg = velmora::msg;

// Records like the channel benchmark's loader claims: ten task UIDs each.
std::vector<uint8_t> LockRecord(int lock) {
  std::string tasks;
  char uid[48];
  for (int t = 0; t < 10; ++t) {
    std::snprintf(uid, sizeof(uid), "%s{%08X-%04X-4000-8000-000000000000}", t ? "," : "", lock, t);
    tasks += uid;
  }
  char account[16];
  std::snprintf(account, sizeof(account), "ld%02d", lock % 50);
  return msg::MakeDatagram(msg::kMsgLockRecord, msg::TaskLockRecord{account, "Loader", 900000 + lock % 25, tasks});
}

}  // namespace

int main(int argc, char** argv) {
  std::string listen = "127.0.0.1:4571";
  int waitSeconds = 600;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    if (name == "--listen") {
      listen = argv[i + 1];
    } else if (name == "--wait") {
      waitSeconds = std::atoi(argv[i + 1]);
    } else {
      argc = 0;
    }
  }
  const size_t colon = listen.rfind(':');
  const auto ip = msg::ParseIpv4(listen.substr(0, colon));
  if (argc % 2 == 0 || colon == std::string::npos || !ip || (*ip)[0] != 127 || waitSeconds < 1) {
    std::fprintf(stderr, "usage: velmora_record_sender_host [--listen 127.x.y.z:PORT] [--wait SECONDS]\n");
    return 2;
  }
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<uint16_t>(std::atoi(listen.c_str() + colon + 1)));
  std::memcpy(&at.sin_addr.s_addr, ip->data(), ip->size());
  const timeval wait{waitSeconds, 0};
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait)) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof(at)) != 0) {
    std::perror("velmora_record_sender_host");
    return 1;
  }
  std::printf("listening on %s\n", listen.c_str());
  std::fflush(stdout);

  char go[64] = {};
  sockaddr_in from{};
  socklen_t fromLength = sizeof(from);
  const ssize_t got = recvfrom(fd, go, sizeof(go) - 1, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
  if (got < 3 || std::strncmp(go, "go ", 3) != 0) {
    std::fprintf(stderr, "velmora_record_sender_host: no \"go N\" within %d s\n", waitSeconds);
    close(fd);
    return 1;
  }
  const long count = std::atol(go + 3);
  // A few hundred distinct records, made beforehand: only sending is timed.
  std::vector<std::vector<uint8_t>> records;
  for (int lock = 0; lock < 256; ++lock) records.push_back(LockRecord(lock));
  long sent = 0;
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < count; ++i) {
    const std::vector<uint8_t>& record = records[static_cast<size_t>(i) % records.size()];
    if (sendto(fd, record.data(), record.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLength) ==
        static_cast<ssize_t>(record.size())) {
      ++sent;
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("sent %ld of %ld lock records (%zu bytes) in %.3f s\n", sent, count, records.front().size(), seconds);
  close(fd);
  return sent == count ? 0 : 1;
}
