#include "appserver/QueryCore.h"

#include "common/CommaList.h"

namespace velmora::appserver {

const char* const kFlagColumns[kFlagCount] = {"是否是设计负责人", "是否是设计者", "是否能制作计划"};
const char* const kProjectNameColumn = "项目名称";
const char* const kSignatureColumn = "签字";
const char* const kFileServerColumns[3] = {"文件服务器", "登录用户", "登录口令"};

void ReadTaskRoles(RowReader& row, QueryState& state) {
  // Each read stands alone: a missing column keeps its field as it was.
  row.ReadText("专业编码", state.Specialty);
  row.ReadText("专业名称", state.SpecialtyName);
  row.ReadText("部门编码", state.DeptCode);
  row.ReadText("部门名称", state.DeptName);
  row.ReadText("管理角色", state.ManagedRoles);
  row.ReadText("管理专业", state.ManagedSpecialty);
  row.ReadText("管理专业名称", state.ManageSpecNames);
  row.ReadText("角色名称", state.RoleName);
  row.ReadText("角色类型", state.RoleType);
  row.ReadUInt("角色ID", state.RoleID);
  row.ReadText("参与角色", state.InRoles);
}

void ReadFlagsAndProjectName(RowReader& row, QueryState& state) {
  for (int i = 0; i < kFlagCount; ++i) {
    if (!row.FetchValue(kFlagColumns[i], i)) return;  // a row without all three changes none
  }
  row.StoreFlag(0, state.IsTeamLeader);
  row.StoreFlag(1, state.IsDesigner);
  row.StoreFlag(2, state.CanMakePlan);
  row.ReadText(kProjectNameColumn, state.ProjectName);
}

std::string FormatServerDate(const std::string& text, const DateUnits& units, LeadBytePredicate isLeadByte) {
  static constexpr size_t kSeparators[] = {4, 7, 10, 13, 16};
  if (text.size() < 17) return text;
  // A separator must be a whole character of its own: walk the characters
  // from the start, so a trail byte is never taken for one.
  size_t next = 0;
  for (size_t pos = 0; pos <= 16; pos = next) {
    const bool lead = isLeadByte(static_cast<unsigned char>(text[pos]));
    next = pos + (lead ? 2 : 1);  // a lead byte cut off at the end is no separator either
    for (size_t s : kSeparators) {
      if (pos == s && next != pos + 1) return text;
      if (s > pos && s < next) return text;
    }
  }
  std::string out = text + units.Second;
  out.replace(16, 1, units.Minute);
  out.replace(13, 1, units.Hour);
  out.replace(10, 1, units.Day);
  out.replace(7, 1, units.Month);
  out.replace(4, 1, units.Year);
  return out;
}

std::string RoleIdText(long roleId) { return std::to_string(roleId); }

std::string ShareFlagText(short isShare) { return isShare == -1 ? "01" : "0"; }

bool InRolesContains(const std::string& inRoles, const std::string& roleText) {
  for (const auto& item : msg::SplitCommaListViews(inRoles)) {
    if (item == roleText) return true;
  }
  return false;
}

}  // namespace velmora::appserver
