; The Windows installer: kv_redurozozi.exe into a folder of the user's choice,
; a starting configuration where there is none, the service registered by the
; executable's own --install and started; an uninstaller that stops and removes
; the service and leaves the configuration, the logs, spool\ and the output
; folder. Silent with /S (and /D=FOLDER, last, for the folder).
;
; Exit status: 0 done; 2 cancelled or failed (nothing registered); 3 installed
; and registered, but the service did not start (Logs\Redurozozi.txt says why).
;
; makensis -DVERSION=1.0.0 -DVERSION_NUMERIC=1.0.0.0 -DEXE=kv_redurozozi.exe
;          -DEXAMPLE=kv_redurozozi.example.json -DSTARTING=kv_redurozozi.json.in
;          -DOUTFILE=kv_redurozozi-setup.exe kv_redurozozi.nsi
; (scripts/build-windows.sh does this.)

; A 64-bit installer for a 64-bit service (it also runs under a Wine without
; 32-bit support): Program Files, System32 and the registry are the native ones.
Target amd64-unicode
!include MUI2.nsh
!include LogicLib.nsh
!include WordFunc.nsh

!define SERVICE "KVRedurozozi"
!define DISPLAY "Tevarin (Redurozozi)"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${SERVICE}"
!define SC '"$SYSDIR\sc.exe"'

Name "${DISPLAY}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Tevarin\Redurozozi"
; An upgrade goes where the last installation went.
InstallDirRegKey HKLM "${UNINST_KEY}" "InstallLocation"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION_NUMERIC}"
VIAddVersionKey /LANG=0 "ProductName" "${DISPLAY}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileDescription" "${DISPLAY} setup"
VIAddVersionKey /LANG=0 "LegalCopyright" "the kv_redurozozi maintainers"

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "PortugueseBR"

; Stops the service when it is registered, and waits (up to 60 s) until it
; has stopped: a running service holds its executable open.
!macro STOP_SERVICE UN
Function ${UN}StopService
  nsExec::ExecToStack '${SC} query ${SERVICE}'
  Pop $0
  Pop $1
  ${If} $0 != 0
    Return  ; not registered
  ${EndIf}
  DetailPrint "Stopping ${SERVICE}"
  nsExec::ExecToLog '${SC} stop ${SERVICE}'
  Pop $0
  StrCpy $2 0
  ${Do}
    nsExec::ExecToStack '${SC} query ${SERVICE}'
    Pop $0
    Pop $1
    ClearErrors
    ${${UN}WordFind} "$1" "STOPPED" "E+1{" $3
    ${IfNot} ${Errors}
      Return
    ${EndIf}
    IntOp $2 $2 + 1
    ${If} $2 > 120
      DetailPrint "${SERVICE} did not stop within 60 s"
      Return
    ${EndIf}
    Sleep 500
  ${Loop}
FunctionEnd
!macroend
!insertmacro STOP_SERVICE ""
!insertmacro STOP_SERVICE "un."

; The starting configuration, from the template with the output folder
; $INSTDIR\saida\ put in (backslashes doubled for JSON). Written as UTF-16
; with its byte-order mark, which the service reads, so that any folder name
; survives.
Function WriteStartingConfig
  InitPluginsDir
  File "/oname=$PLUGINSDIR\kv_redurozozi.json.in" "${STARTING}"
  ${WordReplace} "$INSTDIR\saida\" "\" "\\" "+" $R0
  FileOpen $R1 "$PLUGINSDIR\kv_redurozozi.json.in" r
  FileOpen $R2 "$INSTDIR\kv_redurozozi.json" w
  FileWriteUTF16LE /BOM $R2 ""
  ${Do}
    ClearErrors
    FileRead $R1 $R3
    ${If} ${Errors}
      ${Break}
    ${EndIf}
    ${WordReplace} "$R3" "@PASTA_SAIDA@" "$R0" "+" $R3
    FileWriteUTF16LE $R2 "$R3"
  ${Loop}
  FileClose $R1
  FileClose $R2
FunctionEnd

Section "Install"
  SetOutPath "$INSTDIR"
  Call StopService
  ClearErrors
  File "/oname=kv_redurozozi.exe" "${EXE}"
  File "/oname=kv_redurozozi.example.json" "${EXAMPLE}"
  ${If} ${Errors}
    MessageBox MB_ICONSTOP "Could not write to $INSTDIR." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
  ${IfNot} ${FileExists} "$INSTDIR\kv_redurozozi.json"
    Call WriteStartingConfig
  ${EndIf}

  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "${DISPLAY}"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "the kv_redurozozi maintainers"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\kv_redurozozi.exe"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1

  ; Registers the service (or points an existing registration here) and logs it.
  nsExec::ExecToLog '"$INSTDIR\kv_redurozozi.exe" --install'
  Pop $0
  ${If} $0 != 0
    MessageBox MB_ICONSTOP "kv_redurozozi.exe --install failed ($0); see $INSTDIR\Logs\Redurozozi.txt." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
  ; --install only registers it; Windows would start it at the next boot.
  nsExec::ExecToLog '${SC} start ${SERVICE}'
  Pop $0
  ${If} $0 != 0
    MessageBox MB_ICONEXCLAMATION "The service ${SERVICE} did not start ($0); see $INSTDIR\Logs\Redurozozi.txt." /SD IDOK
    SetErrorLevel 3
  ${EndIf}
SectionEnd

Section "Uninstall"
  Call un.StopService
  nsExec::ExecToLog '"$INSTDIR\kv_redurozozi.exe" --uninstall'
  Pop $0
  ${If} $0 != 0
    DetailPrint "kv_redurozozi.exe --uninstall failed ($0)"
    SetErrorLevel 2
  ${EndIf}
  Delete "$INSTDIR\kv_redurozozi.exe"
  Delete "$INSTDIR\kv_redurozozi.example.json"
  Delete "$INSTDIR\uninstall.exe"
  RMDir /r "$INSTDIR\temp"
  ; The folder stays while the configuration, Logs\, spool\ or the output folder are in it.
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINST_KEY}"
SectionEnd
