# cmake -D PROGRAM=<test program> -D TARGET=<name> -D WORKING_DIRECTORY=<dir>
#       -D OUTPUT=<file> -P ListTestSuites.cmake
# Writes OUTPUT: one ctest test per GoogleTest suite of PROGRAM, named
# "<TARGET>.<suite>", and the list of their names in <TARGET>_SUITES
# (dossar_register_suites in ProjectFlags.cmake sets their properties).
execute_process(
  COMMAND "${PROGRAM}" --gtest_list_tests
  WORKING_DIRECTORY "${WORKING_DIRECTORY}"
  OUTPUT_VARIABLE listing
  ERROR_VARIABLE errors
  RESULT_VARIABLE rc
  TIMEOUT 60)
if(NOT rc EQUAL 0)
  file(REMOVE "${OUTPUT}")
  message(FATAL_ERROR "${PROGRAM} --gtest_list_tests failed (${rc}):\n${listing}${errors}")
endif()

string(REPLACE "\n" ";" lines "${listing}")
set(suites)
foreach(line IN LISTS lines)
  # A suite's line starts in the first column: "Suite." or, for a typed or
  # parameterised suite, "Prefix/Suite/0.  # TypeParam = ...".
  if(line MATCHES "^([A-Za-z0-9_/]+)\\.")
    list(APPEND suites "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(REMOVE_DUPLICATES suites)
if(NOT suites)
  file(REMOVE "${OUTPUT}")
  message(FATAL_ERROR "${PROGRAM} lists no tests")
endif()

set(content "set(${TARGET}_SUITES)\n")
foreach(suite IN LISTS suites)
  string(APPEND content "add_test([==[${TARGET}.${suite}]==] [==[${PROGRAM}]==] [==[--gtest_filter=${suite}.*]==])\n"
         "list(APPEND ${TARGET}_SUITES [==[${TARGET}.${suite}]==])\n")
endforeach()
# Written whole or not at all: ctest may read it while the next link runs.
file(WRITE "${OUTPUT}.tmp" "${content}")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
