' A VBScript host's view of a fresh control, created by both ProgIDs.
Option Explicit
Dim passed, failed
passed = 0
failed = 0

Sub Check(name, ok)
  If ok Then
    passed = passed + 1
  Else
    failed = failed + 1
    WScript.Echo "FAIL: " & name
  End If
End Sub

Function ErrorOf(o, member)
  On Error Resume Next
  Dim v
  Select Case member
    Case "UserID": v = o.UserID
    Case "UserName": v = o.UserName
    Case "Password": v = o.Password
    Case "DomainAccount": v = o.DomainAccount
    Case "CurrentProject": v = o.CurrentProject
  End Select
  ErrorOf = Err.Number
  Err.Clear
End Function

Dim ids, id, o, member
ids = Array("Velmora.VelmoraCtrl", "Velmora.VelmoraCtrl.1")
For Each id In ids
  Set o = CreateObject(id)
  For Each member In Array("UserID", "UserName", "Password", "DomainAccount", "CurrentProject")
    Check id & ": " & member & " raises E_FAIL", ErrorOf(o, member) = &H80004005
  Next
  Check id & ": Specialty is an empty string", o.Specialty = "" And VarType(o.Specialty) = vbString
  Check id & ": IsTeamLeader is false", o.IsTeamLeader = False
  Check id & ": RoleID is -1", o.RoleID = -1
  Check id & ": MacID has 23 characters", Len(o.MacID) = 23
  Check id & ": Computer is not empty", Len(o.Computer) > 0
  o.CurrentTask = "任务-乙"
  Check id & ": CurrentTask round-trips", o.CurrentTask = "任务-乙"
  o.CurrentTask = ""
  Check id & ": empty CurrentTask round-trips", o.CurrentTask = ""
  o.Logout
  Check id & ": MacID survives Logout", Len(o.MacID) = 23
  Set o = Nothing
Next
WScript.Echo passed & " passed, " & failed & " failed"
If failed = 0 Then WScript.Quit 0 Else WScript.Quit 1
