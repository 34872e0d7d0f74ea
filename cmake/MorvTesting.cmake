# Test helpers shared by tests/, fuzz/ and bench/.
find_package(GTest QUIET)
include(GoogleTest)

# morv_gtest(<name> SOURCES <files...> [LINK morv_core|MORV] [LABELS <labels...>]
#            [ENVIRONMENT <VAR=value...>] [TIMEOUT <seconds>])
# One executable; every test case becomes its own ctest entry, so each runs in its own
# process (logging state is process-global). Every such entry carries the label "cpp", or
# the one label given (see below).
function(morv_gtest name)
  cmake_parse_arguments(T "" "LINK;TIMEOUT" "SOURCES;LABELS;ENVIRONMENT" ${ARGN})
  if(NOT T_LINK)
    set(T_LINK morv_core)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LINK} GTest::gtest GTest::gtest_main OpenSSL::Crypto Threads::Threads)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests/support ${CMAKE_SOURCE_DIR}/foundation
    ${CMAKE_SOURCE_DIR}/foundation/zlog ${CMAKE_SOURCE_DIR}/smkernel ${CMAKE_SOURCE_DIR}/formats
    ${CMAKE_SOURCE_DIR}/operations ${CMAKE_SOURCE_DIR}/sdk)
  target_compile_definitions(${name} PRIVATE
    MORV_TEST_DATA_DIR="${CMAKE_SOURCE_DIR}/tests/data"
    MORV_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    MORV_BINARY_DIR="${CMAKE_BINARY_DIR}")
  # gtest_discover_tests loses the escaping of a list-valued property (the labels would
  # spill into the next property names and TIMEOUT would be lost), so an entry carries one
  # label: the one given (e.g. slow, which neither `make test` run then picks up), else cpp.
  set(label cpp)
  if(T_LABELS)
    list(GET T_LABELS 0 label)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES LABELS ${label} TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${T_ENVIRONMENT}")
endfunction()

# morv_fuzzer(<name> <source>): a libFuzzer target when MORV_FUZZ is on; in every build a
# replay program that runs the committed seed corpus fuzz/corpus/<name>/ as a ctest entry.
function(morv_fuzzer name source)
  set(corpus ${CMAKE_SOURCE_DIR}/fuzz/corpus/${name})
  if(MORV_FUZZ)
    add_executable(${name} ${source})
    target_link_libraries(${name} PRIVATE morv_core)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    add_test(NAME ${name}_corpus COMMAND ${name} -runs=0 ${corpus})
  else()
    add_executable(${name} ${source} ${CMAKE_SOURCE_DIR}/fuzz/ReplayMain.cpp)
    target_link_libraries(${name} PRIVATE morv_core)
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
    add_test(NAME ${name}_corpus COMMAND ${name} ${corpus})
  endif()
  set_tests_properties(${name}_corpus PROPERTIES LABELS "cpp;fuzz" TIMEOUT 300)
endfunction()
