// The decisions of the login, the login dialog and the password dialog on
// plain data: no Windows headers, so they build and are tested natively.
// The Win32 shells (LoginDialog, ChangePasswordDialog, Login) gather the
// inputs, call these and act on the answer.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/SecretText.h"
#include "messaging/Records.h"

namespace velmora::login {

using msg::Ipv4;
using msg::PeerRecord;

// Failure codes travel as HRESULT values; negative means failure.
using Status = int32_t;
constexpr Status kOk = 0;
constexpr bool Failed(Status status) { return status < 0; }

// ---- Server list of the INI file -------------------------------------------

struct ServerEntry {
  std::string name;
  std::string serverIp;
  std::string messageIp;
  std::string arcServerIp;
};

// Reads one value of the INI file: (section, key) -> text, empty by default.
using IniReader = std::function<std::string(const std::string& section, const std::string& key)>;

// ServersNum's text as a number; nothing when it is none. The shell reads
// it as the automation conversion does, in the user's locale.
using CountReader = std::function<std::optional<int32_t>(const std::string& text)>;

// A list longer than this is a broken file, not a company's servers; the
// bound keeps a huge ServersNum from reading sections for minutes.
constexpr int kMaxServers = 999;

// The entries Server1 ... ServerN in file order. A missing or non-numeric
// ServersNum, or one below 1, gives an empty list.
std::vector<ServerEntry> ReadServerList(const IniReader& read, const CountReader& toCount);

// The line to preselect: the last entry named `remembered` (exact byte
// comparison), otherwise line 0; -1 for an empty list.
int PreselectedLine(const std::vector<ServerEntry>& servers, const std::string& remembered);

// The entry on `line`, nothing when no server is chosen or the line is out
// of range.
std::optional<ServerEntry> ChosenServer(const std::vector<ServerEntry>& servers, int line);

// ---- Input checks --------------------------------------------------------

// The apostrophe would break the server's quoted queries; nothing else is
// refused.
bool IsLegalInput(std::string_view text);

// ---- Account check -------------------------------------------------------

// What the account check gave, read by whoever wires the seam to the
// server: the call's status, the row count (nothing when the count itself
// could not be asked), column "UPDATESERVER" as text (nothing when the read
// failed; a database NULL reads as empty text, a number as its decimal
// text), and the texts of the first row for the login state, secret
// because one of them is the file server's password.
struct ColumnText {
  Status status = kOk;
  SecretText text;
};

struct AccountCheck {
  Status status = kOk;
  std::optional<int32_t> recordCount;
  std::optional<std::string> updateServer;
  Status rowStatus = kOk;  // moving to the first row and reaching its fields
  std::map<std::string, ColumnText> columns;
};

enum class CheckVerdict {
  NetworkFault,      // the check failed
  WrongCredentials,  // no row
  Silent,            // UPDATESERVER unreadable: stay open without a word
  IllegalAccount,    // accepted by the server, apostrophe in the account
  Accepted,
};

// Also says whether UPDATESERVER is to be stored (IllegalAccount and
// Accepted store it).
CheckVerdict JudgeAccountCheck(const AccountCheck& check, const std::string& account);
inline bool StoresUpdateServer(CheckVerdict verdict) {
  return verdict == CheckVerdict::IllegalAccount || verdict == CheckVerdict::Accepted;
}

// The login state fields the check's row fills, plus the typed password
// once the row is complete.
struct UserFields {
  std::string userId, userName;
  std::string ftpIp, ftpUserName;
  SecretText ftpPassword;
  std::string managedSpecialty, manageSpecNames;
  std::string localFilePath;
  SecretText password;
};

// Fills `fields` from the row in the fixed order; returns the first failure
// of the row, "帐号", "姓名" or "本地路径" (the FTP and management columns
// never change the result). The password is stored only on success.
Status FillUserFields(const AccountCheck& check, const SecretText& typedPassword, UserFields* fields);

// ---- Working directory ---------------------------------------------------

// A stored TempFilePath is usable when it was a REG_SZ (`stored` holds
// it), is not empty, ends in exactly "temp" and exists on disk.
bool IsUsableTempFilePath(const std::optional<std::string>& stored,
                          const std::function<bool(const std::string&)>& pathExists);

// "D:" for "D:\temp": the first two characters, what the free-space query
// is asked about.
std::string DiskRoot(const std::string& directory);

// The free mebibytes to warn about, nothing when there is enough space or
// the query failed (an unknown amount is no reason to alarm the user).
constexpr uint64_t kLowSpaceBytes = 100ull * 1024 * 1024;
std::optional<uint64_t> LowSpaceWarning(std::optional<uint64_t> freeBytes);

// ---- Single login and registration ---------------------------------------

// The channel operations the registration cycle needs. `serverDatagrams`
// counts whatever has come from the server so far: a cycle that leaves it
// where it was heard nothing at all.
struct RegistrationSteps {
  std::function<void()> requestPeerList;
  std::function<std::optional<PeerRecord>(const std::string& account)> findPeer;
  std::function<bool(const Ipv4& address)> isOwnAddress;
  std::function<bool(const std::string& account)> registerAccount;
  std::function<uint64_t()> serverDatagrams;
};

// The address the account is in use from, if elsewhere: the last counted
// address of its record when that is not one of ours. A record without
// addresses says nothing about another machine.
std::optional<Ipv4> LoggedInElsewhere(const std::optional<PeerRecord>& peer,
                                      const std::function<bool(const Ipv4&)>& isOwnAddress);

// GaveUp: the server answered but never registered the account;
// Unanswered: a whole cycle went by without a word from the server.
enum class RegistrationResult { Registered, InUseElsewhere, GaveUp, Unanswered };

struct RegistrationOutcome {
  RegistrationResult result = RegistrationResult::GaveUp;
  Ipv4 elsewhere{};  // for InUseElsewhere
};

// Each Register already retries the server; after this many failed cycles
// (a server that answers but does not register, an account too long for
// the record) the login goes on unregistered, as when the channel cannot
// start. A silent server (unreachable, a wrong address) ends it after the
// first cycle: more cycles would only keep the person waiting.
constexpr int kMaxRegistrationCycles = 3;

RegistrationOutcome RunRegistrationCycle(const std::string& account, const RegistrationSteps& steps,
                                         int maxCycles = kMaxRegistrationCycles);

// ---- Password change -----------------------------------------------------

enum class PasswordVerdict { WrongOldPassword, ConfirmationDiffers, IllegalCharacter, Accepted };

// `expected` is the password held since login; comparisons are exact bytes.
PasswordVerdict JudgePasswordChange(std::string_view expected, std::string_view oldText, std::string_view newText,
                                    std::string_view confirmText);

}  // namespace velmora::login
