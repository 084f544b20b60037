; The demo's update installer: installs version 2 of the stand-in main
; application into the application's folder. "/silent", in any letter case,
; runs it without a window, as the updater starts it; without it, the
; ordinary progress page shows. Each run appends its start and end to the
; demo's timeline (%UPDATER_E2E_LOG%), like the other stand-ins.
;
;   makensis -DAPPDIR=<app folder, Windows path> -DPAYLOAD=<zvr v2 exe>
;            -DOUTFILE=<installer to write> zvr-v2-setup.nsi
!include FileFunc.nsh
!include LogicLib.nsh

Name "Zelvaro 2"
OutFile "${OUTFILE}"
InstallDir "${APPDIR}"
RequestExecutionLevel user
ShowInstDetails show
Page instfiles

; Appends "<microseconds>\tinstaller\t<pid>\t<event>\t<detail>" to the
; timeline, on the performance counter's clock that the other processes use.
!macro LogEvent EVENT DETAIL
  ReadEnvStr $R0 UPDATER_E2E_LOG
  ${If} $R0 != ""
    System::Call 'kernel32::QueryPerformanceCounter(*l .R1)'
    System::Call 'kernel32::QueryPerformanceFrequency(*l .R2)'
    ; whole seconds and the rest apart, so that the product cannot overflow
    System::Int64Op $R1 / $R2
    Pop $R3
    System::Int64Op $R3 * 1000000
    Pop $R3
    System::Int64Op $R1 % $R2
    Pop $R4
    System::Int64Op $R4 * 1000000
    Pop $R4
    System::Int64Op $R4 / $R2
    Pop $R4
    System::Int64Op $R3 + $R4
    Pop $R3
    System::Call 'kernel32::GetCurrentProcessId() i .R5'
    FileOpen $R6 $R0 a
    FileSeek $R6 0 END
    FileWrite $R6 "$R3$\tinstaller$\t$R5$\t${EVENT}$\t${DETAIL}$\n"
    FileClose $R6
  ${EndIf}
!macroend

Function .onInit
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/silent" $1  ; GetOptions ignores letter case
  ${IfNot} ${Errors}
    SetSilent silent
  ${EndIf}
  !insertmacro LogEvent "start" "$CMDLINE"
FunctionEnd

Section "Zelvaro 2"
  SetOutPath "$INSTDIR"
  ; Long enough for the update to be seen on the timeline.
  Sleep 800
  ClearErrors
  File "/oname=zvr.exe" "${PAYLOAD}"
  ${If} ${Errors}
    ; Still in use, say: the update did not happen, and the exit code says so.
    !insertmacro LogEvent "failed" "$INSTDIR\zvr.exe"
    SetErrorLevel 2
    Quit
  ${EndIf}
  !insertmacro LogEvent "installed" "$INSTDIR\zvr.exe"
SectionEnd

Function .onInstSuccess
  !insertmacro LogEvent "end" "0"
FunctionEnd
