# The packaged GoogleTest library is built for x86-64 only; a 32-bit build
# compiles it from Debian's sources instead.
include(GoogleTest)
if(CMAKE_SIZEOF_VOID_P EQUAL 4 OR QOLVEN_GTEST_FROM_SOURCE)
  set(QOLVEN_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${QOLVEN_GTEST_SOURCE_DIR} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
else()
  find_package(GTest REQUIRED)
endif()
