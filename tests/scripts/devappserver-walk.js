// A JScript host walks the development AppServer's recordset of assigned
// functions. Text is printed with \uXXXX escapes: Wine 8's cscript
// corrupts its heap when Echo prints non-ASCII text.
function ascii(value) {
  var s = String(value), out = "";
  for (var i = 0; i < s.length; i++) {
    var c = s.charCodeAt(i);
    out += c < 128 ? s.charAt(i) : "\\u" + ("000" + c.toString(16)).slice(-4);
  }
  return out;
}

var server = new ActiveXObject("Velmora.DevAppServer");
var rs = server.Execute(128, null, ["zhangwei"]);
var walked = 0;
while (!rs.EOF) {
  var line = [];
  for (var i = 0; i < rs.Fields.Count; i++) {
    var field = rs.Fields.Item(i);
    line.push(ascii(field.Name) + "=" + ascii(field.Value));
  }
  WScript.Echo(line.join(" ") + " | " + ascii(rs("功能编码").Value) + " " + ascii(rs.Collect("功能名称")));
  walked++;
  rs.MoveNext();
}
WScript.Echo("walked " + walked + " of " + rs.RecordCount);
try {
  server.Execute(999, null, null);
  WScript.Echo("no error");
} catch (e) {
  WScript.Echo("error " + (e.number >>> 0).toString(16) + " " + e.description);
}
