; Installer of the KVX field-bus link for Windows: fenlodrv.dll, the programs, the samples and
; the notes, the registry key the DLL reads its installation directory and version from, and
; an uninstaller that takes away what was installed and keeps the plant's files.
;
; Made by CMake (packaging/windows/CMakeLists.txt), which passes:
;   ARCH      x86 (32-bit hosts, the 32-bit registry view) or amd64 (64-bit, its own view)
;   VERSION   the product version, also written as the registry value Version
;   OUTFILE   the installer's path
;   FILES     an include file with the macros KVX_INSTALL_FILES and KVX_REMOVE_FILES
; Silent: setup.exe /S [/D=C:\folder] and uninstall.exe /S.

Unicode true
!if "${ARCH}" == "amd64"
    Target amd64-unicode
    !define KVX_PROGRAM_FILES "$PROGRAMFILES64"
    !define KVX_REG_VIEW 64
!else if "${ARCH}" == "x86"
    Target x86-unicode
    !define KVX_PROGRAM_FILES "$PROGRAMFILES"
    !define KVX_REG_VIEW 32
!else
    !error "ARCH must be x86 or amd64, not ${ARCH}"
!endif

!define KVX_KEY "SOFTWARE\KORVEX\OPC Server"
!define KVX_UNINSTALL_KEY "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\KVX field-bus link"

Name "KVX field-bus link ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "${KVX_PROGRAM_FILES}\KORVEX\OPC Server"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
; A file that cannot be written stops the installation (Retry or Cancel, never Ignore); in
; silent mode it is cancelled and the exit code tells it.
AllowSkipFiles off
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "KVX field-bus link"
VIAddVersionKey "CompanyName" "Korvex"
VIAddVersionKey "FileDescription" "Installer of the KVX field-bus link"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Copyright (c) 2026 KORVEX, MIT License"

!include "FileFunc.nsh"  ; GetOptions
!include "${FILES}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; An earlier installation is updated in its folder unless /D= names another (read in the
; installer's own view, which is the one written below).
InstallDirRegKey HKLM "${KVX_KEY}" "InstDir"

Var asked  ; the folder /D= named, empty without it

Function .onInit
    SetRegView ${KVX_REG_VIEW}
    ; A /D= folder that cannot be one (below a file, say) is replaced by the default without a
    ; word: noted here, so that the installation stops instead of going elsewhere.
    ; $CMDLINE lacks /D=; the process's own command line has it.
    System::Call 'kernel32::GetCommandLine() t .r0'
    ClearErrors
    ${GetOptions} $0 "/D=" $asked
    IfErrors 0 +2
    StrCpy $asked ""
    ; $INSTDIR is kept without a closing backslash.
    StrCpy $1 $asked "" -1
    StrCmp $1 '\' 0 +2
    StrCpy $asked $asked -1
FunctionEnd

Function un.onInit
    SetRegView ${KVX_REG_VIEW}
FunctionEnd

; Stops the installation with its reason; exit code 2 in silent mode.
!macro KVX_FAIL text
    SetErrorLevel 2
    MessageBox MB_ICONSTOP|MB_OK "${text}" /SD IDOK
    Abort "${text}"
!macroend

Section "KVX field-bus link" main
    SectionIn RO
    ; Only a silent installation: on the directory page the user may have chosen another.
    IfSilent 0 folder_taken
    StrCmp $asked "" folder_taken
    StrCmp $asked $INSTDIR folder_taken
    !insertmacro KVX_FAIL "$asked cannot be the installation folder."
    folder_taken:
    SetOverwrite on
    ClearErrors
    !insertmacro KVX_INSTALL_FILES
    WriteUninstaller "$INSTDIR\uninstall.exe"
    IfErrors 0 uninstaller_written
    !insertmacro KVX_FAIL "The uninstaller could not be written to $INSTDIR."
    uninstaller_written:

    ClearErrors
    WriteRegStr HKLM "${KVX_KEY}" "InstDir" "$INSTDIR"
    WriteRegStr HKLM "${KVX_KEY}" "Version" "${VERSION}"
    WriteRegStr HKLM "${KVX_UNINSTALL_KEY}" "DisplayName" "KVX field-bus link"
    WriteRegStr HKLM "${KVX_UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${KVX_UNINSTALL_KEY}" "Publisher" "Korvex"
    WriteRegStr HKLM "${KVX_UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${KVX_UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${KVX_UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${KVX_UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${KVX_UNINSTALL_KEY}" "NoRepair" 1
    IfErrors 0 key_written
    !insertmacro KVX_FAIL "The registry key HKLM\${KVX_KEY} could not be written."
    key_written:
SectionEnd

; Only the files the installer put there go, then the folders that are empty: the .cfg files,
; fenlodrv.ini, FreeScale.dat, LINKSPY.INI, protocols and whatever else the plant made stay,
; and so does the folder that holds them. The product key goes last: while it is there, the
; uninstallation has not ended.
Section "Uninstall"
    !insertmacro KVX_REMOVE_FILES
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${KVX_UNINSTALL_KEY}"
    DeleteRegKey HKLM "${KVX_KEY}"
    ; The vendor's key is left when another product of its keeps values there.
    DeleteRegKey /ifempty HKLM "SOFTWARE\KORVEX"
SectionEnd
