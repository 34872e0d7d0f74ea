# The constant-time checks under valgrind's memcheck (secrets marked undefined): any
# conditional jump or address that depends on them is an error. The table path must be
# caught, or the check proves nothing. Only in the plain build (no sanitizers).
morv_gtest(SMConstantTime_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/smkernel/SMConstantTime_test.cpp TIMEOUT 120)
list(APPEND MORV_CUSTOM_TESTS SMConstantTime_test.cpp)
find_program(MORV_VALGRIND valgrind)
if(MORV_VALGRIND AND NOT MORV_SANITIZE)
  add_test(NAME sm_constant_time
    COMMAND ${MORV_VALGRIND} -q --error-exitcode=9 $<TARGET_FILE:SMConstantTime_test>
            --gtest_filter=ConstantTime.*-ConstantTime.TablePathIsSeen)
  add_test(NAME sm_constant_time_sees_tables
    COMMAND ${MORV_VALGRIND} -q --error-exitcode=9 $<TARGET_FILE:SMConstantTime_test>
            --gtest_filter=ConstantTime.TablePathIsSeen)
  set_tests_properties(sm_constant_time sm_constant_time_sees_tables PROPERTIES LABELS "valgrind" TIMEOUT 600)
  set_tests_properties(sm_constant_time_sees_tables PROPERTIES WILL_FAIL TRUE)
endif()
