# A sparse file of 4 GiB + 10 bytes hashed with SHA-256 and SM3 (and by `openssl dgst`)
# takes tens of seconds: label slow (not in `make test`).
morv_gtest(RsaHashLarge_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/operations/RsaHashLarge_test.cpp
  LABELS slow TIMEOUT 1200)
list(APPEND MORV_CUSTOM_TESTS RsaHashLarge_test.cpp)
