# Start, stop and start the kernel under valgrind: no leak and no invalid access across a
# restart (OpenSSL's providers and kctx are torn down and rebuilt). Only in the plain build;
# the sanitizers and valgrind do not mix.
find_program(MORV_VALGRIND valgrind)
if(MORV_VALGRIND AND NOT MORV_SANITIZE)
  add_test(NAME SMKernel_lifecycle_valgrind
    COMMAND ${MORV_VALGRIND} -q --error-exitcode=9 --leak-check=full
            --errors-for-leak-kinds=definite,indirect
            $<TARGET_FILE:SMKernel_test> --gtest_filter=KernelLifeCycle.*)
  set_tests_properties(SMKernel_lifecycle_valgrind PROPERTIES LABELS "valgrind" TIMEOUT 600)
endif()
