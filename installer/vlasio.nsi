; Installer of the Vantrel ASIO driver for 64-bit Windows.
;
; Built by installer/CMakeLists.txt:
;   makensis -NOCD -DVERSION=x.y.z -DDRIVER_DLL=<vlasio.dll> -DLICENSE_FILE=<LICENSE>
;            -DOUTFILE=<setup.exe> vlasio.nsi
;
; It installs vlasio.dll and its licence under Program Files\Vantrel\ASIO, registers the DLL,
; checks that the ASIO driver list really holds it (the DLL's registration reports success
; even when Windows refused the writes), and adds an uninstaller with its "Apps and features"
; entry. Both accept /S for a silent run.
;
; A vlasio.ini beside the DLL (the driver's name in the hosts' lists) belongs to the user:
; neither an upgrade nor the uninstaller touches it. Neither do the per-user settings and the
; log: the uninstaller takes the registrations away itself instead of calling
; DllUnregisterServer, which also deletes the calling user's settings.

!ifndef VERSION
  !error "define VERSION, DRIVER_DLL, LICENSE_FILE and OUTFILE (see installer/CMakeLists.txt)"
!endif
!ifndef DRIVER_DLL
  !error "define DRIVER_DLL"
!endif
!ifndef LICENSE_FILE
  !error "define LICENSE_FILE"
!endif
!ifndef OUTFILE
  !error "define OUTFILE"
!endif

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
AllowSkipFiles off

!define PRODUCT "Vantrel ASIO (HDAudio)"
!define PUBLISHER "Vantrel"
!define DRIVER_NAME "Vantrel ASIO device (HDAudio)"
!define CLSID "{5D3A9C41-7E2B-4F68-A1D0-93C6B8E2F417}"
!define ASIO_LIST "SOFTWARE\ASIO"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VantrelASIO"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Vantrel\ASIO"
; An upgrade goes where the earlier version is (it may have been installed with /D=).
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (C) 2026 ${PUBLISHER}"

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TITLE "${PRODUCT} ${VERSION}"
!define MUI_WELCOMEPAGE_TEXT "This installs an ASIO driver for the built-in High Definition Audio of this PC.$\r$\n$\r$\n64-bit ASIO host applications will list it as $\"${DRIVER_NAME}$\": its outputs are the default playback device, its inputs the default recording device.$\r$\n$\r$\nPlease close every ASIO host application before you continue.$\r$\n$\r$\n$_CLICK"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_INSTFILES
; Set by the section: what the ASIO list holds after the install.
Var FinishText
!define MUI_FINISHPAGE_TEXT "$FinishText"
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

; Takes away the COM class and every ASIO list entry that names it, whatever name the entry
; has (the ini can rename the driver between versions). Other drivers' entries stay.
!macro DEFINE_REMOVE_REGISTRATION prefix
Function ${prefix}RemoveRegistration
  DeleteRegKey HKCR "CLSID\${CLSID}"
  StrCpy $0 0
  ${Do}
    EnumRegKey $1 HKLM "${ASIO_LIST}" $0
    ${If} $1 == ""
      ${Break}
    ${EndIf}
    ReadRegStr $2 HKLM "${ASIO_LIST}\$1" "CLSID"
    ${If} $2 == "${CLSID}"
      DeleteRegKey HKLM "${ASIO_LIST}\$1"
      DetailPrint "Removed the ASIO driver list entry $\"$1$\""
    ${Else}
      IntOp $0 $0 + 1 ; a deleted entry moves the next one to its index
    ${EndIf}
  ${Loop}
FunctionEnd
!macroend
!insertmacro DEFINE_REMOVE_REGISTRATION ""
!insertmacro DEFINE_REMOVE_REGISTRATION "un."

; $3 = the ASIO list entry that names the driver's class, "" when there is none.
Function FindListEntry
  StrCpy $3 ""
  StrCpy $0 0
  ${Do}
    EnumRegKey $1 HKLM "${ASIO_LIST}" $0
    ${If} $1 == ""
      ${Break}
    ${EndIf}
    ReadRegStr $2 HKLM "${ASIO_LIST}\$1" "CLSID"
    ${If} $2 == "${CLSID}"
      StrCpy $3 $1
      ${Break}
    ${EndIf}
    IntOp $0 $0 + 1
  ${Loop}
FunctionEnd

Function .onInit
  SetRegView 64
FunctionEnd

Function un.onInit
  SetRegView 64
FunctionEnd

Section "Driver"
  SetOutPath "$INSTDIR"
  ; A host still holding the DLL makes this fail: NSIS offers to retry or to cancel, never to
  ; skip the file (AllowSkipFiles off), and a cancel leaves the earlier version as it was.
  File "${DRIVER_DLL}"
  File "/oname=LICENSE" "${LICENSE_FILE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ; An earlier version's registrations go, so that the new one stands alone.
  Call RemoveRegistration

  ClearErrors
  RegDLL "$INSTDIR\vlasio.dll"
  ${If} ${Errors}
    DetailPrint "The driver's registration failed."
  ${EndIf}

  ; What hosts need: an entry in the ASIO list, and the class it names served by this file.
  Call FindListEntry
  ReadRegStr $4 HKCR "CLSID\${CLSID}\InprocServer32" ""
  ${If} $3 == ""
  ${OrIf} $4 != "$INSTDIR\vlasio.dll"
    DetailPrint "The driver is NOT in the ASIO driver list: host applications will not find it."
    StrCpy $FinishText "The driver's files are installed in $INSTDIR, but Windows did not record the driver in the ASIO driver list (HKEY_LOCAL_MACHINE\${ASIO_LIST}) or did not register its COM class. Host applications will not find it.$\r$\n$\r$\nRun this setup again as an administrator. If a vlasio.ini in that folder renames the driver, check that its Description is a short, plain name. If the problem stays, security software may be blocking changes to the registry."
    MessageBox MB_OK|MB_ICONSTOP "$FinishText" /SD IDOK
    SetErrorLevel 2
  ${Else}
    DetailPrint "Host applications will find the driver as $\"$3$\" in their ASIO driver lists."
    StrCpy $FinishText "The driver is installed in $INSTDIR.$\r$\n$\r$\nStart your host application and choose $\"$3$\" in its audio settings. A host that was already running sees the driver after it restarts."
  ${EndIf}

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" "$\"$INSTDIR\uninstall.exe$\""
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" "$\"$INSTDIR\uninstall.exe$\" /S"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section "Uninstall"
  Call un.RemoveRegistration
  Delete /REBOOTOK "$INSTDIR\vlasio.dll"
  Delete "$INSTDIR\LICENSE"
  Delete "$INSTDIR\uninstall.exe"
  ; Only when empty: a vlasio.ini of the user's keeps the folder.
  RMDir "$INSTDIR"
  ${If} "$INSTDIR" == "$PROGRAMFILES64\Vantrel\ASIO"
    RMDir "$PROGRAMFILES64\Vantrel"
  ${EndIf}
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
