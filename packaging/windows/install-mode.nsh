; Installing for everyone or for the current user alone, included by the installer's script
; (cmake/nsis-template.cmake). Administrators are asked to elevate and may choose, on a page or
; with /AllUsers or /CurrentUser; a standard user installs for themselves without being asked for
; rights they do not have. Expects UNINSTALL_KEY, SETTINGS_KEY and INSTALL_FOLDER.

!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODEPAGE_SHOWUSERNAME
!define MULTIUSER_INSTALLMODE_INSTDIR "${INSTALL_FOLDER}"
; The uninstaller, and a new version, find the mode from where the uninstall entry is.
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_KEY "${UNINSTALL_KEY}"
!define MULTIUSER_INSTALLMODE_DEFAULT_REGISTRY_VALUENAME "UninstallString"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_KEY "${SETTINGS_KEY}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_VALUENAME ""
!include MultiUser.nsh
!include FileFunc.nsh
!include LogicLib.nsh

Var GIVEN_INSTDIR

; MultiUser's own reading of the command line brings a StrStr the script already has.
!macro MODE_FROM_COMMAND_LINE UN
  ${${UN}GetParameters} $R0
  ClearErrors
  ${${UN}GetOptions} $R0 "/CurrentUser" $R1
  ${IfNot} ${Errors}
    Call ${UN}MultiUser.InstallMode.CurrentUser
  ${EndIf}
  ClearErrors
  ${${UN}GetOptions} $R0 "/AllUsers" $R1
  ${IfNot} ${Errors}
    ${If} $MultiUser.Privileges == "Admin"
    ${OrIf} $MultiUser.Privileges == "Power"
      Call ${UN}MultiUser.InstallMode.AllUsers
    ${Else}
      MessageBox MB_OK|MB_ICONSTOP "This account may not install or remove $(^Name) for all users of this computer. Run it as an administrator, or use /CurrentUser." /SD IDOK
      SetErrorLevel 740 ; ERROR_ELEVATION_REQUIRED
      Quit
    ${EndIf}
  ${EndIf}
!macroend

!macro INSTALL_MODE_INIT DEFAULT_INSTDIR
  ; The mode sets the folder; one given with /D is kept.
  StrCpy $GIVEN_INSTDIR "$INSTDIR"
  !insertmacro MULTIUSER_INIT
  !insertmacro MODE_FROM_COMMAND_LINE ""
  ${If} "$GIVEN_INSTDIR" != "${DEFAULT_INSTDIR}"
    StrCpy $INSTDIR "$GIVEN_INSTDIR"
  ${EndIf}
!macroend

!macro INSTALL_MODE_UNINIT
  !insertmacro MULTIUSER_UNINIT
  !insertmacro MODE_FROM_COMMAND_LINE un.
!macroend

; The switch handing this mode to the uninstaller of the copy being replaced.
!macro INSTALL_MODE_SWITCH VAR
  ${If} $MultiUser.InstallMode == "CurrentUser"
    StrCpy ${VAR} "/CurrentUser"
  ${Else}
    StrCpy ${VAR} "/AllUsers"
  ${EndIf}
!macroend
