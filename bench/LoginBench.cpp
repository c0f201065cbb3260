// Figures for the moment a person waits on the control: from OK pressed in
// the real login dialog (driven in process by the UI driver, as a person's
// click arrives) to Login's return, with the development AppServer checking
// the account, against reference message servers that login-bench.sh
// starts: one with an empty lock table, one this program loads with locks
// first, and an address where nothing listens. Prints markdown rows; the
// exit status reports only faults (a login that did not end logged in or
// registered as it should, a dialog that never showed), never how long
// anything took or how many locks the server's pace cost.
#include <winsock2.h>
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "common/Raii.h"
#include "common/Text.h"
#include "control/VelmoraCtl.h"
#include "messaging/MessageChannel.h"
#include "messaging/Records.h"
#include "resources/resource.h"
#include "tests/workdir/WorkdirTestSupport.h"
#include "tools/uidriver/UiDriver.h"
#include "velmora_h.h"

namespace {

using namespace velmora::bench;

using velmora::MessageChannel;
using velmora::VelmoraCtl;
namespace ui = velmora::ui;
namespace msg = velmora::msg;
namespace test = velmora::test;

struct Args {
  std::string server;  // empty lock table
  std::string loaded;  // loaded with `locks` locks here
  std::string silent;  // nothing listens
  int locks = 10000;
  int rounds = 5;
};

// Longest wait for a dialog to show or a login to end; far beyond any figure.
constexpr DWORD kPatienceMs = 120000;
constexpr char kAccounts[] = R"({"accounts": [
  {"account": "zhangwei", "password": "zw2026", "姓名": "张伟", "UPDATESERVER": "", "FTPIP": "", "USERNAME": "",
   "PASSWORD": "", "管理专业": "", "管理专业名称": "", "本地路径": ""}]})";

bool ParseArgs(int argc, char** argv, Args& args) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i], value = argv[i + 1];
    if (name == "--server") {
      args.server = value;
    } else if (name == "--loaded") {
      args.loaded = value;
    } else if (name == "--silent") {
      args.silent = value;
    } else if (name == "--locks") {
      args.locks = std::atoi(value.c_str());
    } else if (name == "--rounds") {
      args.rounds = std::atoi(value.c_str());
    } else {
      return false;
    }
  }
  // Everything here is sent to these addresses: loopback only.
  return argc % 2 == 1 && IsLoopback(args.server) && IsLoopback(args.loaded) && IsLoopback(args.silent) &&
         args.locks >= 1 && args.rounds >= 1;
}

// The state a login needs in the prefix: a working directory that is
// usable as stored, the AppServer's accounts, the host's INI file.
class Prefix {
 public:
  Prefix() : root_(test::FreshDirectory(L"login-bench")) {
    test::MakeTree(root_, {{L"temp\\", ""}});
    test::SetTempFilePath(REG_SZ, test::Mb(root_) + "\\temp" + '\0');
    const std::wstring data = root_ + L"\\appserver.json";
    velmora::UniqueFile file(
        CreateFileW(data.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    ok_ = file && WriteFile(file.get(), kAccounts, sizeof kAccounts - 1, &written, nullptr);
    SetEnvironmentVariableW(L"VELMORA_APPSERVER_DATA", data.c_str());
    ini_ = root_ + L"\\servers.ini";
  }
  ~Prefix() {
    test::DeleteTempFilePath();
    test::RemoveTree(root_);
  }
  Prefix(const Prefix&) = delete;
  Prefix& operator=(const Prefix&) = delete;

  bool ok() const { return ok_; }
  // One server whose message server is `messageIp`.
  const std::wstring& Ini(const std::string& messageIp) {
    WritePrivateProfileStringW(L"RemoteServers", L"ServersNum", L"1", ini_.c_str());
    WritePrivateProfileStringW(L"Server1", L"ServerName", L"测试中心", ini_.c_str());
    WritePrivateProfileStringW(L"Server1", L"MessageIP", velmora::ToWide(messageIp).c_str(), ini_.c_str());
    return ini_;
  }

 private:
  std::wstring root_, ini_;
  bool ok_ = false;
};

// One login as a person does it: the dialog filled in, OK pressed, and the
// time until Login returns on the host's thread.
struct Login {
  bool ok = false;  // logged in, within the patience
  double ms = 0;
  bool registered = false;
  size_t locks = 0;
  std::string fault;
};

Login RunOnce(const std::wstring& ini) {
  Login login;
  double returned = 0;
  HRESULT hr = E_UNEXPECTED;
  VARIANT_BOOL value = 5;
  ui::UiThread session([&] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
      Microsoft::WRL::ComPtr<IVelmoraCtl> control;
      if (SUCCEEDED(VelmoraCtl::CreateInstance(nullptr, IID_PPV_ARGS(&control)))) {
        velmora::UniqueBstr path(SysAllocString(ini.c_str()));
        hr = control->Login(path.get(), &value);
        returned = NowMs();
        login.registered = VelmoraCtl::FromInterface(control.Get())->IsRegistered();
        login.locks = VelmoraCtl::FromInterface(control.Get())->LockCount();
      }
    }  // released: the logout goes out, the receive thread ends
    CoUninitialize();
    return INT_PTR{0};
  });
  HWND dialog = ui::WaitForWindow(L"Sorvik平台", kPatienceMs, L"#32770", session.ThreadId());
  if (!dialog || !ui::TypeInto(dialog, IDC_LOGIN_ACCOUNT, L"zhangwei") ||
      !ui::TypeInto(dialog, IDC_LOGIN_PASSWORD, L"zw2026")) {
    login.fault = "the login dialog could not be filled in";
    return login;
  }
  const double pressed = NowMs();
  if (!ui::PressButton(dialog, IDOK)) {
    login.fault = "OK could not be pressed";
    return login;
  }
  // A nearly full disk on this machine adds a warning, answered here.
  if (!session.WaitAnswering(kPatienceMs, L"系统提示", IDOK)) {
    login.fault = "Login did not return";
    return login;
  }
  login.ms = returned - pressed;
  login.ok = hr == S_OK && value == VARIANT_TRUE;
  if (!login.ok) login.fault = Format("Login gave %d, 0x%08lX", value, static_cast<unsigned long>(hr));
  return login;
}

// Logs in `rounds` times and prints the median and range. False on a fault,
// or when the registration came out other than `registered`. Locks lost to
// the server's pace are a figure: a busy machine loses more.
bool Measure(Prefix& prefix, const std::string& label, const std::string& messageIp, int rounds, bool registered,
             size_t locks) {
  std::vector<double> times;
  size_t fewest = locks;
  for (int round = 0; round < rounds; ++round) {
    const Login login = RunOnce(prefix.Ini(messageIp));
    if (!login.fault.empty() || login.registered != registered) {
      std::fprintf(stderr, "velmora_login_bench: [%s] %s\n", label.c_str(),
                   login.fault.empty() ? (registered ? "not registered" : "registered") : login.fault.c_str());
      return false;
    }
    times.push_back(login.ms);
    fewest = std::min(fewest, login.locks);
  }
  std::sort(times.begin(), times.end());
  const double median = times.size() % 2 ? times[times.size() / 2]
                                         : (times[times.size() / 2 - 1] + times[times.size() / 2]) / 2;
  std::string value = Format("median %.2f s (min %.2f, max %.2f; %d logins)", median / 1000, times.front() / 1000,
                             times.back() / 1000, rounds);
  if (locks > 0) value += Format(", %zu of %zu locks held at the least", fewest, locks);
  Row(label, value);
  if (fewest < locks) std::fprintf(stderr, "velmora_login_bench: [%s] %zu locks lost\n", label.c_str(), locks - fewest);
  return true;
}

// Stores `count` locks at `server` through a channel of its own, one claim
// at a time (the channel resends as a control does). False when one is
// never answered or refused: the loader's tasks are its own.
bool LoadLocks(const std::string& server, int count) {
  MessageChannel loader;
  if (loader.Start(0) != 1 || loader.Register("loader", server) != 1) {
    std::fprintf(stderr, "velmora_login_bench: the loader could not register at %s\n", server.c_str());
    return false;
  }
  const double start = NowMs();
  for (int lock = 0; lock < count; ++lock) {
    std::string tasks;
    for (int t = 0; t < 10; ++t) tasks += Format("%s{%08X-%04X-4000-8000-000000000000}", t ? "," : "", lock, t);
    if (loader.RequestLockChange("loader", "Loader", 900000 + lock % 25, tasks, true) != 1) {
      std::fprintf(stderr, "velmora_login_bench: claim %d was refused or never answered\n", lock);
      return false;
    }
  }
  Row(Format("Locks stored at %s for the loaded logins", server.c_str()),
      Format("%d in %.1f s", count, (NowMs() - start) / 1000));
  loader.SendLogout();  // the locks stay with the server
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  if (!ParseArgs(argc, argv, args)) {
    std::fprintf(stderr,
                 "usage: velmora_login_bench --server ADDR --loaded ADDR --silent ADDR [--locks N] [--rounds N]\n"
                 "  addresses are loopback (127.x.y.z); servers listen on port 4568, nothing at --silent\n");
    return 2;
  }
  Prefix prefix;
  if (!prefix.ok()) return 1;
  // The person's first login at each server is not the figure: the AppServer
  // and the dialog's resources are loaded once per process.
  if (const Login warmUp = RunOnce(prefix.Ini(args.server)); !warmUp.ok) {
    std::fprintf(stderr, "velmora_login_bench: the warm-up login failed: %s\n", warmUp.fault.c_str());
    return 1;
  }
  bool ok = Measure(prefix, "Login, OK pressed to return, empty lock table", args.server, args.rounds, true, 0);
  ok = ok && LoadLocks(args.loaded, args.locks);
  ok = ok && Measure(prefix, Format("Login, OK pressed to return, %d locks", args.locks), args.loaded,
                     std::max(1, args.rounds / 2), true, static_cast<size_t>(args.locks));
  // Each takes the registration's whole cycle: a few are enough.
  ok = ok && Measure(prefix, "Login when nothing answers at the message server's address", args.silent,
                     std::min(args.rounds, 2), false, 0);
  if (!ok) std::fprintf(stderr, "velmora_login_bench: a step could not be carried out\n");
  return ok ? 0 : 1;
}
