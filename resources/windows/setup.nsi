; The Vela Hearth setup program. Built by scripts/package-windows, which passes:
;   VERSION   the project's version (3.0.0)
;   FILES     an include file with two macros listing the folder to install: HEARTH_INSTALL_FILES
;             (File lines) and HEARTH_REMOVE_FILES (RemoveInstalled/RemoveInstalledDir lines,
;             files before the folders holding them)
;   OUTFILE   where the setup program goes
; 64-bit only: hearth.exe is a 64-bit program, and so is Wine in CI.
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WinMessages.nsh
!include "${FILES}"

!define PRODUCT "Vela Hearth"
!define PUBLISHER "The Vela Hearth developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VelaHearth"
!define FIREWALL_RULE "Vela Hearth"
; How long a running hearth is given to save hearth.xml and quit, in half seconds.
!define QUIT_WAIT 40

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"
VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PUBLISHER}"

!define MUI_ICON "${__FILEDIR__}/hearth.ico"
!define MUI_UNICON "${__FILEDIR__}/hearth.ico"
; What is shipped besides hearth and under which licences (LGPL for Qt, libmicrohttpd and
; FFmpeg): shown, not to be agreed to.
!define MUI_LICENSEPAGE_TEXT_TOP "Vela Hearth ships these libraries and programs; their licences are installed too."
!define MUI_LICENSEPAGE_TEXT_BOTTOM "Click Next to continue."
!define MUI_LICENSEPAGE_BUTTON "$(^NextBtn)"
!insertmacro MUI_PAGE_LICENSE "${__FILEDIR__}/licences.txt"
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_TEXT "${PRODUCT} is installed. Start it from the Start menu; it keeps its settings and libraries in $\"%APPDATA%\${PRODUCT}\hearth.xml$\"."
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Var Busy    ; how many installed files were still in use, left to hearth-purge
Var Block   ; their environment block for hearth-purge (see AddPurgeEntry)
Var BlockEnd
Var Ansi

; A running hearth is asked to quit as a log-off would, never ended by force, so that it saves
; hearth.xml: WM_CLOSE to its hidden "VelaHearthQuit" window, only of the copy that runs from
; $INSTDIR (a copy unpacked elsewhere is left alone). It is given QUIT_WAIT half seconds. A copy
; still running after that keeps its files busy: the installer fails on them, the uninstaller
; hands them to hearth-purge.
!macro STOP_HEARTH un
Function ${un}AskHearthToQuit
    Push $0
    Push $1
    Push $2
    Push $3
    StrCpy $0 0
    ${Do}
        FindWindow $0 "VelaHearthQuit" "" 0 $0
        ${If} $0 = 0
            ${Break}
        ${EndIf}
        System::Call 'user32::GetWindowThreadProcessId(p r0, *i 0 r1)'
        ; PROCESS_QUERY_LIMITED_INFORMATION
        System::Call 'kernel32::OpenProcess(i 0x1000, i 0, i r1) p .r2'
        ${If} $2 P<> 0
            System::Call 'kernel32::QueryFullProcessImageNameW(p r2, i 0, w .r3, *i ${NSIS_MAX_STRLEN})'
            System::Call 'kernel32::CloseHandle(p r2)'
            ${If} $3 == "$INSTDIR\hearth.exe"
                DetailPrint "Asking ${PRODUCT} to quit"
                System::Call 'user32::PostMessageW(p r0, i ${WM_CLOSE}, p 0, p 0)'
            ${EndIf}
        ${EndIf}
    ${Loop}
    Pop $3
    Pop $2
    Pop $1
    Pop $0
FunctionEnd

Function ${un}StopHearth
    Push $0
    Push $1
    StrCpy $1 0
    ${Do}
        ClearErrors
        ; A running program's file cannot be opened for writing.
        FileOpen $0 "$INSTDIR\hearth.exe" a
        ${IfNot} ${Errors}
            FileClose $0
            ${Break}
        ${EndIf}
        ${IfNot} ${FileExists} "$INSTDIR\hearth.exe"
            ${Break}
        ${EndIf}
        ; Again every five seconds: a dialog it showed meanwhile may have held up the first.
        IntOp $0 $1 % 10
        ${If} $0 = 0
            Call ${un}AskHearthToQuit
        ${EndIf}
        IntOp $1 $1 + 1
        ${If} $1 > ${QUIT_WAIT}
            DetailPrint "${PRODUCT} is still running"
            ${Break}
        ${EndIf}
        Sleep 500
    ${Loop}
    Pop $1
    Pop $0
FunctionEnd
!macroend
!insertmacro STOP_HEARTH ""
!insertmacro STOP_HEARTH "un."

; An uninstall that handed files in use to hearth-purge left their removal to the next restart.
; Installing into that folder before the restart would have Windows delete the new files then,
; so setup refuses until it has happened. Sets $0 to 1 when a removal at restart lies in $INSTDIR.
Function RemovalPendingHere
    Push $1
    Push $2
    Push $3
    Push $4
    Push $5
    Push $6
    StrCpy $0 0
    ; HKEY_LOCAL_MACHINE; KEY_READ | KEY_WOW64_64KEY
    System::Call 'advapi32::RegOpenKeyExW(p 0x80000002, w "SYSTEM\CurrentControlSet\Control\Session Manager", i 0, i 0x20119, *p 0 r1) i .r2'
    ${If} $2 = 0
        StrCpy $3 0
        System::Call 'advapi32::RegQueryValueExW(p r1, w "PendingFileRenameOperations", p 0, p 0, p 0, *i 0 r3) i .r2'
        ${If} $2 = 0
        ${AndIf} $3 > 0
            IntOp $4 $3 + 4
            System::Alloc $4
            Pop $4
            System::Call 'advapi32::RegQueryValueExW(p r1, w "PendingFileRenameOperations", p 0, p 0, p r4, *i r3) i .r2'
            ${If} $2 = 0
                StrLen $6 "$INSTDIR"
                IntPtrOp $3 $4 + $3
                StrCpy $5 $4
                ${DoWhile} $5 P< $3
                    System::Call 'kernel32::lstrcpynW(w .r2, p r5, i ${NSIS_MAX_STRLEN})'
                    StrLen $1 $2
                    IntOp $1 $1 + 1
                    IntOp $1 $1 * 2
                    IntPtrOp $5 $5 + $1
                    StrCpy $1 $2 4
                    ${If} $1 == "\??\"
                        StrCpy $2 $2 "" 4
                    ${EndIf}
                    StrCpy $1 $2 $6
                    ${If} $1 == "$INSTDIR"
                        StrCpy $1 $2 1 $6
                        ${If} $1 == ""
                        ${OrIf} $1 == "\"
                            StrCpy $0 1
                            ${Break}
                        ${EndIf}
                    ${EndIf}
                ${Loop}
            ${EndIf}
            System::Free $4
        ${EndIf}
        System::Call 'advapi32::RegCloseKey(p r1)'
    ${EndIf}
    Pop $6
    Pop $5
    Pop $4
    Pop $3
    Pop $2
    Pop $1
FunctionEnd

Section "${PRODUCT}" SecProgram
    SectionIn RO
    SetRegView 64
    SetShellVarContext all
    Call RemovalPendingHere
    ${If} $0 = 1
        MessageBox MB_ICONEXCLAMATION|MB_OK "${PRODUCT} was removed from $INSTDIR, but some of its files are removed only when Windows restarts. Restart Windows, then run this setup again." /SD IDOK
        Abort "Restart Windows first: a removal from $INSTDIR is pending."
    ${EndIf}
    Call StopHearth
    SetOverwrite on
    !insertmacro HEARTH_INSTALL_FILES
    ; Tells hearth.exe that it is the installed copy, which keeps hearth.xml per user (in
    ; %APPDATA%\Vela Hearth) instead of beside itself; the zip's copy has no such file.
    WriteINIStr "$INSTDIR\installed.ini" "Vela Hearth" "Version" "${VERSION}"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\hearth.exe" "" "$INSTDIR\hearth.exe" 0

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$\"$INSTDIR\hearth.exe$\",0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" "$\"$INSTDIR\uninstall.exe$\""
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" "$\"$INSTDIR\uninstall.exe$\" /S"
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; Players reach the server on TCP and UDP port 8000, DLNA clients on UDP 1900 (SSDP) and TCP
; 8200 (HTTP, the port it takes when free); only on networks marked private, and only for this
; program.
Section "Allow players on private networks (firewall)" SecFirewall
    Call RemoveFirewallRule
    DetailPrint "Firewall: allowing TCP and UDP port 8000, UDP 1900 and TCP 8200 on private networks"
    nsExec::ExecToLog '"$SYSDIR\netsh.exe" advfirewall firewall add rule name="${FIREWALL_RULE}" dir=in action=allow protocol=TCP localport=8000 profile=private program="$INSTDIR\hearth.exe"'
    Pop $0
    nsExec::ExecToLog '"$SYSDIR\netsh.exe" advfirewall firewall add rule name="${FIREWALL_RULE}" dir=in action=allow protocol=UDP localport=8000,1900 profile=private program="$INSTDIR\hearth.exe"'
    Pop $0
    nsExec::ExecToLog '"$SYSDIR\netsh.exe" advfirewall firewall add rule name="${FIREWALL_RULE}" dir=in action=allow protocol=TCP localport=8200 profile=private program="$INSTDIR\hearth.exe"'
    Pop $1
    ${If} $0 == 0
        StrCpy $0 $1
    ${EndIf}
    ${If} $0 != 0
        DetailPrint "Firewall: the rule could not be added ($0)"
    ${EndIf}
SectionEnd

!macro REMOVE_FIREWALL_RULE un
Function ${un}RemoveFirewallRule
    ; Deletes every rule of that name (TCP and UDP); none there is not an error worth showing.
    nsExec::Exec '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${FIREWALL_RULE}"'
    Pop $0
FunctionEnd
!macroend
!insertmacro REMOVE_FIREWALL_RULE ""
!insertmacro REMOVE_FIREWALL_RULE "un."

; --- Uninstall ---

; Appends one path to the environment block for hearth-purge: the path in the ANSI code page
; (hearth-purge uses the ...A functions), escaped so that the entry is plain ASCII without "=":
; "%" and "&" doubled, "=" as "%}", bytes from 0x80 as "&" and the byte less 128. 0x80 and 0xA6
; would need a NUL or an "&" there, so they travel as themselves. A path that does not fit the
; code page (a replacement character was used) or is longer than hearth-purge takes is left out:
; it would name another file.
Function un.AddPurgeEntry
    Exch $0
    Push $1
    Push $2
    Push $3
    Push $4
    ; CP_ACP, WC_NO_BEST_FIT_CHARS: a character the code page lacks must not become a look-alike.
    System::Call 'kernel32::WideCharToMultiByte(i 0, i 0x400, w r0, i -1, p $Ansi, i 1024, p 0, *i 0 r4) i .r1'
    ${If} $1 < 2
    ${OrIf} $1 > 259
    ${OrIf} $4 <> 0
    ${OrIf} $BlockEnd > 60000
        DetailPrint "Cannot hand to hearth-purge: $0"
        Goto done
    ${EndIf}
    IntOp $1 $1 - 1
    StrCpy $2 0
    ${DoWhile} $2 < $1
        IntPtrOp $3 $Ansi + $2
        System::Call "*$3(&i1 .r3)"
        IntOp $3 $3 & 0xFF
        ${If} $3 = 0x25
        ${OrIf} $3 = 0x26
            Push $3
            Call un.PutByte
            Push $3
        ${ElseIf} $3 = 0x3D
            Push 0x25
            Call un.PutByte
            Push 0x7D
        ${ElseIf} $3 > 0x80
        ${AndIf} $3 <> 0xA6
            Push 0x26
            Call un.PutByte
            IntOp $3 $3 - 0x80
            Push $3
        ${Else}
            Push $3
        ${EndIf}
        Call un.PutByte
        IntOp $2 $2 + 1
    ${Loop}
    Push 0
    Call un.PutByte
    done:
    Pop $4
    Pop $3
    Pop $2
    Pop $1
    Pop $0
FunctionEnd

Function un.PutByte
    Exch $0
    Push $1
    IntPtrOp $1 $Block + $BlockEnd
    System::Call "*$1(&i1 r0)"
    IntOp $BlockEnd $BlockEnd + 1
    Pop $1
    Pop $0
FunctionEnd

; Removes one installed file; one still in use goes to hearth-purge's list.
!macro RemoveInstalled path
    ClearErrors
    Delete "$INSTDIR\${path}"
    ${If} ${Errors}
    ${AndIf} ${FileExists} "$INSTDIR\${path}"
        DetailPrint "In use, removed at the next restart: $INSTDIR\${path}"
        IntOp $Busy $Busy + 1
        Push "$INSTDIR\${path}"
        Call un.AddPurgeEntry
    ${EndIf}
!macroend

!macro RemoveInstalledDir path
    ClearErrors
    RMDir "$INSTDIR\${path}"
    ${If} ${Errors}
    ${AndIf} ${FileExists} "$INSTDIR\${path}\*.*"
        Push "$INSTDIR\${path}"
        Call un.AddPurgeEntry
    ${EndIf}
!macroend

; Starts hearth-purge with the block as its whole environment and waits for it (about 1.5 s
; for each busy file).
Function un.RunPurge
    Push "$INSTDIR\hearth-purge.exe"
    Call un.AddPurgeEntry
    Push "$INSTDIR"
    Call un.AddPurgeEntry
    Push 0
    Call un.PutByte
    System::Alloc 104 ; STARTUPINFOW
    Pop $1
    System::Call "*$1(i 104)"
    System::Alloc 24 ; PROCESS_INFORMATION
    Pop $2
    ; No CREATE_UNICODE_ENVIRONMENT: the block is 8-bit, as hearth-purge reads it.
    System::Call 'kernel32::CreateProcessW(w "$INSTDIR\hearth-purge.exe", p 0, p 0, p 0, i 0, i 0, p $Block, w "$SYSDIR", p r1, p r2) i .r0'
    ${If} $0 <> 0
        System::Call "*$2(p .r3, p .r4)"
        DetailPrint "hearth-purge removes what is in use at the next restart"
        System::Call "kernel32::WaitForSingleObject(p r3, i 120000)"
        System::Call "kernel32::CloseHandle(p r3)"
        System::Call "kernel32::CloseHandle(p r4)"
    ${Else}
        DetailPrint "hearth-purge could not be started"
    ${EndIf}
    System::Free $1
    System::Free $2
FunctionEnd

Section "Uninstall"
    SetRegView 64
    SetShellVarContext all
    ; Not $INSTDIR: a working directory there would keep it from being removed.
    SetOutPath "$TEMP"
    StrCpy $Busy 0
    StrCpy $BlockEnd 0
    System::Alloc 65536
    Pop $Block
    System::Alloc 1024
    Pop $Ansi

    Call un.StopHearth
    Call un.RemoveFirewallRule
    Delete "$SMPROGRAMS\${PRODUCT}.lnk"

    ; hearth.xml is not among these: an installed copy keeps it in %APPDATA%, which stays.
    !insertmacro RemoveInstalled "installed.ini"
    !insertmacro HEARTH_REMOVE_FILES
    !insertmacro RemoveInstalled "uninstall.exe"

    ; hearth-purge stays until it has scheduled its own removal, the last of what is busy.
    ${If} $Busy > 0
        Call un.RunPurge
    ${Else}
        Delete "$INSTDIR\hearth-purge.exe"
        RMDir "$INSTDIR"
    ${EndIf}

    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    System::Free $Block
    System::Free $Ansi
SectionEnd
