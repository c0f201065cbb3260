// Who is logged in, from which machine, in which project and role.
// Touched only by the apartment thread. The passwords (the typed one and
// the file servers') are secret text: wiped on logout and when the record
// goes.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <string>

#include "common/SecretText.h"

namespace velmora {

struct LoginState {
  std::string UserName;
  std::string UserID;
  SecretText Password;
  std::string MacID;
  std::string IP;
  std::string Computer;
  std::string DomainAccount;
  std::string CurrentProject;
  std::string Specialty;
  std::string SpecialtyName;
  std::string DeptCode;
  std::string DeptName;
  VARIANT_BOOL IsTeamLeader = VARIANT_FALSE;
  VARIANT_BOOL IsDesigner = VARIANT_FALSE;
  VARIANT_BOOL CanMakePlan = VARIANT_FALSE;
  std::string CurrentTask;
  std::string LocalFilePath;
  std::string ProjectName;
  std::string ManagedRoles;
  std::string ManagedSpecialty;
  std::string RoleName;
  std::string RoleType;
  std::string FtpIP;
  std::string FtpUserName;
  SecretText FtpPassword;
  std::string ManageSpecNames;
  std::string InRoles;
  std::string ProjectFtpServer;
  std::string ProjectFtpUser;
  SecretText ProjectFtpPassword;
  std::string MessageIP;
  LONG RoleID = -1;

  // What a logout forgets: everything but the machine identity and the
  // chosen message server.
  void ClearUser() {
    UserName.clear();
    UserID.clear();
    Password.clear();
    DomainAccount.clear();
    CurrentProject.clear();
    Specialty.clear();
    SpecialtyName.clear();
    DeptCode.clear();
    DeptName.clear();
    IsTeamLeader = IsDesigner = CanMakePlan = VARIANT_FALSE;
    CurrentTask.clear();
    ProjectName.clear();
    LocalFilePath.clear();
    ManagedRoles.clear();
    ManagedSpecialty.clear();
    RoleName.clear();
    RoleType.clear();
    RoleID = -1;
    FtpIP.clear();
    FtpUserName.clear();
    FtpPassword.clear();
    ManageSpecNames.clear();
    InRoles.clear();
    ProjectFtpServer.clear();
    ProjectFtpUser.clear();
    ProjectFtpPassword.clear();
  }
};

}  // namespace velmora
