# The Windows installer's script: CPack's own, installing either for everyone or for the current
# user alone (packaging/windows/install-mode.nsh). CPack's asks for administrator rights and
# installs for everyone, which a standard user cannot run.
#
# The script is CPack's with a few pieces replaced, so it follows CMake's fixes; each piece must
# be found, or the configure fails rather than make an installer that asks for the wrong rights.

set(nira_nsis_in ${CMAKE_ROOT}/Modules/Internal/CPack/NSIS.template.in)
if(NOT EXISTS ${nira_nsis_in})
  set(nira_nsis_in ${CMAKE_ROOT}/Modules/NSIS.template.in)
endif()
file(READ ${nira_nsis_in} nira_nsis)

function(nira_nsis_replace what with)
  string(FIND "${nira_nsis}" "${what}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "The installer's script: CPack's NSIS template has no '${what}'")
  endif()
  string(REPLACE "${what}" "${with}" nira_nsis "${nira_nsis}")
  set(nira_nsis "${nira_nsis}" PARENT_SCOPE)
endfunction()

# Replaces the text from `from` up to and including `to` (its first place after `from`).
function(nira_nsis_replace_span from to with)
  string(FIND "${nira_nsis}" "${from}" start)
  if(start EQUAL -1)
    message(FATAL_ERROR "The installer's script: CPack's NSIS template has no '${from}'")
  endif()
  string(SUBSTRING "${nira_nsis}" ${start} -1 rest)
  string(FIND "${rest}" "${to}" length)
  if(length EQUAL -1)
    message(FATAL_ERROR "The installer's script: no '${to}' after '${from}'")
  endif()
  string(LENGTH "${to}" to_length)
  math(EXPR end "${start} + ${length} + ${to_length}")
  string(SUBSTRING "${nira_nsis}" 0 ${start} before)
  string(SUBSTRING "${nira_nsis}" ${end} -1 after)
  set(nira_nsis "${before}${with}${after}" PARENT_SCOPE)
endfunction()

set(nira_uninstall_key
    [=[Software\Microsoft\Windows\CurrentVersion\Uninstall\@CPACK_PACKAGE_INSTALL_REGISTRY_KEY@]=])
set(nira_default_instdir [=[@CPACK_NSIS_INSTALL_ROOT@\@CPACK_PACKAGE_INSTALL_DIRECTORY@]=])

nira_nsis_replace("  RequestExecutionLevel admin\n" "\
  !define UNINSTALL_KEY \"${nira_uninstall_key}\"
  !define SETTINGS_KEY \"Software\\@CPACK_PACKAGE_VENDOR@\\@CPACK_PACKAGE_INSTALL_REGISTRY_KEY@\"
  !define INSTALL_FOLDER \"@CPACK_PACKAGE_INSTALL_DIRECTORY@\"
  !include \"${CMAKE_CURRENT_LIST_DIR}/../packaging/windows/install-mode.nsh\"
  Var MODE_SWITCH
")

nira_nsis_replace("  Page custom InstallOptionsPage\n"
                  "  Page custom InstallOptionsPage\n  !insertmacro MULTIUSER_PAGE_INSTALLMODE\n")

nira_nsis_replace_span("Function un.onInit" "FunctionEnd" [=[
Function un.onInit
  !insertmacro INSTALL_MODE_UNINIT
FunctionEnd]=])

# The mode first, so the copy replaced is the one installed in the same mode.
nira_nsis_replace("Function .onInit\n" "\
Function .onInit
  !insertmacro INSTALL_MODE_INIT \"${nira_default_instdir}\"
")
nira_nsis_replace("ReadRegStr $0 HKLM \"${nira_uninstall_key}\" \"UninstallString\""
                  "ReadRegStr $0 SHCTX \"${nira_uninstall_key}\" \"UninstallString\"")
nira_nsis_replace([=[  ExecWait '"$0" /S _?=$3']=] [=[
  !insertmacro INSTALL_MODE_SWITCH $MODE_SWITCH
  ExecWait '"$0" /S $MODE_SWITCH _?=$3']=])
# What CPack's .onInit did for the mode, which the lines above now do.
nira_nsis_replace_span("  ; check to see if /D has been used to change\n"
                       "      StrCpy $INSTDIR \"${nira_default_instdir}\"\n" "")
nira_nsis_replace("  Var SV_ALLUSERS\n" "")
nira_nsis_replace("  Var IS_DEFAULT_INSTALLDIR\n" "")

file(WRITE ${CMAKE_BINARY_DIR}/nsis/NSIS.template.in "${nira_nsis}")
set(CPACK_MODULE_PATH ${CMAKE_BINARY_DIR}/nsis ${CMAKE_MODULE_PATH})
