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
# Every unit is compiled for threads (-pthread defines _REENTRANT): the shared
# precompiled headers are valid only for units compiled with the same macros,
# and most targets get -pthread anyway through Threads::Threads.
add_compile_options(-pthread)
# The checked libc calls need optimisation to see object sizes, and the
# sanitizers intercept the plain calls, not the checked ones: only optimised
# builds without a sanitizer get them.
if(NOT (DOSSAR_SANITIZE OR DOSSAR_TSAN OR DOSSAR_FUZZ))
  add_compile_options($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE>
                      $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-D_FORTIFY_SOURCE=2>)
endif()
# Linking with lld (scripts/install-deps.sh installs it): each configuration
# links more than a hundred programs and libraries; relinking all of the asan
# build took a third less CPU time than with the default linker, and half the
# wall time (docs/ARCHITECTURE.md, "Build time of the test command").
option(DOSSAR_LLD "Link with lld when it is installed" ON)
if(DOSSAR_LLD)
  find_program(DOSSAR_LLD_PROGRAM ld.lld)
  if(DOSSAR_LLD_PROGRAM)
    add_link_options(-fuse-ld=lld)
  endif()
endif()
# Shared libraries must resolve every symbol at link time, so a missing
# dependency fails the build instead of the first dlopen. Sanitizer runtimes
# are resolved from the executable, hence not in those builds.
set(DOSSAR_SHARED_LINK_OPTIONS)
if(NOT (DOSSAR_SANITIZE OR DOSSAR_TSAN OR DOSSAR_FUZZ))
  list(APPEND DOSSAR_SHARED_LINK_OPTIONS LINKER:--no-undefined)
endif()

# Build time. The test command builds the product and the tests in five
# configurations, so what each compile repeats is cut here, for every target
# the helpers below declare:
# - unity builds (DOSSAR_UNITY): the sources of a target are compiled in
#   batches of DOSSAR_UNITY_BATCH, so the headers are parsed once per batch;
#   sources with options of their own (the vector paths) stay alone, and a
#   target whose file-local names clash is declared with NO_UNITY;
# - precompiled headers (DOSSAR_PCH), each made once per configuration: one
#   of the standard library for every library, one of GoogleTest, OpenSSL and
#   the standard library for every test program;
# - DOSSAR_TEST_LABELS and DOSSAR_TESTS_THREADED_ONLY choose which tests a
#   configuration builds (see dossar_test); the others are left out of `all`
#   and not registered with ctest.
# Both are off in the clang-tidy configuration, whose compile database must
# list the real sources; switch them off to check that each file includes what
# it uses.
option(DOSSAR_UNITY "Compile each target's sources in unity batches" ON)
set(DOSSAR_UNITY_BATCH 8 CACHE STRING "Sources per unity batch")
option(DOSSAR_PCH "Precompile the headers the libraries and the test programs share" ON)
set(DOSSAR_TEST_LABELS ".*" CACHE STRING "Build and register only the tests whose label matches this regex")
option(DOSSAR_TESTS_THREADED_ONLY "Build and register only the tests that start threads or processes" OFF)

# dossar_unity(<target> <no_unity>): the unity setting of one target.
function(dossar_unity target no_unity)
  if(DOSSAR_UNITY AND NOT no_unity)
    set_target_properties(${target} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE ${DOSSAR_UNITY_BATCH})
  else()
    set_target_properties(${target} PROPERTIES UNITY_BUILD OFF)
  endif()
endfunction()

# The standard headers the libraries' sources parse again and again (more than
# half of a library source's compile time at -O1): precompiled once per
# configuration by the object library dossar_lib_pch and reused by every
# library (dossar_library, dossar_shared_library). Only the standard library:
# the project's own headers change, and OpenSSL's cost little to parse.
set(DOSSAR_LIB_PCH_HEADERS
    <algorithm> <array> <atomic> <cstdint> <cstdio> <cstdlib> <cstring> <functional> <map> <memory> <mutex>
    <optional> <string> <string_view> <vector>)

# Not in the -O3 builds: there g++ 12 inlines std::string differently with the
# header and reports its known false positives (-Warray-bounds in
# char_traits.h) in the product's own code, where they are errors.
function(dossar_library_pch target)
  if(NOT DOSSAR_PCH OR CMAKE_BUILD_TYPE STREQUAL "Release")
    return()
  endif()
  if(NOT TARGET dossar_lib_pch)
    set(pch_src ${CMAKE_BINARY_DIR}/dossar_lib_pch.cpp)
    file(GENERATE OUTPUT ${pch_src} CONTENT "// Owner of the libraries' precompiled header.\n")
    add_library(dossar_lib_pch OBJECT ${pch_src})
    # The code-generation flags of the libraries (-fPIC, hidden symbols).
    target_compile_options(dossar_lib_pch PRIVATE ${DOSSAR_WARNINGS})
    set_target_properties(dossar_lib_pch PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
    target_precompile_headers(dossar_lib_pch PRIVATE ${DOSSAR_LIB_PCH_HEADERS})
  endif()
  target_precompile_headers(${target} REUSE_FROM dossar_lib_pch)
endfunction()

# Sources named *_avx2.cpp (and *_avx512.cpp) are the vector paths chosen at
# run time; only they get the instruction-set flags, so the rest of the
# binary runs anywhere.
function(dossar_mark_simd_sources)
  foreach(src IN LISTS ARGN)
    # Their own instruction-set flags make a precompiled header made without
    # them invalid (an error under -Werror): they parse the headers.
    if(src MATCHES "_avx2\\.cpp$")
      set_source_files_properties(${src} PROPERTIES COMPILE_OPTIONS "-mavx2;-mbmi2" SKIP_PRECOMPILE_HEADERS ON)
    endif()
    # AVX-512 paths need the VBMI byte permutes; their callers check the CPU
    # and the operating system's saved state (XCR0) first.
    if(src MATCHES "_avx512\\.cpp$")
      set_source_files_properties(${src} PROPERTIES COMPILE_OPTIONS
        "-mavx2;-mbmi2;-mavx512f;-mavx512bw;-mavx512vl;-mavx512vbmi" SKIP_PRECOMPILE_HEADERS ON)
    endif()
  endforeach()
endfunction()

# dossar_library(NAME <target> [SOURCES ...] [GLOB_DIR <dir>] [DEPS ...])
# A static library of one module folder (or a sub-folder of crypto/).
function(dossar_library)
  cmake_parse_arguments(A "NO_UNITY" "NAME;GLOB_DIR" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
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
  dossar_unity(${A_NAME} ${A_NO_UNITY})
  dossar_library_pch(${A_NAME})
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
  cmake_parse_arguments(A "NO_UNITY" "NAME" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${A_NAME} SHARED ${A_SOURCES})
  dossar_mark_simd_sources(${A_SOURCES})
  dossar_unity(${A_NAME} ${A_NO_UNITY})
  dossar_library_pch(${A_NAME})
  target_compile_options(${A_NAME} PRIVATE ${DOSSAR_WARNINGS})
  target_include_directories(${A_NAME} PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_options(${A_NAME} PRIVATE ${DOSSAR_SHARED_LINK_OPTIONS})
  set_target_properties(${A_NAME} PROPERTIES CXX_VISIBILITY_PRESET hidden
                                             VISIBILITY_INLINES_HIDDEN ON)
  target_link_libraries(${A_NAME} PUBLIC ${A_DEPS} PRIVATE ${A_PRIVATE_DEPS})
endfunction()

# The headers nearly every test program parses: precompiled once per
# configuration and reused by every test (dossar_test).
set(DOSSAR_TEST_PCH_HEADERS
    <gtest/gtest.h>
    <openssl/bio.h> <openssl/bn.h> <openssl/crypto.h> <openssl/evp.h> <openssl/objects.h>
    <openssl/pem.h> <openssl/x509.h> <openssl/x509v3.h>
    <algorithm> <array> <atomic> <cstdint> <cstdlib> <cstring> <filesystem> <fstream> <functional> <memory>
    <string> <thread> <vector>)

set(DOSSAR_TEST_PCH_QT_HEADERS <QByteArray> <QDir> <QFile> <QString> <QStringList>)

# dossar_links_qt(<out> <deps>): whether linking <deps> brings in QtCore.
function(dossar_links_qt out deps)
  set(todo ${deps})
  set(seen)
  set(${out} FALSE PARENT_SCOPE)
  while(todo)
    list(POP_FRONT todo dep)
    # By name: Qt's imported targets are not seen outside the folder that
    # found them.
    if(dep MATCHES "^Qt[0-9]*::")
      set(${out} TRUE PARENT_SCOPE)
      return()
    endif()
    if(dep IN_LIST seen OR NOT TARGET ${dep})
      continue()
    endif()
    list(APPEND seen ${dep})
    get_target_property(type ${dep} TYPE)
    get_target_property(links ${dep} INTERFACE_LINK_LIBRARIES)
    if(links)
      list(APPEND todo ${links})
    endif()
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(links ${dep} LINK_LIBRARIES)
      if(links)
        list(APPEND todo ${links})
      endif()
    endif()
  endwhile()
endfunction()

# What a test program may do that ThreadSanitizer can see: start a thread or a
# process, or share state with one. Tests whose threads start only inside the
# code under test say so with THREADS.
set(DOSSAR_THREADS_PATTERN "std::thread|std::jthread|std::async|pthread_|fork\\(|QThread|QtConcurrent|StoppableThread")

# The flags a test program's own sources are compiled with; the owner of the
# shared precompiled header gets the same, or the header would not fit them.
function(dossar_test_flags target)
  target_compile_options(${target} PRIVATE ${DOSSAR_WARNINGS})
  # The tests' own code is compiled without optimisation in every
  # configuration; the code under test keeps its configuration's level (the
  # sanitizers' -O1, the release -O3). A test program's compile is mostly
  # code generation for GoogleTest's macros, which takes about half as long
  # unoptimised. glibc's checked calls need optimisation (it warns without):
  # the tests do without them. OPTIMIZED keeps the configuration's level,
  # for tests that inline the product's assembly (its register constraints
  # cannot be met unoptimised).
  if(NOT "OPTIMIZED" IN_LIST ARGN)
    target_compile_options(${target} PRIVATE -O0 -U_FORTIFY_SOURCE)
  endif()
  # At -O3 g++ 12 reports impossible sizes inside libstdc++'s string and
  # memcpy code that the tests' string building inlines (its known false
  # positives); the sanitizer builds check the tests' memory accesses.
  # Under ThreadSanitizer's instrumentation at -O1 it reports the same in
  # std::string's move (test_library_copies.cpp with the precompiled header);
  # AddressSanitizer checks those accesses for real in the asan build.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE
      $<$<CONFIG:Release>:-Wno-restrict -Wno-array-bounds -Wno-stringop-overflow -Wno-stringop-overread>)
    if(DOSSAR_TSAN)
      target_compile_options(${target} PRIVATE
        -Wno-restrict -Wno-array-bounds -Wno-stringop-overflow -Wno-stringop-overread)
    endif()
  endif()
  target_compile_definitions(${target} PRIVATE
    DOSSAR_VECTORS_DIR="${DOSSAR_VECTORS_DIR}"
    DOSSAR_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    DOSSAR_BINARY_DIR="${CMAKE_BINARY_DIR}")
endfunction()

# dossar_register_suites(<target> <labels> <environment>)
# Registers one ctest test per GoogleTest suite of <target>, named
# "<target>.<suite>", which runs the suite's tests in one process
# (--gtest_filter=<suite>.*). A process per test cost more than most tests
# themselves: starting a sanitized program and its libraries takes about
# 0.2 s of CPU, a Qt program's a second. The suites are listed after each link
# (cmake/ListTestSuites.cmake writes them down); ctest reads the list through
# the folder's test include file, and a program not built yet shows as one
# failing test "<target>.NOT_BUILT". A suite whose tests all skipped counts
# as skipped, one with some run as passed.
set(DOSSAR_LIST_SUITES_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/ListTestSuites.cmake)
function(dossar_register_suites target labels environment)
  set(dir ${CMAKE_CURRENT_BINARY_DIR})
  set(suites_file ${dir}/${target}_suites.cmake)
  set(include_file ${dir}/${target}_suites_include.cmake)
  # The listing runs with the tests' environment (a Qt program needs its
  # platform to start at all).
  add_custom_command(
    TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E env ${environment} ${CMAKE_COMMAND} -D PROGRAM=$<TARGET_FILE:${target}>
            -D TARGET=${target} -D WORKING_DIRECTORY=${dir} -D OUTPUT=${suites_file} -P ${DOSSAR_LIST_SUITES_SCRIPT}
    BYPRODUCTS ${suites_file}
    VERBATIM)
  # Skipped: no test passed and the summary ends with the skipped ones (a
  # failure or a crash leaves other lines after it, or no summary at all).
  set(skipped "\\[  PASSED  \\] 0 tests\\.\n(\\[  SKIPPED \\][^\n]*\n)*[ \n]*$")
  file(WRITE ${include_file}
       "if(EXISTS \"${suites_file}\")\n"
       "  include(\"${suites_file}\")\n"
       "  set_tests_properties(\${${target}_SUITES} PROPERTIES LABELS \"${labels}\" ENVIRONMENT \"${environment}\"\n"
       "                      WORKING_DIRECTORY \"${dir}\" SKIP_REGULAR_EXPRESSION [==[${skipped}]==])\n"
       "else()\n"
       "  add_test(${target}.NOT_BUILT ${target}.NOT_BUILT)\n"
       "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${include_file})
endfunction()

# dossar_test(NAME <exe> SOURCES ... DEPS ... [LABELS unit] [THREADS] [NO_UNITY] [OPTIMIZED])
# A GoogleTest program; its tests are registered with ctest under LABELS
# (unit, stress or e2e; gui through dossar_gui_test). The configuration
# decides whether it is built: one of its labels must match DOSSAR_TEST_LABELS and, with
# DOSSAR_TESTS_THREADED_ONLY, it must start threads or processes (label
# stress, THREADS, or a source matching DOSSAR_THREADS_PATTERN). A test left
# out is still declared (so the lines after it work) but not built by `all`
# and not registered. The chosen tests are gathered in the target
# `dossar_tests`.
function(dossar_test)
  cmake_parse_arguments(A "THREADS;NO_UNITY;OPTIMIZED" "NAME" "SOURCES;DEPS;LABELS;ENVIRONMENT" ${ARGN})
  if(NOT A_LABELS)
    set(A_LABELS unit)
  endif()
  # Chosen when any of its labels is one the configuration runs.
  set(selected FALSE)
  foreach(label IN LISTS A_LABELS)
    if(label MATCHES "^(${DOSSAR_TEST_LABELS})$")
      set(selected TRUE)
    endif()
  endforeach()
  if(selected AND DOSSAR_TESTS_THREADED_ONLY AND NOT A_THREADS AND NOT "stress" IN_LIST A_LABELS)
    set(threaded FALSE)
    foreach(src IN LISTS A_SOURCES)
      if(src MATCHES "^\\$<")
        continue()
      endif()
      get_filename_component(path ${src} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
      # A test that starts a thread later is chosen again when it changes.
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${path})
      file(STRINGS ${path} hits REGEX "${DOSSAR_THREADS_PATTERN}" LIMIT_COUNT 1)
      if(hits)
        set(threaded TRUE)
        break()
      endif()
    endforeach()
    if(NOT threaded)
      set(selected FALSE)
    endif()
  endif()

  if(selected)
    add_executable(${A_NAME} ${A_SOURCES})
  else()
    add_executable(${A_NAME} EXCLUDE_FROM_ALL ${A_SOURCES})
  endif()
  dossar_mark_simd_sources(${A_SOURCES})
  dossar_unity(${A_NAME} ${A_NO_UNITY})
  if(A_OPTIMIZED)
    dossar_test_flags(${A_NAME} OPTIMIZED)
  else()
    dossar_test_flags(${A_NAME})
  endif()
  target_link_libraries(${A_NAME} PRIVATE ${A_DEPS} GTest::gtest_main)
  # The shared header is made unoptimised: an OPTIMIZED test parses its own.
  if(DOSSAR_PCH AND NOT A_OPTIMIZED)
    # Programs that link QtCore are compiled with its -fPIC (and its include
    # folders): they share a header of their own, with QtCore's in it.
    dossar_links_qt(qt "${A_DEPS}")
    if(qt)
      set(pch dossar_test_pch_qt)
    else()
      set(pch dossar_test_pch)
    endif()
    if(NOT TARGET ${pch})
      # An object library of one empty source that only owns the header.
      set(pch_src ${CMAKE_BINARY_DIR}/${pch}.cpp)
      file(GENERATE OUTPUT ${pch_src} CONTENT "// Owner of the tests' precompiled header.\n")
      add_library(${pch} OBJECT ${pch_src})
      dossar_test_flags(${pch})
      target_link_libraries(${pch} PRIVATE GTest::gtest OpenSSL::Crypto)
      if(qt)
        find_package(Qt6 REQUIRED COMPONENTS Core)
        target_link_libraries(${pch} PRIVATE Qt6::Core)
        target_precompile_headers(${pch} PRIVATE ${DOSSAR_TEST_PCH_HEADERS} ${DOSSAR_TEST_PCH_QT_HEADERS})
      else()
        # Compiled as the programs are (-fPIE, not a library's -fPIC): g++
        # refuses a header made with the other.
        set_target_properties(${pch} PROPERTIES POSITION_INDEPENDENT_CODE OFF)
        target_compile_options(${pch} PRIVATE -fPIE)
        target_precompile_headers(${pch} PRIVATE ${DOSSAR_TEST_PCH_HEADERS})
      endif()
    endif()
    target_precompile_headers(${A_NAME} REUSE_FROM ${pch})
  endif()
  if(selected)
    dossar_register_suites(${A_NAME} "${A_LABELS}" "${A_ENVIRONMENT}")
    if(NOT TARGET dossar_tests)
      add_custom_target(dossar_tests)
    endif()
    add_dependencies(dossar_tests ${A_NAME})
  endif()
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
  # What the fuzz stage builds: the fuzzers and the libraries they link.
  if(NOT TARGET dossar_fuzzers)
    add_custom_target(dossar_fuzzers)
  endif()
  add_dependencies(dossar_fuzzers ${A_NAME})
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
