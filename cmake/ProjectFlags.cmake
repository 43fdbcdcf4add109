# Compiler flags and the small helpers every module uses to declare its targets.

option(DOSSAR_WERROR "Treat warnings of project code as errors" ON)
# Stricter warnings, on by default; each can be switched off alone to count
# what it flags (with DOSSAR_WERROR=OFF).
option(DOSSAR_WSHADOW "Warn about shadowed names in project code (-Wshadow)" ON)
option(DOSSAR_WFORMAT2 "Extra printf-format checks in project code (-Wformat=2)" ON)
option(DOSSAR_WCONVERSION "Warn about narrowing conversions in the crypto libraries (-Wconversion)" ON)

set(DOSSAR_WARNINGS -Wall -Wextra)
if(DOSSAR_WERROR)
  list(APPEND DOSSAR_WARNINGS -Werror)
endif()
if(DOSSAR_WSHADOW)
  list(APPEND DOSSAR_WARNINGS -Wshadow)
endif()
if(DOSSAR_WFORMAT2)
  list(APPEND DOSSAR_WARNINGS -Wformat=2)
endif()
# Only the crypto libraries: that is where a silently truncated length or
# word does damage (see dossar_library).
set(DOSSAR_CRYPTO_WARNINGS)
if(DOSSAR_WCONVERSION)
  list(APPEND DOSSAR_CRYPTO_WARNINGS -Wconversion)
endif()

# Only the OpenSSL 3 interface: no deprecated names (several of them are
# macros that would shadow the library's own functions of the same name).
add_compile_definitions(OPENSSL_API_COMPAT=30000 OPENSSL_NO_DEPRECATED)

# Test hooks (deterministic seeding, forced code paths, allocator overrides)
# exist only in builds that carry tests or benchmarks; a shipped build has none.
if(DOSSAR_TESTS OR DOSSAR_BENCH OR DOSSAR_FUZZ)
  set(DOSSAR_TEST_HOOKS_DEFAULT ON)
else()
  set(DOSSAR_TEST_HOOKS_DEFAULT OFF)
endif()
option(DOSSAR_TEST_HOOKS "Compile the test hooks into the libraries" ${DOSSAR_TEST_HOOKS_DEFAULT})
if(DOSSAR_TEST_HOOKS)
  add_compile_definitions(QCRYPTO_TEST_HOOKS)
endif()

if(DOSSAR_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "DOSSAR_FUZZ needs clang (CXX=clang++)")
  endif()
  # The g++ configuration holds the warnings line; here only the fuzzers matter.
  list(REMOVE_ITEM DOSSAR_WARNINGS -Werror)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  # Hand-written assembly runs out of registers under clang's instrumentation;
  # the portable arithmetic gives the same results (checked in the tests).
  add_compile_definitions(QCRYPTO_NO_ASM)
  add_link_options(-fsanitize=address,undefined)
endif()

if(DOSSAR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# ThreadSanitizer cannot share a process with AddressSanitizer, and clang runs
# out of registers on the curve assembly under it: a g++ configuration of its own.
option(DOSSAR_TSAN "Build with ThreadSanitizer (g++)" OFF)
if(DOSSAR_TSAN)
  if(DOSSAR_SANITIZE OR DOSSAR_FUZZ)
    message(FATAL_ERROR "DOSSAR_TSAN excludes DOSSAR_SANITIZE and DOSSAR_FUZZ")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()

# Hardening of everything the build links. None of these warn, so they are on
# in every configuration.
add_compile_options(-fstack-protector-strong -fcf-protection=full)
add_link_options(LINKER:-z,relro,-z,now)
# The checked libc calls need optimisation to see object sizes, and the
# sanitizers intercept the plain calls, not the checked ones: only optimised
# builds without a sanitizer get them.
if(NOT (DOSSAR_SANITIZE OR DOSSAR_TSAN OR DOSSAR_FUZZ))
  add_compile_options($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE>
                      $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-D_FORTIFY_SOURCE=2>)
endif()
# Shared libraries must resolve every symbol at link time, so a missing
# dependency fails the build instead of the first dlopen. Sanitizer runtimes
# are resolved from the executable, hence not in those builds.
set(DOSSAR_SHARED_LINK_OPTIONS)
if(NOT (DOSSAR_SANITIZE OR DOSSAR_TSAN OR DOSSAR_FUZZ))
  list(APPEND DOSSAR_SHARED_LINK_OPTIONS LINKER:--no-undefined)
endif()

# Sources named *_avx2.cpp (and *_avx512.cpp) are the vector paths chosen at
# run time; only they get the instruction-set flags, so the rest of the
# binary runs anywhere.
function(dossar_mark_simd_sources)
  foreach(src IN LISTS ARGN)
    if(src MATCHES "_avx2\\.cpp$")
      set_source_files_properties(${src} PROPERTIES COMPILE_OPTIONS "-mavx2;-mbmi2")
    endif()
    # AVX-512 paths need the VBMI byte permutes; their callers check the CPU
    # and the operating system's saved state (XCR0) first.
    if(src MATCHES "_avx512\\.cpp$")
      set_source_files_properties(${src} PROPERTIES COMPILE_OPTIONS
        "-mavx2;-mbmi2;-mavx512f;-mavx512bw;-mavx512vl;-mavx512vbmi")
    endif()
  endforeach()
endfunction()

# dossar_library(NAME <target> [SOURCES ...] [GLOB_DIR <dir>] [DEPS ...])
# A static library of one module folder (or a sub-folder of crypto/).
function(dossar_library)
  cmake_parse_arguments(A "" "NAME;GLOB_DIR" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  set(srcs ${A_SOURCES})
  if(A_GLOB_DIR)
    file(GLOB globbed CONFIGURE_DEPENDS ${A_GLOB_DIR}/*.cpp)
    list(APPEND srcs ${globbed})
  endif()
  if(NOT srcs)
    # A module whose code has not landed yet still gives dependents a target.
    add_library(${A_NAME} INTERFACE)
    target_include_directories(${A_NAME} INTERFACE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${A_NAME} INTERFACE ${A_DEPS})
    return()
  endif()
  add_library(${A_NAME} STATIC ${srcs})
  dossar_mark_simd_sources(${srcs})
  target_compile_options(${A_NAME} PRIVATE ${DOSSAR_WARNINGS})
  if(CMAKE_CURRENT_SOURCE_DIR MATCHES "^${CMAKE_SOURCE_DIR}/crypto(/|$)")
    target_compile_options(${A_NAME} PRIVATE ${DOSSAR_CRYPTO_WARNINGS})
  endif()
  target_include_directories(${A_NAME} PUBLIC ${CMAKE_SOURCE_DIR})
  set_target_properties(${A_NAME} PROPERTIES CXX_VISIBILITY_PRESET hidden
                                             VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${A_NAME} PUBLIC ${A_DEPS} PRIVATE ${A_PRIVATE_DEPS})
endfunction()

# dossar_shared_library(NAME <target> [SOURCES ...] [DEPS ...] [PRIVATE_DEPS ...])
# A shared library of the product (loaded by name or linked by the programs):
# hidden symbols by default and every symbol resolved at link time.
function(dossar_shared_library)
  cmake_parse_arguments(A "" "NAME" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${A_NAME} SHARED ${A_SOURCES})
  dossar_mark_simd_sources(${A_SOURCES})
  target_compile_options(${A_NAME} PRIVATE ${DOSSAR_WARNINGS})
  target_include_directories(${A_NAME} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_options(${A_NAME} PRIVATE ${DOSSAR_SHARED_LINK_OPTIONS})
  set_target_properties(${A_NAME} PROPERTIES CXX_VISIBILITY_PRESET hidden
                                             VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${A_NAME} PUBLIC ${A_DEPS} PRIVATE ${A_PRIVATE_DEPS})
endfunction()

# dossar_test(NAME <exe> SOURCES ... DEPS ... [LABELS unit])
function(dossar_test)
  cmake_parse_arguments(A "" "NAME" "SOURCES;DEPS;LABELS" ${ARGN})
  if(NOT A_LABELS)
    set(A_LABELS unit)
  endif()
  add_executable(${A_NAME} ${A_SOURCES})
  dossar_mark_simd_sources(${A_SOURCES})
  target_compile_options(${A_NAME} PRIVATE ${DOSSAR_WARNINGS})
  # At -O3 g++ 12 reports impossible sizes inside libstdc++'s string and
  # memcpy code that the tests' string building inlines (its known false
  # positives); the sanitizer builds check the tests' memory accesses.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${A_NAME} PRIVATE
      $<$<CONFIG:Release>:-Wno-restrict -Wno-array-bounds -Wno-stringop-overflow -Wno-stringop-overread>)
  endif()
  target_compile_definitions(${A_NAME} PRIVATE
    DOSSAR_VECTORS_DIR="${DOSSAR_VECTORS_DIR}"
    DOSSAR_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    DOSSAR_BINARY_DIR="${CMAKE_BINARY_DIR}")
  target_link_libraries(${A_NAME} PRIVATE ${A_DEPS} GTest::gtest_main)
  gtest_discover_tests(${A_NAME} PROPERTIES LABELS "${A_LABELS}" DISCOVERY_TIMEOUT 60)
endfunction()

# dossar_bench(NAME <exe> SOURCES ... DEPS ...)
function(dossar_bench)
  cmake_parse_arguments(A "" "NAME" "SOURCES;DEPS" ${ARGN})
  add_executable(${A_NAME} ${A_SOURCES})
  dossar_mark_simd_sources(${A_SOURCES})
  target_compile_options(${A_NAME} PRIVATE ${DOSSAR_WARNINGS})
  target_link_libraries(${A_NAME} PRIVATE ${A_DEPS} benchmark::benchmark)
  set_property(GLOBAL APPEND PROPERTY DOSSAR_BENCH_TARGETS ${A_NAME})
endfunction()

# The public test vectors are part of the repository.
set(DOSSAR_VECTORS_DIR ${CMAKE_SOURCE_DIR}/tests/vectors)

# dossar_fuzzer(NAME <exe> SOURCES ... DEPS ... [SECONDS n])
# A libFuzzer target, run by ctest over its seed corpus (tests/fuzz/corpus/<exe>/,
# which must exist) for $DOSSAR_FUZZ_SECONDS seconds, read when the test runs
# (default: SECONDS, else 20), through scripts/run-fuzzer.sh.
function(dossar_fuzzer)
  cmake_parse_arguments(A "" "NAME;SECONDS" "SOURCES;DEPS" ${ARGN})
  if(NOT A_SECONDS)
    set(A_SECONDS 20)
  endif()
  add_executable(${A_NAME} ${A_SOURCES})
  target_compile_options(${A_NAME} PRIVATE ${DOSSAR_WARNINGS})
  target_link_libraries(${A_NAME} PRIVATE ${A_DEPS})
  target_link_options(${A_NAME} PRIVATE -fsanitize=fuzzer)
  set(corpus ${CMAKE_CURRENT_SOURCE_DIR}/corpus/${A_NAME})
  set(work ${CMAKE_CURRENT_BINARY_DIR}/corpus-${A_NAME})
  add_test(NAME ${A_NAME}
           COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
                   ${CMAKE_SOURCE_DIR}/scripts/run-fuzzer.sh ${A_SECONDS}
                   $<TARGET_FILE:${A_NAME}> -rss_limit_mb=2048
                   -timeout=10 -print_final_stats=1 ${work} ${corpus})
  # The run length is chosen at run time, so the wrapper bounds the run itself.
  set_tests_properties(${A_NAME} PROPERTIES LABELS fuzz)
  file(MAKE_DIRECTORY ${work})
endfunction()
