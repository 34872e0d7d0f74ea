# Run by the layer_rules test: every probe builds with the upper layer's include paths and
# fails with the lower layer's.
set(failures "")
foreach(probe ${MORV_LAYER_PROBES})
  foreach(kind ok bad)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${MORV_BINARY_DIR} --target layer_probe_${kind}_${probe}
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(kind STREQUAL ok AND NOT result EQUAL 0)
      list(APPEND failures "${probe}: the probe does not build even with the upper layer's paths:\n${output}")
    elseif(kind STREQUAL bad AND result EQUAL 0)
      list(APPEND failures "${probe}: the lower layer can include the upper layer's header")
    else()
      message(STATUS "${probe} ${kind}: as expected")
    endif()
  endforeach()
endforeach()
if(failures)
  message(FATAL_ERROR "${failures}")
endif()
