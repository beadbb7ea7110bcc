# What `cmake --install` puts where, and the Debian package CPack makes of it (scripts/package.sh).
include(GNUInstallDirs)

# The system's own places when installed for the system (prefix /usr); under the prefix otherwise.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(NIRA_SYSTEMD_UNIT_DIR /lib/systemd/system)
  set(NIRA_SYSCONF_DIR /etc)
else()
  set(NIRA_SYSTEMD_UNIT_DIR lib/systemd/system)
  set(NIRA_SYSCONF_DIR ${CMAKE_INSTALL_SYSCONFDIR})
endif()
set(NIRA_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(NIRA_LISTEN_PACKAGING_DIR ${NIRA_PACKAGING_DIR}/listen)

# Two Debian packages: nira7-listen (the listener and its service; libc and libstdc++ only) for
# a site PC without a desktop, and nira7-analyser (the window, the simulator).
install(TARGETS nira7-listen RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT listen)
set(nira_programs)
if(TARGET nira7-analyser)
  list(APPEND nira_programs nira7-analyser)
endif()
if(TARGET nira7-receiver-sim)
  list(APPEND nira_programs nira7-receiver-sim)
endif()
if(nira_programs)
  install(TARGETS ${nira_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT analyser)
endif()

if(NOT WIN32)
  # Manual pages and the changelog compressed as Debian wants them: gzip -9n, no time stamp.
  set(nira_compressed)
  foreach(page_and_component nira7-analyser:analyser listen/nira7-listen:listen
                             nira7-receiver-sim:analyser)
    string(REPLACE ":" ";" page_and_component ${page_and_component})
    list(GET page_and_component 0 source)
    list(GET page_and_component 1 component)
    get_filename_component(page ${source} NAME)
    set(out ${CMAKE_BINARY_DIR}/packaging/${page}.1.gz)
    add_custom_command(OUTPUT ${out}
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
                       COMMAND gzip -9n -c ${NIRA_PACKAGING_DIR}/${source}.1 > ${out}
                       DEPENDS ${NIRA_PACKAGING_DIR}/${source}.1)
    list(APPEND nira_compressed ${out})
    install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${component})
  endforeach()
  set(changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
  add_custom_command(OUTPUT ${changelog}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
                     COMMAND gzip -9n -c ${NIRA_PACKAGING_DIR}/changelog > ${changelog}
                     DEPENDS ${NIRA_PACKAGING_DIR}/changelog)
  list(APPEND nira_compressed ${changelog})
  add_custom_target(packaging_files ALL DEPENDS ${nira_compressed})
  foreach(component analyser listen)
    install(FILES ${changelog} ${NIRA_PACKAGING_DIR}/copyright
            DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/nira7-${component} COMPONENT ${component})
  endforeach()

  install(FILES "${NIRA_LISTEN_PACKAGING_DIR}/nira7-listen@.service"
                "${NIRA_LISTEN_PACKAGING_DIR}/nira7-listen-mqtt@.service"
          DESTINATION ${NIRA_SYSTEMD_UNIT_DIR} COMPONENT listen)
  # The broker's settings and login: root's alone, systemd reads them for the service.
  install(FILES ${NIRA_LISTEN_PACKAGING_DIR}/mqtt.env
          DESTINATION ${NIRA_SYSCONF_DIR}/nira7-listen PERMISSIONS OWNER_READ OWNER_WRITE
          COMPONENT listen)
  install(FILES ${NIRA_LISTEN_PACKAGING_DIR}/nira7-listen.logrotate
          DESTINATION ${NIRA_SYSCONF_DIR}/logrotate.d RENAME nira7-listen COMPONENT listen)
  if(TARGET nira7-analyser)
    install(FILES ${NIRA_PACKAGING_DIR}/org.example.Nira7Analyser.desktop
            DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT analyser)
    install(FILES ${NIRA_PACKAGING_DIR}/org.example.Nira7Analyser.metainfo.xml
            DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo COMPONENT analyser)
  endif()
endif()

set(CPACK_PACKAGE_NAME nira7-analyser)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The NIRA-7 team")
set(CPACK_PACKAGE_CONTACT "The NIRA-7 team <team@example.org>")
set(nira_summary "analyser for a radio receiver on a serial port")
if(WIN32)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${nira_summary}")
endif()
# (CPack's Debian generator would put that summary above each package's own description.)
set(CPACK_PACKAGE_DESCRIPTION
    "The analyser listens to a PowerCode/CodeSecure radio receiver on a serial\n"
    "port, answers each test and event message, decodes it and logs one\n"
    "time-stamped line per message. A receiver simulator lets it be tried\n"
    "without hardware. The package nira7-listen does the same without a window,\n"
    "for unattended captures.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_STRIP_FILES ON)
if(WIN32)
  # The Windows installer (NSIS) and a zip of the same files; scripts/package-windows.sh.
  set(CPACK_GENERATOR NSIS ZIP)
  set(CPACK_PACKAGE_FILE_NAME nira7-analyser-${PROJECT_VERSION}-win64)
  set(CPACK_PACKAGE_INSTALL_DIRECTORY "NIRA-7 UART Analyser")
  set(CPACK_PACKAGE_EXECUTABLES nira7-analyser "NIRA-7 UART Analyser")
  set(CPACK_NSIS_PACKAGE_NAME "NIRA-7 UART Analyser")
  set(CPACK_NSIS_DISPLAY_NAME "NIRA-7 UART Analyser ${PROJECT_VERSION}")
  set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
  set(CPACK_NSIS_MUI_ICON ${NIRA_PACKAGING_DIR}/windows/nira7-analyser.ico)
  set(CPACK_NSIS_MUI_UNIICON ${NIRA_PACKAGING_DIR}/windows/nira7-analyser.ico)
  # Written through two layers of escapes: one backslash arrives.
  set(CPACK_NSIS_INSTALLED_ICON_NAME "bin\\\\nira7-analyser.exe")
  set(CPACK_NSIS_ENABLE_UNINSTALL_BEFORE_INSTALL ON)
  set(CPACK_NSIS_EXECUTABLE ${NIRA_PACKAGING_DIR}/windows/makensis-amd64.sh)
  set(CPACK_NSIS_EXECUTABLES_DIRECTORY bin)
  set(CPACK_NSIS_CONTACT "${CPACK_PACKAGE_CONTACT}")
  set(CPACK_NSIS_URL_INFO_ABOUT "https://www.example.org/")
  set(CPACK_RESOURCE_FILE_LICENSE ${NIRA_PACKAGING_DIR}/windows/license.txt)
  install(FILES ${NIRA_PACKAGING_DIR}/windows/license.txt DESTINATION .)
  include(${CMAKE_CURRENT_LIST_DIR}/nsis-template.cmake)
else()
  set(CPACK_GENERATOR DEB)
endif()
if(WIN32)
  # One installer with everything.
  set(CPACK_MONOLITHIC_INSTALL ON)
else()
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL listen)
  if(TARGET nira7-analyser)
    list(APPEND CPACK_COMPONENTS_ALL analyser)
  endif()
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.example.org/")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_ANALYSER_PACKAGE_NAME nira7-analyser)
set(CPACK_DEBIAN_ANALYSER_DESCRIPTION
    "${nira_summary}\n${CPACK_PACKAGE_DESCRIPTION}")
# The window's package brings the listener along where it can; a site PC takes the listener alone.
set(CPACK_DEBIAN_ANALYSER_PACKAGE_RECOMMENDS nira7-listen)

set(CPACK_DEBIAN_LISTEN_PACKAGE_NAME nira7-listen)
set(CPACK_DEBIAN_LISTEN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_LISTEN_PACKAGE_DEPENDS adduser)
string(CONCAT CPACK_DEBIAN_LISTEN_DESCRIPTION
    "unattended capture from a radio receiver on a serial port\n"
    "nira7-listen answers each test and event message of a PowerCode/CodeSecure\n"
    "receiver and logs one time-stamped line per message, without a window. A\n"
    "service per device (nira7-listen@ttyUSB0) keeps it running on a site PC.")
set(nira_listen_control)
foreach(file conffiles postinst prerm postrm)
  configure_file(${NIRA_LISTEN_PACKAGING_DIR}/${file} ${CMAKE_BINARY_DIR}/packaging/listen/${file}
                 COPYONLY)
  list(APPEND nira_listen_control ${CMAKE_BINARY_DIR}/packaging/listen/${file})
endforeach()
set(CPACK_DEBIAN_LISTEN_PACKAGE_CONTROL_EXTRA "${nira_listen_control}")
include(CPack)
