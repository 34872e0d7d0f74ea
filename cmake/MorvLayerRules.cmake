# layer_rules: a layer that includes a header of a layer above it must not build. Each probe
# is one source including an upper layer's header by its bare name; it is compiled once with
# the upper layer's include paths (must build: the probe itself is sound) and once with the
# lower layer's (must fail). The probes are built by the test, never by `all`.
set(MORV_LAYER_PROBES "")
function(morv_layer_probe lower upper header)
  set(src ${CMAKE_BINARY_DIR}/layer_probes/${lower}_includes_${upper}.cpp)
  file(WRITE ${src} "// ${lower} code including a ${upper} header.\n#include \"${header}\"\n")
  foreach(kind ok bad)
    if(kind STREQUAL ok)
      set(includes ${MORV_INCLUDES_${upper}})
    else()
      set(includes ${MORV_INCLUDES_${lower}})
    endif()
    set(target layer_probe_${kind}_${lower}_${upper})
    add_library(${target} OBJECT EXCLUDE_FROM_ALL ${src})
    target_include_directories(${target} PRIVATE ${includes})
    target_link_libraries(${target} PRIVATE OpenSSL::Crypto)
  endforeach()
  set(MORV_LAYER_PROBES ${MORV_LAYER_PROBES} ${lower}_${upper} PARENT_SCOPE)
endfunction()

# The first header of a layer, by bare name; empty when the layer has none yet.
function(morv_first_header layer out)
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${layer}/*.h)
  list(SORT headers)
  set(name "")
  if(headers)
    list(GET headers 0 first)
    get_filename_component(name ${first} NAME)
  endif()
  set(${out} ${name} PARENT_SCOPE)
endfunction()

morv_layer_probe(foundation smkernel SM2.h)
morv_layer_probe(smkernel formats FormatNodes.h)
morv_first_header(operations operations_header)
if(operations_header)
  morv_layer_probe(formats operations ${operations_header})
endif()
morv_first_header(sdk sdk_header)
if(sdk_header)
  morv_layer_probe(operations sdk ${sdk_header})
endif()

add_test(NAME layer_rules
  COMMAND ${CMAKE_COMMAND} -DMORV_BINARY_DIR=${CMAKE_BINARY_DIR} "-DMORV_LAYER_PROBES=${MORV_LAYER_PROBES}"
          -P ${CMAKE_SOURCE_DIR}/cmake/MorvLayerRulesCheck.cmake)
set_tests_properties(layer_rules PROPERTIES LABELS "cpp" TIMEOUT 300)
