#include "control/LoginFlowCore.h"

namespace velmora::login {

namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::vector<ServerEntry> ReadServerList(const IniReader& read, const CountReader& toCount) {
  std::vector<ServerEntry> servers;
  const std::optional<int32_t> count = toCount(read("RemoteServers", "ServersNum"));
  if (!count || *count < 1) return servers;
  const int n = *count > kMaxServers ? kMaxServers : *count;
  for (int i = 1; i <= n; ++i) {
    const std::string section = "Server" + std::to_string(i);
    servers.push_back({read(section, "ServerName"), read(section, "ServerIP"), read(section, "MessageIP"),
                       read(section, "ArcServerIP")});
  }
  return servers;
}

int PreselectedLine(const std::vector<ServerEntry>& servers, const std::string& remembered) {
  if (servers.empty()) return -1;
  int line = 0;
  for (size_t i = 0; i < servers.size(); ++i) {
    if (servers[i].name == remembered) line = static_cast<int>(i);
  }
  return line;
}

std::optional<ServerEntry> ChosenServer(const std::vector<ServerEntry>& servers, int line) {
  if (line < 0 || static_cast<size_t>(line) >= servers.size()) return std::nullopt;
  return servers[static_cast<size_t>(line)];
}

bool IsLegalInput(std::string_view text) { return text.find('\'') == std::string_view::npos; }

CheckVerdict JudgeAccountCheck(const AccountCheck& check, const std::string& account) {
  if (Failed(check.status)) return CheckVerdict::NetworkFault;
  // A count that cannot be asked, or -1 from a recordset that cannot tell,
  // does not refuse the account.
  if (check.recordCount && *check.recordCount == 0) return CheckVerdict::WrongCredentials;
  if (!check.updateServer) return CheckVerdict::Silent;
  return IsLegalInput(account) ? CheckVerdict::Accepted : CheckVerdict::IllegalAccount;
}

Status FillUserFields(const AccountCheck& check, const SecretText& typedPassword, UserFields* fields) {
  if (Failed(check.rowStatus)) return check.rowStatus;
  auto read = [&](const char* column, auto* into) -> Status {
    auto it = check.columns.find(column);
    // A column the row lacks reads as the server's "item not found".
    if (it == check.columns.end()) return static_cast<Status>(0x800A0CC1);
    if (!Failed(it->second.status)) *into = it->second.text.view();
    return it->second.status;
  };
  Status status = read("帐号", &fields->userId);
  if (Failed(status)) return status;
  status = read("姓名", &fields->userName);
  if (Failed(status)) return status;
  if (!Failed(read("FTPIP", &fields->ftpIp)) && !Failed(read("USERNAME", &fields->ftpUserName))) {
    read("PASSWORD", &fields->ftpPassword);
  }
  read("管理专业", &fields->managedSpecialty);
  read("管理专业名称", &fields->manageSpecNames);
  status = read("本地路径", &fields->localFilePath);
  if (Failed(status)) return status;
  fields->password = typedPassword;
  return kOk;
}

bool IsUsableTempFilePath(const std::optional<std::string>& stored,
                          const std::function<bool(const std::string&)>& pathExists) {
  return stored && !stored->empty() && EndsWith(*stored, "temp") && pathExists(*stored);
}

std::string DiskRoot(const std::string& directory) { return directory.substr(0, 2); }

std::optional<uint64_t> LowSpaceWarning(std::optional<uint64_t> freeBytes) {
  if (!freeBytes || *freeBytes >= kLowSpaceBytes) return std::nullopt;
  return *freeBytes / (1024 * 1024);
}

std::optional<Ipv4> LoggedInElsewhere(const std::optional<PeerRecord>& peer,
                                      const std::function<bool(const Ipv4&)>& isOwnAddress) {
  if (!peer) return std::nullopt;
  const size_t count = peer->CountedEntries();
  if (count == 0) return std::nullopt;
  const Ipv4& last = peer->entries[count - 1].ip;
  if (isOwnAddress(last)) return std::nullopt;
  return last;
}

RegistrationOutcome RunRegistrationCycle(const std::string& account, const RegistrationSteps& steps,
                                         int maxCycles) {
  for (int cycle = 0; cycle < maxCycles; ++cycle) {
    const uint64_t heardBefore = steps.serverDatagrams();
    steps.requestPeerList();
    if (std::optional<Ipv4> elsewhere = LoggedInElsewhere(steps.findPeer(account), steps.isOwnAddress)) {
      return {RegistrationResult::InUseElsewhere, *elsewhere};
    }
    if (steps.registerAccount(account)) return {RegistrationResult::Registered, {}};
    if (steps.serverDatagrams() == heardBefore) return {RegistrationResult::Unanswered, {}};
  }
  return {RegistrationResult::GaveUp, {}};
}

PasswordVerdict JudgePasswordChange(std::string_view expected, std::string_view oldText, std::string_view newText,
                                    std::string_view confirmText) {
  if (oldText != expected) return PasswordVerdict::WrongOldPassword;
  if (newText != confirmText) return PasswordVerdict::ConfirmationDiffers;
  if (!IsLegalInput(newText)) return PasswordVerdict::IllegalCharacter;
  return PasswordVerdict::Accepted;
}

}  // namespace velmora::login
