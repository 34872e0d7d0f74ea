# The 4 GiB + 1 byte SM3 message takes tens of seconds: label slow (not in `make test`).
morv_gtest(SM3_slow_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/smkernel/SM3_slow_test.cpp
  LABELS slow TIMEOUT 900)
list(APPEND MORV_CUSTOM_TESTS SM3_slow_test.cpp)
