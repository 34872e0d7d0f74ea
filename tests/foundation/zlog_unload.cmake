# A program that loads libMORV.so.3, logs from a worker thread and unloads the library while
# the worker still runs; the worker's exit must not reach a destructor in the unloaded code.
# The worker's buffers cannot be freed from another thread, so leak checking is off for it.
add_executable(zlog_unload_harness ${CMAKE_CURRENT_SOURCE_DIR}/foundation/zlog_unload_harness.cpp)
target_include_directories(zlog_unload_harness PRIVATE ${CMAKE_SOURCE_DIR}/foundation/zlog)
target_link_libraries(zlog_unload_harness PRIVATE Threads::Threads ${CMAKE_DL_LIBS})
add_dependencies(zlog_unload_harness MORV)
add_test(NAME zlog_unload_with_live_thread COMMAND zlog_unload_harness $<TARGET_FILE:MORV>)
set_tests_properties(zlog_unload_with_live_thread PROPERTIES LABELS cpp TIMEOUT 120
  ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0")
