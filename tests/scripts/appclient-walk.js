// A JScript host asks the control for the server's clock and walks the
// recordset of assigned functions it hands over. Text is printed with
// \uXXXX escapes: Wine 8's cscript corrupts its heap when Echo prints
// non-ASCII text.
function ascii(value) {
  var s = value === null ? "null" : String(value), out = "";
  for (var i = 0; i < s.length; i++) {
    var c = s.charCodeAt(i);
    out += c < 128 ? s.charAt(i) : "\\u" + ("000" + c.toString(16)).slice(-4);
  }
  return out;
}

var control = new ActiveXObject("Velmora.VelmoraCtrl");
WScript.Echo("SystemDateEx " + ascii(control.SystemDateEx));
WScript.Echo("SystemDate " + ascii(control.SystemDate));
var rs = control.GetAssignedFunction();
var walked = 0;
while (!rs.EOF) {
  WScript.Echo(ascii(rs("功能编码").Value) + " " + ascii(rs.Fields.Item("功能名称").Value) + " " +
               ascii(rs.Collect("序号")) + " " + ascii(rs("备注").Value));
  walked++;
  rs.MoveNext();
}
WScript.Echo("walked " + walked + " of " + rs.RecordCount);
