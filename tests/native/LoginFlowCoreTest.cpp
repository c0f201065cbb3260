// The login decisions on plain data: server list, input and account
// checks, the login state row, working directory, single login and the
// bounded registration cycle. The dialogs' tests cover the rest.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "control/LoginFlowCore.h"

namespace velmora::login {
namespace {

using Ini = std::map<std::string, std::string>;  // "section/key" -> text

IniReader Reader(const Ini& ini, int* reads = nullptr) {
  return [&ini, reads](const std::string& section, const std::string& key) {
    if (reads) ++*reads;
    auto it = ini.find(section + "/" + key);
    return it == ini.end() ? std::string() : it->second;
  };
}

std::vector<std::string> Names(const std::vector<ServerEntry>& servers) {
  std::vector<std::string> names;
  for (const auto& s : servers) names.push_back(s.name);
  return names;
}

// The shell converts ServersNum; here plain decimals stand in for it.
std::optional<int32_t> Decimal(const std::string& text) {
  if (text.empty() || text.find_first_not_of("-0123456789") != std::string::npos) return std::nullopt;
  return static_cast<int32_t>(std::stoll(text));
}

TEST(ServerList, ReadsTheCountedSectionsInFileOrderAndNeverAServerThatIsNotThere) {
  const Ini three = {{"RemoteServers/ServersNum", "3"}, {"Server1/ServerName", "北京"},
                     {"Server1/MessageIP", "127.0.0.1"},  {"Server2/ServerName", "上海"},
                     {"Server3/ServerName", "北京"},      {"Server10/ServerName", "ten"}};
  const struct {
    const char* count;
    std::vector<std::string> names;
  } cases[] = {
      {"3", {"北京", "上海", "北京"}}, {"2", {"北京", "上海"}}, {"", {}}, {"three", {}}, {"0", {}}, {"-2", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    Ini ini = three;
    ini["RemoteServers/ServersNum"] = c.count;
    const auto servers = ReadServerList(Reader(ini), Decimal);
    EXPECT_EQ(Names(servers), c.names);
    EXPECT_EQ(ChosenServer(servers, PreselectedLine(servers, "none")).has_value(), !c.names.empty());
  }
  Ini ten = {{"RemoteServers/ServersNum", "10"}, {"Server10/ServerName", "ten"}};
  auto servers = ReadServerList(Reader(ten), Decimal);
  ASSERT_EQ(servers.size(), 10u);
  EXPECT_EQ(servers[9].name, "ten") << "Server10, not Server010";
  EXPECT_EQ(ReadServerList(Reader(three), Decimal).front().messageIp, "127.0.0.1");

  int reads = 0;
  Ini huge = {{"RemoteServers/ServersNum", "2147483647"}};
  EXPECT_EQ(ReadServerList(Reader(huge, &reads), Decimal).size(), size_t(kMaxServers));
  EXPECT_EQ(reads, 1 + 4 * kMaxServers);
}

TEST(ServerList, PreselectsTheLastEqualNameOrTheFirstLine) {
  const std::vector<ServerEntry> servers = {{"北京", "", "", ""}, {"上海", "", "", ""}, {"北京", "", "", ""}, {"BJ", "", "", ""}};
  const struct {
    std::string remembered;
    int line;
  } cases[] = {{"上海", 1}, {"北京", 2}, {"bj", 0}, {"", 0}, {"深圳", 0}};
  for (const auto& c : cases) EXPECT_EQ(PreselectedLine(servers, c.remembered), c.line) << c.remembered;
  EXPECT_EQ(PreselectedLine({}, "北京"), -1);
  EXPECT_FALSE(ChosenServer(servers, -1));
  EXPECT_FALSE(ChosenServer(servers, 4));
  EXPECT_EQ(ChosenServer(servers, 3)->name, "BJ");
}

TEST(AccountCheck, JudgesTheCheckThenTheAccount) {
  const struct {
    const char* name;
    Status status;
    std::optional<int32_t> count;
    std::optional<std::string> updateServer;
    std::string account;
    CheckVerdict verdict;
  } cases[] = {
      {"call failed", static_cast<Status>(0x8000FFFF), 1, "u", "a", CheckVerdict::NetworkFault},
      {"no row beats apostrophe", kOk, 0, "u", "a'b", CheckVerdict::WrongCredentials},
      {"count unknown", kOk, -1, "", "zhangwei", CheckVerdict::Accepted},
      {"count not asked", kOk, std::nullopt, "u", "zhangwei", CheckVerdict::Accepted},
      {"UPDATESERVER unreadable", kOk, 1, std::nullopt, "a'b", CheckVerdict::Silent},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AccountCheck check;
    check.status = c.status;
    check.recordCount = c.count;
    check.updateServer = c.updateServer;
    EXPECT_EQ(JudgeAccountCheck(check, c.account), c.verdict);
  }
  EXPECT_TRUE(IsLegalInput("a\"b`c\\d;--"));
}

TEST(AccountCheck, FillsTheRowInOrderAndStoresThePasswordOnlyWhenComplete) {
  const Status kNull = static_cast<Status>(0x80020005);
  auto full = [] {
    AccountCheck check;
    const char* columns[] = {"帐号", "姓名", "FTPIP", "USERNAME", "PASSWORD", "管理专业", "管理专业名称", "本地路径"};
    for (const char* c : columns) check.columns[c] = {kOk, std::string("v:") + c};
    return check;
  };
  const struct {
    const char* name;
    const char* failing;  // column read that fails, or "row"
    Status result;
    bool userName, ftpUser, specNames, password;
  } cases[] = {
      {"complete", "", kOk, true, true, true, true},
      {"row unreachable", "row", kNull, false, false, false, false},
      {"no name", "姓名", kNull, false, false, false, false},
      {"FTP stops at the first failure", "FTPIP", kOk, true, false, true, true},
      {"management does not count", "管理专业", kOk, true, true, true, true},
      {"NULL local path", "本地路径", kNull, true, true, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AccountCheck check = full();
    if (std::string(c.failing) == "row") check.rowStatus = kNull;
    else if (*c.failing) check.columns[c.failing] = {kNull, "junk"};
    UserFields fields;
    EXPECT_EQ(FillUserFields(check, "pw", &fields), c.result);
    EXPECT_EQ(fields.userName.empty(), !c.userName);
    EXPECT_EQ(fields.ftpUserName.empty(), !c.ftpUser);
    EXPECT_EQ(fields.manageSpecNames.empty(), !c.specNames);
    EXPECT_EQ(fields.password, c.password ? "pw" : "");
  }
  AccountCheck missing = full();
  missing.columns.erase("帐号");
  UserFields fields;
  EXPECT_TRUE(Failed(FillUserFields(missing, "pw", &fields)));
}

TEST(WorkingDirectory, UsableOnlyWhenStoredExistingAndEndingInTemp) {
  const struct {
    std::optional<std::string> stored;
    bool exists, usable;
  } cases[] = {
      {"D:\\temp", true, true},   {"D:\\mytemp", true, true}, {"D:\\temp", false, false},
      {"D:\\Temp", true, false},  {"C:\\TEMP", true, false},  {"D:\\temp\\", true, false},
      {"D:\\work", true, false},  {"", true, false},          {std::nullopt, true, false},
      {"temp", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored.value_or("<none>"));
    EXPECT_EQ(IsUsableTempFilePath(c.stored, [&](const std::string&) { return c.exists; }), c.usable);
  }
  EXPECT_EQ(DiskRoot("D:\\temp"), "D:");
  EXPECT_EQ(DiskRoot("D"), "D");
}

TEST(WorkingDirectory, WarnsBelowOneHundredMebibytesButNotWhenUnknown) {
  const uint64_t MiB = 1024 * 1024;
  const struct {
    std::optional<uint64_t> free;
    std::optional<uint64_t> shown;
  } cases[] = {
      {50 * MiB, 50},         {100 * MiB - 1, 99}, {100 * MiB, std::nullopt},
      {0, 0},                 {std::nullopt, std::nullopt},
      {(uint64_t{1} << 32) + 10 * MiB, std::nullopt},  // the upper half counts
  };
  for (const auto& c : cases) EXPECT_EQ(LowSpaceWarning(c.free), c.shown);
}

struct FakeChannel {
  std::optional<PeerRecord> peer;
  std::vector<Ipv4> own;
  int registerSucceedsOnCall = 0;  // 0: never
  int silentFromCycle = 0;         // the server says nothing from this cycle on; 0: never
  int peerRequests = 0, registers = 0;
  uint64_t heard = 0;

  RegistrationSteps Steps() {
    return {[this] {
              ++peerRequests;
              if (silentFromCycle == 0 || peerRequests < silentFromCycle) ++heard;
            },
            [this](const std::string&) { return peer; },
            [this](const Ipv4& a) { return std::find(own.begin(), own.end(), a) != own.end(); },
            [this](const std::string&) { return ++registers == registerSucceedsOnCall; },
            [this] { return heard; }};
  }
};

PeerRecord Peer(std::vector<Ipv4> addresses, uint8_t count) {
  PeerRecord peer;
  peer.name = "zhangwei";
  for (size_t i = 0; i < addresses.size(); ++i) peer.entries[i].ip = addresses[i];
  peer.count = count;
  return peer;
}

// A server that answers but never registers gets the bounded cycles; one
// that says nothing at all in a cycle gets no more.
TEST(Registration, RefusesAnotherMachineOnlyAndGivesUpAfterBoundedCycles) {
  const Ipv4 ours{127, 0, 0, 1}, other{10, 1, 2, 3};
  const struct {
    const char* name;
    std::optional<PeerRecord> peer;
    int succeedsOn;
    int silentFrom;
    RegistrationResult result;
    int cycles;
  } cases[] = {
      {"not listed", std::nullopt, 1, 0, RegistrationResult::Registered, 1},
      {"listed from here", Peer({other, ours}, 2), 1, 0, RegistrationResult::Registered, 1},
      {"listed from elsewhere", Peer({ours, other}, 2), 1, 0, RegistrationResult::InUseElsewhere, 1},
      {"no addresses", Peer({other}, 0), 1, 0, RegistrationResult::Registered, 1},
      {"count beyond the entries", Peer({ours, ours, ours, ours, other}, 9), 1, 0,
       RegistrationResult::InUseElsewhere, 1},
      {"second cycle registers", std::nullopt, 2, 0, RegistrationResult::Registered, 2},
      {"answers, never registers", std::nullopt, 0, 0, RegistrationResult::GaveUp, kMaxRegistrationCycles},
      {"silent", std::nullopt, 0, 1, RegistrationResult::Unanswered, 1},
      {"falls silent in the second cycle", std::nullopt, 0, 2, RegistrationResult::Unanswered, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeChannel channel{c.peer, {ours}, c.succeedsOn, c.silentFrom};
    const RegistrationOutcome outcome = RunRegistrationCycle("zhangwei", channel.Steps());
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(channel.peerRequests, c.cycles);
    if (c.result == RegistrationResult::InUseElsewhere) {
      EXPECT_EQ(outcome.elsewhere, other);
      EXPECT_EQ(channel.registers, 0) << "refused before registering";
    }
  }
}

}  // namespace
}  // namespace velmora::login
