# SM3 over a sparse file of 4 GiB + 10 bytes takes tens of seconds on both sides: label slow.
morv_gtest(Sm3Z_slow_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/operations/Sm3Z_slow_test.cpp
  LABELS slow TIMEOUT 1200)
list(APPEND MORV_CUSTOM_TESTS Sm3Z_slow_test.cpp)
