# One GoogleTest binary with every test. On Linux each test case is its own CTest test; under
# Wine every process start costs seconds, so there the whole binary is one CTest test.
if(CMAKE_CROSSCOMPILING)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(VASKEL_GTEST_LIBS gtest gtest_main)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      ${CMAKE_SOURCE_DIR}/cmake/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix)
else()
  find_package(GTest REQUIRED)
  set(VASKEL_GTEST_LIBS GTest::gtest GTest::gtest_main)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET sndfile)
endif()

file(GLOB_RECURSE VASKEL_TEST_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/src/*_test.cpp ${CMAKE_SOURCE_DIR}/producer/*_test.cpp)
# The test-only operating-system calls, one file per platform as in src/platform.
if(WIN32)
  set(VASKEL_TEST_PLATFORM testing/test_platform_win32.cpp)
else()
  set(VASKEL_TEST_PLATFORM testing/test_platform_posix.cpp)
endif()
set(VASKEL_TEST_SUPPORT testing/test_support.cpp testing/producer_test_support.cpp
                        ${VASKEL_TEST_PLATFORM})
function(vaskel_test_binary target)
  add_executable(${target} ${ARGN})
  target_include_directories(${target} PRIVATE testing)
  target_link_libraries(${target} PRIVATE vaskel_core vaskel_wavfile vaskel_producer_lib
                        vaskel_warnings ${VASKEL_GTEST_LIBS})
  target_compile_definitions(${target} PRIVATE VASKEL_EXE_SUFFIX="${CMAKE_EXECUTABLE_SUFFIX}"
                             VASKEL_TEST_VERSION="${PROJECT_VERSION}")
  add_dependencies(${target} vaskel_renderer)
  if(VASKEL_SANITIZE)
    # Heavy cases run once, in the plain build; the sanitizers would only make them slow.
    target_compile_definitions(${target} PRIVATE VASKEL_SANITIZED=1)
  endif()
  if(NOT CMAKE_CROSSCOMPILING)
    target_link_libraries(${target} PRIVATE PkgConfig::SNDFILE)
    target_compile_definitions(${target} PRIVATE VASKEL_HAVE_SNDFILE=1)
  endif()
endfunction()

vaskel_test_binary(vaskel_tests ${VASKEL_TEST_SOURCES} ${VASKEL_TEST_SUPPORT})
# GoogleTest's header costs about as much to compile as a whole test file: parse it once.
target_precompile_headers(vaskel_tests PRIVATE <gtest/gtest.h> <algorithm> <atomic> <chrono>
                          <cstdint> <cstring> <filesystem> <optional> <string> <thread> <vector>)

# Eight test files to a compilation unit: the suite builds in about a third less time. So names
# at file scope in one test file must differ from every other's; a clash is a compile error.
set_target_properties(vaskel_tests PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 8)

# The tests in which threads share one region, alone: the ThreadSanitizer stage builds only
# these instead of the whole suite.
vaskel_test_binary(vaskel_race_tests src/capture/capture_concurrency_test.cpp
                   producer/producer_c_test.cpp ${VASKEL_TEST_SUPPORT})
set_target_properties(vaskel_race_tests PROPERTIES EXCLUDE_FROM_ALL ON)

if(CMAKE_CROSSCOMPILING)
  set_target_properties(vaskel_tests PROPERTIES CROSSCOMPILING_EMULATOR
                        "${CMAKE_CROSSCOMPILING_EMULATOR}")
  add_test(NAME vaskel_tests_wine COMMAND vaskel_tests)
  set_tests_properties(vaskel_tests_wine PROPERTIES TIMEOUT 1200)
else()
  include(GoogleTest)
  gtest_discover_tests(vaskel_tests DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endif()
