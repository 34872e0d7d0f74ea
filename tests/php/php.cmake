# Every tests/php/*.phpt is one ctest entry, run by PHP's own run-tests.php against the module
# (label php). The tests find the sources, the fixtures and the build tree in the environment.
if(TARGET MORVExtension)
  file(GLOB morv_phpt CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/php/*.phpt)
  foreach(phpt ${morv_phpt})
    get_filename_component(tname ${phpt} NAME_WE)
    add_test(NAME php_${tname}
      COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/php/run-phpt.sh $<TARGET_FILE:MORVExtension> ${phpt})
    set_tests_properties(php_${tname} PROPERTIES LABELS php TIMEOUT 300
      ENVIRONMENT "MORV_SOURCE_DIR=${CMAKE_SOURCE_DIR};MORV_BINARY_DIR=${CMAKE_BINARY_DIR};MORV_TEST_DATA_DIR=${CMAKE_SOURCE_DIR}/tests/data")
  endforeach()
endif()
