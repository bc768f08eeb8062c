; The Windows installer of TALMIR Remote: the program in its own folder under Program Files, a
; Start-menu entry with the program's icon, an uninstaller registered with Windows, and silent
; operation (/S) for administrators.
;
; The uninstaller removes the program and its entries. The user's settings (config.ini, the
; admission record, this computer's security key and the partners' codes in %APPDATA%\TLMRemote)
; stay unless the user asks for them to go: by the box on the interactive uninstaller's page, or
; with /REMOVECONFIG on a silent one.
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
!include "nsDialogs.nsh"

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
UninstPage custom un.SettingsPage un.SettingsPageLeave
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Korean"
; The pages in a face with Hangul, as the program's windows: every Windows since 7 has it (the
; system's own dialog face may lack Korean glyphs where no Korean font is linked to it).
SetFont /LANG=${LANG_KOREAN} "Malgun Gothic" 9

Var RemoveConfigBox
Var RemoveConfig

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
  StrCpy $RemoveConfig ${BST_UNCHECKED}
FunctionEnd

; Whether the user's settings go too: asked on a page of its own, unticked (they stay) unless
; the user ticks it.
Function un.SettingsPage
  !insertmacro MUI_HEADER_TEXT "사용자 설정" "이 컴퓨터에 남은 TALMIR Remote 설정을 어떻게 할지 고르세요."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 24u "설정 폴더: $APPDATA\TLMRemote"
  Pop $0
  ${NSD_CreateCheckbox} 0 30u 100% 30u "사용자 설정(config.ini: 접속 ID 키, 비밀번호, 최근 접속 목록)과 접속 기록, 보안 키도 삭제합니다"
  Pop $RemoveConfigBox
  ${NSD_SetState} $RemoveConfigBox $RemoveConfig
  nsDialogs::Show
FunctionEnd

Function un.SettingsPageLeave
  ${NSD_GetState} $RemoveConfigBox $RemoveConfig
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

  ; "시작할 때 자동 실행" would start a program that is gone.
  DeleteRegValue HKCU "Software\Microsoft\Windows\CurrentVersion\Run" "TALMIR Remote"

  ; The user's settings: kept, unless asked for.
  SetShellVarContext current
  StrCpy $0 "0"
  ${GetParameters} $1
  ClearErrors
  ${GetOptions} $1 "/REMOVECONFIG" $2
  ${IfNot} ${Errors}
    StrCpy $0 "1"
  ${ElseIf} $RemoveConfig == ${BST_CHECKED}
    StrCpy $0 "1"
  ${EndIf}
  ${If} $0 == "1"
    Delete "$APPDATA\TLMRemote\config.ini"
    Delete "$APPDATA\TLMRemote\admissions.log"
    Delete "$APPDATA\TLMRemote\identity.key"
    Delete "$APPDATA\TLMRemote\pins.txt"
    ; Only when nothing else is left in it: a file the user put there stays, and with it the folder.
    RMDir "$APPDATA\TLMRemote"
  ${EndIf}
SectionEnd
