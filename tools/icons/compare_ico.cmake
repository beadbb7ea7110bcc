# Renders the Windows icon afresh and compares it with the one kept in the sources.
execute_process(COMMAND ${RENDER} --ico ${OUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "render-icons --ico failed (${status})")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT} ${KEPT} RESULT_VARIABLE differ)
if(differ)
  message(FATAL_ERROR "${KEPT} is not what the program draws now; refresh it with:\n"
                      "  render-icons --ico ${KEPT}")
endif()
