# Every tests/php/*.phpt is one ctest entry, run by PHP's own run-tests.php against the module
# (label php; slow for a name ending in _slow). The tests find the sources, the fixtures and the
# build tree in the environment. Not in sanitizer builds: PHP loads modules with RTLD_DEEPBIND,
# which the sanitizer runtime refuses; valgrind runs (label slow) check the module instead.
if(TARGET MORVExtension AND NOT MORV_SANITIZE)
  file(GLOB morv_phpt CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/php/*.phpt)
  foreach(phpt ${morv_phpt})
    get_filename_component(tname ${phpt} NAME_WE)
    add_test(NAME php_${tname}
      COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/php/run-phpt.sh $<TARGET_FILE:MORVExtension> ${phpt})
    set(label php)
    if(tname MATCHES "_slow$")
      set(label slow)
    endif()
    set_tests_properties(php_${tname} PROPERTIES LABELS ${label} TIMEOUT 600
      ENVIRONMENT "MORV_SOURCE_DIR=${CMAKE_SOURCE_DIR};MORV_BINARY_DIR=${CMAKE_BINARY_DIR};MORV_TEST_DATA_DIR=${CMAKE_SOURCE_DIR}/tests/data")
  endforeach()
endif()

# make install under DESTDIR: the files, the ini line, the staged module and header.
if(TARGET MORVExtension AND NOT MORV_SANITIZE)
  add_test(NAME php_make_install
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/php/check_install.sh ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR})
  set_tests_properties(php_make_install PROPERTIES LABELS php TIMEOUT 120)
  add_test(NAME php_module_exports
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/php/check_module_exports.sh $<TARGET_FILE:MORVExtension>)
  set_tests_properties(php_module_exports PROPERTIES LABELS php TIMEOUT 60)

  # The demo on the sample data, and again under valgrind (PHP's own allocator off, so that
  # every allocation is seen): no invalid access, no definite leak.
  set(morv_demo_cmd php -n -d extension=$<TARGET_FILE:MORVExtension> ${CMAKE_SOURCE_DIR}/examples/demo.php)
  add_test(NAME php_demo COMMAND ${morv_demo_cmd})
  set_tests_properties(php_demo PROPERTIES LABELS php TIMEOUT 300
    ENVIRONMENT "MORV_BUILD_DIR=${CMAKE_BINARY_DIR}")
  add_test(NAME php_demo_valgrind
    COMMAND valgrind -q --error-exitcode=9 --leak-check=full --errors-for-leak-kinds=definite
            --keep-debuginfo=yes --suppressions=${CMAKE_CURRENT_SOURCE_DIR}/php/valgrind.supp
            ${morv_demo_cmd})
  set_tests_properties(php_demo_valgrind PROPERTIES LABELS slow TIMEOUT 1800
    ENVIRONMENT "MORV_BUILD_DIR=${CMAKE_BINARY_DIR}/valgrind;USE_ZEND_ALLOC=0")
endif()
