; What the installer and the uninstaller both do: drop administrator
; rights, keep the log, hold the installation's upgrade guard, stop the
; running Host through the program's stop-only mode, run schtasks.exe, and
; move the installed files aside and back. Inserted once for each of them
; (NSIS wants the uninstaller's functions under names of their own).

!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TovrinHost"
!define TASK_NAME "Tovrin Host"
; Held open with write access while an installer or uninstaller works on the
; installation; a shell started meanwhile waits for it to be let go.
!define GUARD_NAME "upgrade.lock"
!define LOG_NAME "install.log"
; Like upgrade-stop.log: appended to, never rotated, silent past 256 KiB.
!define LOG_MAX 262144
; The stop-only mode waits at most about two minutes by itself (task steps,
; the graceful and the final wait); schtasks.exe answers in a second.
!define STOP_TIMEOUT_MS 300000
!define SCHTASKS_TIMEOUT_MS 60000

; Exit codes, the same for the installer and the uninstaller.
!define EXIT_DONE 0
!define EXIT_CANCELLED 1
!define EXIT_FAILED 2
!define EXIT_NOT_STOPPED 3
!define EXIT_FOREIGN_PORT 4
!define EXIT_IN_USE 5
!define EXIT_BAD_FOLDER 6
!define EXIT_BUSY 7
!define EXIT_NO_AUTOSTART 8

Var Action      ; install, upgrade or uninstall: the log's second word
Var Guard       ; the guard's handle, 0 when not held
Var TaskBefore  ; the logon task as the stop found it: enabled, disabled, none, unknown
Var StopCode    ; the stop-only mode's exit code, or "error" / "timeout"
Var StopRecord  ; its record line
Var Failed      ; the first file that could not be moved, empty while all went well

!macro LOG text
  Push `${text}`
  Call ${UN}log
!macroend

; Ends the run: the log's last line, the message (never shown when silent),
; the exit code. Whatever was changed has been put back by the caller.
!macro FINISH code reason message
  Push `${message}`
  Push `${reason}`
  Push ${code}
  Call ${UN}finish
!macroend

; Inserted with ${UN} defined as "" for the installer, "un." for the uninstaller.
!macro COMMON_FUNCTIONS

; A run started with the full token of an administrator whose own limited
; token exists (Run as administrator) runs again with that limited token and
; passes on its exit code, so that nothing it starts (the stop, schtasks.exe,
; the shell and through it the sidecar) runs elevated. Windows refuses
; CreateProcessAsUserW with another token than the caller's own to a process
; without SeAssignPrimaryTokenPrivilege, which an administrator lacks; then
; CreateProcessWithTokenW (SeImpersonatePrivilege, which one has) starts it.
Function ${UN}drop_elevation
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  Push $6
  StrCpy $3 0
  System::Call 'advapi32::OpenProcessToken(p -1, i 0x000A, *p .r0) i .r1'
  ${If} $1 == 0
    Goto done
  ${EndIf}
  ; TokenElevationType: 2 is TokenElevationTypeFull.
  System::Call 'advapi32::GetTokenInformation(p r0, i 18, *i .r2, i 4, *i .r4) i .r1'
  ${If} $1 == 0
  ${OrIf} $2 != 2
    System::Call 'kernel32::CloseHandle(p r0)'
    Goto done
  ${EndIf}
  ; TokenLinkedToken, made a primary token for a new process.
  System::Call 'advapi32::GetTokenInformation(p r0, i 19, *p .r2, i 8, *i .r4) i .r1'
  System::Call 'kernel32::CloseHandle(p r0)'
  ${If} $1 == 0
    Goto refuse
  ${EndIf}
  System::Call 'advapi32::DuplicateTokenEx(p r2, i 0x02000000, p 0, i 2, i 1, *p .r3) i .r1'
  System::Call 'kernel32::CloseHandle(p r2)'
  ${If} $1 == 0
    StrCpy $3 0
    Goto refuse
  ${EndIf}
  System::Alloc 104 ; STARTUPINFOW, zeroed but for its size
  Pop $5
  System::Call '*$5(i 104)'
  System::Alloc 24 ; PROCESS_INFORMATION
  Pop $6
  System::Call 'kernel32::GetCommandLineW() w .r0'
  System::Call 'advapi32::CreateProcessAsUserW(p r3, p 0, w r0, p 0, p 0, i 0, i 0, p 0, p 0, p r5, p r6) i .r1'
  ${If} $1 == 0
    System::Call 'advapi32::CreateProcessWithTokenW(p r3, i 0, p 0, w r0, i 0, p 0, p 0, p r5, p r6) i .r1'
  ${EndIf}
  System::Call 'kernel32::CloseHandle(p r3)'
  System::Free $5
  ${If} $1 == 0
    System::Free $6
    Goto refuse
  ${EndIf}
  System::Call '*$6(p .r2, p .r3)'
  System::Free $6
  System::Call 'kernel32::CloseHandle(p r3)'
  ; The run proper; it may wait on the user, so no bound here.
  System::Call 'kernel32::WaitForSingleObject(p r2, i -1)'
  StrCpy $4 ${EXIT_FAILED}
  System::Call 'kernel32::GetExitCodeProcess(p r2, *i .r4)'
  System::Call 'kernel32::CloseHandle(p r2)'
  SetErrorLevel $4
  Quit
refuse:
  StrCpy $Action "setup"
  !insertmacro FINISH ${EXIT_FAILED} "elevated" "Tovrin Host Setup runs with administrator rights and could not give them up. Start it again without $\"Run as administrator$\": it installs Tovrin Host for your account only."
done:
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; Appends "<UTC time> <action> release=<release> <text>" and CR LF to the log
; in the state folder, in UTF-8, shared and append-only as the other logs.
Function ${UN}log
  Exch $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  Push $6
  Push $7
  Push $8
  CreateDirectory "$LOCALAPPDATA\TovrinHost"
  ; FILE_APPEND_DATA, shared for reading and writing, OPEN_ALWAYS
  System::Call 'kernel32::CreateFileW(w "$LOCALAPPDATA\TovrinHost\${LOG_NAME}", i 4, i 3, p 0, i 4, i 0x80, p 0) p .r1'
  ${If} $1 == -1
    Goto done
  ${EndIf}
  System::Call 'kernel32::GetFileSizeEx(p r1, *l .r2) i .r3'
  ${If} $3 != 0
  ${AndIf} $2 L> ${LOG_MAX}
    Goto close
  ${EndIf}
  System::Call '*(&i2, &i2, &i2, &i2, &i2, &i2, &i2, &i2) p .r2'
  System::Call 'kernel32::GetSystemTime(p r2)'
  System::Call '*$2(&i2 .r3, &i2 .r4, &i2, &i2 .r5, &i2 .r6, &i2 .r7, &i2 .r8, &i2)'
  System::Free $2
  System::Call 'user32::wsprintfW(w .r2, w "%04u-%02u-%02uT%02u:%02u:%02uZ", i r3, i r4, i r5, i r6, i r7, i r8) ?c'
  StrCpy $0 "$2 $Action release=${RELEASE} $0$\r$\n"
  System::Call 'kernel32::WideCharToMultiByte(i 65001, i 0, w r0, i -1, p 0, i 0, p 0, p 0) i .r3'
  ${If} $3 > 1
    System::Alloc $3
    Pop $4
    System::Call 'kernel32::WideCharToMultiByte(i 65001, i 0, w r0, i -1, p r4, i r3, p 0, p 0) i .r3'
    IntOp $3 $3 - 1
    System::Call 'kernel32::WriteFile(p r1, p r4, i r3, *i .r5, p 0)'
    System::Free $4
  ${EndIf}
close:
  System::Call 'kernel32::CloseHandle(p r1)'
done:
  Pop $8
  Pop $7
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; Stack: code, reason, message. Lets go of the guard, logs, tells and exits.
Function ${UN}finish
  Pop $0 ; code
  Pop $1 ; reason
  Pop $2 ; message
  Call ${UN}release_guard
  !insertmacro LOG "end exit_code=$0 reason=$1"
  ${If} $2 != ""
    ${If} $0 == ${EXIT_DONE}
    ${OrIf} $0 == ${EXIT_NO_AUTOSTART}
      MessageBox MB_OK|MB_ICONINFORMATION "$2" /SD IDOK
    ${Else}
      MessageBox MB_OK|MB_ICONSTOP "$2" /SD IDOK
    ${EndIf}
  ${EndIf}
  SetErrorLevel $0
  Quit
FunctionEnd

; Takes the guard: $0 is 0 when held now, else the system's error (32: the
; guard is held by another setup run). A shell looks at the guard by opening
; it for a moment, which also answers 32: that is tried again for 3 s.
Function ${UN}take_guard
  Push $1
  Push $2
  ${For} $2 1 30
    ; GENERIC_WRITE, shared for reading only, OPEN_ALWAYS
    System::Call 'kernel32::CreateFileW(w "$INSTDIR\${GUARD_NAME}", i 0x40000000, i 1, p 0, i 4, i 0x80, p 0) p .r1 ?e'
    Pop $0
    ${IfThen} $1 != -1 ${|} ${Break} ${|}
    ${IfThen} $0 != 32 ${|} ${Break} ${|}
    Sleep 100
  ${Next}
  ${If} $1 == -1
    StrCpy $Guard 0
    ${If} $0 == 0
      StrCpy $0 5
    ${EndIf}
  ${Else}
    StrCpy $Guard $1
    StrCpy $0 0
  ${EndIf}
  Pop $2
  Pop $1
FunctionEnd

Function ${UN}release_guard
  ${If} $Guard != 0
  ${AndIf} $Guard != ""
    System::Call 'kernel32::CloseHandle(p $Guard)'
    StrCpy $Guard 0
    Delete "$INSTDIR\${GUARD_NAME}"
  ${EndIf}
FunctionEnd

; Runs $0 (a program in $PLUGINSDIR) as the stop-only mode for $INSTDIR and
; keeps its exit code, its record and the logon task's state before it.
Function ${UN}run_stop
  Push $1
  Push $2
  Push $3
  Push $4
  nsExec::ExecToStack /TIMEOUT=${STOP_TIMEOUT_MS} '"$0" --install-dir "$INSTDIR" --stop-existing'
  Pop $StopCode
  Pop $StopRecord
  ; The record is one line; what follows its end is not ours.
  StrCpy $1 0
  StrLen $3 $StopRecord
  ${DoWhile} $1 < $3
    StrCpy $2 $StopRecord 1 $1
    ${If} $2 == "$\r"
    ${OrIf} $2 == "$\n"
      StrCpy $StopRecord $StopRecord $1
      ${Break}
    ${EndIf}
    IntOp $1 $1 + 1
  ${Loop}
  ; task_before=WORD
  StrCpy $TaskBefore "unknown"
  StrLen $3 $StopRecord
  StrCpy $1 0
  ${DoWhile} $1 < $3
    StrCpy $2 $StopRecord 12 $1
    ${If} $2 == "task_before="
      IntOp $1 $1 + 12
      StrCpy $2 $StopRecord 8 $1
      ${If} $2 == "enabled "
      ${OrIf} $2 == "enabled"
        StrCpy $TaskBefore "enabled"
      ${ElseIf} $2 == "disabled"
        StrCpy $TaskBefore "disabled"
      ${Else}
        StrCpy $2 $StopRecord 5 $1
        ${If} $2 == "none "
        ${OrIf} $2 == "none"
          StrCpy $TaskBefore "none"
        ${EndIf}
      ${EndIf}
      ${Break}
    ${EndIf}
    IntOp $1 $1 + 1
  ${Loop}
  !insertmacro LOG "stop exit_code=$StopCode record=$StopRecord"
  Pop $4
  Pop $3
  Pop $2
  Pop $1
FunctionEnd

; schtasks.exe with the arguments on the stack; its exit code, "error" or
; "timeout" comes back on the stack, and goes into the log.
Function ${UN}schtasks
  Exch $0
  Push $1
  Push $2
  nsExec::ExecToStack /TIMEOUT=${SCHTASKS_TIMEOUT_MS} '"$SYSDIR\schtasks.exe" $0'
  Pop $1
  Pop $2 ; its output: the exit code says what counts
  !insertmacro LOG "schtasks $0 exit_code=$1"
  StrCpy $0 $1
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

; The task as the stop found it: enabled again when it was, after the stop
; kept it disabled for the run.
Function ${UN}restore_task
  ${If} $TaskBefore == "enabled"
    Push '/Change /TN "${TASK_NAME}" /ENABLE'
    Call ${UN}schtasks
    Pop $0
  ${EndIf}
FunctionEnd

!macroend

; One installed file moved aside under its name and a suffix: as a whole or
; not at all (a file held open without delete sharing cannot be renamed,
; also on Windows; a running program's file can).
!macro MOVE_ASIDE_ONE rel posix
  ${If} $Failed == ""
  ${AndIf} ${FileExists} "$INSTDIR\${rel}"
    ClearErrors
    Rename "$INSTDIR\${rel}" "$INSTDIR\${rel}$R9"
    ${If} ${Errors}
      StrCpy $Failed "${rel}"
    ${EndIf}
  ${EndIf}
!macroend

!macro MOVE_BACK_ONE rel posix
  ${If} ${FileExists} "$INSTDIR\${rel}$R9"
  ${AndIfNot} ${FileExists} "$INSTDIR\${rel}"
    Rename "$INSTDIR\${rel}$R9" "$INSTDIR\${rel}"
  ${EndIf}
!macroend
