# The Windows test build: the tests that need no world control, built with mingw-w64 against the
# real SDK headers and run under Wine by CTest. The same sources run on the emulation in the host
# build, so the two implementations of Win32 judge each other.
#
# Only the 64-bit build carries the tests: Wine is installed here without its 32-bit half.
set(NORTANE_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the Windows tests")
if(CMAKE_SIZEOF_VOID_P EQUAL 8 AND EXISTS ${NORTANE_GTEST_SOURCE}/CMakeLists.txt)
  set(NORTANE_WINDOWS_TESTS_DEFAULT ON)
else()
  set(NORTANE_WINDOWS_TESTS_DEFAULT OFF)
endif()
option(NORTANE_WINDOWS_TESTS "Build the Windows tests and run them under Wine"
       ${NORTANE_WINDOWS_TESTS_DEFAULT})

if(NORTANE_WINDOWS_TESTS)
  enable_testing()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${NORTANE_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
    add_library(GTest::gmock ALIAS gmock)
  endif()
  include(GoogleTest)

  # Every test program is started by Wine; static runtimes so that no DLL has to be found.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/tools/wine/emulator.sh)
  add_link_options(-static -static-libgcc -static-libstdc++)

  # A new prefix for each run of the tests, and its server stopped afterwards.
  add_test(NAME wine.prefix.start COMMAND ${PROJECT_SOURCE_DIR}/tools/wine/fresh.sh start)
  add_test(NAME wine.prefix.stop COMMAND ${PROJECT_SOURCE_DIR}/tools/wine/fresh.sh stop)
  set_tests_properties(wine.prefix.start PROPERTIES FIXTURES_SETUP wine_prefix)
  set_tests_properties(wine.prefix.stop PROPERTIES FIXTURES_CLEANUP wine_prefix)

  # nortane_windows_tests(TARGET): registers a test program's tests, listed at test time under
  # Wine (the build does not need Wine), each in the fresh prefix.
  function(nortane_windows_tests target)
    target_compile_definitions(${target} PRIVATE NORTANE_REAL_WINDOWS UNICODE _UNICODE
                                                 _WIN32_WINNT=0x0601)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests/wine/include)
    # Sorted includes put <setupapi.h> and <shlobj.h> before <windows.h>, which the SDK's
    # headers need first (the emulation's are self-contained).
    target_compile_options(${target} PRIVATE -include windows.h)
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES FIXTURES_REQUIRED wine_prefix TIMEOUT 120)
  endfunction()

  add_subdirectory(tests)
endif()
