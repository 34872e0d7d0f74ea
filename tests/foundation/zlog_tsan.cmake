# In a ThreadSanitizer build (-DMORV_SANITIZE=thread) the logging tests with threads carry the
# label "tsan", so that `ctest -L tsan` runs just them: writers at once, threads coming and
# going, logging stopped and restarted while others log, the key's life at exit.
if(MORV_SANITIZE STREQUAL "thread")
  foreach(t zlog_threads_test zlog_api_test zlog_rotation_test)
    morv_gtest(${t} SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/foundation/${t}.cpp LABELS tsan TIMEOUT 600)
    list(APPEND MORV_CUSTOM_TESTS ${t}.cpp)
  endforeach()
endif()
