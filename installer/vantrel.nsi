; Vantrel setup: installs the program for all users, creates its settings
; store on first install and registers an uninstaller.
;
; Built by the package_release target (installer/package.cmake), which passes:
;   /DVANTREL_EXE=...      the built Vantrel.exe (required)
;   /DVANTREL_LICENSE=...  the LICENSE file (required, shown on the licence page)
;   /DVANTREL_README=...   README.md (optional: installed when given)
;   /DVANTREL_ICON=...     the program's .ico (optional: a stock NSIS icon otherwise)
;   /DVERSION=...          major.minor, from the project's version (required)
;   /DOUTFILE=...          where to write the setup program
;
; Command line of the setup program:  /S (silent)  /D=C:\path (install folder;
; must come last and must not be quoted, even when it holds blanks).
; Command line of the uninstaller:    /S (silent)  /PURGE (also delete the
; settings store; see "un.Settings" below).

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
; which tells that it is running whoever started it.
!macro DefineWaitUntilClosed UN
Function ${UN}WaitUntilClosed
  ${DoWhile} ${FileExists} "$INSTDIR\Vantrel.exe"
    ClearErrors
    FileOpen $0 "$INSTDIR\Vantrel.exe" a
    ${IfNot} ${Errors}
      FileClose $0
      ${Break}
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
FunctionEnd

Section "${PRODUCT}" SecMain
  SectionIn RO
  SetShellVarContext all
  ; The program is 64-bit and reads the 64-bit view of HKLM.
  SetRegView 64

  Call WaitUntilClosed
  Call RemoveCopyElsewhere

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

; ---------------------------------------------------------------------------
; Uninstaller.
;
; By default the settings store is kept, as Windows programs usually keep
; user settings: a later reinstall or upgrade then carries on with the same
; port, pipe and line settings (the installer never overwrites them). It is
; also shared by every copy the machine has had, and the program recreates it
; with the defaults whenever it is missing. Whoever wants it gone ticks
; "Settings" on the uninstaller's components page, or passes /PURGE.
; ---------------------------------------------------------------------------

Section "un.${PRODUCT}" UnSecMain
  SectionIn RO
  SetShellVarContext all
  SetRegView 64
  Call un.WaitUntilClosed
  Delete "${SHORTCUT}"
  Delete "$INSTDIR\Vantrel.exe"
  Delete "$INSTDIR\README.md"
  Delete "$INSTDIR\LICENSE"
SectionEnd

Section /o "un.Settings (serial port, pipe name, line settings)" UnSecSettings
  SetRegView 64
  DeleteRegKey HKLM "${STORE_KEY}"
  ; The vendor key may hold other Orbenwick programs' settings.
  DeleteRegKey /ifempty HKLM "${VENDOR_KEY}"
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
