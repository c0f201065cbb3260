// The diagnostic trace of whole sessions: what a traced login, password
// change, queries and locks leave in the file (every kind of event, and no
// password in any form), how the file rolls, also with a second process
// writing it, which setting turns it on, and that a file which stalls
// holds nobody up.
#include <gtest/gtest.h>

#include <windows.h>
#include <wrl/client.h>

#include <chrono>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/Raii.h"
#include "common/Settings.h"
#include "common/Text.h"
#include "common/Trace.h"
#include "control/VelmoraCtl.h"
#include "resources/resource.h"
#include "tests/login/SessionHarness.h"
#include "tests/workdir/WorkdirTestSupport.h"
#include "tools/uidriver/UiDriver.h"

namespace velmora::test {
namespace {

const char* const kServer = VELMORA_TRACESERVER_ADDRESS;

// Every password of the session, each findable by itself.
const char kTyped[] = "Tq8#login";
const char kWrong[] = "Wr0ng!typed";
const char kChanged[] = "Nw5$changed";
const char kAccountFtp[] = "Fa3!accountftp";
const char kProjectFtp[] = "Fp7!projectftp";

std::string Accounts() {
  return std::string(R"({"accounts": [
  {"account": "zhangwei", "password": ")") + kTyped + R"(", "姓名": "张伟", "UPDATESERVER": "10.1.1.1",
   "FTPIP": "10.2.2.2", "USERNAME": "ftpuser", "PASSWORD": ")" + kAccountFtp + R"(", "管理专业": "JG",
   "管理专业名称": "结构", "本地路径": "C:\\srv"}],
 "projectRoles": [{"account": "zhangwei", "project": "P1", "是否是设计负责人": true, "是否是设计者": true,
   "是否能制作计划": true, "项目名称": "桥"}],
 "fileServers": [{"project": "P1", "文件服务器": "10.3.3.3", "登录用户": "ftpproj", "登录口令": ")" +
         kProjectFtp + R"("}]})";
}

std::string ReadBytes(const std::wstring& path) {
  std::ifstream file(path.c_str(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Utf16(const std::string& ascii) {
  std::string bytes;
  for (char c : ascii) bytes += {c, '\0'};
  return bytes;
}

// Points the trace at its settings for one test, and back to off after.
class Traced : public SessionTest {
 protected:
  void SetUp() override {
    Prepare(kServer, Accounts());
    trace_ = root_ + L"\\velmora.trace";
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"VELMORA_TRACE", nullptr);
    SetSorvikTraceFile(nullptr);
    SetPolicy(nullptr);
    trace::Reconsider();
    SessionTest::TearDown();
  }
  // The value users can write, which names nothing any more.
  static void SetSorvikTraceFile(const wchar_t* path) {
    if (path) {
      StoreSettingValue("TraceFile", Mb(path));
    } else {
      RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Sorvik", L"TraceFile");
    }
  }
  static void SetPolicy(const wchar_t* path, DWORD type = REG_SZ) {
    const wchar_t* const kKey = L"SOFTWARE\\Policies\\Velmora";
    if (!path) {
      RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKey, KEY_WOW64_64KEY, 0);
      return;
    }
    UniqueHkey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr,
                              key.put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key.get(), L"TraceFile", 0, type, reinterpret_cast<const BYTE*>(path),
                             static_cast<DWORD>((wcslen(path) + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }
  // The second process of these tests (TraceWriter.cpp) with `arguments`;
  // its exit code.
  static DWORD RunWriter(const std::wstring& arguments, HANDLE* started = nullptr) {
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line(self, length);
    line = L"\"" + line.substr(0, line.rfind(L'\\') + 1) + L"velmora_trace_writer.exe\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
      return GetLastError();
    }
    CloseHandle(process.hThread);
    if (started) {
      *started = process.hProcess;
      return 0;
    }
    UniqueHandle owned(process.hProcess);
    DWORD code = WAIT_TIMEOUT;
    if (WaitForSingleObject(owned.get(), 60000) == WAIT_OBJECT_0) GetExitCodeProcess(owned.get(), &code);
    return code;
  }
  // A control with nobody logged in: get_RoleID answers all the same.
  static void CallMembers(int times) {
    Microsoft::WRL::ComPtr<IVelmoraCtl> control;
    ASSERT_EQ(VelmoraCtl::CreateInstance(nullptr, IID_PPV_ARGS(&control)), S_OK);
    LONG role = 0;
    for (int i = 0; i < times; ++i) ASSERT_EQ(control->get_RoleID(&role), S_OK);
  }

  std::wstring trace_;
};

TEST_F(Traced, AWholeSessionLeavesEveryKindOfEventAndNoPassword) {
  SetEnvironmentVariableW(L"VELMORA_TRACE", trace_.c_str());
  trace::Reconsider();
  HRESULT changed = E_UNEXPECTED, project = E_UNEXPECTED, ftp = E_UNEXPECTED;
  VARIANT_BOOL value = 5, claimed = 5, released = 5;
  Start([&](IVelmoraCtl* control) {
    Login(control, &value);
    changed = control->ChangePassword();
    UniqueBstr id(SysAllocString(L"P1")), tasks(SysAllocString(L"t1,t2")), text;
    project = control->GetUserInfoByProject(id.get());
    UniqueBstr ip, user, password;
    ftp = control->FtpServerInfo(id.get(), ip.put(), user.put(), password.put());
    control->ChangeTask(7, tasks.get(), VARIANT_TRUE, text.put(), &claimed);
    control->ChangeTask(7, tasks.get(), VARIANT_FALSE, text.put(), &released);
    control->Logout();
  });
  Submit(L"zhangwei", ToWide(kWrong), false);
  Answer(L"系统", L"帐号或者密码输入错误，请核实后重新输入！");
  Submit(L"zhangwei", ToWide(kTyped));
  HWND dialog = ui::WaitForWindow(L"修改密码", kWaitMs, L"#32770", ui_->ThreadId());
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(ui::TypeInto(dialog, IDC_PASSWORD_OLD, ToWide(kTyped)));
  ASSERT_TRUE(ui::TypeInto(dialog, IDC_PASSWORD_NEW, ToWide(kChanged)));
  ASSERT_TRUE(ui::TypeInto(dialog, IDC_PASSWORD_CONFIRM, ToWide(kChanged)));
  ASSERT_TRUE(ui::PressButton(dialog, IDOK));
  Finish();
  ASSERT_EQ(value, VARIANT_TRUE);
  EXPECT_EQ(changed, S_OK);
  EXPECT_EQ(project, S_OK);
  EXPECT_EQ(ftp, S_OK);
  EXPECT_EQ(claimed, VARIANT_TRUE);
  EXPECT_EQ(released, VARIANT_TRUE);
  trace::Reconsider();  // closes the file

  const std::string text = ReadBytes(trace_);
  for (const char* password : {kTyped, kWrong, kChanged, kAccountFtp, kProjectFtp}) {
    EXPECT_EQ(text.find(password), std::string::npos) << password;
    EXPECT_EQ(text.find(Utf16(password)), std::string::npos) << password << " in UTF-16";
  }
  const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} t=(\d+) (\w+)( .*)?)");
  std::set<std::string> threads;
  for (const std::string& l : Lines(text)) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(l, match, line)) << l;
    if (match[2] == "member" || match[2] == "recv") threads.insert(match[1]);
  }
  EXPECT_GE(threads.size(), 2u) << "the receive thread writes too";
  const char* const kinds[] = {
      R"(member Login hr=0x00000000 ms=\d+\.\d{3})",
      R"(member ChangePassword hr=0x00000000 )",
      R"(command 140 args=2\(\*\*\*,\*\*\*\) hr=0x00000000 ms=[\d.]+ rows=0)",
      R"(command 141 args=3\(\*\*\*,\*\*\*,\*\*\*\) hr=0x00000000 )",
      R"(command 153 args=2\(BSTR,BSTR\) hr=0x00000000 ms=[\d.]+ rows=1)",
      R"(command 163 args=1\(BSTR\) hr=0x00000000 ms=[\d.]+ rows=1)",
      R"(send 101 register bytes=72 peer=127\.0\.0\.\d+:4568)",
      R"(recv 103 registered bytes=72 )",
      R"(send 201 lock-claim bytes=8040 peer=127\.0\.0\.\d+:4568 project=7 tasks=2)",
      R"(recv 206 lock-change-done )",
      "box caption=\"\xE7\xB3\xBB\xE7\xBB\x9F\" text=\"\xE5\xB8\x90\xE5\x8F\xB7",  // 系统, 帐号...
      R"(register cycle=1 server=127\.0\.0\.\d+)",
      R"(register outcome=registered cycles=1 ms=)",
  };
  for (const char* kind : kinds) EXPECT_TRUE(std::regex_search(text, std::regex(kind))) << kind;
}

// Lines go on into a new file once the bound is reached; the one before is
// kept beside it as NAME.1, and an older one is gone.
TEST_F(Traced, RollsAtTheBoundKeepingOnePreviousFile) {
  constexpr uint64_t kBound = 4096;
  const std::wstring previous = trace_ + L".1";
  MakeTree(root_, {{L"velmora.trace.1", "an older file\n"}});
  SetEnvironmentVariableW(L"VELMORA_TRACE", trace_.c_str());
  trace::Reconsider(kBound);
  CallMembers(300);  // some 20 KiB of lines
  trace::Reconsider();
  const std::string now = ReadBytes(trace_), before = ReadBytes(previous);
  EXPECT_LE(now.size(), kBound);
  EXPECT_GT(before.size(), kBound - 100);
  EXPECT_LE(before.size(), kBound);
  for (const std::string* text : {&now, &before}) {
    ASSERT_FALSE(text->empty());
    EXPECT_EQ(text->back(), '\n');
    const std::regex member(R"(.* member (get_RoleID|Logout) hr=0x00000000 ms=[\d.]+)");
    for (const std::string& l : Lines(*text)) EXPECT_TRUE(std::regex_match(l, member)) << l;
  }
  EXPECT_EQ(GetFileAttributesW((trace_ + L".2").c_str()), INVALID_FILE_ATTRIBUTES);
}

// The environment wins over the policy, even set empty; the policy's
// environment strings are this process's; the value under Sorvik, which
// every user may write, names nothing. A file that cannot be opened leaves
// the trace off and the control as it is.
TEST_F(Traced, TheSettingDecidesAndAnUnopenableFileChangesNothing) {
  const std::wstring policy = root_ + L"\\policy.trace", expanded = root_ + L"\\expanded.trace",
                     made = root_ + L"\\made\\x.trace", missing = root_ + L"\\no such dir\\x.trace",
                     deep = root_ + L"\\no such dir\\deeper\\x.trace";
  SetEnvironmentVariableW(L"VELMORA_TEST_ROOT", root_.c_str());
  const wchar_t* const kExpanding = L"%VELMORA_TEST_ROOT%\\expanded.trace";
  const struct {
    const wchar_t* environment;
    const wchar_t* sorvik;
    const wchar_t* policy;
    DWORD type;
    const std::wstring* written;
  } cases[] = {
      {nullptr, nullptr, nullptr, REG_SZ, nullptr},
      {nullptr, nullptr, policy.c_str(), REG_SZ, &policy},
      {nullptr, nullptr, kExpanding, REG_EXPAND_SZ, &expanded},
      {nullptr, nullptr, kExpanding, REG_SZ, &expanded},
      {nullptr, nullptr, L"%VELMORA_NO_SUCH_VARIABLE%\\x.trace", REG_EXPAND_SZ, nullptr},
      {nullptr, nullptr, L"relative.trace", REG_SZ, nullptr},
      {nullptr, nullptr, made.c_str(), REG_SZ, &made},  // one missing folder is made
      {nullptr, nullptr, deep.c_str(), REG_SZ, nullptr},  // two are not
      {nullptr, policy.c_str(), nullptr, REG_SZ, nullptr},
      {trace_.c_str(), nullptr, policy.c_str(), REG_SZ, &trace_},
      {missing.c_str(), nullptr, policy.c_str(), REG_SZ, nullptr},
      {L"", nullptr, policy.c_str(), REG_SZ, nullptr},
  };
  const std::wstring* const files[] = {&trace_, &policy, &expanded, &made};
  for (const auto& c : cases) {
    SCOPED_TRACE(Mb(std::wstring(c.environment ? c.environment : L"-") + L" / " + (c.sorvik ? c.sorvik : L"-") +
                    L" / " + (c.policy ? c.policy : L"-")));
    for (const std::wstring* file : files) DeleteFileW(file->c_str());
    RemoveDirectoryW((root_ + L"\\made").c_str());
    SetEnvironmentVariableW(L"VELMORA_TRACE", c.environment);
    SetSorvikTraceFile(c.sorvik);
    SetPolicy(c.policy, c.type);
    trace::Reconsider();
    CallMembers(3);
    EXPECT_EQ(trace::On(), c.written != nullptr);
    trace::Reconsider();
    for (const std::wstring* file : files) {
      const std::string text = ReadBytes(*file);
      size_t calls = 0;
      for (size_t at = 0; (at = text.find(" member get_RoleID ", at)) != std::string::npos; ++at) ++calls;
      EXPECT_EQ(calls, file == c.written ? 3u : 0u) << Mb(*file) << "\n" << text;
    }
    EXPECT_EQ(GetFileAttributesW((root_ + L"\\no such dir").c_str()), INVALID_FILE_ATTRIBUTES);
  }
  SetEnvironmentVariableW(L"VELMORA_TEST_ROOT", nullptr);
}

// Two processes tracing into one file across many rolls: the last two
// files hold, of each, an unbroken run of its latest lines, once each.
TEST_F(Traced, TwoProcessesRollingOneFileLoseNoLineOfTheLastTwoFiles) {
  constexpr int kLines = 1000;
  constexpr uint64_t kBound = 4096;  // some 90 lines
  SetEnvironmentVariableW(L"VELMORA_TRACE", trace_.c_str());
  const std::wstring readyName = L"velmora-trace-ready-" + std::to_wstring(GetCurrentProcessId()),
                     goName = L"velmora-trace-go-" + std::to_wstring(GetCurrentProcessId());
  UniqueHandle ready(CreateSemaphoreW(nullptr, 0, 2, readyName.c_str())),
      go(CreateEventW(nullptr, TRUE, FALSE, goName.c_str()));
  ASSERT_TRUE(ready && go);
  std::vector<UniqueHandle> processes;
  for (const wchar_t* tag : {L"A", L"B"}) {
    HANDLE process = nullptr;
    ASSERT_EQ(RunWriter(L"lines " + std::wstring(tag) + L" " + std::to_wstring(kLines) + L" " +
                            std::to_wstring(kBound) + L" " + readyName + L" " + goName,
                        &process),
              0u);
    processes.emplace_back(process);
  }
  for (int i = 0; i < 2; ++i) ASSERT_EQ(WaitForSingleObject(ready.get(), 30000), WAIT_OBJECT_0);
  SetEvent(go.get());
  for (UniqueHandle& process : processes) {
    ASSERT_EQ(WaitForSingleObject(process.get(), 60000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeProcess(process.get(), &code);
    EXPECT_EQ(code, 0u);
  }
  const std::string before = ReadBytes(trace_ + L".1"), now = ReadBytes(trace_);
  EXPECT_LE(before.size(), kBound);
  EXPECT_LE(now.size(), kBound);
  EXPECT_GT(before.size(), kBound - 100) << "the file rolled";
  std::map<std::string, std::vector<int>> numbers;
  const std::regex line(R"(.* t=\d+ (line (\w) n=(\d+)|trace on pid=\d+))");
  for (const std::string& l : Lines(before + now)) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(l, match, line)) << l;
    if (match[2].matched) numbers[match[2]].push_back(std::stoi(match[3]));
  }
  ASSERT_EQ(numbers.size(), 2u) << "both wrote into the last two files";
  for (const auto& [tag, seen] : numbers) {
    SCOPED_TRACE(tag);
    EXPECT_EQ(seen.back(), kLines - 1);
    for (size_t i = 1; i < seen.size(); ++i) ASSERT_EQ(seen[i], seen[i - 1] + 1) << "after " << seen[i - 1];
  }
}

// A host that ends its process right after its calls, before the writer
// thread had its turn, still leaves every line: the ending process writes
// them.
TEST_F(Traced, AProcessEndingRightAfterItsCallsLeavesTheirLines) {
  SetEnvironmentVariableW(L"VELMORA_TRACE", trace_.c_str());
  ASSERT_EQ(RunWriter(L"members 500"), 0u);
  const std::string text = ReadBytes(trace_);
  size_t calls = 0;
  for (size_t at = 0; (at = text.find(" member get_RoleID ", at)) != std::string::npos; ++at) ++calls;
  EXPECT_GE(calls, 500u) << "at most the lines of a write cut short come twice";
  EXPECT_NE(text.find(" trace on pid="), std::string::npos);
}

// A trace file whose writes never end (a pipe nobody reads) holds up no
// member and not the receive thread: their lines wait in the queue, those
// that find it full are dropped, and the count is written once the file
// takes lines again.
TEST_F(Traced, AFileThatStallsHoldsUpNoMemberNorTheReceiveThread) {
  const std::wstring pipe = L"\\\\.\\pipe\\velmora-trace-" + std::to_wstring(GetCurrentProcessId());
  UniqueFile server(CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 0, 0, nullptr));
  ASSERT_TRUE(server);
  SetEnvironmentVariableW(L"VELMORA_TRACE", pipe.c_str());
  trace::Reconsider();
  struct Results {
    int started = 0, registered = 0;
    HRESULT asked = E_UNEXPECTED, claimed = E_UNEXPECTED, released = E_UNEXPECTED;
    VARIANT_BOOL free = 5, granted = 5;
  };
  // Enough member lines to fill the queue several times over.
  auto session = std::async(std::launch::async, [] {
    Results r;
    Microsoft::WRL::ComPtr<IVelmoraCtl> control;
    if (FAILED(VelmoraCtl::CreateInstance(nullptr, IID_PPV_ARGS(&control)))) return r;
    VelmoraCtl* object = VelmoraCtl::FromInterface(control.Get());
    object->State().UserID = "zhangwei";
    object->SetServerAddress(kServer);
    r.started = object->Start(0);
    r.registered = object->Register("zhangwei", kServer);
    UniqueBstr tasks(SysAllocString(L"s1,s2"));
    r.asked = S_OK;
    for (int i = 0; i < 10000 && r.asked == S_OK; ++i) r.asked = control->CanChangeTask(31, tasks.get(), nullptr, &r.free);
    UniqueBstr holder;
    r.claimed = control->ChangeTask(31, tasks.get(), VARIANT_TRUE, holder.put(), &r.granted);
    VARIANT_BOOL released = 5;
    r.released = control->ChangeTask(31, tasks.get(), VARIANT_FALSE, holder.put(), &released);
    return r;
  });
  const bool ended = session.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  const bool on = trace::On();
  // From here on the pipe is read, so that nothing stays stuck on it.
  auto reader = std::async(std::launch::async, [&server] {
    std::string text;
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    char chunk[4096];
    for (const ULONGLONG end = GetTickCount64() + 30000; GetTickCount64() < end;) {
      OVERLAPPED overlapped{};
      overlapped.hEvent = event.get();
      DWORD got = 0;
      if (!ReadFile(server.get(), chunk, sizeof chunk, nullptr, &overlapped) && GetLastError() != ERROR_IO_PENDING) break;
      if (WaitForSingleObject(event.get(), 30000) != WAIT_OBJECT_0) {
        CancelIoEx(server.get(), &overlapped);
        GetOverlappedResult(server.get(), &overlapped, &got, TRUE);
        break;
      }
      if (!GetOverlappedResult(server.get(), &overlapped, &got, FALSE)) break;  // the writer closed its end
      text.append(chunk, got);
    }
    return text;
  });
  ASSERT_TRUE(ended) << "the calls waited for the file";
  const Results r = session.get();
  EXPECT_EQ(r.started, 1);
  EXPECT_EQ(r.registered, 1) << "the receive thread answered";
  EXPECT_EQ(r.asked, S_OK);
  EXPECT_EQ(r.claimed, S_OK);
  EXPECT_EQ(r.granted, VARIANT_TRUE);
  EXPECT_EQ(r.released, S_OK);
  EXPECT_TRUE(on) << "the trace stayed on";
  trace::Reconsider();  // the writer takes the queue to the pipe and closes it
  const std::string text = reader.get();
  ASSERT_FALSE(text.empty());
  EXPECT_TRUE(std::regex_search(text, std::regex(R"(t=\d+ trace dropped=\d+\n)"))) << text.size();
  EXPECT_TRUE(std::regex_search(text, std::regex(R"(t=\d+ recv 103 registered )")));
  EXPECT_NE(text.find(" member CanChangeTask hr=0x00000000 "), std::string::npos);
  EXPECT_EQ(text.back(), '\n');
}

}  // namespace
}  // namespace velmora::test
