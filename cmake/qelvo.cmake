# Helpers shared by every folder's CMakeLists.txt.

# qelvo_provider(NAME [HOST_SYMBOLS] SOURCES...): a CMPI provider library, lib<NAME>.so,
# placed in the provider directory. Only symbols marked for export (factories, cross-library
# entry points) are visible; the rest stays hidden. The link refuses undefined symbols unless
# HOST_SYMBOLS says the library takes some from the hosting CIMOM process (for example
# native_clone_CMPIContext). Sanitized builds skip the check: clang links its runtime only
# into executables.
function(qelvo_provider name)
  cmake_parse_arguments(P "HOST_SYMBOLS" "" "" ${ARGN})
  add_library(${name} SHARED ${P_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE cmpi_headers)
  if(NOT P_HOST_SYMBOLS AND NOT SANITIZE)
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
  endif()
  set_target_properties(${name} PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY ${QELVO_PROVIDER_DIR}
    PREFIX "lib")
endfunction()

# qelvo_unit_test(NAME SOURCES... [LIBS libs...]): one GoogleTest executable labelled unit.
function(qelvo_unit_test name)
  cmake_parse_arguments(T "" "" "LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main Threads::Threads ${T_LIBS})
  set(labels unit)
  if(T_LABELS)
    set(labels ${T_LABELS})
  endif()
  target_compile_definitions(${name} PRIVATE
    QELVO_PROVIDER_DIR="${QELVO_PROVIDER_DIR}"
    QELVO_TEST_BINARY_DIR="${CMAKE_CURRENT_BINARY_DIR}")
  gtest_discover_tests(${name} PROPERTIES LABELS "${labels}" DISCOVERY_TIMEOUT 60)
endfunction()

# qelvo_fuzz_target(NAME SOURCES... CORPUS DIR [LIBS libs...]): a fuzz harness (a file of fuzz/
# defining LLVMFuzzerTestOneInput) over one parser. With QELVO_FUZZ it is a libFuzzer program
# (run it as ./NAME -max_total_time=600 CORPUS_DIR); otherwise a plain program that feeds it every
# file of its seed corpus DIR, run as the unit test fuzz.NAME.
function(qelvo_fuzz_target name)
  cmake_parse_arguments(F "" "CORPUS" "LIBS" ${ARGN})
  if(NOT F_CORPUS)
    message(FATAL_ERROR "qelvo_fuzz_target(${name}): give the seed corpus with CORPUS")
  endif()
  if(QELVO_FUZZ)
    add_executable(${name} ${F_UNPARSED_ARGUMENTS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    add_executable(${name} ${F_UNPARSED_ARGUMENTS} ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
    add_test(NAME fuzz.${name} COMMAND ${name} ${F_CORPUS})
    set_tests_properties(fuzz.${name} PROPERTIES LABELS unit TIMEOUT 300)
  endif()
  target_link_libraries(${name} PRIVATE ${F_LIBS})
endfunction()
