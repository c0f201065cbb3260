// The control's task-lock members and Logout through IVelmoraCtl, with the
// channel registered against a fake server. The login state is filled
// directly; Chinese texts must reach the datagrams as GBK.
#include <fcntl.h>
#include <io.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "common/Raii.h"
#include "common/Text.h"
#include "control/VelmoraCtl.h"
#include "tests/win/channel/ChannelTestSupport.h"

namespace velmora::test {
namespace {

using Microsoft::WRL::ComPtr;
using msg::TaskLockRecord;

// GBK bytes of the Chinese texts used below.
const std::string kZhangSan = "\xD5\xC5\xC8\xFD";  // 张三
const std::string kLiSi = "\xC0\xEE\xCB\xC4";      // 李四
const std::string kTask = "\xC8\xCE\xCE\xF1";      // 任务
const std::string kStructure = "\xBD\xE1\xB9\xB9";  // 结构

class ControlRig {
 public:
  explicit ControlRig(int lastOctet) : server(lastOctet) {}

  // A control whose channel is started and aimed at the fake server, with
  // alice (display name 张三) in its login state.
  void Create() {
    ASSERT_TRUE(server.ok()) << "cannot bind the fake server at " << server.ip();
    ASSERT_EQ(936u, GetACP()) << "the Wine prefix must use the GBK code page";
    ASSERT_EQ(S_OK, VelmoraCtl::CreateInstance(nullptr, IID_IVelmoraCtl,
                                               reinterpret_cast<void**>(control.GetAddressOf())));
    object = VelmoraCtl::FromInterface(control.Get());
    object->State().UserID = "alice";
    object->State().UserName = ToMultiByte(L"张三", 2);
    ASSERT_EQ(1, object->Start(0));
    object->SetServerAddress(server.ip());
  }

  void Register(std::vector<TaskLockRecord> locks = {}) {
    ASSERT_NO_FATAL_FAILURE(StartRegistered(*object, server, "alice", std::move(locks)));
  }

  // Sends a datagram to the control's channel and waits until it is handled.
  void Deliver(const std::vector<uint8_t>& datagram) {
    server.SendTo(ChannelAt(*object), datagram);
    ASSERT_TRUE(Settle(probe, ChannelAt(*object)));
  }

  FakeServer server;  // declared first: outlives the control, which logs out to it
  Endpoint probe{70, 0};
  ComPtr<IVelmoraCtl> control;
  VelmoraCtl* object = nullptr;
};

// A BSTR the caller passes in; the members must leave it alone unless they
// have a holder to report.
struct CallerText {
  CallerText() : original(SysAllocString(L"caller")), value(original) {}
  ~CallerText() {
    if (value != original) SysFreeString(value);
    SysFreeString(original);
  }
  bool untouched() const { return value == original && std::wstring(value) == L"caller"; }
  BSTR original;
  BSTR value;
};

std::wstring Text(BSTR b) { return b ? std::wstring(b, SysStringLen(b)) : L"<null>"; }

TEST(ControlLocks, CanChangeTaskAnswersFromTheLockTable) {
  ControlRig rig(60);
  ASSERT_NO_FATAL_FAILURE(rig.Create());
  UniqueBstr tasks(SysAllocString(L"t1"));

  // Not registered: refused without a modifier, even with a blocking lock known.
  ASSERT_NO_FATAL_FAILURE(rig.Deliver(Lock(msg::kMsgLockRecord, "bob", 7, "t1")));
  CallerText modifier;
  VARIANT_BOOL vb = 1;
  EXPECT_EQ(S_OK, rig.control->CanChangeTask(7, tasks.get(), &modifier.value, &vb));
  EXPECT_EQ(VARIANT_FALSE, vb);
  EXPECT_TRUE(modifier.untouched());

  ASSERT_NO_FATAL_FAILURE(rig.Register({{"bob", "", 7, "t1,t2"}, {"alice", "", 7, "t9"}}));
  UniqueBstr unlocked(SysAllocString(L"t9,t10"));
  EXPECT_EQ(S_OK, rig.control->CanChangeTask(7, unlocked.get(), &modifier.value, &vb));
  EXPECT_EQ(VARIANT_TRUE, vb);
  EXPECT_TRUE(modifier.untouched()) << Text(modifier.value);

  UniqueBstr blocked(SysAllocString(L"t5,t2"));
  UniqueBstr holder;
  EXPECT_EQ(S_OK, rig.control->CanChangeTask(7, blocked.get(), holder.put(), &vb));
  EXPECT_EQ(VARIANT_FALSE, vb);
  EXPECT_EQ(L"bob", Text(holder.get()));

  EXPECT_EQ(S_OK, rig.control->ClearChangeTask(7));
  EXPECT_EQ(S_OK, rig.control->CanChangeTask(7, blocked.get(), &modifier.value, &vb));
  EXPECT_EQ(VARIANT_TRUE, vb);
  EXPECT_TRUE(modifier.untouched());
  EXPECT_TRUE(rig.server.ExpectNothing(0)) << "lock questions are answered locally";
}

TEST(ControlLocks, LocksWhoseFieldsGlueTogetherOrWhoseHolderWasCutStillBlock) {
  ControlRig rig(66);
  ASSERT_NO_FATAL_FAILURE(rig.Create());
  ASSERT_NO_FATAL_FAILURE(rig.Register());
  // The first three would all have read "amy123"; engineer01's lock comes
  // back with the account cut to the slot.
  for (const TaskLockRecord& lock : std::vector<TaskLockRecord>{
           {"amy", "", 1, "23"}, {"amy", "", 12, "3"}, {"amy1", "", 2, "3"}, {"engineer01", "", 5, "t1"}}) {
    ASSERT_NO_FATAL_FAILURE(rig.Deliver(msg::MakeDatagram(msg::kMsgLockRecord, lock)));
  }
  EXPECT_EQ(4u, rig.object->LockCount());

  const struct {
    const char* user;
    LONG project;
    const wchar_t* tasks;
    const wchar_t* holder;  // nullptr: free
  } cases[] = {
      {"bob", 1, L"23", L"amy"},         {"bob", 12, L"3", L"amy"},
      {"amy", 2, L"3", L"amy1"},         {"amy1", 1, L"23", L"amy"},
      {"amy", 1, L"23", nullptr},        {"engineer02", 5, L"t1", L"engineer0"},
      {"engineer01", 5, L"t1", L"engineer0"},  // its own lock, cut: a nuisance, never a pass
  };
  for (const auto& c : cases) {
    rig.object->State().UserID = c.user;
    UniqueBstr tasks(SysAllocString(c.tasks));
    CallerText modifier;
    VARIANT_BOOL vb = 1;
    EXPECT_EQ(S_OK, rig.control->CanChangeTask(c.project, tasks.get(), &modifier.value, &vb));
    EXPECT_EQ(c.holder ? VARIANT_FALSE : VARIANT_TRUE, vb) << c.user << " " << c.project;
    if (c.holder) EXPECT_EQ(c.holder, Text(modifier.value)) << c.user;
    else EXPECT_TRUE(modifier.untouched()) << c.user;
  }
}

TEST(ControlLocks, ChangeTaskClaimsOnlyForTrueAndReportsTheRefusingHolder) {
  ControlRig rig(61);
  ASSERT_NO_FATAL_FAILURE(rig.Create());
  ASSERT_NO_FATAL_FAILURE(rig.Register());
  UniqueBstr tasks(SysAllocString(L"任务1,任务2"));
  const TaskLockRecord expected{"alice", kZhangSan, 7, kTask + "1," + kTask + "2"};

  auto done = AnswerNext(rig.server, {Short(msg::kMsgLockChangeDone)});
  CallerText modifier;
  VARIANT_BOOL vb = 0;
  EXPECT_EQ(S_OK, rig.control->ChangeTask(7, tasks.get(), VARIANT_TRUE, &modifier.value, &vb));
  std::optional<Datagram> request = done.get();
  EXPECT_EQ(VARIANT_TRUE, vb);
  EXPECT_TRUE(modifier.untouched());
  ASSERT_TRUE(request);
  EXPECT_EQ(msg::kMsgLockClaim, request->type());
  EXPECT_EQ(expected, request->lock()) << "account, GBK display name, project and GBK task list";

  // Only VARIANT_TRUE claims: 1 is a release.
  auto refused = AnswerNext(rig.server, {Lock(msg::kMsgLockRefused, kLiSi, 7, "t1")});
  UniqueBstr holder;
  EXPECT_EQ(S_OK, rig.control->ChangeTask(7, tasks.get(), 1, holder.put(), &vb));
  request = refused.get();
  EXPECT_EQ(VARIANT_FALSE, vb);
  EXPECT_EQ(L"李四", Text(holder.get()));
  ASSERT_TRUE(request);
  EXPECT_EQ(msg::kMsgLockRelease, request->type());
  EXPECT_EQ(expected, request->lock());

  // Unanswered: still refused, naming the holder of the last refusal.
  EXPECT_EQ(S_OK, rig.control->ChangeTask(7, tasks.get(), VARIANT_FALSE, holder.put(), &vb));
  EXPECT_EQ(VARIANT_FALSE, vb);
  EXPECT_EQ(L"李四", Text(holder.get()));
  EXPECT_EQ(5u, CountType(rig.server.Drain(), msg::kMsgLockRelease));
}

TEST(ControlLocks, CanSetResourceAsksTheServer) {
  ControlRig rig(62);
  ASSERT_NO_FATAL_FAILURE(rig.Create());
  ASSERT_NO_FATAL_FAILURE(rig.Register());
  UniqueBstr project(SysAllocString(L"P-1"));
  UniqueBstr specialty(SysAllocString(L"结构"));

  auto answeredFree = AnswerNext(rig.server, {ResourceAnswer("")});
  VARIANT_BOOL vb = 0;
  EXPECT_EQ(S_OK, rig.control->CanSetResource(project.get(), specialty.get(), &vb));
  std::optional<Datagram> request = answeredFree.get();
  EXPECT_EQ(VARIANT_TRUE, vb);
  ASSERT_TRUE(request);
  EXPECT_EQ(msg::kMsgResourceQuery, request->type());
  EXPECT_EQ((msg::ResourceQuery{"P-1", "alice", kZhangSan, kStructure}), request->resource());

  auto taken = AnswerNext(rig.server, {ResourceAnswer(kLiSi)});
  EXPECT_EQ(S_OK, rig.control->CanSetResource(project.get(), specialty.get(), &vb));
  EXPECT_TRUE(taken.get());
  EXPECT_EQ(VARIANT_FALSE, vb);
}

TEST(ControlLocks, CanSetResourceUnansweredSendsFiveTimesThenSaysTaken) {
  ControlRig rig(67);
  ASSERT_NO_FATAL_FAILURE(rig.Create());
  ASSERT_NO_FATAL_FAILURE(rig.Register());
  UniqueBstr project(SysAllocString(L"P-1"));
  UniqueBstr specialty(SysAllocString(L"pipes"));
  VARIANT_BOOL vb = 1;
  EXPECT_EQ(S_OK, rig.control->CanSetResource(project.get(), specialty.get(), &vb));
  EXPECT_EQ(VARIANT_FALSE, vb);
  EXPECT_EQ(5u, CountType(rig.server.Drain(), msg::kMsgResourceQuery));
}

TEST(ControlLocks, NothingIsSentWhileNotRegistered) {
  ControlRig rig(63);
  ASSERT_NO_FATAL_FAILURE(rig.Create());
  UniqueBstr tasks(SysAllocString(L"t1"));
  UniqueBstr project(SysAllocString(L"P-1"));
  CallerText modifier;
  VARIANT_BOOL vb = 1;
  EXPECT_EQ(S_OK, rig.control->ChangeTask(7, tasks.get(), VARIANT_TRUE, &modifier.value, &vb));
  EXPECT_EQ(VARIANT_FALSE, vb);
  EXPECT_TRUE(modifier.untouched());
  vb = 1;
  EXPECT_EQ(S_OK, rig.control->CanSetResource(project.get(), tasks.get(), &vb));
  EXPECT_EQ(VARIANT_FALSE, vb);
  EXPECT_EQ(S_OK, rig.control->Logout());
  rig.control.Reset();
  EXPECT_TRUE(rig.server.ExpectNothing());
}

TEST(ControlLogout, SendsOneNoticePerLoginAndKeepsTheChannelForTheNext) {
  ControlRig rig(64);
  ASSERT_NO_FATAL_FAILURE(rig.Create());
  ASSERT_NO_FATAL_FAILURE(rig.Register());
  const uint16_t port = rig.object->LocalPort();

  EXPECT_EQ(S_OK, rig.control->Logout());
  std::vector<Datagram> got = rig.server.Drain();
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(msg::kMsgLogout, got[0].type());
  EXPECT_EQ("alice", got[0].peer().name);
  EXPECT_TRUE(rig.object->State().UserID.empty());
  EXPECT_EQ(S_OK, rig.control->Logout());
  EXPECT_TRUE(rig.server.ExpectNothing());

  // The next login reuses the socket and thread; releasing the last
  // reference then logs out once.
  ASSERT_NO_FATAL_FAILURE(rig.Register());
  EXPECT_EQ(port, rig.object->LocalPort());
  rig.object = nullptr;
  rig.control.Reset();
  got = rig.server.Drain();
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ(msg::kMsgLogout, got[0].type());
}

// Sends what the process writes to standard output into a file for one
// scope, then puts the console back.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    saved_ = _dup(_fileno(stdout));
    file_ = std::tmpfile();
    if (file_) _dup2(_fileno(file_), _fileno(stdout));
  }
  ~StdoutCapture() {
    Restore();
    if (file_) std::fclose(file_);
  }
  std::string Text() {
    Restore();
    std::string text;
    if (!file_) return text;
    std::rewind(file_);
    char chunk[256];
    size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof(chunk), file_)) > 0) text.append(chunk, n);
    return text;
  }

 private:
  void Restore() {
    std::fflush(stdout);
    if (saved_ >= 0) {
      _dup2(saved_, _fileno(stdout));
      _close(saved_);
      saved_ = -1;
    }
  }
  int saved_ = -1;
  FILE* file_ = nullptr;
};

TEST(ControlMessages, PeerTextIsPrintedOnStandardOutput) {
  ControlRig rig(65);
  ASSERT_NO_FATAL_FAILURE(rig.Create());
  Endpoint peer(71, 0);
  std::string printed;
  {
    StdoutCapture capture;
    peer.SendTo(ChannelAt(*rig.object), msg::MakePeerTextDatagram(Peer("erin", {}), "hi " + kZhangSan));
    ASSERT_TRUE(Settle(rig.probe, ChannelAt(*rig.object)));
    printed = capture.Text();
  }
  EXPECT_EQ(" Recv a Message from erin :  hi " + kZhangSan + " \n", printed);
}

}  // namespace
}  // namespace velmora::test
