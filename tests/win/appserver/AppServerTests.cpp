// The server queries through the real COM path: the control creates the
// AppServer double with CoCreateInstance, which finds it registered in
// this process. Each test also checks that every server, recordset, fields
// and field reference was given back.
#include <gtest/gtest.h>

#include <functional>

#include "appserver/ServerCall.h"
#include "common/Raii.h"
#include "common/Text.h"
#include "control/VelmoraCtl.h"
#include "tests/win/DllHarness.h"
#include "tests/win/appserver/AppServerDouble.h"

namespace velmora::test {
namespace {

constexpr HRESULT kExecuteError = static_cast<HRESULT>(0x80040E14);
constexpr HRESULT kItemNotFound = static_cast<HRESULT>(0x800A0CC1);

std::string Gbk(const char* utf8) { return ToMultiByte(W(utf8)); }

UniqueBstr Bstr(const char* utf8) { return UniqueBstr(SysAllocString(W(utf8).c_str())); }

// An [out] BSTR pre-filled so "left untouched" can be told apart.
struct Sentinel {
  UniqueBstr value{SysAllocString(L"sentinel")};
  BSTR out = value.get();
  bool untouched() const { return out == value.get(); }
  // Takes what the member stored (ours to free).
  std::wstring take() {
    UniqueBstr taken(untouched() ? nullptr : out);
    out = value.get();
    return taken.get() ? std::wstring(taken.get(), taken.length()) : L"<null>";
  }
};

Script Rows(std::vector<Row> rows) {
  Script s;
  s.rows = std::move(rows);
  return s;
}

Script Value(Cell value) {
  Script s;
  s.answer = Answer::Value;
  s.value = std::move(value);
  return s;
}

class ServerQueries : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.registered());
    ASSERT_EQ(S_OK, VelmoraCtl::CreateInstance(nullptr, IID_PPV_ARGS(&control_)));
    state_ = &VelmoraCtl::FromInterface(control_.Get())->State();
  }
  void TearDown() override {
    control_.Reset();
    EXPECT_EQ(0, AppServerDouble::LiveObjects()) << "a server, recordset or field reference was kept";
  }
  void LogIn() {
    state_->UserID = "zhangwei";
    state_->UserName = Gbk("张伟");
  }
  std::vector<std::wstring> Identity(const char* userId) {
    UniqueBstr ip, computer, mac;
    control_->get_IP(ip.put());
    control_->get_Computer(computer.put());
    control_->get_MacID(mac.put());
    return {W(userId), ip.get(), computer.get(), mac.get()};
  }
  const Received& Last() { return server_.received().back(); }

  AppServerDouble server_;
  ComPtr<IVelmoraCtl> control_;
  LoginState* state_ = nullptr;
};

TEST_F(ServerQueries, EachCommandSendsItsArgumentsInOrderWithItsCaller) {
  struct Case {
    const char* name;
    bool loggedIn;
    std::function<HRESULT(IVelmoraCtl*)> call;
    LONG code;
    bool context;  // else VT_NULL
    std::vector<std::wstring> arguments;  // none: VT_EMPTY
  };
  const UniqueBstr task = Bstr("任务7"), project = Bstr("P-1"), specialty = Bstr("结构"), maker = Bstr("lina");
  const UniqueBstr sigId = Bstr("S9"), uuid = Bstr("{UUID}");
  const Case cases[] = {
      {"GetAssignedFunction before login", false,
       [](IVelmoraCtl* c) { ComPtr<IDispatch> rs; return c->GetAssignedFunction(&rs); }, 128, true, {L""}},
      {"GetAssignedFunction", true, [](IVelmoraCtl* c) { ComPtr<IDispatch> rs; return c->GetAssignedFunction(&rs); },
       128, true, {L"zhangwei"}},
      {"CheckAccount", false,
       [](IVelmoraCtl*) { ComPtr<IDispatch> rs; return appserver::CheckAccount("lina", "ln2026", &rs); }, 140, false,
       {L"lina", L"ln2026"}},
      {"SetPassword", true,
       [](IVelmoraCtl* c) { return appserver::SetPassword(c, "zhangwei", "old", "new"); }, 141, true,
       {L"zhangwei", L"old", L"new"}},
      {"GetUserInfoByProject", true, [&](IVelmoraCtl* c) { return c->GetUserInfoByProject(project.get()); }, 153,
       true, {L"zhangwei", L"P-1"}},
      {"GetUserInfoByTask", true,
       [&](IVelmoraCtl* c) { return c->GetUserInfoByTask(task.get(), project.get(), specialty.get(), maker.get(), 3); },
       154, true, {L"zhangwei", W("任务7"), L"P-1", W("结构"), L"lina", L"#3"}},
      {"SystemDateEx before login", false, [](IVelmoraCtl* c) { UniqueBstr d; return c->get_SystemDateEx(d.put()); },
       155, true, {}},
      {"GetSignature shared", true,
       [&](IVelmoraCtl* c) { UniqueBstr s; return c->GetSignature(sigId.get(), -1, VARIANT_TRUE, s.put()); }, 160,
       true, {L"S9", L"zhangwei", L"-1", L"01"}},
      {"GetSignature share flag 1 is not true", true,
       [&](IVelmoraCtl* c) { UniqueBstr s; return c->GetSignature(sigId.get(), 17, 1, s.put()); }, 160, true,
       {L"S9", L"zhangwei", L"17", L"0"}},
      {"FtpServerInfo", true,
       [&](IVelmoraCtl* c) {
         UniqueBstr a, b, d;
         return c->FtpServerInfo(uuid.get(), a.put(), b.put(), d.put());
       },
       163, false, {L"{UUID}"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    state_->ClearUser();
    if (c.loggedIn) LogIn();
    server_.ClearReceived();
    server_.Answer(c.code == 155 ? Value(TextCell("", "2005-03-07 08:09:10")) : Rows({}));
    c.call(control_.Get());
    ASSERT_EQ(1u, server_.received().size());
    EXPECT_EQ(c.code, Last().code);
    if (c.context) {
      EXPECT_EQ(VT_ARRAY | VT_VARIANT, Last().callerType);
      EXPECT_EQ(Identity(c.loggedIn ? "zhangwei" : ""), Last().caller);
    } else {
      EXPECT_EQ(VT_NULL, Last().callerType);
    }
    EXPECT_EQ(c.arguments.empty() ? VT_EMPTY : VT_ARRAY | VT_VARIANT, Last().argumentsType);
    EXPECT_EQ(c.arguments, Last().arguments);
  }
}

TEST_F(ServerQueries, FailuresOfTheServerReachTheHostAsTheirHresult) {
  struct Case {
    const char* name;
    Script script;
    HRESULT expected;
  };
  Script createFails, executeFails, notObject = Value(IntCell("", 5)), nullObject, noRecordset;
  createFails.createHr = REGDB_E_CLASSNOTREG;
  executeFails.executeHr = kExecuteError;
  nullObject.answer = Answer::NullObject;
  noRecordset.answer = Answer::NoRecordset;
  const Case cases[] = {{"server cannot be created", createFails, REGDB_E_CLASSNOTREG},
                        {"Execute fails", executeFails, kExecuteError},
                        {"result is no object", notObject, DISP_E_TYPEMISMATCH},
                        {"result is a null object", nullObject, E_POINTER},
                        {"result is no recordset", noRecordset, E_NOINTERFACE}};
  LogIn();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_.Answer(c.script);
    IDispatch* functions = reinterpret_cast<IDispatch*>(0x1);  // [out]: never released
    EXPECT_EQ(c.expected, control_->GetAssignedFunction(&functions));
    EXPECT_EQ(nullptr, functions);
    ComPtr<IDispatch> rs;
    EXPECT_EQ(c.expected, appserver::CheckAccount("lina", "", &rs));
    EXPECT_FALSE(rs);
  }
}

TEST_F(ServerQueries, ChecksBeforeTheServerIsCreated) {
  ComPtr<IDispatch> rs;
  EXPECT_EQ(E_UNEXPECTED, appserver::CheckAccount("", "pw", &rs));
  EXPECT_EQ(E_UNEXPECTED, appserver::QueryFileServer("", &rs));
  EXPECT_EQ(E_POINTER, appserver::QueryAssignedFunctions(nullptr, "zhangwei", &rs));
  EXPECT_EQ(0, server_.creations());
}

TEST_F(ServerQueries, SecondQueryOnTheSameSlotReleasesTheFirstRecordset) {
  server_.Answer(Rows({{TextCell("帐号", "lina")}}));
  IDispatch* slot = nullptr;
  ASSERT_EQ(S_OK, appserver::CheckAccount("lina", "ln2026", &slot));
  ASSERT_EQ(S_OK, appserver::CheckAccount("lina", "ln2026", &slot));
  EXPECT_EQ(1, AppServerDouble::LiveObjects()) << "only the second recordset is left";
  slot->Release();
}

TEST_F(ServerQueries, TaskRolesComeFromTheFirstRowColumnByColumn) {
  LogIn();
  state_->DeptCode = "kept";
  state_->RoleID = 5;
  server_.Answer(Rows({{TextCell("专业编码", "S01"), BoolCell("专业名称", true), NullCell("部门名称"),
                        TextCell("管理角色", "1,2"), IntCell("角色ID", 12), TextCell("参与角色", "3,17"),
                        BoolCell("是否是设计负责人", true), TextCell("是否是设计者", "0"),
                        IntCell("是否能制作计划", 1), TextCell("项目名称", "桥梁")},
                       {TextCell("专业编码", "second row"), IntCell("角色ID", 99)}}));
  state_->DeptName = "was";
  const UniqueBstr task = Bstr("T1"), project = Bstr("P1");
  ASSERT_EQ(S_OK, control_->GetUserInfoByTask(task.get(), project.get(), nullptr, nullptr, 0));
  EXPECT_EQ("T1", state_->CurrentTask);
  EXPECT_EQ("P1", state_->CurrentProject);
  EXPECT_EQ("S01", state_->Specialty) << "first row only";
  EXPECT_EQ(Gbk("是"), state_->SpecialtyName) << "a Boolean column read as text";
  EXPECT_EQ("kept", state_->DeptCode) << "a missing column keeps its value";
  EXPECT_EQ("", state_->DeptName) << "a NULL column empties its text";
  EXPECT_EQ("1,2", state_->ManagedRoles);
  EXPECT_EQ(12, state_->RoleID);
  EXPECT_EQ("3,17", state_->InRoles);
  EXPECT_EQ(VARIANT_TRUE, state_->IsTeamLeader);
  EXPECT_EQ(VARIANT_FALSE, state_->IsDesigner);
  EXPECT_EQ(VARIANT_TRUE, state_->CanMakePlan);
  EXPECT_EQ(Gbk("桥梁"), state_->ProjectName);
}

TEST_F(ServerQueries, RoleIdThatIsNoUnsignedNumberLeavesTheRoleAlone) {
  LogIn();
  const UniqueBstr task = Bstr("T1");
  const std::pair<Cell, LONG> cases[] = {{IntCell("角色ID", -1), 5},   {TextCell("角色ID", "abc"), 5},
                                         {NullCell("角色ID"), 5},      {TextCell("角色ID", "12"), 12}};
  for (const auto& [cell, expected] : cases) {
    state_->RoleID = 5;
    server_.Answer(Rows({{cell}}));
    ASSERT_EQ(S_OK, control_->GetUserInfoByTask(task.get(), nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(expected, state_->RoleID) << std::string(ToMultiByte(cell.text));
  }
}

TEST_F(ServerQueries, FlagsAndProjectNameChangeAllTogetherOrNotAtAll) {
  LogIn();
  const UniqueBstr task = Bstr("T1"), project = Bstr("P1");
  // The designer column is missing: no flag and no project name changes,
  // but the text columns before them are still read.
  server_.Answer(Rows({{TextCell("专业编码", "S02"), BoolCell("是否是设计负责人", false),
                        BoolCell("是否能制作计划", false), TextCell("项目名称", "new")}}));
  for (auto call : {0, 1}) {
    SCOPED_TRACE(call == 0 ? "by task" : "by project");
    state_->IsTeamLeader = state_->IsDesigner = state_->CanMakePlan = VARIANT_TRUE;
    state_->ProjectName = "old";
    ASSERT_EQ(S_OK, call == 0 ? control_->GetUserInfoByTask(task.get(), project.get(), nullptr, nullptr, 0)
                              : control_->GetUserInfoByProject(project.get()));
    EXPECT_EQ(VARIANT_TRUE, state_->IsTeamLeader);
    EXPECT_EQ(VARIANT_TRUE, state_->CanMakePlan);
    EXPECT_EQ(call == 0 ? "old" : "", state_->ProjectName) << "the project query empties it first";
  }
  EXPECT_EQ("S02", state_->Specialty);
}

TEST_F(ServerQueries, RoleQueriesTellTheHostOnlyOfTheirPrecondition) {
  const UniqueBstr task = Bstr("T1"), project = Bstr("P1");
  state_->CurrentTask = "before";
  EXPECT_EQ(E_POINTER, control_->GetUserInfoByTask(task.get(), project.get(), nullptr, nullptr, 0)) << "no login";
  EXPECT_EQ(E_POINTER, control_->GetUserInfoByProject(project.get()));
  LogIn();
  EXPECT_EQ(E_POINTER, control_->GetUserInfoByTask(nullptr, project.get(), nullptr, nullptr, 0));
  EXPECT_EQ("before", state_->CurrentTask);
  EXPECT_EQ(0, server_.creations());

  Script failures[5];
  failures[0].createHr = REGDB_E_CLASSNOTREG;
  failures[1].executeHr = kExecuteError;
  failures[2].answer = Answer::NoRecordset;
  failures[3] = Rows({{TextCell("专业编码", "x")}});
  failures[3].fieldsHr = E_FAIL;
  failures[4] = Rows({{TextCell("专业编码", "x")}});
  failures[4].moveFirstHr = E_FAIL;
  for (const Script& s : failures) {
    server_.Answer(s);
    state_->Specialty = "S0";
    state_->CurrentTask = "T0";
    EXPECT_EQ(S_OK, control_->GetUserInfoByTask(task.get(), project.get(), nullptr, nullptr, 0));
    EXPECT_EQ("T1", state_->CurrentTask);
    EXPECT_EQ("S0", state_->Specialty);
    EXPECT_EQ(S_OK, control_->GetUserInfoByProject(project.get()));
    EXPECT_EQ("T1", state_->CurrentTask) << "a project query keeps the task";
  }
}

TEST_F(ServerQueries, SystemDateReformatsOnlyAWellFormedText) {
  const std::pair<const char*, const char*> cases[] = {
      {"2005-03-07 08:09:10", "2005年03月07日08时09分10秒"},
      {"2005/03/07-08.09.10", "2005年03月07日08时09分10秒"},
      {"2005-03-07 08:09", "2005-03-07 08:09"},   // too short: as it came
      {"", ""},
      {"2005年3月7日8时9分", "2005年3月7日8时9分"},  // separators inside two-byte characters
  };
  for (const auto& [server, shown] : cases) {
    SCOPED_TRACE(server);
    server_.Answer(Value(TextCell("", server)));
    Sentinel date, raw;
    ASSERT_EQ(S_OK, control_->get_SystemDate(&date.out));
    EXPECT_EQ(W(shown), date.take());
    ASSERT_EQ(S_OK, control_->get_SystemDateEx(&raw.out));
    EXPECT_EQ(W(server), raw.take());
  }
  UniqueBstr date;
  server_.Answer(Value(TextCell("", "2005-03-07 08:09:10")));
  ASSERT_EQ(S_OK, control_->get_SystemDate(date.put()));
  EXPECT_EQ(20u, date.length());
  EXPECT_EQ(26u, ToMultiByte(date.get()).size()) << "in GBK";

  Script fails;
  fails.executeHr = kExecuteError;
  for (const Script& s : {fails, Value(NullCell(""))}) {
    server_.Answer(s);
    Sentinel out;
    EXPECT_EQ(FAILED(s.executeHr) ? kExecuteError : DISP_E_TYPEMISMATCH, control_->get_SystemDate(&out.out));
    EXPECT_TRUE(out.untouched());
  }
}

TEST_F(ServerQueries, FileServerOfAProject) {
  state_->FtpIP = "10.0.0.1";
  state_->FtpUserName = "ftp";
  state_->FtpPassword = "pw";
  Sentinel ip, user, password;
  ASSERT_EQ(S_OK, control_->FtpServerInfo(nullptr, &ip.out, &user.out, &password.out));
  EXPECT_EQ(L"10.0.0.1", ip.take());
  EXPECT_EQ(L"ftp", user.take());
  EXPECT_EQ(L"pw", password.take());
  EXPECT_EQ(0, server_.creations()) << "the login-time values need no server";

  const UniqueBstr uuid = Bstr("{P}");
  Script unknownCount = Rows({{TextCell("文件服务器", "x")}}), countFails = unknownCount, executeFails;
  unknownCount.countUnknown = true;
  countFails.recordCountHr = E_FAIL;
  executeFails.executeHr = kExecuteError;
  for (const Script& s : {Rows({}), unknownCount, countFails, executeFails}) {
    server_.Answer(s);
    EXPECT_EQ(S_FALSE, control_->FtpServerInfo(uuid.get(), &ip.out, &user.out, &password.out));
    EXPECT_TRUE(ip.untouched() && user.untouched() && password.untouched());
  }

  server_.Answer(Rows({{TextCell("文件服务器", "10.0.0.2"), TextCell("登录口令", "pp")}}));
  EXPECT_EQ(kItemNotFound, control_->FtpServerInfo(uuid.get(), &ip.out, &user.out, &password.out));
  EXPECT_TRUE(ip.untouched() && user.untouched() && password.untouched());
  EXPECT_EQ("10.0.0.2", state_->ProjectFtpServer) << "what was read before the missing column";

  server_.Answer(Rows({{TextCell("文件服务器", "10.0.0.3"), TextCell("登录用户", "u"), TextCell("登录口令", "p")}}));
  ASSERT_EQ(S_OK, control_->FtpServerInfo(uuid.get(), &ip.out, nullptr, &password.out));
  EXPECT_EQ(L"10.0.0.3", ip.take());
  EXPECT_EQ(L"p", password.take());
  EXPECT_EQ("u", state_->ProjectFtpUser);
}

TEST_F(ServerQueries, SignatureOfAUserInARole) {
  struct Case {
    const char* name;
    const char* inRoles;
    Script script;
    HRESULT expected;
    const char* signature;  // nullptr: untouched
    bool asksServer;
  };
  Script fieldsFail = Rows({{TextCell("签字", "x")}}), executeFails;
  fieldsFail.fieldsHr = E_FAIL;
  executeFails.executeHr = kExecuteError;
  const Case cases[] = {
      {"role among the user's roles", "3,17", Rows({}), S_OK, "张伟", false},
      {"items keep their spaces", "3, 17", Rows({{TextCell("签字", "李娜")}}), S_OK, "李娜", true},
      {"no signature on file", "", Rows({}), S_OK, "张伟", true},
      {"NULL signature", "", Rows({{NullCell("签字")}}), S_OK, "", true},
      {"numeric signature", "", Rows({{IntCell("签字", 42)}}), S_OK, "42", true},
      {"signature column missing", "", Rows({{TextCell("x", "y")}}), kItemNotFound, nullptr, true},
      {"fields fail", "", fieldsFail, E_FAIL, nullptr, true},
      {"server fails", "", executeFails, kExecuteError, nullptr, true},
  };
  LogIn();
  const UniqueBstr id = Bstr("S9");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    state_->InRoles = c.inRoles;
    server_.Answer(c.script);
    server_.ClearReceived();
    Sentinel out;
    EXPECT_EQ(c.expected, control_->GetSignature(id.get(), 17, VARIANT_FALSE, &out.out));
    EXPECT_EQ(c.asksServer, !server_.received().empty());
    if (c.signature) EXPECT_EQ(W(c.signature), out.take());
    else EXPECT_TRUE(out.untouched());
  }
  state_->UserID.clear();
  Sentinel out;
  EXPECT_EQ(E_POINTER, control_->GetSignature(id.get(), 1, VARIANT_FALSE, &out.out)) << "nobody logged in";
  EXPECT_TRUE(out.untouched());
}

TEST_F(ServerQueries, AssignedFunctionsGoToTheHostUnread) {
  server_.Answer(Rows({{TextCell("功能", "a")}, {TextCell("功能", "b")}}));
  ComPtr<IDispatch> functions;
  ASSERT_EQ(S_OK, control_->GetAssignedFunction(&functions));
  LONG count = 0;
  ASSERT_EQ(S_OK, appserver::GetRecordCount(functions.Get(), &count));
  EXPECT_EQ(2, count);
}

}  // namespace
}  // namespace velmora::test
