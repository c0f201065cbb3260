// A JScript host logs in through the real login dialog (the UI driver types
// the account), reads every property the control offers, asks about a
// project and a task, claims and releases a lock and logs out. The INI file
// is named by VELMORA_SESSION_INI. Text is printed with \uXXXX escapes:
// Wine 8's cscript corrupts its heap when Echo prints non-ASCII text.
function ascii(value) {
  var s = value === null ? "null" : value === undefined ? "undefined" : String(value), out = "";
  for (var i = 0; i < s.length; i++) {
    var c = s.charCodeAt(i);
    out += c == 92 ? "\\\\" : c < 128 ? s.charAt(i) : "\\u" + ("000" + c.toString(16)).slice(-4);
  }
  return out;
}
var ctl = new ActiveXObject("Velmora.VelmoraCtrl");
function show(names) {
  for (var i = 0; i < names.length; i++) {
    var text;
    try {
      text = ascii(ctl[names[i]]);
    } catch (e) {
      text = "error 0x" + (e.number >>> 0).toString(16);
    }
    WScript.Echo(names[i] + " " + text);
  }
}
function matches(name, pattern) {
  WScript.Echo(name + (pattern.test(ctl[name]) ? " as expected" : " unexpected: " + ascii(ctl[name])));
}

var ini = new ActiveXObject("WScript.Shell").ExpandEnvironmentStrings("%VELMORA_SESSION_INI%");
WScript.Echo("Login " + ctl.Login(ini));
show(["UserID", "UserName", "Password", "DomainAccount", "CurrentProject", "CurrentTask",
      "LocalFilePath", "ManagedSpecialty", "ManageSpecNames", "ManagedRoles", "RoleID", "RoleName"]);
matches("Computer", /^[^\s]+$/);
matches("IP", /^\d+\.\d+\.\d+\.\d+$/);
matches("MacID", /^([0-9A-F]{2}-){7}[0-9A-F]{2}$/);
matches("SystemDateEx", /^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$/);
matches("SystemDate", /^\d{4}\u5e74\d\d\u6708\d\d\u65e5\d\d\u65f6\d\d\u5206\d\d\u79d2$/);

ctl.GetUserInfoByProject("P2026-001");
show(["CurrentProject", "ProjectName", "IsTeamLeader", "IsDesigner", "CanMakePlan"]);
ctl.GetUserInfoByTask("T-101", "P2026-001", "", "", 0);
show(["CurrentTask", "Specialty", "SpecialtyName", "DeptCode", "DeptName", "ManagedRoles",
      "ManagedSpecialty", "ManageSpecNames", "RoleID", "RoleName", "RoleType", "InRoles"]);
WScript.Echo("GetSignature " + ascii(ctl.GetSignature("T-101", ctl.RoleID, false)));
var functions = ctl.GetAssignedFunction();
WScript.Echo("GetAssignedFunction " + functions.RecordCount + " " + ascii(functions("功能名称").Value));

// JScript sees only the lock members' results, not their [out] holder.
WScript.Echo("ChangeTask claim " + ctl.ChangeTask(2026, "T-101,T-102", true, null));
WScript.Echo("CanChangeTask " + ctl.CanChangeTask(2026, "T-102", null));
WScript.Echo("ChangeTask release " + ctl.ChangeTask(2026, "T-101,T-102", false, null));
WScript.Echo("CanSetResource " + ctl.CanSetResource("P2026-001", "JG"));
ctl.ClearChangeTask(2026);

ctl.Logout();
show(["UserID", "CurrentTask", "ProjectName"]);
matches("Computer", /^[^\s]+$/);
