; The Windows installer of TALMIR Remote: the program in its own folder under Program Files, a
; Start-menu entry with the program's icon, an uninstaller registered with Windows, and silent
; operation (/S) for administrators.
;
; The uninstaller removes the program and its entries. The user's settings (config.ini and the
; admission record in %APPDATA%\TLMRemote) stay unless the user asks for them to go: by the
; question the interactive uninstaller puts, or with /REMOVECONFIG on a silent one.
;
; makensis -DVERSION=x.y.z -DPROGRAM=path\TLMRemoteClient.exe -DICON=path\TLMRemoteClient.ico
;          -DOUTFILE=TLMRemoteClient-x.y.z-setup.exe TLMRemoteClient.nsi
; A 64-bit installer for the 64-bit program (it also runs where no 32-bit layer is installed).
Target amd64-unicode
SetCompressor /SOLID lzma

!ifndef VERSION | PROGRAM | ICON | OUTFILE
  !error "VERSION, PROGRAM, ICON and OUTFILE must be defined"
!endif

!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"

!define PRODUCT "TALMIR Remote"
!define EXE "TLMRemoteClient.exe"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TLMRemoteClient"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
BrandingText "${PRODUCT} ${VERSION}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\${EXE}"

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Korean"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_KOREAN} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_KOREAN} "FileDescription" "${PRODUCT} 설치"
VIAddVersionKey /LANG=${LANG_KOREAN} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_KOREAN} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_KOREAN} "LegalCopyright" ""

; The 64-bit view of the registry, where Windows lists 64-bit programs.
Function .onInit
  SetRegView 64
FunctionEnd

Section "Program"
  SetShellVarContext all
  SetOutPath "$INSTDIR"
  File "/oname=${EXE}" "${PROGRAM}"
  File "/oname=TLMRemoteClient.ico" "${ICON}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\${EXE}" "" "$INSTDIR\TLMRemoteClient.ico" 0

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\TLMRemoteClient.ico"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$INSTDIR\${EXE}"
  Delete "$INSTDIR\TLMRemoteClient.ico"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"

  ; The user's settings: kept, unless asked for.
  SetShellVarContext current
  StrCpy $0 "0"
  ${GetParameters} $1
  ClearErrors
  ${GetOptions} $1 "/REMOVECONFIG" $2
  ${IfNot} ${Errors}
    StrCpy $0 "1"
  ${ElseIfNot} ${Silent}
    MessageBox MB_YESNO|MB_ICONQUESTION|MB_DEFBUTTON2 \
      "사용자 설정(접속 ID 키, 비밀번호, 최근 접속 목록)도 삭제하시겠습니까?$\r$\n$\r$\n$APPDATA\TLMRemote" \
      IDNO keep
    StrCpy $0 "1"
    keep:
  ${EndIf}
  ${If} $0 == "1"
    Delete "$APPDATA\TLMRemote\config.ini"
    Delete "$APPDATA\TLMRemote\admissions.log"
    RMDir "$APPDATA\TLMRemote"
  ${EndIf}
SectionEnd
