# SDK tests reach our code as native callers do: through sdk/MORV.h and libMORV.so.3.
file(GLOB sdk_tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/sdk/*_test.cpp)
list(FILTER sdk_tests EXCLUDE REGEX "/SdkRestart_test\\.cpp$")
foreach(src ${sdk_tests})
  get_filename_component(fname ${src} NAME)
  get_filename_component(tname ${src} NAME_WE)
  list(APPEND MORV_CUSTOM_TESTS ${fname})
  morv_gtest(${tname} SOURCES ${src} LINK MORV TIMEOUT 300)
endforeach()
# 500 kernel restarts beside eight busy threads: some seconds alone, far longer under a
# sanitizer on a loaded machine. In a ThreadSanitizer build it carries the label "tsan".
set(sdk_restart_label cpp)
if(MORV_SANITIZE STREQUAL "thread")
  set(sdk_restart_label tsan)
endif()
morv_gtest(SdkRestart_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/sdk/SdkRestart_test.cpp LINK MORV
           LABELS ${sdk_restart_label} TIMEOUT 1800)
list(APPEND MORV_CUSTOM_TESTS SdkRestart_test.cpp)

# The public header is C: a C program compiled against it links and runs a round trip.
add_executable(sdk_c_caller ${CMAKE_CURRENT_SOURCE_DIR}/sdk/sdk_c_caller.c)
target_compile_options(sdk_c_caller PRIVATE -std=c11 -pedantic -Werror)
target_link_libraries(sdk_c_caller PRIVATE MORV)
# clang's UBSan keeps the C++ half of its runtime, which libMORV.so.3 needs, for the C++ linker.
if(CMAKE_C_COMPILER_ID STREQUAL "Clang" AND (MORV_FUZZ OR MORV_SANITIZE))
  set_target_properties(sdk_c_caller PROPERTIES LINKER_LANGUAGE CXX)
endif()
add_test(NAME sdk_c_caller COMMAND sdk_c_caller ${CMAKE_SOURCE_DIR}/tests/data/pki)
set_tests_properties(sdk_c_caller PROPERTIES LABELS cpp TIMEOUT 120)
