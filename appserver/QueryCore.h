// What the server queries decide, apart from the COM calls that fetch the
// values: which columns go into which login-record fields and in which
// order, how the server's clock text is reformatted, and the texts sent with
// a signature query. Plain C++ on plain data, so it builds and is tested on
// the host as well.
#pragma once

#include <string>

#include "common/SecretText.h"

namespace velmora::appserver {

// The login-record fields the queries read and write, by reference, so this
// code never needs the control. Flags are VARIANT_BOOL values (-1, 0).
struct QueryState {
  const std::string& UserID;
  const std::string& UserName;
  std::string& CurrentTask;
  std::string& CurrentProject;
  std::string& Specialty;
  std::string& SpecialtyName;
  std::string& DeptCode;
  std::string& DeptName;
  std::string& ManagedRoles;
  std::string& ManagedSpecialty;
  std::string& ManageSpecNames;
  std::string& RoleName;
  std::string& RoleType;
  std::string& InRoles;
  std::string& ProjectName;
  long& RoleID;
  short& IsTeamLeader;
  short& IsDesigner;
  short& CanMakePlan;
  const std::string& FtpIP;
  const std::string& FtpUserName;
  const SecretText& FtpPassword;
  std::string& ProjectFtpServer;
  std::string& ProjectFtpUser;
  SecretText& ProjectFtpPassword;
};

// The first row of a result, as the shell reads it. Each call reports
// success; on failure the target keeps its value, except that a text
// whose value could not be turned into text is left empty.
class RowReader {
 public:
  virtual ~RowReader() = default;
  virtual bool ReadText(const char* column, std::string& target) = 0;
  virtual bool ReadUInt(const char* column, long& target) = 0;
  // Fetches a column's value into holding place `slot` (0..2) ...
  virtual bool FetchValue(const char* column, int slot) = 0;
  // ... and later stores it as a flag; a value that is no Boolean leaves
  // the flag as it was.
  virtual void StoreFlag(int slot, short& target) = 0;
};

// Column names, UTF-8 in the source; the shell converts them.
constexpr int kFlagCount = 3;
extern const char* const kFlagColumns[kFlagCount];
extern const char* const kProjectNameColumn;
extern const char* const kSignatureColumn;
extern const char* const kFileServerColumns[3];

// The role columns of a task query, each read on its own.
void ReadTaskRoles(RowReader& row, QueryState& state);
// The three flags, all or none, then the project name (task and project
// queries alike).
void ReadFlagsAndProjectName(RowReader& row, QueryState& state);

// The unit characters of a reformatted date, in the caller's encoding.
struct DateUnits {
  std::string Year, Month, Day, Hour, Minute, Second;
};
// Tells whether a byte starts a two-byte character in the caller's code page.
using LeadBytePredicate = bool (*)(unsigned char);

// "2005-03-07 08:09:10" becomes 2005年03月07日08时09分10秒: the separators at
// byte positions 4, 7, 10, 13 and 16 are replaced and the second's unit is
// appended. A text too short for that, or whose separators are not single
// characters, comes back unchanged: the host still sees what the server said.
std::string FormatServerDate(const std::string& text, const DateUnits& units, LeadBytePredicate isLeadByte);

// Signed decimal, as signature queries and the role list carry it.
std::string RoleIdText(long roleId);
// "01" for a shared signature (only -1 is true), "0" otherwise.
std::string ShareFlagText(short isShare);
// True when an item of the comma list equals `roleText` exactly; items keep
// their spaces.
bool InRolesContains(const std::string& inRoles, const std::string& roleText);

}  // namespace velmora::appserver
