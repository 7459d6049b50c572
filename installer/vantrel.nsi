; Vantrel setup: installs the program for all users, creates its settings
; store on first install, registers its event source and an uninstaller, and
; on request installs and starts the service Vantrel.
;
; Built by the package_release target (installer/package.cmake), which passes:
;   /DVANTREL_EXE=...      the built Vantrel.exe (required)
;   /DVANTREL_LICENSE=...  the LICENSE file (required, shown on the licence page)
;   /DVANTREL_README=...   README.md (optional: installed when given)
;   /DVANTREL_ICON=...     the program's .ico (optional: a stock NSIS icon otherwise)
;   /DVERSION=...          major.minor, from the project's version (required)
;   /DOUTFILE=...          where to write the setup program
;
; Command line of the setup program:  /S (silent)  /SERVICE (run Vantrel as
; a service)  /D=C:\path (install folder; must come last and must not be
; quoted, even when it holds blanks).
; Command line of the uninstaller:    /S (silent)  /PURGE (also delete the
; settings store, the logs and the traces; see "un.Settings" below).

Unicode true
; The program is a 64-bit build, so the setup program is one too: it then
; sees the real Program Files folder and the 64-bit registry natively.
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestSupportedOS all
ManifestDPIAware true
RequestExecutionLevel admin

!ifndef VERSION
  !error "Pass /DVERSION=major.minor"
!endif
!ifndef VANTREL_EXE
  !error "Pass /DVANTREL_EXE=path\to\Vantrel.exe"
!endif
!ifndef VANTREL_LICENSE
  !error "Pass /DVANTREL_LICENSE=path\to\LICENSE"
!endif
!ifndef OUTFILE
  !define OUTFILE "Vantrel-${VERSION}-setup.exe"
!endif

!define PRODUCT "Vantrel"
!define PUBLISHER "Orbenwick"
!define STORE_KEY "Software\Orbenwick\Vantrel"
!define VENDOR_KEY "Software\Orbenwick"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vantrel"
; Written by Vantrel.exe --install-service; its ImagePath tells that the
; service is installed.
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\Vantrel"
!define EVENT_SOURCE_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\Vantrel"
; The service's logs and traces: $APPDATA is C:\ProgramData with the shell
; folders of all users.
!define LOG_FOLDER "$APPDATA\Vantrel"
; What that folder and the program's folder get: SYSTEM and Administrators in
; full, Users to read and go through, nobody else, owned by Administrators and
; nothing inherited (the program's kDataFolderSddl). The service runs as
; LocalSystem: a user who could write in either could make it write, or run,
; what they like.
!define PROTECTED_SDDL "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
!define SHORTCUT "$SMPROGRAMS\Vantrel.lnk"

!include MUI2.nsh
!include LogicLib.nsh
!include Sections.nsh
!include FileFunc.nsh

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
; An upgrade goes where the previous version is, unless /D says otherwise.
InstallDirRegKey HKLM "${UNINST_KEY}" "InstallLocation"
BrandingText "${PUBLISHER}"
ShowInstDetails show
ShowUninstDetails show

!ifdef VANTREL_ICON
  !define MUI_ICON "${VANTREL_ICON}"
  !define MUI_UNICON "${VANTREL_ICON}"
!else
  ; Debian's NSIS lacks the Modern UI's default icons; these ship everywhere.
  !define MUI_ICON "${NSISDIR}\Contrib\Graphics\Icons\arrow-install.ico"
  !define MUI_UNICON "${NSISDIR}\Contrib\Graphics\Icons\arrow-uninstall.ico"
!endif
!define MUI_ABORTWARNING
!define MUI_COMPONENTSPAGE_NODESC

!insertmacro MUI_PAGE_LICENSE "${VANTREL_LICENSE}"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

VIProductVersion "${VERSION}.0.0"
VIFileVersion "${VERSION}.0.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "Copyright (c) 2026 ${PUBLISHER}"

Var ValueName
Var ValueFound

; ---------------------------------------------------------------------------
; Settings store.
;
; "Absent" is judged value by value: a value is written with its default only
; when the store has no value of that name at all. A value that exists is
; never changed, whatever its type or data, so a reinstall or an upgrade keeps
; every setting the user made, and a first install (no key) gets all thirteen.
; Filling in only the missing names also repairs a store that lost some of
; them, which is what the program's "Please re-run the installer" load-error
; texts ask the user to do. "Init from hardware" is a switch the program only
; reads; its absence means "off", so the installer never creates it.
; ---------------------------------------------------------------------------

; In: $ValueName. Out: $ValueFound = 1 when the store holds a value of that
; name (registry names compare case-insensitively, and so does StrCmp).
Function StoreHasValue
  StrCpy $ValueFound 0
  StrCpy $R0 0
  ${Do}
    ClearErrors
    EnumRegValue $R1 HKLM "${STORE_KEY}" $R0
    ${If} ${Errors}
    ${OrIf} $R1 == ""
      ${Break}
    ${EndIf}
    ${If} $R1 == $ValueName
      StrCpy $ValueFound 1
      ${Break}
    ${EndIf}
    IntOp $R0 $R0 + 1
  ${Loop}
FunctionEnd

!macro DefaultString NAME DATA
  StrCpy $ValueName "${NAME}"
  Call StoreHasValue
  ${If} $ValueFound == 0
    DetailPrint "Setting ${NAME} to its default"
    WriteRegStr HKLM "${STORE_KEY}" "${NAME}" "${DATA}"
  ${EndIf}
!macroend

!macro DefaultDword NAME DATA
  StrCpy $ValueName "${NAME}"
  Call StoreHasValue
  ${If} $ValueFound == 0
    DetailPrint "Setting ${NAME} to its default"
    WriteRegDWORD HKLM "${STORE_KEY}" "${NAME}" ${DATA}
  ${EndIf}
!macroend

Function CreateMissingSettings
  !insertmacro DefaultString "Serial port" "COM3"
  !insertmacro DefaultString "Pipe name" "Vantrel"
  !insertmacro DefaultDword "Baud rate" 9600
  !insertmacro DefaultDword "Parity" 0
  !insertmacro DefaultDword "Data bits" 8
  !insertmacro DefaultDword "Stop bits" 0
  !insertmacro DefaultDword "DTR control mode" 1
  !insertmacro DefaultDword "RTS control mode" 0
  !insertmacro DefaultDword "Use CTS for output" 0
  !insertmacro DefaultDword "Use DSR for output" 1
  !insertmacro DefaultDword "Use DSR for input" 1
  !insertmacro DefaultDword "Flow control" 0
  !insertmacro DefaultDword "Discard NULL" 0
FunctionEnd

; Installing into another folder than the registered copy would leave that
; copy behind with no way to remove it, since the uninstall entry is about to
; point here: its own uninstaller removes it first (it keeps the settings).
Function RemoveCopyElsewhere
  ReadRegStr $0 HKLM "${UNINST_KEY}" "InstallLocation"
  ${If} $0 == ""
    Return
  ${EndIf}
  GetFullPathName $1 "$0"
  GetFullPathName $2 "$INSTDIR"
  ${If} $1 == $2
  ${OrIfNot} ${FileExists} "$0\uninstall.exe"
    Return
  ${EndIf}
  DetailPrint "Removing the copy in $0"
  ; _?= runs it in place and makes ExecWait really wait for it.
  ExecWait '"$0\uninstall.exe" /S _?=$0' $3
  ${If} $3 != 0
    ; Most likely that copy is running: installing anyway would leave it.
    MessageBox MB_ICONSTOP|MB_OK "The copy of ${PRODUCT} in $0 could not be removed (error $3)." /SD IDOK
    SetErrorLevel $3
    Quit
  ${EndIf}
  Delete "$0\uninstall.exe"
  RMDir "$0"
FunctionEnd

; A running Vantrel.exe cannot be replaced or deleted, and the setup program
; would quietly skip it in silent mode, leaving the old program in place (or,
; when uninstalling, behind). A running image cannot be opened for writing,
; which tells that it is running whoever started it. A service reports
; itself stopped before its process has ended, so the image is given ten
; seconds to be let go of before the user is asked.
!macro DefineWaitUntilClosed UN
Function ${UN}WaitUntilClosed
  StrCpy $5 0
  ${DoWhile} ${FileExists} "$INSTDIR\Vantrel.exe"
    ClearErrors
    FileOpen $0 "$INSTDIR\Vantrel.exe" a
    ${IfNot} ${Errors}
      FileClose $0
      ${Break}
    ${EndIf}
    ${If} $5 < 50
      IntOp $5 $5 + 1
      Sleep 200
      ${Continue}
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
      "${PRODUCT} is running. Close it, then click Retry." /SD IDCANCEL IDRETRY retry
    SetErrorLevel 32 ; ERROR_SHARING_VIOLATION
    Quit
    retry:
  ${Loop}
FunctionEnd
!macroend
!insertmacro DefineWaitUntilClosed ""
!insertmacro DefineWaitUntilClosed "un."

; ---------------------------------------------------------------------------
; The service.
;
; Vantrel.exe installs and removes its service itself (--install-service,
; --uninstall-service), so that the name, the command line, the account, the
; description and the restart actions are defined in one place. It reports
; on its standard output, which nsExec puts in the details; run without one,
; it would show a message box instead, which a silent setup must not.
; ---------------------------------------------------------------------------

; Out: $0 = the service's state (SERVICE_STOPPED 1, SERVICE_RUNNING 4, ...),
; or 0 when it is not installed.
!macro DefineServiceState UN
Function ${UN}ServiceState
  StrCpy $0 0
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p .r1' ; SC_MANAGER_CONNECT
  ${If} $1 P<> 0
    System::Call 'advapi32::OpenServiceW(p r1, w "${PRODUCT}", i 4) p .r2' ; SERVICE_QUERY_STATUS
    ${If} $2 P<> 0
      System::Call '*(i, i, i, i, i, i, i) p .r3' ; SERVICE_STATUS
      System::Call 'advapi32::QueryServiceStatus(p r2, p r3) i .r4'
      ${If} $4 <> 0
        System::Call '*$3(i, i .r0)'
      ${EndIf}
      System::Free $3
      System::Call 'advapi32::CloseServiceHandle(p r2)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r1)'
  ${EndIf}
FunctionEnd
!macroend
!insertmacro DefineServiceState ""
!insertmacro DefineServiceState "un."

; A running service holds Vantrel.exe, so that it could be neither replaced
; nor deleted (WaitUntilClosed would refuse): stop it and wait, at most half
; a minute, until it has. The setup starts it again afterwards; the
; uninstaller removes it.
!macro DefineStopService UN
Function ${UN}StopService
  Call ${UN}ServiceState
  ${If} $0 == 0
  ${OrIf} $0 == 1
    Return
  ${EndIf}
  DetailPrint "Stopping the service ${PRODUCT}"
  nsExec::ExecToLog '"$SYSDIR\sc.exe" stop ${PRODUCT}'
  Pop $0
  ${For} $5 1 150
    Call ${UN}ServiceState
    ${If} $0 == 0
    ${OrIf} $0 == 1
      Return
    ${EndIf}
    Sleep 200
  ${Next}
  DetailPrint "The service ${PRODUCT} did not stop"
FunctionEnd
!macroend
!insertmacro DefineStopService ""
!insertmacro DefineStopService "un."

; In: $0 the command line, $1 what it does. Runs it with its output in the
; details. When it fails, says so and ends with exit code 1; what was done
; before stays (the files and the uninstall entry, after an install).
;  In: $0 a folder. Makes it when missing and gives it, and what it holds,
; PROTECTED_SDDL. A link in its place (a junction or a symbolic link, which a
; user may have laid before the installation) is removed first: the link
; goes, not what it points to.
Function SecureFolder
  System::Call 'kernel32::GetFileAttributesW(w r0) i .r1'
  ${If} $1 <> -1
    IntOp $2 $1 & 0x400 ; FILE_ATTRIBUTE_REPARSE_POINT
    ${If} $2 <> 0
      DetailPrint "Removing the link $0"
      System::Call 'kernel32::RemoveDirectoryW(w r0) i .r2'
    ${EndIf}
  ${EndIf}
  CreateDirectory "$0"
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${PROTECTED_SDDL}", i 1, *p .r1, p 0) i .r2'
  ${If} $2 == 0
    DetailPrint "Couldn't make the access list of $0"
    Return
  ${EndIf}
  System::Call 'advapi32::GetSecurityDescriptorOwner(p r1, *p .r3, *i .r5) i .r2'
  System::Call 'advapi32::GetSecurityDescriptorDacl(p r1, *i .r5, *p .r4, *i .r5) i .r2'
  ; SE_FILE_OBJECT; OWNER, DACL and PROTECTED_DACL_SECURITY_INFORMATION.
  System::Call 'advapi32::SetNamedSecurityInfoW(w r0, i 1, i 0x80000005, p r3, p 0, p r4, p 0) i .r2'
  ${If} $2 <> 0
    DetailPrint "Couldn't set the access list of $0 (error $2)"
  ${EndIf}
  System::Call 'kernel32::LocalFree(p r1)'
FunctionEnd

; Removes the service through the service control manager, so that it goes
; even when Vantrel.exe is gone already. un.StopService has stopped it.
Function un.DeleteService
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p .r1' ; SC_MANAGER_CONNECT
  ${If} $1 P<> 0
    System::Call 'advapi32::OpenServiceW(p r1, w "${PRODUCT}", i 0x10000) p .r2' ; DELETE
    ${If} $2 P<> 0
      DetailPrint "Removing the service ${PRODUCT}"
      System::Call 'advapi32::DeleteService(p r2) i .r3'
      ${If} $3 == 0
        DetailPrint "Removing the service ${PRODUCT} failed"
        MessageBox MB_ICONSTOP|MB_OK "Removing the service ${PRODUCT} failed." /SD IDOK
        SetErrorLevel 1
        Quit
      ${EndIf}
      System::Call 'advapi32::CloseServiceHandle(p r2)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p r1)'
  ${EndIf}
FunctionEnd

!macro DefineRunChecked UN
Function ${UN}RunChecked
  nsExec::ExecToLog $0
  Pop $2
  ${If} $2 != 0
    DetailPrint "$1 failed ($2)"
    MessageBox MB_ICONSTOP|MB_OK "$1 failed ($2). The details say why." /SD IDOK
    SetErrorLevel 1
    Quit
  ${EndIf}
FunctionEnd
!macroend
!insertmacro DefineRunChecked ""

Section "${PRODUCT}" SecMain
  SectionIn RO
  SetShellVarContext all
  ; The program is 64-bit and reads the 64-bit view of HKLM.
  SetRegView 64

  Call StopService
  Call WaitUntilClosed
  Call RemoveCopyElsewhere

  ; The service refuses to be installed from a folder anyone else may change
  ; (Vantrel.exe --install-service): a folder of its own gets the protected
  ; access list, a drive's root never.
  StrLen $0 "$INSTDIR"
  ${If} $0 <= 3
    MessageBox MB_ICONSTOP|MB_OK "Install ${PRODUCT} in a folder of its own, not in $INSTDIR." /SD IDOK
    SetErrorLevel 1
    Quit
  ${EndIf}
  StrCpy $0 "$INSTDIR"
  Call SecureFolder
  StrCpy $0 "${LOG_FOLDER}"
  Call SecureFolder

  SetOutPath "$INSTDIR"
  File "/oname=Vantrel.exe" "${VANTREL_EXE}"
  File "/oname=LICENSE" "${VANTREL_LICENSE}"
!ifdef VANTREL_README
  File "/oname=README.md" "${VANTREL_README}"
!endif
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateShortcut "${SHORTCUT}" "$INSTDIR\Vantrel.exe" "" "$INSTDIR\Vantrel.exe" 0 \
    SW_SHOWNORMAL "" "Joins a COM port to the COM port of a Hyper-V virtual machine"

  Call CreateMissingSettings

  ; The source of the program's event-log records, service or not; the
  ; program's message table turns them into text.
  WriteRegExpandStr HKLM "${EVENT_SOURCE_KEY}" "EventMessageFile" "$INSTDIR\Vantrel.exe"
  WriteRegExpandStr HKLM "${EVENT_SOURCE_KEY}" "CategoryMessageFile" "$INSTDIR\Vantrel.exe"
  WriteRegDWORD HKLM "${EVENT_SOURCE_KEY}" "TypesSupported" 7 ; errors, warnings, information
  WriteRegDWORD HKLM "${EVENT_SOURCE_KEY}" "CategoryCount" 3

  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\Vantrel.exe,0"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
  SectionGetSize ${SecMain} $0
  WriteRegDWORD HKLM "${UNINST_KEY}" "EstimatedSize" $0
SectionEnd

; Installs the service, or updates it to this folder, and starts it.
Section /o "Run ${PRODUCT} as a service (starts with Windows)" SecService
  SetRegView 64
  StrCpy $0 '"$INSTDIR\Vantrel.exe" --install-service'
  StrCpy $1 "Installing the service ${PRODUCT}"
  Call RunChecked
  StrCpy $0 '"$SYSDIR\sc.exe" start ${PRODUCT}'
  StrCpy $1 "Starting the service ${PRODUCT}"
  Call RunChecked
SectionEnd

; The service option was unticked while the service is installed.
Section "-Remove the service when not wanted"
  SetRegView 64
  ${IfNot} ${SectionIsSelected} ${SecService}
    ReadRegStr $0 HKLM "${SERVICE_KEY}" "ImagePath"
    ${If} $0 != ""
      StrCpy $0 '"$INSTDIR\Vantrel.exe" --uninstall-service'
      StrCpy $1 "Removing the service ${PRODUCT}"
      Call RunChecked
    ${EndIf}
  ${EndIf}
SectionEnd

Function .onInit
  SetRegView 64
  ; Without elevation (UAC off, or a standard user) the writes to Program
  ; Files and HKLM would fail half-way: refuse before touching anything.
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "admin"
    MessageBox MB_ICONSTOP|MB_OK "Installing ${PRODUCT} needs administrator rights." /SD IDOK
    SetErrorLevel 740 ; ERROR_ELEVATION_REQUIRED
    Quit
  ${EndIf}
  ; The service option is on when asked for, and when the service is
  ; installed already: an upgrade keeps it (unticking it removes it).
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/SERVICE" $1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecService}
  ${EndIf}
  ReadRegStr $0 HKLM "${SERVICE_KEY}" "ImagePath"
  ${If} $0 != ""
    !insertmacro SelectSection ${SecService}
  ${EndIf}
FunctionEnd

; ---------------------------------------------------------------------------
; Uninstaller.
;
; By default the settings store is kept, as Windows programs usually keep
; user settings: a later reinstall or upgrade then carries on with the same
; port, pipe and line settings (the installer never overwrites them). It is
; also shared by every copy the machine has had, and the program recreates it
; with the defaults whenever it is missing. So are the logs, which may still
; be wanted to see what happened. Whoever wants them gone ticks "Settings and
; logs" on the uninstaller's components page, or passes /PURGE.
; ---------------------------------------------------------------------------

Section "un.${PRODUCT}" UnSecMain
  SectionIn RO
  SetShellVarContext all
  SetRegView 64
  ; Stopped first, so that a running program is still noticed before the
  ; service is gone.
  Call un.StopService
  Call un.WaitUntilClosed
  Call un.DeleteService
  DeleteRegKey HKLM "${EVENT_SOURCE_KEY}"
  Delete "${SHORTCUT}"
  Delete "$INSTDIR\Vantrel.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\LICENSE"
SectionEnd

Section /o "un.Settings, logs and traces (serial port, pipe name, line settings)" UnSecSettings
  SetRegView 64
  SetShellVarContext all
  DeleteRegKey HKLM "${STORE_KEY}"
  ; The vendor key may hold other Orbenwick programs' settings.
  DeleteRegKey /ifempty HKLM "${VENDOR_KEY}"
  ; NAME.log and its older copies NAME.log.1, NAME.log.2, ...; not /r: the
  ; folder may hold files the user put there.
  Delete "${LOG_FOLDER}\*.log"
  Delete "${LOG_FOLDER}\*.log.*"
  ; The traces the status window names after their moment, and their older
  ; copies trace-....txt.1, ...
  Delete "${LOG_FOLDER}\trace-*.txt"
  Delete "${LOG_FOLDER}\trace-*.txt.*"
  RMDir "${LOG_FOLDER}"
SectionEnd

; Last, so that the entry stays listed if anything before fails, and so that
; a vanished folder means the whole uninstall has run.
Section "-un.Unregister"
  SetRegView 64
  DeleteRegKey HKLM "${UNINST_KEY}"
  Delete "$INSTDIR\uninstall.exe"
  ; Not /r: the folder may hold files the user put there.
  RMDir "$INSTDIR"
SectionEnd

Function un.onInit
  SetRegView 64
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "admin"
    MessageBox MB_ICONSTOP|MB_OK "Removing ${PRODUCT} needs administrator rights." /SD IDOK
    SetErrorLevel 740 ; ERROR_ELEVATION_REQUIRED
    Quit
  ${EndIf}
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/PURGE" $1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${UnSecSettings}
  ${EndIf}
FunctionEnd
