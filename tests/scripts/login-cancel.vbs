' Login from a script host whose user gives up: Cancel in the login dialog
' gives 9; Cancel in the working-directory dialog ends the host with status
' 0 before Login returns. The INI file is named by VELMORA_SESSION_INI.
' VBScript: JScript turns every non-zero VARIANT_BOOL, 9 included, into true.
Dim ctl, ini, result, id
Set ctl = CreateObject("Velmora.VelmoraCtrl")
ini = CreateObject("WScript.Shell").ExpandEnvironmentStrings("%VELMORA_SESSION_INI%")
result = ctl.Login(ini)
WScript.Echo "Login returned " & CInt(result)
On Error Resume Next
id = ctl.UserID
WScript.Echo "UserID error 0x" & Hex(Err.Number)
' Status 0 is left to the working-directory dialog's Cancel.
WScript.Quit 7
