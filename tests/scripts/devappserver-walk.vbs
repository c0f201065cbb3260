' A VBScript host walks the development AppServer's recordset of assigned
' functions. Text is printed with \xHH escapes of its GBK bytes: Wine 8's
' cscript corrupts its heap when Echo prints non-ASCII text, and its
' VBScript has no AscW.
Function Ascii(value)
  Dim s, i, c, out
  If IsNull(value) Then
    s = "null"
  ElseIf VarType(value) = vbBoolean Then
    s = "false"  ' CStr gives the locale's words
    If value Then s = "true"
  Else
    s = CStr(value)
  End If
  out = ""
  For i = 1 To Len(s)
    c = Asc(Mid(s, i, 1)) And 65535
    If c < 128 Then
      out = out & Mid(s, i, 1)
    Else
      c = Right("000" & Hex(c), 4)
      out = out & "\x" & Left(c, 2) & "\x" & Right(c, 2)
    End If
  Next
  Ascii = out
End Function

Dim server, rs, walked, line, field, code
Set server = CreateObject("Velmora.DevAppServer")
Set rs = server.Execute(128, Null, Array("zhangwei"))
walked = 0
Do Until rs.EOF
  line = ""
  For Each field In rs.Fields
    line = line & " " & Ascii(field.Name) & "=" & Ascii(field.Value)
  Next
  code = rs("功能编码")
  WScript.Echo Mid(line, 2) & " | " & Ascii(code) & " " & Ascii(rs.Collect("功能名称"))
  walked = walked + 1
  rs.MoveNext
Loop
WScript.Echo "walked " & walked & " of " & rs.RecordCount
On Error Resume Next
server.Execute 999, Null, Null
If Err.Number = 0 Then
  WScript.Echo "no error"
Else
  WScript.Echo "error " & LCase(Hex(Err.Number)) & " " & Err.Description
End If
