// Whatever allocation fails, the control answers with an HRESULT: no
// exception reaches the host, nothing crashes, nothing leaks, and the
// control still works afterwards. The calling thread's n-th allocation is
// refused for every n along the query members and a lock claim, and for a
// spread of n along a whole login through the real dialog.
#include <gtest/gtest.h>

#include <windows.h>
#include <wrl/client.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <new>
#include <string>

#include "common/Barrier.h"
#include "common/Raii.h"
#include "common/DialogHelpers.h"
#include "common/Trace.h"
#include "control/VelmoraCtl.h"
#include "resources/resource.h"
#include "tests/login/AllocationHook.h"
#include "tests/login/SessionHarness.h"
#include "tests/workdir/WorkdirTestSupport.h"
#include "tools/uidriver/UiDriver.h"
#include "workdir/FileMigration.h"
#include "workdir/MigrationProgressWindow.h"

namespace velmora::test {
namespace {

using Microsoft::WRL::ComPtr;

const char* const kServer = VELMORA_BOUNDARYSERVER_ADDRESS;

const char kData[] = R"({"accounts": [
  {"account": "zhangwei", "password": "zw2026", "姓名": "张伟", "UPDATESERVER": "10.1.1.1", "FTPIP": "10.2.2.2",
   "USERNAME": "ftpuser", "PASSWORD": "ftppass", "管理专业": "JG", "管理专业名称": "结构", "本地路径": "C:\\srv"}],
 "functions": [{"account": "zhangwei", "功能编码": "F101", "功能名称": "任务分解", "序号": 1, "只读": false, "备注": null}],
 "projectRoles": [{"account": "zhangwei", "project": "P1", "是否是设计负责人": true, "是否是设计者": true,
   "是否能制作计划": false, "项目名称": "大桥"}],
 "taskRoles": [{"account": "zhangwei", "project": "P1", "task": "T-101", "专业编码": "JG", "专业名称": "结构",
   "部门编码": "D01", "部门名称": "结构所", "管理角色": "3", "管理专业": "JG", "管理专业名称": "结构",
   "角色名称": "设计负责人", "角色类型": "负责", "角色ID": 3, "参与角色": "3,17", "是否是设计负责人": true,
   "是否是设计者": true, "是否能制作计划": true, "项目名称": "大桥"}],
 "signatures": [{"id": "T-101", "role": 3, "签字": "张伟"}],
 "fileServers": [{"project": "P1", "文件服务器": "10.3.3.3", "登录用户": "u", "登录口令": "p"}]})";

constexpr size_t kMostAllocations = 20000;  // a call that never ends its count is a fault of its own

// Blocks the armed thread made may be freed by the receive thread, which
// ends shortly after its control.
bool NothingOutstanding() {
  for (int i = 0; i < 200; ++i) {
    if (alloc::Outstanding() == 0) return true;
    Sleep(50);
  }
  return false;
}

struct Attempt {
  HRESULT hr = E_UNEXPECTED;
  bool escaped = false;  // an exception came out of the call
  bool refused = false;  // the n-th allocation was reached and refused
  size_t calls = 0;
};

// `call` with the calling thread's n-th allocation refused (0: none), or
// with `every` each n-th.
Attempt Refusing(size_t n, const std::function<HRESULT()>& call, bool every = false) {
  Attempt attempt;
  alloc::Arm(n, every);
  try {
    attempt.hr = call();
  } catch (...) {
    attempt.escaped = true;
  }
  attempt.calls = alloc::Disarm();
  attempt.refused = alloc::Refused();
  return attempt;
}

class OutOfMemory : public SessionTest {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // the queries run on this thread
    Prepare(kServer, kData);
  }
  void TearDown() override {
    SessionTest::TearDown();
    CoUninitialize();
  }

  // A control as a logged-in user's, linked into this program.
  static ComPtr<IVelmoraCtl> LoggedInControl(bool registered) {
    ComPtr<IVelmoraCtl> control;
    EXPECT_EQ(S_OK, VelmoraCtl::CreateInstance(nullptr, IID_PPV_ARGS(&control)));
    if (!control) return control;
    VelmoraCtl* object = VelmoraCtl::FromInterface(control.Get());
    object->State().UserID = "zhangwei";
    object->State().UserName = "\xd5\xc5\xce\xb0";  // 张伟
    if (registered) {
      object->SetServerAddress(kServer);
      EXPECT_EQ(1, object->Start(0));
      EXPECT_EQ(1, object->Register("zhangwei", kServer));
    }
    return control;
  }

  // Refuses allocation 1, 2, ... of `call` on a fresh control until the
  // call gets through without reaching the refusal; each answer must be
  // `expected` or E_OUTOFMEMORY, and the control must still answer
  // `expected` afterwards.
  void SweepEveryAllocation(const char* name, bool registered, HRESULT expected,
                            const std::function<HRESULT(IVelmoraCtl*)>& call) {
    SCOPED_TRACE(name);
    {
      ComPtr<IVelmoraCtl> warmUp = LoggedInControl(registered);  // lazily made module state
      ASSERT_EQ(expected, call(warmUp.Get()));
    }
    ASSERT_TRUE(NothingOutstanding());
    for (size_t n = 1; n < kMostAllocations; ++n) {
      SCOPED_TRACE("allocation " + std::to_string(n) + " refused");
      ComPtr<IVelmoraCtl> control = LoggedInControl(registered);
      ASSERT_TRUE(control);
      const Attempt attempt = Refusing(n, [&] { return call(control.Get()); });
      ASSERT_FALSE(attempt.escaped);
      if (!attempt.refused) {
        EXPECT_EQ(expected, attempt.hr);
        std::printf("[ swept    ] %s: %zu allocations\n", name, n - 1);
        return;
      }
      EXPECT_TRUE(attempt.hr == expected || attempt.hr == E_OUTOFMEMORY) << std::hex << attempt.hr;
      EXPECT_EQ(expected, call(control.Get())) << "the control works after the failure";
      control.Reset();
      ASSERT_TRUE(NothingOutstanding()) << alloc::Outstanding() << " blocks leaked";
    }
    FAIL() << "the call never got through";
  }
};

TEST_F(OutOfMemory, QueryMembersAnswerWithAnHResult) {
  UniqueBstr task(SysAllocString(L"T-101")), project(SysAllocString(L"P1")), empty(SysAllocString(L""));
  const struct {
    const char* name;
    std::function<HRESULT(IVelmoraCtl*)> call;
  } cases[] = {
      {"GetUserInfoByTask",
       [&](IVelmoraCtl* c) { return c->GetUserInfoByTask(task.get(), project.get(), empty.get(), empty.get(), 0); }},
      {"GetUserInfoByProject", [&](IVelmoraCtl* c) { return c->GetUserInfoByProject(project.get()); }},
      {"FtpServerInfo",
       [&](IVelmoraCtl* c) {
         UniqueBstr ip, user, password;
         return c->FtpServerInfo(project.get(), ip.put(), user.put(), password.put());
       }},
      {"GetSignature",
       [&](IVelmoraCtl* c) {
         UniqueBstr signature;
         return c->GetSignature(task.get(), 3, VARIANT_FALSE, signature.put());
       }},
      {"GetAssignedFunction",
       [](IVelmoraCtl* c) {
         ComPtr<IDispatch> functions;
         return c->GetAssignedFunction(&functions);
       }},
      {"SystemDateEx",
       [](IVelmoraCtl* c) {
         UniqueBstr date;
         return c->get_SystemDateEx(date.put());
       }},
  };
  for (const auto& c : cases) SweepEveryAllocation(c.name, false, S_OK, c.call);
}

// Traced, a member's line is more to allocate: a refusal there costs the
// line, never the call.
TEST_F(OutOfMemory, ATracedMemberAnswersWithAnHResult) {
  SetEnvironmentVariableW(L"VELMORA_TRACE", (root_ + L"\\boundary.trace").c_str());
  trace::Reconsider();
  UniqueBstr project(SysAllocString(L"P1"));
  SweepEveryAllocation("GetUserInfoByProject, traced", false, S_OK,
                       [&](IVelmoraCtl* c) { return c->GetUserInfoByProject(project.get()); });
  EXPECT_TRUE(trace::On());
  SetEnvironmentVariableW(L"VELMORA_TRACE", nullptr);
  trace::Reconsider();
}

TEST_F(OutOfMemory, ALockClaimAnswersWithAnHResult) {
  UniqueBstr tasks(SysAllocString(L"T-101,T-102"));
  SweepEveryAllocation("ChangeTask", true, S_OK, [&](IVelmoraCtl* c) {
    UniqueBstr holder;
    VARIANT_BOOL granted = VARIANT_FALSE;
    const HRESULT hr = c->ChangeTask(2026, tasks.get(), VARIANT_TRUE, holder.put(), &granted);
    return SUCCEEDED(hr) && granted != VARIANT_TRUE ? S_FALSE : hr;
  });
}

TEST_F(OutOfMemory, AWholeLoginAnswersWithAnHResult) {
  struct LoginAttempt : Attempt {
    VARIANT_BOOL value = 5;
  };
  // The dialog is filled and confirmed whenever it shows; any box is
  // answered, and a dialog still open after one is cancelled.
  auto login = [this](size_t n) {
    LoginAttempt attempt;
    Start([&](IVelmoraCtl* control) {
      static_cast<Attempt&>(attempt) = Refusing(n, [&] { return Login(control, &attempt.value); });
    });
    bool submitted = false;
    for (int i = 0; i < 400 && !ui_->Wait(50); ++i) {
      HWND dialog = ui::WaitForWindow(L"Sorvik平台", 0, L"#32770", ui_->ThreadId());
      if (dialog && !submitted) {
        submitted = ui::TypeInto(dialog, IDC_LOGIN_ACCOUNT, L"zhangwei") &&
                    ui::TypeInto(dialog, IDC_LOGIN_PASSWORD, L"zw2026") && ui::PressButton(dialog, IDOK);
      }
      for (const wchar_t* caption : {L"系统", L"系统提示"}) {
        if (auto box = ui::WaitForMessageBox(caption, 0, ui_->ThreadId())) {
          ui::AnswerMessageBox(box->hwnd, IDOK);
          ui::WaitForWindowGone(box->hwnd, kWaitMs);
          if (dialog && IsWindow(dialog)) ui::PressButton(dialog, IDCANCEL);
        }
      }
    }
    EXPECT_TRUE(ui_->Wait(kWaitMs)) << "the session did not end";
    ui_.reset();
    return attempt;
  };

  login(0);  // lazily made module state
  ASSERT_TRUE(NothingOutstanding());
  const LoginAttempt counted = login(0);
  ASSERT_EQ(counted.hr, S_OK);
  ASSERT_EQ(counted.value, VARIANT_TRUE);
  ASSERT_TRUE(NothingOutstanding());
  std::printf("[ swept    ] Login: %zu allocations\n", counted.calls);
  // Every allocation while they are few, an even spread of 60 when more.
  const size_t step = counted.calls / 60 + 1;
  for (size_t n = 1; n <= counted.calls; n += step) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(counted.calls) + " refused");
    const LoginAttempt attempt = login(n);
    ASSERT_FALSE(attempt.escaped);
    ASSERT_TRUE(attempt.refused);
    // A failed login, never a cancelled one or a success that is not one.
    EXPECT_EQ(attempt.hr, E_OUTOFMEMORY);
    EXPECT_EQ(attempt.value, VARIANT_FALSE);
    EXPECT_TRUE(NothingOutstanding()) << alloc::Outstanding() << " blocks leaked";
  }
}

// A small migration with a replace, its progress window due at once: a
// refusal anywhere along it ends it with E_OUTOFMEMORY or a report, and
// never costs a user file, alters one, or leaves a staged copy behind.
TEST(MigrationOutOfMemory, NoFileIsLostOrLeftHalfWrittenWhateverAllocationFails) {
  const std::wstring root = FreshDirectory(L"oom-migration");
  const std::wstring source = root + L"\\old", destination = root + L"\\new";
  using Tree = std::map<std::wstring, std::string>;
  const Tree sourceTree{{L"a.txt", "new a"}, {L"CheckOut", "<dir>"}, {L"CheckOut\\b.dwg", "b"}};
  auto migrate = [&](size_t n, MigrationReport* report) {
    RemoveTree(source);
    RemoveTree(destination);
    MakeTree(root, {{L"old\\", ""}, {L"old\\a.txt", "new a"}, {L"old\\CheckOut\\", ""},
                    {L"old\\CheckOut\\b.dwg", "b"}, {L"new\\", ""}, {L"new\\a.txt", "old a"}});
    return Refusing(n, [&] {
      return Barrier([&] {
        MigrationProgressWindow progress(nullptr, 0);
        *report = CopyCheckedOutFiles(source, destination, [](const std::wstring&) { return true; }, &progress);
        return S_OK;
      });
    });
  };
  MigrationReport report;
  ASSERT_EQ(migrate(0, &report).hr, S_OK);  // lazily made state
  report = {};
  ASSERT_TRUE(NothingOutstanding());
  const Attempt counted = migrate(0, &report);
  ASSERT_EQ(counted.hr, S_OK);
  ASSERT_TRUE(report.notMigrated.empty());
  report = {};
  std::printf("[ swept    ] migration: %zu allocations\n", counted.calls);
  for (size_t n = 1; n <= counted.calls + 1; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " refused");
    const Attempt attempt = migrate(n, &report);
    ASSERT_FALSE(attempt.escaped);
    EXPECT_TRUE(attempt.hr == S_OK || attempt.hr == E_OUTOFMEMORY) << std::hex << attempt.hr;
    EXPECT_EQ(ReadTree(source), sourceTree) << "the source is never touched";
    const Tree arrived = ReadTree(destination);
    for (const auto& [path, text] : arrived) {
      EXPECT_EQ(path.find(L"~velmora"), std::wstring::npos) << "a staged copy was left: " << Mb(path);
      const auto made = sourceTree.find(path);
      if (path != L"a.txt") {
        EXPECT_TRUE(made != sourceTree.end() && made->second == text) << Mb(path);
      }
    }
    ASSERT_TRUE(arrived.count(L"a.txt"));
    EXPECT_TRUE(arrived.at(L"a.txt") == "old a" || arrived.at(L"a.txt") == "new a") << arrived.at(L"a.txt");
    if (attempt.hr == S_OK) {
      // Whatever did not arrive is in the report.
      std::set<std::wstring> reported;
      for (const LeftBehind& left : report.notMigrated) reported.insert(left.relative);
      if (arrived.at(L"a.txt") != "new a") {
        EXPECT_TRUE(reported.count(L"a.txt"));
      }
      if (!arrived.count(L"CheckOut\\b.dwg")) {
        EXPECT_TRUE(reported.count(L"CheckOut\\b.dwg") || reported.count(L"CheckOut"));
      }
    }
    report = {};
    EXPECT_TRUE(NothingOutstanding()) << alloc::Outstanding() << " blocks leaked";
    if (!attempt.refused) break;
  }
  RemoveTree(root);
}

// Letting go of a logged-in control logs it out and ends its channel, which
// allocates; refused there, every n-th time, the control still ends
// without ending the host and leaves nothing behind.
TEST_F(OutOfMemory, ReleasingALoggedInControlEndsIt) {
  auto release = [this](size_t n) {
    Attempt attempt;
    VARIANT_BOOL value = 5;
    Start([&](IVelmoraCtl*) {
      ComPtr<IVelmoraCtl> control;  // the last reference is this test's to drop
      if (FAILED(VelmoraCtl::CreateInstance(nullptr, IID_PPV_ARGS(&control)))) return;
      if (Login(control.Get(), &value) != S_OK) return;
      attempt = Refusing(n, [&] {
        control.Reset();
        return S_OK;
      }, true);
    });
    Submit(L"zhangwei", L"zw2026");
    Finish();
    EXPECT_EQ(value, VARIANT_TRUE);
    return attempt;
  };

  release(0);  // lazily made module state
  ASSERT_TRUE(NothingOutstanding());
  const Attempt counted = release(0);
  ASSERT_EQ(counted.hr, S_OK);
  std::printf("[ swept    ] release: %zu allocations\n", counted.calls);
  // Every n while they are few, an even spread of 20 when more.
  for (size_t n = 1; n <= counted.calls; n += counted.calls / 20 + 1) {
    SCOPED_TRACE("every " + std::to_string(n) + "-th allocation of " + std::to_string(counted.calls) + " refused");
    const Attempt attempt = release(n);
    ASSERT_FALSE(attempt.escaped);
    EXPECT_TRUE(attempt.refused);
    EXPECT_TRUE(NothingOutstanding()) << alloc::Outstanding() << " blocks leaked";
  }
}

// Dialogs that open another one when they start; the innermost throws.
class Nesting : public ModalDialog {
 public:
  explicit Nesting(int depth) : depth_(depth) {}
  INT_PTR Run() { return ModalDialog::Run(nullptr, IDD_CHANGE_PASSWORD); }

 protected:
  BOOL OnInitDialog() override {
    if (depth_ == 0) throw std::bad_alloc();
    Nesting(depth_ - 1).Run();
    return TRUE;
  }
  BOOL OnCommand(int, int) override { return FALSE; }

 private:
  int depth_;
};

// A fault ends every dialog it passes and reaches the code that opened
// them as the exception it was: read as a Cancel it could mean "end the
// host" (the working-directory dialog at login) or "the user cancelled".
TEST(DialogFault, ComesOutOfTheOutermostDialogAsTheExceptionItWas) {
  for (int depth : {0, 1, 2}) {
    SCOPED_TRACE(depth);
    EXPECT_THROW(Nesting(depth).Run(), std::bad_alloc);
  }
}

}  // namespace
}  // namespace velmora::test
