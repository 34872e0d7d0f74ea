# In a ThreadSanitizer build (-DMORV_SANITIZE=thread) the threaded logging tests carry the
# label "tsan", so that `ctest -L tsan` runs just them: writers at once, threads coming and
# going, logging stopped and restarted while others log.
if(MORV_SANITIZE STREQUAL "thread")
  morv_gtest(zlog_threads_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/foundation/zlog_threads_test.cpp
             LABELS tsan TIMEOUT 600)
  list(APPEND MORV_CUSTOM_TESTS zlog_threads_test.cpp)
endif()
