# The test PKI (GOST keys, certificates, CRLs) and the on-disk key containers
# of tests/support, as a library of their own: the tests and benchmarks use
# them, and so does the round-trip program of the main job, which is built in
# every configuration (also those without tests).
dossar_library(NAME test_support_pki
               SOURCES ${CMAKE_SOURCE_DIR}/tests/support/gost_pki.cpp ${CMAKE_SOURCE_DIR}/tests/support/pse_fixture.cpp
               DEPS crypto_pse crypto_pkey crypto_prov crypto_x509 crypto_ecgost crypto_r3410 crypto_rand crypto_bio
                    platform_codepage OpenSSL::Crypto)
# At -O3 g++ 12 reports impossible sizes inside libstdc++'s string code that
# the certificate names inline, as in the tests built from these sources.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  target_compile_options(test_support_pki PRIVATE
    $<$<CONFIG:Release>:-Wno-restrict -Wno-array-bounds -Wno-stringop-overflow -Wno-stringop-overread>)
endif()
