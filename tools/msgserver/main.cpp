// velmora-msgserver: reference message server for tests and development.
// One UDP socket, one thread; SIGINT or SIGTERM end it cleanly.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tools/msgserver/MessageServer.h"
#include "tools/msgserver/Options.h"

namespace {

using velmora::msg::Ipv4;
using velmora::msg::Outgoing;
using velmora::msgserver::Endpoint;
using velmora::msgserver::MessageServer;
using velmora::msgserver::Options;
using Clock = std::chrono::steady_clock;

// Clients read with a default-sized socket buffer: about 208 KiB, which the
// kernel charges about twice a datagram's size plus bookkeeping, so only a
// dozen lock records fit. A long answer such as the lock table is therefore
// metered out to each destination at a steady charge rate (--pace-rate), in
// bursts of at most kPaceBurstBytes; time lost to a stall of the server is
// not made up with a larger burst. Each destination has its own buffer, so
// pushes of one claim to many clients go out without waiting on each other.
constexpr double kPaceBurstBytes = 64 * 1024;
constexpr int kReceiveSocketBuffer = 4 * 1024 * 1024;
size_t BufferCharge(size_t datagramSize) { return 2 * datagramSize + 1024; }

// Token bucket: holds at most one burst, refills at the pace rate; a rate of
// 0 sends without waiting.
class Pacer {
 public:
  explicit Pacer(double bytesPerSecond) : rate_(bytesPerSecond) {}

  void Wait(size_t charge) {
    if (rate_ <= 0) return;
    Refill();
    if (tokens_ < static_cast<double>(charge)) {
      const std::chrono::duration<double> wait((static_cast<double>(charge) - tokens_) / rate_);
      std::this_thread::sleep_for(wait);
      Refill();
    }
    tokens_ -= static_cast<double>(charge);
  }

 private:
  void Refill() {
    const Clock::time_point now = Clock::now();
    const double elapsed = std::chrono::duration<double>(now - last_).count();
    tokens_ = std::min(kPaceBurstBytes, tokens_ + elapsed * rate_);
    last_ = now;
  }

  double rate_;
  double tokens_ = kPaceBurstBytes;
  Clock::time_point last_ = Clock::now();
};

volatile std::sig_atomic_t g_stop = 0;
int g_wakeFd = -1;

void OnStopSignal(int) {
  g_stop = 1;
  const char byte = 1;
  // Nothing to do if the pipe is full: one byte in it already wakes the loop.
  [[maybe_unused]] const ssize_t ignored = write(g_wakeFd, &byte, 1);
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in ToSockaddr(const Ipv4& ip, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  std::memcpy(&address.sin_addr.s_addr, ip.data(), ip.size());  // both network order
  return address;
}

Endpoint FromSockaddr(const sockaddr_in& address) {
  Endpoint endpoint;
  std::memcpy(endpoint.ip.data(), &address.sin_addr.s_addr, endpoint.ip.size());
  endpoint.port = ntohs(address.sin_port);
  return endpoint;
}

std::string Describe(const uint8_t* data, size_t length) {
  const uint32_t type = velmora::msg::ReadType(data, length);
  return std::to_string(type) + " (" + velmora::msg::MsgTypeName(type) + "), " +
         std::to_string(length) + " bytes";
}

std::string Describe(const Endpoint& endpoint) {
  return velmora::msg::FormatIpv4(endpoint.ip) + ":" + std::to_string(endpoint.port);
}

class ServerLoop {
 public:
  ServerLoop(const Options& options, int socketFd, int wakeFd)
      : options_(options), socket_(socketFd), wake_(wakeFd), server_(options.expireAfter) {}

  // Serves until a stop signal; false when polling failed.
  bool Run() {
    const auto interval = std::chrono::seconds(options_.aliveIntervalSeconds);
    Clock::time_point nextCheck = Clock::now() + interval;
    while (!g_stop) {
      pollfd fds[2] = {{socket_, POLLIN, 0}, {wake_, POLLIN, 0}};
      const int ready = poll(fds, 2, TimeoutMs(nextCheck));
      if (ready < 0 && errno != EINTR) {
        std::perror("velmora-msgserver: poll");
        return false;
      }
      if (g_stop || (ready > 0 && (fds[1].revents & POLLIN))) return true;
      if (ready > 0 && (fds[0].revents & POLLIN)) ReceiveOne();
      if (options_.aliveIntervalSeconds > 0 && Clock::now() >= nextCheck) {
        Send(server_.AliveTick());
        nextCheck = Clock::now() + interval;
      }
    }
    return true;
  }

 private:
  int TimeoutMs(Clock::time_point nextCheck) const {
    if (options_.aliveIntervalSeconds == 0) return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(nextCheck - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 60000));
  }

  void ReceiveOne() {
    uint8_t buffer[velmora::msg::kReceiveBufferSize];
    sockaddr_in from{};
    socklen_t fromLength = sizeof(from);
    const ssize_t received = recvfrom(socket_, buffer, sizeof(buffer), MSG_DONTWAIT,
                                      reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (received < 0 || from.sin_family != AF_INET) return;
    const size_t length = static_cast<size_t>(received);
    const Endpoint source = FromSockaddr(from);
    if (options_.verbose) {
      std::fprintf(stderr, "recv %s from %s\n", Describe(buffer, length).c_str(),
                   Describe(source).c_str());
    }
    Send(server_.Handle(buffer, length, source));
  }

  void Send(const std::vector<Outgoing>& batch) {
    std::map<std::pair<Ipv4, uint16_t>, Pacer> pacers;
    for (const Outgoing& datagram : batch) {
      if (g_stop) return;
      Pacer& pacer = pacers.try_emplace({datagram.ip, datagram.port}, options_.paceKiBPerSecond * 1024.0)
                         .first->second;
      pacer.Wait(BufferCharge(datagram.bytes.size()));
      SendOne(datagram);
    }
  }

  void SendOne(const Outgoing& datagram) {
    const sockaddr_in to = ToSockaddr(datagram.ip, datagram.port);
    // A lost datagram is covered by the client's resend; errors are only logged.
    const ssize_t sent = sendto(socket_, datagram.bytes.data(), datagram.bytes.size(), 0,
                                reinterpret_cast<const sockaddr*>(&to), sizeof(to));
    if (options_.verbose) {
      std::fprintf(stderr, "send %s to %s%s\n",
                   Describe(datagram.bytes.data(), datagram.bytes.size()).c_str(),
                   Describe(Endpoint{datagram.ip, datagram.port}).c_str(),
                   sent < 0 ? " (failed)" : "");
    }
  }

  const Options& options_;
  int socket_;
  int wake_;
  MessageServer server_;
};

int OpenSocket(const Options& options, uint16_t& boundPort) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // Many clients may claim at once, each claim a lock-sized datagram; the
  // default buffer holds about a dozen. Linux caps the size asked for at
  // net.core.rmem_max.
  const int receiveBuffer = kReceiveSocketBuffer;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
  const sockaddr_in address = ToSockaddr(options.bind, options.port);
  sockaddr_in bound{};
  socklen_t boundLength = sizeof(bound);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLength) != 0) {
    close(fd);
    return -1;
  }
  boundPort = ntohs(bound.sin_port);
  return fd;
}

bool InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  const auto options =
      velmora::msgserver::ParseOptions(std::vector<std::string>(argv + 1, argv + argc), error);
  if (!options) {
    std::fprintf(stderr, "velmora-msgserver: %s\n%s", error.c_str(),
                 velmora::msgserver::UsageText());
    return 2;
  }
  if (options->help) {
    std::fputs(velmora::msgserver::UsageText(), stdout);
    return 0;
  }

  int pipeFds[2];
  if (pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
    std::perror("velmora-msgserver: pipe");
    return 1;
  }
  const FileDescriptor wakeRead(pipeFds[0]);
  const FileDescriptor wakeWrite(pipeFds[1]);
  g_wakeFd = wakeWrite.get();
  if (!InstallStopHandlers()) {
    std::perror("velmora-msgserver: sigaction");
    return 1;
  }

  uint16_t boundPort = 0;
  const FileDescriptor socketFd(OpenSocket(*options, boundPort));
  if (socketFd.get() < 0) {
    std::fprintf(stderr, "velmora-msgserver: cannot bind %s:%u: %s\n",
                 velmora::msg::FormatIpv4(options->bind).c_str(), options->port,
                 std::strerror(errno));
    return 1;
  }
  std::printf("velmora-msgserver listening on %s:%u\n",
              velmora::msg::FormatIpv4(options->bind).c_str(), boundPort);
  std::fflush(stdout);

  return ServerLoop(*options, socketFd.get(), wakeRead.get()).Run() ? 0 : 1;
}
