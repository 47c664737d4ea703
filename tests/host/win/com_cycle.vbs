' comtessaly.tessalyCom driven from VBScript the way a host's script would:
' a send-then-fetch cycle in the mode given as the second argument, against
' the local mail stack whose run directory (as a Windows path) is the first.
' The greeting name is taken from PrimaryHELO, written here into the host's
' key in this script's own registry view (the 32-bit cscript writes the
' Wow6432Node key). The script ends with one "RESULT PASS" or "RESULT FAIL"
' line and exit code 0 or 1: cscript itself prints nothing and exits 0 when a
' script stops on a runtime error.
Option Explicit

Dim failures : failures = 0
Sub Check(ok, what)
  If ok Then
    WScript.Echo "ok   " & what
  Else
    WScript.Echo "FAIL " & what
    failures = failures + 1
  End If
End Sub

Dim fso : Set fso = CreateObject("Scripting.FileSystemObject")
WScript.Echo "start " & WScript.ScriptName & " " & WScript.Arguments(1)
Dim stackDir : stackDir = WScript.Arguments(0)
Dim mode : mode = WScript.Arguments(1)
Dim env : Set env = CreateObject("Scripting.Dictionary")
Dim file : Set file = fso.OpenTextFile(stackDir & "\stack.env")
Do Until file.AtEndOfStream
  Dim line : line = file.ReadLine
  If InStr(line, "=") > 0 And Left(line, 1) <> "#" Then
    env(Left(line, InStr(line, "=") - 1)) = Mid(line, InStr(line, "=") + 1)
  End If
Loop
file.Close

' Base64 of ASCII text, as the parameter string stores passwords.
Function B64(text)
  Const alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
  Dim i, n, c1, c2, c3, out : out = ""
  For i = 1 To Len(text) Step 3
    c1 = Asc(Mid(text, i, 1)) : c2 = 0 : c3 = 0
    n = Len(text) - i + 1
    If n > 1 Then c2 = Asc(Mid(text, i + 1, 1))
    If n > 2 Then c3 = Asc(Mid(text, i + 2, 1))
    out = out & Mid(alphabet, (c1 \ 4) + 1, 1) & Mid(alphabet, ((c1 And 3) * 16 + c2 \ 16) + 1, 1)
    If n > 1 Then out = out & Mid(alphabet, ((c2 And 15) * 4 + c3 \ 64) + 1, 1) Else out = out & "="
    If n > 2 Then out = out & Mid(alphabet, (c3 And 63) + 1, 1) Else out = out & "="
  Next
  B64 = out
End Function

Dim maildir : maildir = "Z:" & Replace(env("MAIL_DIR"), "/", "\") & "\bob\Maildir\new"
' Empties bob's new messages; a file that goes away meanwhile (delivered
' into cur\ or removed by the server) is no failure.
Sub ClearNew()
  Dim f
  On Error Resume Next
  For Each f In fso.GetFolder(maildir).Files
    f.Delete True
  Next
  On Error Goto 0
End Sub
ClearNew

Dim shell : Set shell = CreateObject("WScript.Shell")
Dim heloKey : heloKey = "HKLM\SOFTWARE\Brenmoor\Vigilor\SMTP\PrimaryHELO"
shell.RegWrite heloKey, "helo.vbscript.tessaly.test", "REG_SZ"

Dim fetchPort
If mode = "TESSIMO" Then fetchPort = env("IMAP_PORT") Else fetchPort = env("POP3_PORT")
Dim o : Set o = CreateObject("comtessaly.tessalyCom")
Check IsEmpty(o.vg_parameter), "a new object's parameter is empty"
o.vg_timeout = 2
o.vg_hostname = "mail.tessaly.test"
o.vg_parameter = "#OMODE=" & mode & "#SSRV=127.0.0.1#SPORT=" & env("SMTP_PORT") & _
  "#SFROM=alice@" & env("DOMAIN") & "#STO=bob@" & env("DOMAIN") & _
  "#PSRV=127.0.0.1#PPORT=" & fetchPort & "#PUSR=bob#PPWD=" & B64(env("PASSWORD_bob")) & _
  "#PSSL=T#MBOX=INBOX#"

Dim up : up = o.vg_docheck()
Check up = True, "send phase is up: " & o.vg_result
Check Left(o.vg_result, 27) = "Message send successfully (" , "send result text"
Check InStr(o.vg_parameter, "#@@NEXT=") > 0, "state written: " & o.vg_parameter

Dim waited : waited = 0
Do While fso.GetFolder(maildir).Files.Count = 0 And waited < 200
  WScript.Sleep 100
  waited = waited + 1
Loop
Check fso.GetFolder(maildir).Files.Count = 1, "the control mail arrived"
Dim f, text : text = ""
For Each f In fso.GetFolder(maildir).Files
  text = fso.OpenTextFile(f.Path).ReadAll
Next
Check InStr(text, "Received: from helo.vbscript.tessaly.test ") > 0, "greeting name from the registry"

up = o.vg_docheck()
Check up = True, "fetch phase is up: " & o.vg_result
Check o.vg_result = "Message retrieved successfully", "fetch result text"

' Cleaning up must not hide the verdict: a failing delete only reports.
On Error Resume Next
shell.RegDelete heloKey
If Err.Number <> 0 Then WScript.Echo "note: PrimaryHELO not removed: " & Err.Description
On Error Goto 0
If failures = 0 Then
  WScript.Echo "RESULT PASS"
  WScript.Quit 0
End If
WScript.Echo "RESULT FAIL (" & failures & ")"
WScript.Quit 1
