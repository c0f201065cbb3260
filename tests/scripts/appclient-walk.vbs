' A VBScript host asks the control for the server's clock and walks the
' recordset of assigned functions it hands over. Text is printed with \xHH
' escapes of its GBK bytes: Wine 8's cscript corrupts its heap when Echo
' prints non-ASCII text.
Function Ascii(value)
  Dim s, i, c, out
  If IsNull(value) Then s = "null" Else s = CStr(value)
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

Dim control, rs, walked
Set control = CreateObject("Velmora.VelmoraCtrl")
WScript.Echo "SystemDateEx " & Ascii(control.SystemDateEx)
WScript.Echo "SystemDate " & Ascii(control.SystemDate)
Set rs = control.GetAssignedFunction()
walked = 0
Do Until rs.EOF
  WScript.Echo Ascii(rs("功能编码").Value) & " " & Ascii(rs.Fields.Item("功能名称").Value) & " " & _
               Ascii(rs.Collect("序号")) & " " & Ascii(rs("备注").Value)
  walked = walked + 1
  rs.MoveNext
Loop
WScript.Echo "walked " & walked & " of " & rs.RecordCount
