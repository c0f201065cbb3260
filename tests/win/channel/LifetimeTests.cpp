// Controls destroyed while their receive thread is busy, in a DLL unloaded
// right after as CoFreeUnusedLibraries would: no crash, destruction blocks
// no longer than its bound, and the late thread finishes on what it holds,
// then gives the module back. And channels released again and again: each
// takes its thread with it.
#include <fcntl.h>
#include <io.h>
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include <wrl/client.h>

#include "common/Raii.h"
#include "messaging/Records.h"
#include "tests/win/channel/ChannelTestSupport.h"
#include "velmora_h.h"

namespace velmora::test {
namespace {

constexpr wchar_t kProbeDll[] = L"velmora_probe.dll";
// Destruction waits 300 ms for the thread. What this catches is a wait
// without end (the stuck thread is never let go while it lasts), so the
// bound is slack enough for any loaded machine.
constexpr ULONGLONG kDestructionBoundMs = 20000;

class ProbeDll {
 public:
  ProbeDll() : module_(LoadLibraryW(kProbeDll)) {}
  ~ProbeDll() {
    if (module_) FreeLibrary(module_);
  }
  bool loaded() const { return module_ != nullptr; }

  // A control of this module with its channel started; 0 as port on failure.
  Microsoft::WRL::ComPtr<IVelmoraCtl> Create(uint16_t& port) {
    Microsoft::WRL::ComPtr<IVelmoraCtl> control;
    Microsoft::WRL::ComPtr<IClassFactory> factory;
    auto getClassObject = Export<decltype(&DllGetClassObject)>("DllGetClassObject");
    auto start = Export<int(WINAPI*)(IVelmoraCtl*)>("VelmoraProbeStart");
    port = 0;
    if (!getClassObject || !start) return control;
    if (FAILED(getClassObject(CLSID_VelmoraCtl, IID_PPV_ARGS(&factory)))) return control;
    if (FAILED(factory->CreateInstance(nullptr, IID_PPV_ARGS(&control)))) return control;
    port = static_cast<uint16_t>(start(control.Get()));
    return control;
  }

  // What COM does for an unused library: ask, then unload when allowed.
  HRESULT Unload() {
    auto canUnloadNow = Export<decltype(&DllCanUnloadNow)>("DllCanUnloadNow");
    const HRESULT hr = canUnloadNow ? canUnloadNow() : E_UNEXPECTED;
    if (hr == S_OK) {
      FreeLibrary(module_);
      module_ = nullptr;
    }
    return hr;
  }

 private:
  template <typename F>
  F Export(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
  }
  HMODULE module_;
};

// Standard output replaced by a pipe that nobody reads until Unblock: the
// receive thread then stays inside its print of a peer text.
class BlockedStdout {
 public:
  BlockedStdout() {
    std::fflush(stdout);
    ok_ = _pipe(fds_, 4096, _O_BINARY) == 0;
    if (!ok_) return;
    saved_ = _dup(_fileno(stdout));
    _dup2(fds_[1], _fileno(stdout));
  }
  ~BlockedStdout() { Unblock(); }
  bool ok() const { return ok_; }

  void Unblock() {
    if (!ok_) return;
    ok_ = false;
    // Read first: putting stdout back waits for a write in progress on it.
    std::thread drain([fd = fds_[0]] {
      char chunk[4096];
      while (_read(fd, chunk, sizeof(chunk)) > 0) {
      }
    });
    _dup2(saved_, _fileno(stdout));
    _close(saved_);
    _close(fds_[1]);
    drain.join();
    _close(fds_[0]);
  }

 private:
  bool ok_ = false;
  int fds_[2] = {-1, -1};
  int saved_ = -1;
};

bool ModuleGone() { return GetModuleHandleW(kProbeDll) == nullptr; }

// Releases the control and unloads the DLL; the destruction must keep its
// bound and the module must be free to go.
void DestroyAndUnload(ProbeDll& dll, Microsoft::WRL::ComPtr<IVelmoraCtl>& control) {
  const ULONGLONG start = GetTickCount64();
  control.Reset();
  EXPECT_LT(GetTickCount64() - start, kDestructionBoundMs);
  EXPECT_EQ(S_OK, dll.Unload());
}

TEST(ReceiveThreadLifetime, ControlDestroyedWhileItsThreadIsStuckInAPeerTextThenUnloaded) {
  Endpoint peer(76, 0);
  ASSERT_TRUE(peer.ok());
  const std::vector<uint8_t> text = msg::MakePeerTextDatagram(Peer("erin", {}), std::string(8000, 'x'));
  for (int round = 0; round < 6; ++round) {
    ASSERT_TRUE(ModuleGone());
    ProbeDll dll;
    ASSERT_TRUE(dll.loaded());
    uint16_t port = 0;
    auto control = dll.Create(port);
    ASSERT_NE(0, port);
    {
      BlockedStdout out;
      ASSERT_TRUE(out.ok());
      for (int i = 0; i < 64; ++i) peer.SendTo(Loopback(1, port), text);
      // Each text is acknowledged just before it is printed.
      ASSERT_TRUE(peer.ReceiveType(msg::kMsgPeerTextAck)) << "round " << round;
      DestroyAndUnload(dll, control);
      // The thread is still inside the unloaded DLL's code, in its print.
    }
    EXPECT_TRUE(WaitUntil(ModuleGone)) << "the late thread gives the module back, round " << round;
    peer.Drain(50);
  }
}

TEST(ReceiveThreadLifetime, ControlDestroyedDuringAFloodThenUnloaded) {
  const std::vector<uint8_t> lock = Lock(msg::kMsgLockRecord, "flood", 1, std::string(7000, 't'));
  for (int round = 0; round < 6; ++round) {
    ASSERT_TRUE(ModuleGone());
    ProbeDll dll;
    ASSERT_TRUE(dll.loaded());
    uint16_t port = 0;
    auto control = dll.Create(port);
    ASSERT_NE(0, port);
    std::atomic<int> sent{0};
    std::atomic<bool> stop{false};
    std::thread flood([&] {
      FakeServer sender(77);  // from the server's port: every record is stored
      while (!stop) {
        sender.SendTo(Loopback(1, port), lock);
        ++sent;
      }
    });
    ASSERT_TRUE(WaitUntil([&] { return sent.load() > 500; }));
    DestroyAndUnload(dll, control);
    stop = true;
    flood.join();
    EXPECT_TRUE(WaitUntil(ModuleGone)) << "round " << round;
  }
}

size_t ThreadCount() {
  UniqueFile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot) return 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  size_t count = 0;
  for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  return count;
}

// Handles this process holds, from the system's handle list: under Wine
// GetProcessHandleCount answers 0.
size_t HandleCount() {
  using Query = NTSTATUS(NTAPI*)(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (!query) return 0;
  constexpr NTSTATUS kLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
  std::vector<uint8_t> buffer(1 << 16);
  NTSTATUS status;
  while ((status = query(SystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), nullptr)) ==
         kLengthMismatch) {
    buffer.resize(buffer.size() * 2);
  }
  if (status != 0) return 0;
  const auto* info = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
  size_t count = 0;
  for (ULONG i = 0; i < info->Count; ++i) count += info->Handle[i].OwnerPid == GetCurrentProcessId() ? 1 : 0;
  return count;
}

// A receive thread that dawdles before each receive it issues, so that a
// stop often arrives between its look at the stop and the receive.
class DawdlingChannel : public RecordingChannel {
 public:
  DawdlingChannel() {
    SetBeforeReceive([] { Sleep(5); });
  }
};

TEST(ReceiveThreadLifetime, EveryStartRegisterReleaseRoundEndsItsThread) {
  FakeServer server(55);
  ASSERT_TRUE(server.ok());
  const auto round = [&server] {
    DawdlingChannel channel;
    ASSERT_NO_FATAL_FAILURE(StartRegistered(channel, server, "alice"));
  };
  ASSERT_NO_FATAL_FAILURE(round());  // whatever the first round sets up for good
  ASSERT_TRUE(server.ReceiveType(msg::kMsgLogout));
  const size_t threads = ThreadCount();
  const size_t handles = HandleCount();
  ASSERT_NE(0u, threads);
  ASSERT_NE(0u, handles);
  // Wine's own bookkeeping moves the handle count a little; a thread that
  // stays keeps its socket, events and thread handle.
  constexpr size_t kHandleSlack = 8;
  for (int i = 0; i < 200; ++i) {
    ASSERT_NO_FATAL_FAILURE(round()) << "round " << i;
    ASSERT_TRUE(server.ReceiveType(msg::kMsgLogout)) << "round " << i;
    ASSERT_TRUE(WaitUntil([&] { return ThreadCount() <= threads && HandleCount() <= handles + kHandleSlack; }, 10000))
        << "round " << i << ": " << ThreadCount() << " threads and " << HandleCount() << " handles, " << threads
        << " and " << handles << " before";
  }
}

}  // namespace
}  // namespace velmora::test
