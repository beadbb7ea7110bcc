# The Windows program's companions: Qt's DLLs and the plugins it loads, and MinGW's C++ runtime,
# which Qt's DLLs use too, so the process holds one runtime. Copied beside the programs in the
# build tree (the window tests and the program run from there under Wine) and installed beside
# them.
set(nira_runtime_dlls)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "The MinGW runtime ${dll} was not found by ${CMAKE_CXX_COMPILER}")
  endif()
  get_filename_component(path "${path}" REALPATH)
  list(APPEND nira_runtime_dlls "${path}")
endforeach()

set(nira_qt_libraries Qt6::Core Qt6::Gui Qt6::Widgets)
# Plugin target and the folder Qt looks for it in, beside the program.
set(nira_qt_plugins
    Qt6::QWindowsIntegrationPlugin platforms
    Qt6::QOffscreenIntegrationPlugin platforms
    Qt6::QMinimalIntegrationPlugin platforms
    Qt6::QWindowsVistaStylePlugin styles
    Qt6::QICOPlugin imageformats
    Qt6::QGifPlugin imageformats)

set(copy_commands)
foreach(dll ${nira_runtime_dlls})
  list(APPEND copy_commands COMMAND ${CMAKE_COMMAND} -E copy_if_different ${dll} ${CMAKE_BINARY_DIR})
endforeach()
foreach(library ${nira_qt_libraries} Qt6::Test)
  list(APPEND copy_commands COMMAND ${CMAKE_COMMAND} -E copy_if_different
       $<TARGET_FILE:${library}> ${CMAKE_BINARY_DIR})
endforeach()
list(LENGTH nira_qt_plugins count)
math(EXPR last "${count} - 1")
foreach(i RANGE 0 ${last} 2)
  math(EXPR j "${i} + 1")
  list(GET nira_qt_plugins ${i} plugin)
  list(GET nira_qt_plugins ${j} folder)
  list(APPEND copy_commands
       COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/${folder}
       COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${plugin}>
               ${CMAKE_BINARY_DIR}/${folder})
  install(FILES $<TARGET_FILE:${plugin}> DESTINATION ${CMAKE_INSTALL_BINDIR}/${folder})
endforeach()
add_custom_target(windows_runtime ALL ${copy_commands} VERBATIM)

install(FILES ${nira_runtime_dlls} DESTINATION ${CMAKE_INSTALL_BINDIR})
# MinGW's runtime comes with its debugging sections (libstdc++ grows 20 MB by them): a stripped
# install (the packages) leaves them out, as it does for the programs.
set(nira_runtime_names)
foreach(dll ${nira_runtime_dlls})
  get_filename_component(name ${dll} NAME)
  list(APPEND nira_runtime_names ${name})
endforeach()
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(dll ${nira_runtime_names})
      execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded
                      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${dll}\"
                      COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endif()")
foreach(library ${nira_qt_libraries})
  install(FILES $<TARGET_FILE:${library}> DESTINATION ${CMAKE_INSTALL_BINDIR})
endforeach()
