// A JScript host's view of a fresh control, created by both ProgIDs.
var passed = 0, failed = 0;
function check(name, ok) {
  if (ok) { passed++; } else { failed++; WScript.Echo("FAIL: " + name); }
}
function errorOf(read) {
  try { read(); return 0; } catch (e) { return e.number >>> 0; }
}

var progIds = ["Velmora.VelmoraCtrl", "Velmora.VelmoraCtrl.1"];
for (var i = 0; i < progIds.length; i++) {
  var id = progIds[i];
  var o = new ActiveXObject(id);
  var names = ["UserID", "UserName", "Password", "DomainAccount", "CurrentProject"];
  for (var k = 0; k < names.length; k++) {
    var n = names[k];
    check(id + ": " + n + " raises E_FAIL", errorOf(function () { return o[n]; }) == 0x80004005);
  }
  check(id + ": Specialty is an empty string", o.Specialty === "");
  check(id + ": DeptName is an empty string", o.DeptName === "");
  check(id + ": IsTeamLeader is false", o.IsTeamLeader === false);
  check(id + ": RoleID is -1", o.RoleID === -1);
  check(id + ": MacID has 23 characters", /^([0-9A-F]{2}-){7}[0-9A-F]{2}$/.test(o.MacID));
  check(id + ": Computer is not empty", o.Computer.length > 0);
  check(id + ": IP is dotted", /^\d+\.\d+\.\d+\.\d+$/.test(o.IP));
  o.CurrentTask = "任务-甲";
  check(id + ": CurrentTask round-trips", o.CurrentTask === "任务-甲");
  o.CurrentTask = "";
  check(id + ": empty CurrentTask round-trips", o.CurrentTask === "");
  o.Logout();
  check(id + ": Computer survives Logout", o.Computer.length > 0);
  WScript.Echo(id + ": " + o.Computer + " " + o.IP + " " + o.MacID);
}
WScript.Echo(passed + " passed, " + failed + " failed");
WScript.Quit(failed == 0 ? 0 : 1);
