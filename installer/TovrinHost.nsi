; Tovrin Host for the current user: installer, upgrade over a running
; installation, and uninstaller. scripts/build-installer.sh stages the package
; and defines RELEASE, SHORT_RELEASE, CHANNEL, STAGE, FILES_NSH, OUTFILE,
; ESTIMATED_KIB and MAX_DIR_LEN.
;
; An upgrade is whole or not at all: the new files are unpacked beside the
; old ones first (NAME.new), the running Host is stopped by the new
; program's stop-only mode, the old files are renamed aside (NAME.old) and
; the new ones into place; a file that cannot be renamed (held open without
; delete sharing) puts every file back as it was.

Unicode true
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel user
SetCompressor /SOLID lzma
; A file that cannot be written ends the run; never skipped in silence.
AllowSkipFiles off

!define PRODUCT "Tovrin Host"
!define VERSION "0.1.1"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
BrandingText "${PRODUCT} ${VERSION} (${SHORT_RELEASE})"
VIProductVersion "0.1.1.1"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "Tovrin"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "0.1.1.1"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Tovrin"

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include nsDialogs.nsh
!include "${FILES_NSH}"
!include "common.nsh"

!macro TOVRIN_EACH_INSTALLED m
  !insertmacro TOVRIN_EACH_PACKAGED_FILE ${m}
  !insertmacro ${m} "uninstall.exe" ""
!macroend

Var Upgrade      ; 1 when the folder holds an installation
Var Autostart    ; "" as the policy says, "on" (/AUTOSTART), "off" (/NOAUTOSTART)
Var RunAfter     ; 1: start the shell at the end
Var CreatedDir   ; 1 when this run made the folder
Var Purge        ; 1: the uninstaller deletes the state folder too
Var Box          ; the checkbox of a custom page

!define MUI_ABORTWARNING
!define MUI_CUSTOMFUNCTION_ABORT on_cancel
!define MUI_CUSTOMFUNCTION_UNABORT un.on_cancel
!define MUI_PAGE_CUSTOMFUNCTION_PRE skip_on_upgrade
!insertmacro MUI_PAGE_DIRECTORY
Page custom options_page options_leave
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
UninstPage custom un.options_page un.options_leave
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

!define UN ""
!insertmacro COMMON_FUNCTIONS
!undef UN
!define UN "un."
!insertmacro COMMON_FUNCTIONS
!undef UN
!define UN ""

; What each step does to one packaged file (rel: its name in the
; installation, posix: in the staged package).
!macro REMOVE_DIR rel
  RMDir "$INSTDIR\${rel}"
!macroend
!macro CREATE_DIR rel
  CreateDirectory "$INSTDIR\${rel}"
!macroend
!macro STAGE_ONE rel posix
  File "/oname=$INSTDIR\${rel}.new" "${STAGE}/${posix}"
!macroend
!macro DELETE_STAGED rel posix
  Delete "$INSTDIR\${rel}.new"
!macroend
; An old file still held (a program that runs from it) is kept under its
; .old name and goes with the next run.
!macro DELETE_BACKUP rel posix
  Delete "$INSTDIR\${rel}.old"
  ${If} ${FileExists} "$INSTDIR\${rel}.old"
    !insertmacro LOG "kept ${rel}.old: in use"
  ${EndIf}
!macroend
; Undoes a new file already put in place: back to its .new name.
!macro UNPLACE_ONE rel posix
  ${If} ${FileExists} "$INSTDIR\${rel}"
  ${AndIfNot} ${FileExists} "$INSTDIR\${rel}.new"
    Rename "$INSTDIR\${rel}" "$INSTDIR\${rel}.new"
  ${EndIf}
!macroend
!macro PLACE_ONE rel posix
  ${If} $Failed == ""
    ClearErrors
    Rename "$INSTDIR\${rel}.new" "$INSTDIR\${rel}"
    ${If} ${Errors}
      StrCpy $Failed "${rel}"
    ${EndIf}
  ${EndIf}
!macroend

; What an earlier run left when it was cut off: its unpacked files and
; backups. A backup still held by a program goes aside under a name of its
; own, so that it does not block this run.
!macro CLEAR_LEFTOVER rel posix
  Delete "$INSTDIR\${rel}.new"
  Delete "$INSTDIR\${rel}.del"
  Delete "$INSTDIR\${rel}.old"
  ${If} ${FileExists} "$INSTDIR\${rel}.old"
    System::Call 'kernel32::GetTickCount() i .r0'
    Rename "$INSTDIR\${rel}.old" "$INSTDIR\tovrin-stale-$0.old"
  ${EndIf}
!macroend

; ---------------------------------------------------------------- installer

Function .onInit
  StrCpy $Action "install"
  StrCpy $Guard 0
  SetShellVarContext current
  Call drop_elevation
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/NOAUTOSTART" $1
  ${IfNot} ${Errors}
    StrCpy $Autostart "off"
  ${EndIf}
  ClearErrors
  ${GetOptions} $0 "/AUTOSTART" $1
  ${IfNot} ${Errors}
    StrCpy $Autostart "on"
  ${EndIf}
  ClearErrors
  ${GetOptions} $0 "/RUN" $1
  ${IfNot} ${Errors}
  ${OrIfNot} ${Silent}
    StrCpy $RunAfter 1
  ${EndIf}
  ; /D= wins; else an installation's own folder; else the user's programs
  ; folder (FOLDERID_UserProgramFiles, which Wine does not know). NSIS
  ; drops a /D= it cannot use (a file, say) in silence; taken from the
  ; command line as given, such a folder is refused instead of replaced.
  ${If} $INSTDIR == ""
    System::Call 'kernel32::GetCommandLineW() w .r1'
    StrLen $2 $1
    ${ForEach} $3 $2 0 - 1
      StrCpy $4 $1 4 $3
      ${If} $4 == " /D="
        IntOp $3 $3 + 4
        StrCpy $INSTDIR $1 "" $3
        ${Break}
      ${EndIf}
    ${Next}
  ${EndIf}
  ${If} $INSTDIR == ""
    ReadRegStr $INSTDIR HKCU "${UNINST_KEY}" "InstallLocation"
  ${EndIf}
  ${If} $INSTDIR == ""
    System::Call 'shell32::SHGetKnownFolderPath(g "{5CD7AEE2-2219-4A67-B85D-6C9CE15660CB}", i 0x4000, p 0, *p .r1) i .r2'
    ${If} $2 == 0
      System::Call 'kernel32::lstrcpynW(w .r3, p r1, i ${NSIS_MAX_STRLEN})'
      System::Call 'ole32::CoTaskMemFree(p r1)'
      StrCpy $INSTDIR "$3\${PRODUCT}"
    ${Else}
      StrCpy $INSTDIR "$LOCALAPPDATA\Programs\${PRODUCT}"
    ${EndIf}
  ${EndIf}
  StrCpy $Upgrade 0
  ${If} ${FileExists} "$INSTDIR\TovrinHost.exe"
    StrCpy $Upgrade 1
  ${EndIf}
FunctionEnd

Function on_cancel
  !insertmacro LOG "end exit_code=${EXIT_CANCELLED} reason=cancelled"
FunctionEnd

; A File that failed (a full disk) ends here, before anything of an
; installation was changed: only what this run unpacked goes.
Function .onInstFailed
  Call remove_staged
  Call release_guard
  Call remove_created_dir
  !insertmacro LOG "end exit_code=${EXIT_FAILED} reason=unpack_failed"
  SetErrorLevel ${EXIT_FAILED}
FunctionEnd

Function skip_on_upgrade
  ${If} $Upgrade == 1
    Abort
  ${EndIf}
FunctionEnd

; Whether to start at sign-in: asked on a first install only; an upgrade
; keeps what the user chose before.
Function options_page
  ${If} $Upgrade == 1
  ${OrIf} $Autostart != ""
    Abort
  ${EndIf}
  !insertmacro MUI_HEADER_TEXT "Options" "Choose how ${PRODUCT} starts."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateCheckbox} 0 0 100% 12u "Start ${PRODUCT} when I sign in to Windows"
  Pop $Box
  ${NSD_Check} $Box
  nsDialogs::Show
FunctionEnd

Function options_leave
  ${NSD_GetState} $Box $0
  ${If} $0 != ${BST_CHECKED}
    StrCpy $Autostart "off"
  ${EndIf}
FunctionEnd

; A folder the program can use: a full path short enough for the program's
; 260-unit paths and the run's own names beside each file, not a file, and
; not a second installation beside the user's first. Sets $Upgrade.
Function check_folder
  System::Call 'kernel32::GetFullPathNameW(w "$INSTDIR", i ${NSIS_MAX_STRLEN}, w .r1, p 0) i .r2'
  ${If} $2 == 0
  ${OrIf} $2 >= ${NSIS_MAX_STRLEN}
    !insertmacro FINISH ${EXIT_BAD_FOLDER} "folder_unusable" "$INSTDIR cannot be used as the folder for ${PRODUCT}. Choose another folder."
  ${EndIf}
  StrCpy $INSTDIR $1
  ${DoWhile} $INSTDIR != ""
    StrCpy $0 $INSTDIR "" -1
    ${IfThen} $0 != "\" ${|} ${Break} ${|}
    StrCpy $INSTDIR $INSTDIR -1
  ${Loop}
  StrCpy $0 $INSTDIR 2 1
  StrCpy $1 $INSTDIR 2
  ${If} $0 != ":\"
  ${AndIf} $1 != "\\"
    !insertmacro FINISH ${EXIT_BAD_FOLDER} "folder_unusable" "$INSTDIR is a whole drive or not a full path. Choose a folder for ${PRODUCT}."
  ${EndIf}
  StrLen $0 $INSTDIR
  ${If} $0 > ${MAX_DIR_LEN}
    !insertmacro FINISH ${EXIT_BAD_FOLDER} "folder_too_long" "The folder path is too long ($0 characters). Choose a folder whose path has at most ${MAX_DIR_LEN} characters."
  ${EndIf}
  ${If} ${FileExists} "$INSTDIR"
  ${AndIfNot} ${FileExists} "$INSTDIR\*.*"
    !insertmacro FINISH ${EXIT_BAD_FOLDER} "folder_is_file" "$INSTDIR is a file, not a folder. Choose a folder for ${PRODUCT}."
  ${EndIf}
  ReadRegStr $0 HKCU "${UNINST_KEY}" "InstallLocation"
  ${If} $0 != ""
  ${AndIf} $0 != $INSTDIR
  ${AndIf} ${FileExists} "$0\TovrinHost.exe"
    !insertmacro FINISH ${EXIT_BAD_FOLDER} "installed_elsewhere" "${PRODUCT} is already installed in $0. Uninstall it first, or install the update there."
  ${EndIf}
  StrCpy $Upgrade 0
  ${If} ${FileExists} "$INSTDIR\TovrinHost.exe"
    StrCpy $Upgrade 1
    StrCpy $Action "upgrade"
  ${EndIf}
FunctionEnd

Function remove_created_dir
  ${If} $CreatedDir == 1
    !insertmacro TOVRIN_EACH_DIR_DEEPEST_FIRST REMOVE_DIR
    RMDir "$INSTDIR"
  ${EndIf}
FunctionEnd

Function remove_staged
  !insertmacro TOVRIN_EACH_INSTALLED DELETE_STAGED
  Call remove_created_dir
FunctionEnd

Function stage_files
  !insertmacro TOVRIN_EACH_DIR CREATE_DIR
  !insertmacro TOVRIN_EACH_PACKAGED_FILE STAGE_ONE
  WriteUninstaller "$INSTDIR\uninstall.exe.new"
FunctionEnd

; Old files aside, new ones in place; $Failed names the file that kept
; the swap from happening, after everything was put back.
Function swap_in
  StrCpy $Failed ""
  StrCpy $R9 ".old"
  !insertmacro TOVRIN_EACH_INSTALLED MOVE_ASIDE_ONE
  ${If} $Failed == ""
    !insertmacro TOVRIN_EACH_INSTALLED PLACE_ONE
    ${If} $Failed != ""
      !insertmacro TOVRIN_EACH_INSTALLED UNPLACE_ONE
    ${EndIf}
  ${EndIf}
  ${If} $Failed != ""
    !insertmacro TOVRIN_EACH_INSTALLED MOVE_BACK_ONE
  ${EndIf}
FunctionEnd

Function register
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayVersion" "${VERSION} (${SHORT_RELEASE})"
  WriteRegStr HKCU "${UNINST_KEY}" "Publisher" "Tovrin"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\TovrinHost.exe,0"
  WriteRegStr HKCU "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  ; Run in place (_?=) so that a caller that waits gets the real exit code.
  WriteRegStr HKCU "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe" _?=$INSTDIR'
  WriteRegStr HKCU "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S _?=$INSTDIR'
  WriteRegDWORD HKCU "${UNINST_KEY}" "EstimatedSize" ${ESTIMATED_KIB}
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoRepair" 1
  ; A shortcut starts in $OUTDIR.
  SetOutPath "$INSTDIR"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\TovrinHost.exe"
  SetOutPath "$PLUGINSDIR"
FunctionEnd

; $0 in, escaped for XML text out.
Function xml_escape
  Push $1
  Push $2
  Push $3
  Push $4
  StrCpy $1 ""
  StrLen $3 $0
  StrCpy $2 0
  ${DoWhile} $2 < $3
    StrCpy $4 $0 1 $2
    ${If} $4 == "&"
      StrCpy $4 "&amp;"
    ${ElseIf} $4 == "<"
      StrCpy $4 "&lt;"
    ${ElseIf} $4 == ">"
      StrCpy $4 "&gt;"
    ${EndIf}
    StrCpy $1 "$1$4"
    IntOp $2 $2 + 1
  ${Loop}
  StrCpy $0 $1
  Pop $4
  Pop $3
  Pop $2
  Pop $1
FunctionEnd

; Registers the logon task from $PLUGINSDIR\task.xml, enabled when $0 is
; "true". Its trigger and principal name this user alone (by SID), which is
; what a user without administrator rights may register; it runs without
; elevation, at normal priority (a task's default is below normal, which
; the sidecar it starts would inherit). $0 out: schtasks.exe's exit code.
Function register_task
  Push $1
  Push $2
  Push $3
  Push $4
  StrCpy $4 $0
  ; The user's SID: TokenUser, then its text form.
  StrCpy $1 ""
  System::Call 'advapi32::OpenProcessToken(p -1, i 8, *p .r2) i .r0'
  ${If} $0 != 0
    System::Alloc 256
    Pop $3
    System::Call 'advapi32::GetTokenInformation(p r2, i 1, p r3, i 256, *i .r0) i .r0'
    ${If} $0 != 0
      System::Call '*$3(p .r0)'
      System::Call 'advapi32::ConvertSidToStringSidW(p r0, *p .r0) i .r1'
      ${If} $1 != 0
        System::Call 'kernel32::lstrcpynW(w .r1, p r0, i 256)'
        System::Call 'kernel32::LocalFree(p r0)'
      ${Else}
        StrCpy $1 ""
      ${EndIf}
    ${EndIf}
    System::Free $3
    System::Call 'kernel32::CloseHandle(p r2)'
  ${EndIf}
  ${If} $1 == ""
    ReadEnvStr $2 USERDOMAIN
    ReadEnvStr $3 USERNAME
    StrCpy $0 "$2\$3"
    Call xml_escape
    StrCpy $1 $0
  ${EndIf}
  StrCpy $0 "$INSTDIR"
  Call xml_escape
  StrCpy $2 $0
  FileOpen $3 "$PLUGINSDIR\task.xml" w
  FileWriteUTF16LE /BOM $3 '<?xml version="1.0" encoding="UTF-16"?>$\r$\n'
  FileWriteUTF16LE $3 '<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task">$\r$\n'
  FileWriteUTF16LE $3 '  <RegistrationInfo><Description>Starts ${PRODUCT} when you sign in.</Description><URI>\${TASK_NAME}</URI></RegistrationInfo>$\r$\n'
  FileWriteUTF16LE $3 '  <Triggers><LogonTrigger><Enabled>true</Enabled><UserId>$1</UserId></LogonTrigger></Triggers>$\r$\n'
  FileWriteUTF16LE $3 '  <Principals><Principal id="Author"><UserId>$1</UserId><LogonType>InteractiveToken</LogonType><RunLevel>LeastPrivilege</RunLevel></Principal></Principals>$\r$\n'
  FileWriteUTF16LE $3 '  <Settings><MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy><DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries><StopIfGoingOnBatteries>false</StopIfGoingOnBatteries><ExecutionTimeLimit>PT10M</ExecutionTimeLimit><Priority>5</Priority><Enabled>$4</Enabled></Settings>$\r$\n'
  FileWriteUTF16LE $3 '  <Actions Context="Author"><Exec><Command>$2\TovrinHost.exe</Command><Arguments>--autostart</Arguments><WorkingDirectory>$2</WorkingDirectory></Exec></Actions>$\r$\n'
  FileWriteUTF16LE $3 '</Task>$\r$\n'
  FileClose $3
  Push '/Create /XML "$PLUGINSDIR\task.xml" /TN "${TASK_NAME}" /F'
  Call schtasks
  Pop $0
  Pop $4
  Pop $3
  Pop $2
  Pop $1
FunctionEnd

; The logon task after the files are in place. A first install registers
; it (unless /NOAUTOSTART or unchecked); an upgrade keeps what the user had:
; enabled or disabled as before, none when there was none (unless
; /AUTOSTART); a task the stop could not read is left alone. $0 out: 0, or
; the exit code of a registration that failed.
Function set_up_task
  StrCpy $1 ""
  ${If} $Autostart == "on"
    StrCpy $1 "true"
  ${ElseIf} $Upgrade == 0
    ${If} $Autostart != "off"
      StrCpy $1 "true"
    ${EndIf}
  ${ElseIf} $TaskBefore == "enabled"
    StrCpy $1 "true"
    ${If} $Autostart == "off"
      StrCpy $1 "false"
    ${EndIf}
  ${ElseIf} $TaskBefore == "disabled"
    StrCpy $1 "false"
  ${EndIf}
  StrCpy $0 0
  ${If} $1 != ""
    StrCpy $0 $1
    Call register_task
  ${EndIf}
FunctionEnd

Section "-${PRODUCT}"
  SetOutPath "$PLUGINSDIR"
  !insertmacro LOG "start folder=$INSTDIR"
  Call check_folder
  StrCpy $CreatedDir 0
  ${IfNot} ${FileExists} "$INSTDIR\*.*"
    ClearErrors
    CreateDirectory "$INSTDIR"
    ${If} ${Errors}
      !insertmacro FINISH ${EXIT_BAD_FOLDER} "folder_not_writable" "${PRODUCT} cannot create the folder $INSTDIR. Choose another folder."
    ${EndIf}
    StrCpy $CreatedDir 1
  ${EndIf}
  Call take_guard
  ${If} $0 == 32
    !insertmacro FINISH ${EXIT_BUSY} "setup_running" "Another ${PRODUCT} setup is working on $INSTDIR. Try again when it has finished."
  ${ElseIf} $0 != 0
    Call remove_created_dir
    !insertmacro FINISH ${EXIT_BAD_FOLDER} "folder_not_writable" "${PRODUCT} cannot write to $INSTDIR (error $0). Choose another folder."
  ${EndIf}
  !insertmacro TOVRIN_EACH_INSTALLED CLEAR_LEFTOVER
  Delete "$INSTDIR\tovrin-stale-*.old"
  Call stage_files

  ${If} $Upgrade == 1
    ; The new program stops the old one: its shell windows step aside, the
    ; sidecar is asked to shut down, and the logon task is held disabled.
    File "/oname=$PLUGINSDIR\TovrinHost.exe" "${STAGE}/TovrinHost.exe"
    StrCpy $0 "$PLUGINSDIR\TovrinHost.exe"
    Call run_stop
    ${If} $StopCode == 2
      Call remove_staged
      !insertmacro FINISH ${EXIT_FOREIGN_PORT} "foreign_port_owner" "Another program uses the address of ${PRODUCT}, so the running ${PRODUCT} was not touched. Nothing was changed."
    ${ElseIf} $StopCode != 0
      Call remove_staged
      !insertmacro FINISH ${EXIT_NOT_STOPPED} "not_stopped" "The running ${PRODUCT} could not be stopped. Nothing was changed; your ${PRODUCT} Data is safe."
    ${EndIf}
  ${EndIf}

  Call swap_in
  ${If} $Failed != ""
    !insertmacro LOG "in_use file=$Failed"
    Call remove_staged
    Call restore_task
    !insertmacro FINISH ${EXIT_IN_USE} "file_in_use" "$INSTDIR\$Failed is in use by another program, so ${PRODUCT} was not updated. The installed version was kept and works as before. Close that program and run Setup again."
  ${EndIf}
  !insertmacro TOVRIN_EACH_INSTALLED DELETE_BACKUP
  Call register
  Call set_up_task
  Call release_guard
  ${If} $0 != 0
    !insertmacro LOG "end exit_code=${EXIT_NO_AUTOSTART} reason=task_not_registered"
    SetErrorLevel ${EXIT_NO_AUTOSTART}
    MessageBox MB_OK|MB_ICONEXCLAMATION "${PRODUCT} is installed, but Windows did not let Setup start it when you sign in. Open it from the Start menu." /SD IDOK
  ${Else}
    !insertmacro LOG "end exit_code=${EXIT_DONE} reason=done"
    SetErrorLevel ${EXIT_DONE}
  ${EndIf}
  ${If} $RunAfter == 1
    SetOutPath "$INSTDIR"
    Exec '"$INSTDIR\TovrinHost.exe"'
    SetOutPath "$PLUGINSDIR"
  ${EndIf}
SectionEnd

; -------------------------------------------------------------- uninstaller

!undef UN
!define UN "un."

Function un.onInit
  StrCpy $Action "uninstall"
  StrCpy $Guard 0
  SetShellVarContext current
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/CLEANUP" $1
  ${IfNot} ${Errors}
    Call un.cleanup
  ${EndIf}
  Call un.drop_elevation
  ClearErrors
  ${GetOptions} $0 "/PURGE" $1
  ${IfNot} ${Errors}
    StrCpy $Purge 1
  ${EndIf}
FunctionEnd

; An uninstaller run from the folder itself (as the uninstall key starts
; it, so that a caller that waits gets its real exit code) keeps its own file
; open until it ends. It leaves the rest to a copy of itself that waits for
; that file to be free (at most 30 s), deletes it and the folders the
; package made, if empty.
Function un.cleanup
  ${For} $2 1 300
    Delete "$INSTDIR\uninstall.exe"
    ${IfNotThen} ${FileExists} "$INSTDIR\uninstall.exe" ${|} ${Break} ${|}
    Sleep 100
  ${Next}
  !insertmacro TOVRIN_EACH_DIR_DEEPEST_FIRST REMOVE_DIR
  RMDir "$INSTDIR"
  SetErrorLevel ${EXIT_DONE}
  Quit
FunctionEnd

Function un.on_cancel
  !insertmacro LOG "end exit_code=${EXIT_CANCELLED} reason=cancelled"
FunctionEnd

Function un.options_page
  ${If} $Purge == 1
    Abort
  ${EndIf}
  !insertmacro MUI_HEADER_TEXT "Your data" "${PRODUCT} Data stays unless you choose otherwise."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateCheckbox} 0 0 100% 24u "Also delete ${PRODUCT} Data ($LOCALAPPDATA\TovrinHost)"
  Pop $Box
  nsDialogs::Show
FunctionEnd

Function un.options_leave
  ${NSD_GetState} $Box $0
  ${If} $0 == ${BST_CHECKED}
    StrCpy $Purge 1
  ${EndIf}
FunctionEnd

!macro REMOVE_ASIDE rel posix
  Delete "$INSTDIR\${rel}.del"
  Delete "$INSTDIR\${rel}.old"
  Delete "$INSTDIR\${rel}.new"
!macroend

Section "Uninstall"
  SetOutPath "$TEMP"
  !insertmacro LOG "start folder=$INSTDIR"
  ${IfNot} ${FileExists} "$INSTDIR\*.*"
    !insertmacro FINISH ${EXIT_BAD_FOLDER} "no_installation" "There is no ${PRODUCT} installation in $INSTDIR."
  ${EndIf}
  Call un.take_guard
  ${If} $0 == 32
    !insertmacro FINISH ${EXIT_BUSY} "setup_running" "Another ${PRODUCT} setup is working on $INSTDIR. Try again when it has finished."
  ${ElseIf} $0 != 0
    !insertmacro FINISH ${EXIT_BAD_FOLDER} "folder_not_writable" "${PRODUCT} cannot change $INSTDIR (error $0)."
  ${EndIf}
  StrCpy $TaskBefore "unknown"
  ${If} ${FileExists} "$INSTDIR\TovrinHost.exe"
    CopyFiles /SILENT "$INSTDIR\TovrinHost.exe" "$PLUGINSDIR\TovrinHost.exe"
    StrCpy $0 "$PLUGINSDIR\TovrinHost.exe"
    Call un.run_stop
    ${If} $StopCode == 2
      !insertmacro FINISH ${EXIT_FOREIGN_PORT} "foreign_port_owner" "Another program uses the address of ${PRODUCT}, so the running ${PRODUCT} was not touched. Nothing was removed."
    ${ElseIf} $StopCode != 0
      !insertmacro FINISH ${EXIT_NOT_STOPPED} "not_stopped" "The running ${PRODUCT} could not be stopped. Nothing was removed."
    ${EndIf}
  ${EndIf}

  StrCpy $Failed ""
  StrCpy $R9 ".del"
  !insertmacro TOVRIN_EACH_PACKAGED_FILE MOVE_ASIDE_ONE
  ${If} $Failed != ""
    !insertmacro TOVRIN_EACH_PACKAGED_FILE MOVE_BACK_ONE
    !insertmacro LOG "in_use file=$Failed"
    Call un.restore_task
    !insertmacro FINISH ${EXIT_IN_USE} "file_in_use" "$INSTDIR\$Failed is in use by another program, so nothing was removed. Close that program and uninstall again."
  ${EndIf}

  ${If} $TaskBefore != "none"
    Push '/Delete /TN "${TASK_NAME}" /F'
    Call un.schtasks
    Pop $0
  ${EndIf}
  Delete "$SMPROGRAMS\${PRODUCT}.lnk"
  ReadRegStr $0 HKCU "${UNINST_KEY}" "InstallLocation"
  ${If} $0 == $INSTDIR
    DeleteRegKey HKCU "${UNINST_KEY}"
  ${EndIf}
  !insertmacro TOVRIN_EACH_INSTALLED REMOVE_ASIDE
  Delete "$INSTDIR\tovrin-stale-*.old"
  Call un.release_guard
  ${If} $EXEDIR == $INSTDIR
    System::Call 'kernel32::GetTickCount() i .r0'
    CopyFiles /SILENT "$EXEPATH" "$TEMP\TovrinHost-uninstall-$0.exe"
    Exec '"$TEMP\TovrinHost-uninstall-$0.exe" /CLEANUP _?=$INSTDIR'
    !insertmacro LOG "folder=$INSTDIR goes once this uninstaller has ended"
  ${Else}
    Delete "$INSTDIR\uninstall.exe"
    !insertmacro TOVRIN_EACH_DIR_DEEPEST_FIRST REMOVE_DIR
    RMDir "$INSTDIR"
    ${If} ${FileExists} "$INSTDIR\*.*"
      !insertmacro LOG "kept folder=$INSTDIR: not empty"
    ${EndIf}
  ${EndIf}
  ${If} $Purge == 1
    !insertmacro LOG "end exit_code=${EXIT_DONE} reason=done data=deleted"
    RMDir /r "$LOCALAPPDATA\TovrinHost"
  ${Else}
    !insertmacro LOG "end exit_code=${EXIT_DONE} reason=done data=kept"
  ${EndIf}
  SetErrorLevel ${EXIT_DONE}
SectionEnd
