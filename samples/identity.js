// Creates the control as a script host does and shows what it knows about
// this machine and the (not yet logged-in) user.
var ctl = new ActiveXObject("Velmora.VelmoraCtrl");

// Reads a property by name; a member with nothing to say raises E_FAIL.
function show(label, name) {
  var text = "";
  try {
    text = ctl[name];
  } catch (e) {
    text = "(error 0x" + (e.number >>> 0).toString(16).toUpperCase() + ")";
  }
  WScript.Echo(label + ": " + text);
}

show("计算机", "Computer");
show("IP 地址", "IP");
show("网卡地址", "MacID");
show("用户ID", "UserID");
show("角色ID", "RoleID");
ctl.CurrentTask = "T-001";
show("当前任务", "CurrentTask");
ctl.Logout();
