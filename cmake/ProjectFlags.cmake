# Compiler flags and the small helpers every module uses to declare its targets.

set(DOSSAR_WARNINGS -Wall -Wextra -Werror)

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
  set(DOSSAR_WARNINGS -Wall -Wextra)
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

if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
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
  target_include_directories(${A_NAME} PUBLIC ${CMAKE_SOURCE_DIR})
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

# The public vectors live beside the repository (../shared/vectors); a copy in
# tests/vectors wins when present.
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/vectors)
  set(DOSSAR_VECTORS_DIR ${CMAKE_SOURCE_DIR}/tests/vectors)
else()
  get_filename_component(DOSSAR_VECTORS_DIR ${CMAKE_SOURCE_DIR}/../shared/vectors ABSOLUTE)
endif()

# dossar_fuzzer(NAME <exe> SOURCES ... DEPS ... [SECONDS n])
# A libFuzzer target, run by ctest for a short while over its seed corpus
# (tests/fuzz/corpus/<exe>/, which must exist).
function(dossar_fuzzer)
  cmake_parse_arguments(A "" "NAME;SECONDS" "SOURCES;DEPS" ${ARGN})
  if(NOT A_SECONDS)
    set(A_SECONDS $ENV{DOSSAR_FUZZ_SECONDS})
  endif()
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
                   $<TARGET_FILE:${A_NAME}> -max_total_time=${A_SECONDS} -rss_limit_mb=2048
                   -timeout=10 -print_final_stats=1 ${work} ${corpus})
  set_tests_properties(${A_NAME} PROPERTIES LABELS fuzz TIMEOUT 300)
  file(MAKE_DIRECTORY ${work})
endfunction()
