; Setup program of the console for 64-bit Windows. scripts/windows/build.sh
; makes it from the package it staged, with the facts this file must not
; repeat passed as defines:
;   makensis -INPUTCHARSET UTF8 -DPRODUCT=... -DPUBLISHER=... -DVERSION=...
;            -DSTAGE=<staged package> -DFILES=<install list> -DUNFILES=<removal list>
;            -DOUTFILE=<setup.exe> tunaris-console.nsi
;
; Contract: a per-machine install into "Program Files\Tunaris\Serial Console"
; (bin\ with the programs and their runtime, share\, images\, licences\), a
; Start menu shortcut and an optional desktop shortcut that start the
; console in bin\, an uninstaller registered under the Uninstall key, on
; request the bin\ folder on the system PATH, and on request tunaris-bridge
; as the Windows service "tunaris-bridge" (NT AUTHORITY\LocalService,
; started with Windows, restarted when it fails) with its settings file
; tunaris-bridge.cfg in the install folder. The uninstaller stops and
; removes the service and removes exactly the files the setup put there, so
; the user's settings (in %LOCALAPPDATA%, or beside the program where that
; folder was writable) and the service's survive an upgrade and an uninstall.
;
; Silent use: setup.exe /S [/PATH] [/NODESKTOP] [/SERVICE] [/D=folder],
; uninstall.exe /S. An upgrade keeps the choices of the install before it.

!macro RequireDefine NAME
    !ifndef ${NAME}
        !error "-D${NAME}=... is missing: build.sh passes PRODUCT, PUBLISHER, VERSION, STAGE, FILES, UNFILES and OUTFILE"
    !endif
!macroend
!insertmacro RequireDefine PRODUCT
!insertmacro RequireDefine PUBLISHER
!insertmacro RequireDefine VERSION
!insertmacro RequireDefine STAGE
!insertmacro RequireDefine FILES
!insertmacro RequireDefine UNFILES
!insertmacro RequireDefine OUTFILE

; Debian's Wine runs 64-bit programs only, and a 64-bit setup sees the
; 64-bit registry and Program Files without redirection.
Unicode true
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WordFunc.nsh
!include WinMessages.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\TunarisSerialConsole"
!define ENVIRONMENT_KEY "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
!define CONSOLE_EXE "tunaris-console.exe"
!define SERVICE "tunaris-bridge"
!define SC '"$SYSDIR\sc.exe"'

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Tunaris\Serial Console"
; An upgrade goes where the installed version is.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PUBLISHER}"

; --- Pages -------------------------------------------------------------------
!define MUI_ICON "${STAGE}\images\ico256x256Win.ico"
!define MUI_UNICON "${STAGE}\images\ico256x256Win.ico"
!define MUI_ABORTWARNING
; The product name takes a third line on the welcome and finish pages.
!define MUI_WELCOMEPAGE_TITLE_3LINES
!define MUI_FINISHPAGE_TITLE_3LINES
; The language chosen at install is the uninstaller's too.
!define MUI_LANGDLL_REGISTRY_ROOT HKLM
!define MUI_LANGDLL_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MUI_LANGDLL_REGISTRY_VALUENAME "InstallerLanguage"
!define MUI_LANGDLL_ALLLANGUAGES

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_LICENSE $(LicenceText)
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
; No "Run now" box: started from this elevated setup, the console could
; write its settings into Program Files, where the user's later runs would
; find a stale copy.
!insertmacro MUI_PAGE_FINISH

!define MUI_UNCONFIRMPAGE_TEXT_TOP $(SettingsKept)
!insertmacro MUI_UNPAGE_CONFIRM
!define MUI_INSTFILESPAGE_FINISHHEADER_SUBTEXT $(SettingsKeptDetail)
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "French"
!insertmacro MUI_RESERVEFILE_LANGDLL

LicenseLangString LicenceText ${LANG_ENGLISH} "licence-en.txt"
LicenseLangString LicenceText ${LANG_FRENCH} "licence-fr.txt"

LangString DesktopSection ${LANG_ENGLISH} "Desktop shortcut"
LangString DesktopSection ${LANG_FRENCH} "Raccourci sur le Bureau"
LangString PathSection ${LANG_ENGLISH} "Command-line tools on the PATH"
LangString PathSection ${LANG_FRENCH} "Outils en ligne de commande dans le PATH"
LangString ProgramDescription ${LANG_ENGLISH} "The console, its command-line tools (tunaris-send, tunaris-monitor, tunaris-bridge) and a Start menu shortcut."
LangString ProgramDescription ${LANG_FRENCH} "La console, ses outils en ligne de commande (tunaris-send, tunaris-monitor, tunaris-bridge) et un raccourci dans le menu Démarrer."
LangString DesktopDescription ${LANG_ENGLISH} "A shortcut to the console on the desktop of every user."
LangString DesktopDescription ${LANG_FRENCH} "Un raccourci vers la console sur le Bureau de chaque utilisateur."
LangString PathDescription ${LANG_ENGLISH} "Adds the programs' folder to the system PATH, so that tunaris-send and the other tools run from any command prompt opened afterwards."
LangString PathDescription ${LANG_FRENCH} "Ajoute le dossier des programmes au PATH du système : tunaris-send et les autres outils se lancent alors depuis toute invite de commandes ouverte ensuite."
LangString PathTooLong ${LANG_ENGLISH} "The system PATH is longer than this setup can change safely, so it was left as it was. To run the tools from any prompt, add $INSTDIR\bin to it by hand."
LangString PathTooLong ${LANG_FRENCH} "Le PATH du système est plus long que ce que ce programme d'installation sait modifier sans risque ; il n'a pas été changé. Pour lancer les outils depuis toute invite, ajoutez-y $INSTDIR\bin à la main."
LangString ServiceSection ${LANG_ENGLISH} "tunaris-bridge as a Windows service"
LangString ServiceSection ${LANG_FRENCH} "tunaris-bridge en service Windows"
LangString ServiceDescription ${LANG_ENGLISH} "Runs tunaris-bridge with Windows, with nobody logged in, as the service tunaris-bridge, configured in tunaris-bridge.cfg in the install folder."
LangString ServiceDescription ${LANG_FRENCH} "Lance tunaris-bridge avec Windows, sans session ouverte, comme le service tunaris-bridge, réglé dans tunaris-bridge.cfg du dossier d'installation."
LangString ServiceNotMade ${LANG_ENGLISH} "The service tunaris-bridge could not be installed (sc create: $0). The programs are installed all the same."
LangString ServiceNotMade ${LANG_FRENCH} "Le service tunaris-bridge n'a pas pu être installé (sc create : $0). Les programmes sont installés quand même."
LangString ServiceToSet ${LANG_ENGLISH} "Set the player's port (PORT=) in $INSTDIR\tunaris-bridge.cfg, then start the service: sc start tunaris-bridge"
LangString ServiceToSet ${LANG_FRENCH} "Indiquez le port du lecteur (PORT=) dans $INSTDIR\tunaris-bridge.cfg, puis démarrez le service : sc start tunaris-bridge"
LangString PathUnreadable ${LANG_ENGLISH} "The system PATH could not be read, so it was left as it was."
LangString PathUnreadable ${LANG_FRENCH} "Le PATH du système n'a pas pu être lu ; il n'a pas été changé."
LangString PathLeftInPlace ${LANG_ENGLISH} "The system PATH is longer than this uninstaller can change safely: remove $INSTDIR\bin from it by hand."
LangString PathLeftInPlace ${LANG_FRENCH} "Le PATH du système est plus long que ce que ce programme de désinstallation sait modifier sans risque : retirez-en $INSTDIR\bin à la main."
LangString SettingsKept ${LANG_ENGLISH} "${PRODUCT} will be removed from the folder below. Your settings are kept, in %LOCALAPPDATA%\${PUBLISHER}\${PRODUCT}."
LangString SettingsKept ${LANG_FRENCH} "${PRODUCT} va être supprimé du dossier ci-dessous. Vos réglages sont conservés, dans %LOCALAPPDATA%\${PUBLISHER}\${PRODUCT}."
LangString SettingsKeptDetail ${LANG_ENGLISH} "${PRODUCT} was removed. Your settings were kept."
LangString SettingsKeptDetail ${LANG_FRENCH} "${PRODUCT} a été supprimé. Vos réglages ont été conservés."

; Stops the service, if there is one, and waits until it has (its program
; must be free to go), at most 30 s.
!macro StopService
    nsExec::ExecToStack '${SC} stop ${SERVICE}'
    Pop $0
    Pop $1
    StrCpy $2 0
    ${Do}
        nsExec::ExecToStack '${SC} query ${SERVICE}'
        Pop $0
        Pop $1
        ${If} $0 != 0 ; no such service
            ${Break}
        ${EndIf}
        ClearErrors
        ${WordFind} "$1" "STOPPED" "E+1{" $3
        ${IfNot} ${Errors}
            Sleep 1000 ; its process ends right after saying so
            ${Break}
        ${EndIf}
        Sleep 500
        IntOp $2 $2 + 1
    ${LoopUntil} $2 >= 60
!macroend

; --- Install -----------------------------------------------------------------
Var previousFolder

Section "${PRODUCT}" ProgramSection
    SectionIn RO
    SetShellVarContext all
    SetRegView 64

    ; The installed version's uninstaller takes away its own files, shortcuts
    ; and PATH entry first, so nothing of an older layout lingers; the user's
    ; settings are not among its files.
    ReadRegStr $previousFolder HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $previousFolder != ""
    ${AndIf} ${FileExists} "$previousFolder\uninstall.exe"
        DetailPrint "$previousFolder\uninstall.exe /S"
        ExecWait '"$previousFolder\uninstall.exe" /S _?=$previousFolder'
        Delete "$previousFolder\uninstall.exe"
        RMDir "$previousFolder"
    ${EndIf}

    !include "${FILES}"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    ; Written here, after the previous uninstaller took its key away, and in
    ; a silent install too: the uninstaller speaks the setup's language.
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallerLanguage" $LANGUAGE

    ; The console finds its window icon at ..\images from its working folder.
    SetOutPath "$INSTDIR\bin"
    CreateShortCut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\bin\${CONSOLE_EXE}" "" "$INSTDIR\bin\${CONSOLE_EXE}" 0

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\bin\${CONSOLE_EXE},0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "DesktopShortcut" 0
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "OnPath" 0
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "Service" 0
SectionEnd

Section $(DesktopSection) DesktopSection
    SetShellVarContext all
    SetRegView 64
    SetOutPath "$INSTDIR\bin"
    CreateShortCut "$DESKTOP\${PRODUCT}.lnk" "$INSTDIR\bin\${CONSOLE_EXE}" "" "$INSTDIR\bin\${CONSOLE_EXE}" 0
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "DesktopShortcut" 1
SectionEnd

Section /o $(PathSection) PathSection
    SetRegView 64
    ClearErrors
    ReadRegStr $0 HKLM "${ENVIRONMENT_KEY}" "Path"
    ${If} ${Errors}
        ; Writing back what could not be read would wipe the PATH.
        DetailPrint $(PathUnreadable)
        MessageBox MB_OK|MB_ICONEXCLAMATION $(PathUnreadable) /SD IDOK
        Return
    ${EndIf}
    ; A PATH near the length this setup's strings hold may have come back
    ; cut short: writing it back would lose its end.
    StrLen $1 "$0;$INSTDIR\bin"
    ${If} $1 >= ${NSIS_MAX_STRLEN}
        DetailPrint $(PathTooLong)
        MessageBox MB_OK|MB_ICONEXCLAMATION $(PathTooLong) /SD IDOK
        Return
    ${EndIf}
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "OnPath" 1
    ClearErrors
    ${WordFind} ";$0;" ";$INSTDIR\bin;" "E+1{" $2
    ${IfNot} ${Errors}
        Return  ; already there
    ${EndIf}
    ${If} $0 == ""
        StrCpy $0 "$INSTDIR\bin"
    ${Else}
        StrCpy $0 "$0;$INSTDIR\bin"
    ${EndIf}
    ; Expandable, as Windows keeps it: %SystemRoot% and the like stay as they are.
    WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" $0
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
SectionEnd

Section /o $(ServiceSection) ServiceSection
    SetRegView 64
    ; The settings are the administrator's: written once, then kept by
    ; upgrades and the uninstaller. In the install folder, which only
    ; administrators may change.
    StrCpy $4 0
    ${If} ${FileExists} "$INSTDIR\tunaris-bridge.cfg"
        StrCpy $4 1
    ${EndIf}
    SetOutPath "$INSTDIR"
    SetOverwrite off
    File "${STAGE}\tunaris-bridge.cfg"
    SetOverwrite on

    ; Quoted, since the path holds spaces: unquoted, Windows would try
    ; C:\Program.exe first.
    nsExec::ExecToLog '${SC} create ${SERVICE} binPath= "\"$INSTDIR\bin\tunaris-bridge.exe\" --service" start= auto obj= "NT AUTHORITY\LocalService" password= "" DisplayName= "Tunaris bridge"'
    Pop $0
    ${If} $0 != 0
        DetailPrint $(ServiceNotMade)
        MessageBox MB_OK|MB_ICONEXCLAMATION $(ServiceNotMade) /SD IDOK
        Return
    ${EndIf}
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "Service" 1
    nsExec::ExecToLog '${SC} description ${SERVICE} "Commands from the network, the venue$\'s remote and a fleet$\'s MQTT broker to the player on one serial port. Settings: $INSTDIR\tunaris-bridge.cfg"'
    Pop $0
    ; Restarted when it fails: after 2 s, then 10 s, then every minute; the
    ; count starts again after a day without failure. A failure is also an
    ; end with an error, not only a crash.
    nsExec::ExecToLog '${SC} failure ${SERVICE} reset= 86400 actions= restart/2000/restart/10000/restart/60000'
    Pop $0
    nsExec::ExecToLog '${SC} failureflag ${SERVICE} 1'
    Pop $0
    ; Settings kept from before name a port; new ones do not yet.
    ${If} $4 == 1
        nsExec::ExecToLog '${SC} start ${SERVICE}'
        Pop $0
    ${Else}
        DetailPrint $(ServiceToSet)
        MessageBox MB_OK|MB_ICONINFORMATION $(ServiceToSet) /SD IDOK
    ${EndIf}
SectionEnd

Section "-Size"
    SetRegView 64
    SectionGetSize ${ProgramSection} $0
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
    !insertmacro MUI_DESCRIPTION_TEXT ${ProgramSection} $(ProgramDescription)
    !insertmacro MUI_DESCRIPTION_TEXT ${DesktopSection} $(DesktopDescription)
    !insertmacro MUI_DESCRIPTION_TEXT ${PathSection} $(PathDescription)
    !insertmacro MUI_DESCRIPTION_TEXT ${ServiceSection} $(ServiceDescription)
!insertmacro MUI_FUNCTION_DESCRIPTION_END

Function .onInit
    SetRegView 64
    ; An upgrade offers what the installed version had; /PATH and /NODESKTOP
    ; decide for a silent install.
    ClearErrors
    ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "DesktopShortcut"
    ${IfNot} ${Errors}
    ${AndIf} $0 == 0
        !insertmacro UnselectSection ${DesktopSection}
    ${EndIf}
    ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "OnPath"
    ${If} $0 == 1
        !insertmacro SelectSection ${PathSection}
    ${EndIf}
    ReadRegDWORD $0 HKLM "${UNINSTALL_KEY}" "Service"
    ${If} $0 == 1
        !insertmacro SelectSection ${ServiceSection}
    ${EndIf}
    ${GetParameters} $1
    ClearErrors
    ${GetOptions} $1 "/PATH" $0
    ${IfNot} ${Errors}
        !insertmacro SelectSection ${PathSection}
    ${EndIf}
    ClearErrors
    ${GetOptions} $1 "/NODESKTOP" $0
    ${IfNot} ${Errors}
        !insertmacro UnselectSection ${DesktopSection}
    ${EndIf}
    ClearErrors
    ${GetOptions} $1 "/SERVICE" $0
    ${IfNot} ${Errors}
        !insertmacro SelectSection ${ServiceSection}
    ${EndIf}
    !insertmacro MUI_LANGDLL_DISPLAY
FunctionEnd

; --- Uninstall ---------------------------------------------------------------
Section "Uninstall"
    SetShellVarContext all
    SetRegView 64

    ; The service first, so that its program can go; its settings stay.
    !insertmacro StopService
    nsExec::ExecToLog '${SC} delete ${SERVICE}'
    Pop $0

    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    Delete "$DESKTOP\${PRODUCT}.lnk"

    ; Our entry out of the PATH, every other entry as it was.
    ClearErrors
    ReadRegStr $0 HKLM "${ENVIRONMENT_KEY}" "Path"
    ${IfNot} ${Errors}
        ClearErrors
        ${WordFind} ";$0;" ";$INSTDIR\bin;" "E+1{" $2
        ${IfNot} ${Errors}
            StrLen $1 $0
            ${If} $1 >= ${NSIS_MAX_STRLEN}
                DetailPrint $(PathLeftInPlace)
                MessageBox MB_OK|MB_ICONEXCLAMATION $(PathLeftInPlace) /SD IDOK
            ${Else}
                ; Between the two semicolons that pad it, whatever was around it.
                ${WordReplace} ";$0;" ";$INSTDIR\bin;" ";" "+" $0
                StrCpy $0 $0 -1 1
                WriteRegExpandStr HKLM "${ENVIRONMENT_KEY}" "Path" $0
                SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
            ${EndIf}
        ${EndIf}
    ${EndIf}

    ; Only what the setup put there: a settings file beside the program, or
    ; a translation the user dropped in, keeps its folder.
    !include "${UNFILES}"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    ${GetParent} "$INSTDIR" $0
    ${GetFileName} "$0" $1
    ${If} $1 == "Tunaris"
        RMDir "$0"
    ${EndIf}

    DeleteRegKey HKLM "${UNINSTALL_KEY}"
    DetailPrint $(SettingsKeptDetail)
SectionEnd

Function un.onInit
    SetRegView 64
    !insertmacro MUI_UNGETLANGUAGE
FunctionEnd
