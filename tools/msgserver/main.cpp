// velmora-msgserver: reference message server for tests and development.
// One UDP socket, one thread: it receives whenever a datagram is waiting and
// sends whatever the outbox says is due. SIGINT or SIGTERM end it cleanly.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "tools/msgserver/MessageServer.h"
#include "tools/msgserver/Options.h"
#include "tools/msgserver/Outbox.h"

namespace {

using velmora::msg::Ipv4;
using velmora::msgserver::Clock;
using velmora::msgserver::Datagram;
using velmora::msgserver::Endpoint;
using velmora::msgserver::MessageServer;
using velmora::msgserver::Options;
using velmora::msgserver::Outbox;

// Many clients may claim at once, each claim a lock-sized datagram; the
// default buffer holds about a dozen. Linux caps the size asked for at
// net.core.rmem_max.
constexpr int kReceiveSocketBuffer = 4 * 1024 * 1024;
// Datagrams read per wake before what is due is sent again.
constexpr int kReceiveBatch = 64;

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
      : options_(options),
        socket_(socketFd),
        wake_(wakeFd),
        server_(options.expireAfter),
        outbox_(options.paceKiBPerSecond * 1024.0) {}

  // Serves until a stop signal; false when polling failed.
  bool Run() {
    const auto interval = std::chrono::seconds(options_.aliveIntervalSeconds);
    Clock::time_point nextCheck = Clock::now() + interval;
    while (!g_stop) {
      std::optional<Clock::time_point> wake = SendDue();
      if (options_.aliveIntervalSeconds > 0) wake = wake ? std::min(*wake, nextCheck) : nextCheck;
      pollfd fds[2] = {{socket_, POLLIN, 0}, {wake_, POLLIN, 0}};
      timespec timeout{};
      const int ready = ppoll(fds, 2, Timeout(wake, timeout), nullptr);
      if (ready < 0 && errno != EINTR) {
        std::perror("velmora-msgserver: ppoll");
        return false;
      }
      if (g_stop || (ready > 0 && (fds[1].revents & POLLIN))) return true;
      if (ready > 0 && (fds[0].revents & POLLIN)) ReceiveSome();
      if (options_.aliveIntervalSeconds > 0 && Clock::now() >= nextCheck) {
        Queue(server_.AliveTick());
        nextCheck = Clock::now() + interval;
      }
    }
    return true;
  }

 private:
  // Time left until `wake`, capped at a minute; nullptr (wait for a
  // datagram) when nothing is due.
  static const timespec* Timeout(const std::optional<Clock::time_point>& wake, timespec& timeout) {
    if (!wake) return nullptr;
    const auto left = std::clamp<Clock::duration>(*wake - Clock::now(), Clock::duration::zero(),
                                                  std::chrono::minutes(1));
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
    timeout.tv_sec = static_cast<time_t>(seconds.count());
    timeout.tv_nsec = static_cast<long>(std::chrono::nanoseconds(left - seconds).count());
    return &timeout;
  }

  void ReceiveSome() {
    for (int i = 0; i < kReceiveBatch && !g_stop; ++i) {
      sockaddr_in from{};
      socklen_t fromLength = sizeof(from);
      const ssize_t received = recvfrom(socket_, buffer_, sizeof(buffer_), MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (received < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        continue;  // an error queued for an earlier send: the next datagram is behind it
      }
      if (from.sin_family != AF_INET) continue;
      const size_t length = static_cast<size_t>(received);
      const Endpoint source = FromSockaddr(from);
      if (options_.verbose) {
        std::fprintf(stderr, "recv %s from %s\n", Describe(buffer_, length).c_str(),
                     Describe(source).c_str());
      }
      velmora::msgserver::Answers answers = server_.Handle(buffer_, length, source);
      const Clock::time_point now = Clock::now();
      for (Datagram& datagram : answers.datagrams) outbox_.Add(std::move(datagram), now);
      if (answers.aliveFrom) outbox_.Answered(*answers.aliveFrom, now);
      if (answers.table) {
        outbox_.AddTable(*answers.table, now);
        if (options_.verbose) {
          std::fprintf(stderr,
                       "table to %s, ask %d since it registered, windows of %d, at most %.0f KiB/s\n",
                       Describe(answers.table->to).c_str(), answers.table->ask,
                       outbox_.WindowOf(answers.table->to), outbox_.RateOf(answers.table->to) / 1024);
        }
      }
    }
  }

  void Queue(std::vector<Datagram> datagrams) {
    const Clock::time_point now = Clock::now();
    for (Datagram& datagram : datagrams) outbox_.Add(std::move(datagram), now);
  }

  // Sends one batch of what is due, many datagrams to a system call;
  // returns when more is due. A batch is bounded, so the loop receives
  // between batches of an unpaced table.
  std::optional<Clock::time_point> SendDue() {
    batch_.clear();
    const std::optional<Clock::time_point> due = outbox_.TakeDue(Clock::now(), server_, batch_);
    SendBatch();
    return due;
  }

  void SendBatch() {
    const size_t count = batch_.size();
    addresses_.resize(count);
    chunks_.resize(count);
    headers_.resize(count);
    for (size_t i = 0; i < count; ++i) {
      const Datagram& datagram = batch_[i];
      addresses_[i] = ToSockaddr(datagram.to.ip, datagram.to.port);
      chunks_[i] = iovec{const_cast<uint8_t*>(datagram.bytes->data()), datagram.bytes->size()};
      headers_[i] = mmsghdr{};
      headers_[i].msg_hdr.msg_name = &addresses_[i];
      headers_[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
      headers_[i].msg_hdr.msg_iov = &chunks_[i];
      headers_[i].msg_hdr.msg_iovlen = 1;
    }
    // A lost datagram is covered by the client's resend; a failed one is
    // only logged, and the rest still go.
    for (size_t at = 0; at < count;) {
      const int sent = sendmmsg(socket_, &headers_[at], static_cast<unsigned>(count - at), 0);
      const size_t done = sent > 0 ? static_cast<size_t>(sent) : 0;
      if (options_.verbose) {
        for (size_t i = at; i < at + done; ++i) Log(batch_[i], "");
        if (done == 0) Log(batch_[at], " (failed)");
      }
      at += done == 0 ? 1 : done;
    }
  }

  void Log(const Datagram& datagram, const char* note) const {
    std::fprintf(stderr, "send %s to %s%s\n",
                 Describe(datagram.bytes->data(), datagram.bytes->size()).c_str(),
                 Describe(datagram.to).c_str(), note);
  }

  const Options& options_;
  int socket_;
  int wake_;
  MessageServer server_;
  Outbox outbox_;
  uint8_t buffer_[velmora::msg::kReceiveBufferSize];
  // Reused for every batch, so sending allocates nothing once warm.
  std::vector<Datagram> batch_;
  std::vector<sockaddr_in> addresses_;
  std::vector<iovec> chunks_;
  std::vector<mmsghdr> headers_;
};

int OpenSocket(const Options& options, uint16_t& boundPort) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
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
  if (options->paceKiBPerSecond > 0) {
    std::printf("velmora-msgserver sends the lock table in windows, at most %d KiB/s per client\n",
                options->paceKiBPerSecond);
  } else {
    std::printf("velmora-msgserver sends the lock table in windows, with no bound on the pace\n");
  }
  std::fflush(stdout);

  return ServerLoop(*options, socketFd.get(), wakeRead.get()).Run() ? 0 : 1;
}
