# The full sm-crypto round takes about a minute: kept out of `make test`.
morv_gtest(SM2SmCryptoFull_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/smkernel/SM2SmCryptoFull_test.cpp
           LABELS slow TIMEOUT 600)
list(APPEND MORV_CUSTOM_TESTS SM2SmCryptoFull_test.cpp)
