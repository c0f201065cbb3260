' A host's whole session with the Velmora control: log in through the login
' dialog, read who logged in, ask about a project and one of its tasks, claim
' and release a task's edit lock, log out.
'   cscript //nologo session.vbs SERVERS.INI [REPORT.TXT]
' With REPORT.TXT the lines go to that file (UTF-16) instead of the console.
' VBScript, not JScript: FtpServerInfo and the lock members answer through
' [out] parameters, which JScript cannot receive.
Option Explicit

Const ProjectID = "P2026-001"   ' project and task of the development AppServer's data
Const TaskID = "T-101"
Const LockProject = 2026         ' the lock members number projects
Const LockTasks = "T-101,T-102"

Dim report   ' Empty: lines go to the console
If WScript.Arguments.Count > 1 Then
  Set report = CreateObject("Scripting.FileSystemObject").CreateTextFile(WScript.Arguments(1), True, True)
End If

Sub Say(text)
  If IsObject(report) Then report.WriteLine text Else WScript.Echo text
End Sub

Sub Finish(status)
  If IsObject(report) Then report.Close
  WScript.Quit status
End Sub

Function YesNo(flag)
  If flag Then YesNo = "是" Else YesNo = "否"
End Function

If WScript.Arguments.Count < 1 Then
  WScript.Echo "usage: cscript //nologo session.vbs SERVERS.INI [REPORT.TXT]"
  WScript.Quit 2
End If

Dim ctl, result
Set ctl = CreateObject("Velmora.VelmoraCtrl")

' -1 logged in, 9 cancelled, 10 logged in on another machine, 0 failed.
result = CInt(ctl.Login(WScript.Arguments(0)))   ' a VARIANT_BOOL that also carries 9 and 10
Say "登录结果: " & result
If result <> -1 Then
  Say "未登录，会话结束。"
  Finish 1
End If

Say "== 当前用户"
Say "帐号: " & ctl.UserID
Say "姓名: " & ctl.UserName
Say "计算机: " & ctl.Computer
Say "IP 地址: " & ctl.IP
Say "网卡地址: " & ctl.MacID
Say "本地工作目录: " & ctl.LocalFilePath
Say "管理专业: " & ctl.ManagedSpecialty & " (" & ctl.ManageSpecNames & ")"

Dim ftpServer, ftpUser, ftpPassword
ctl.FtpServerInfo "", ftpServer, ftpUser, ftpPassword   ' "": the login's file server
Say "文件服务器 (登录): " & ftpServer & " 用户 " & ftpUser & " 口令 " & ftpPassword

Say "== 项目 " & ProjectID
ctl.GetUserInfoByProject ProjectID
Say "项目名称: " & ctl.ProjectName
Say "设计负责人: " & YesNo(ctl.IsTeamLeader) & "  设计者: " & YesNo(ctl.IsDesigner) & _
    "  能制作计划: " & YesNo(ctl.CanMakePlan)
ctl.FtpServerInfo ProjectID, ftpServer, ftpUser, ftpPassword
Say "文件服务器 (项目): " & ftpServer & " 用户 " & ftpUser & " 口令 " & ftpPassword

Say "== 任务 " & TaskID
ctl.GetUserInfoByTask TaskID, ProjectID, "", "", 0
Say "专业: " & ctl.Specialty & " " & ctl.SpecialtyName
Say "部门: " & ctl.DeptCode & " " & ctl.DeptName
Say "角色: " & ctl.RoleID & " " & ctl.RoleName & " (" & ctl.RoleType & ")"
Say "参与角色: " & ctl.InRoles & "  管理角色: " & ctl.ManagedRoles
Say "签字 (角色 " & ctl.RoleID & "): " & ctl.GetSignature(TaskID, ctl.RoleID, False)
Say "服务器时间: " & ctl.SystemDate & " (" & ctl.SystemDateEx & ")"

Say "== 任务锁 " & LockProject & " " & LockTasks
Dim holder
holder = ""
Say "领取: " & YesNo(ctl.ChangeTask(LockProject, LockTasks, True, holder)) & " " & holder
Say "可修改: " & YesNo(ctl.CanChangeTask(LockProject, LockTasks, holder)) & " " & holder
Say "释放: " & YesNo(ctl.ChangeTask(LockProject, LockTasks, False, holder)) & " " & holder

ctl.Logout
Say "已退出登录。"
Finish 0
