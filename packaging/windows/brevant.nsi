; The Windows installer of brevant, built by scripts/build-windows.sh with makensis:
;   makensis -DVERSION=1.2.0 -DSTAGE=dir -DICON=brevant.ico -DFILES=dir -DSIZE_KB=n \
;            -DOUTFILE=setup.exe brevant.nsi
; STAGE is the program's folder as it is zipped, SIZE_KB its size for Add/Remove Programs. FILES
; holds install.nsh and uninstall.nsh, the lists of its files made by the build script, so that
; the uninstaller removes exactly what was installed and nothing a user put beside it. Among the
; files is licenses\, the notices of everything the program bundles; the first page shows the
; program's own licence, STAGE\licenses\LICENSE.txt.
;
; Installs for the current user by default (no administrator rights needed, into
; %LOCALAPPDATA%\Programs\brevant), or for all users (into Program Files) when chosen on the
; page after the licence or given /AllUsers. /S installs silently; /CurrentUser and /AllUsers
; choose the mode.

; A 64-bit installer for the 64-bit program: it starts only where the program can run, and
; writes the 64-bit view of the registry.
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true

!ifndef VERSION | STAGE | ICON | FILES | SIZE_KB | OUTFILE
  !error "VERSION, STAGE, ICON, FILES, SIZE_KB and OUTFILE must be defined"
!endif

!define NAME "brevant"
!define TITLE "Программа отправки почтовых сообщений"
!define PUBLISHER "brevant maintainers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${NAME}"

Name "${NAME} ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "${NAME} ${VERSION}"

!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_INSTALLMODE_DEFAULT_CURRENTUSER
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODE_INSTDIR "${NAME}"
; A new version goes where the last one is, and its uninstaller finds the mode it was installed in.
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_VALUENAME "InstallLocation"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_VALUENAME "InstallLocation"
!include MultiUser.nsh
!include MUI2.nsh

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\brevant.exe"

; The GPL asks no one to accept it to install or run the program, so the licence page has Next,
; not "I Agree", and says so.
!define MUI_LICENSEPAGE_TEXT_BOTTOM "$(LicenseBottom)"
!define MUI_LICENSEPAGE_BUTTON "$(^NextBtn)"
!insertmacro MUI_PAGE_LICENSE "${STAGE}\licenses\LICENSE.txt"
!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
; The first language is the default where Windows' own is neither.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Russian"

LangString LicenseBottom ${LANG_ENGLISH} "${NAME} is free software: you need not accept this \
licence to install or use it. The licences of the parts it includes are in its folder licenses."
LangString LicenseBottom ${LANG_RUSSIAN} "${NAME} — свободная программа: для установки и работы \
принимать эту лицензию не нужно. Лицензии её частей — в её папке licenses."

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=0 "ProductName" "${NAME}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileDescription" "${NAME} ${VERSION} setup"
VIAddVersionKey /LANG=0 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=0 "LegalCopyright" "GPL-3.0-or-later"

Function .onInit
  !insertmacro MULTIUSER_INIT
FunctionEnd

Function un.onInit
  !insertmacro MULTIUSER_UNINIT
FunctionEnd

Section "brevant" SecProgram
  SectionIn RO
  SetOutPath "$INSTDIR"
  !include "${FILES}\install.nsh"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The Start menu entry starts in the user's home folder, as the desktop entry does on Linux:
  ; the program asks there for the job folder.
  SetOutPath "$PROFILE"
  CreateShortCut "$SMPROGRAMS\${TITLE}.lnk" "$INSTDIR\brevant.exe" "" "$INSTDIR\brevant.exe" 0 \
    SW_SHOWNORMAL "" "${NAME} ${VERSION}"

  ; Add/Remove Programs, in the hive of the install mode (SetShellVarContext by MultiUser).
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${NAME} ${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\brevant.exe,0"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" \
    '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" \
    '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode /S'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
SectionEnd

Section "Uninstall"
  Delete "$SMPROGRAMS\${TITLE}.lnk"
  !include "${FILES}\uninstall.nsh"
  Delete "$INSTDIR\uninstall.exe"
  ; Only once empty: whatever a user put there stays.
  RMDir "$INSTDIR"
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
SectionEnd
