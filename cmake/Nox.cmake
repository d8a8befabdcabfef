# Shared build settings and helpers for every target of the tree.
include_guard(GLOBAL)

set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
add_compile_options(-Wall -Wextra -Werror)

option(NOX_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(NOX_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

option(NOX_TSAN "Build with ThreadSanitizer (only the tests labelled 'locks' are meant to run)" OFF)
if(NOX_TSAN)
  # Boost.Asio uses fences ThreadSanitizer cannot model; none of it runs in the lock tests.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -Wno-tsan)
  add_link_options(-fsanitize=thread)
endif()

# Clang's lock analysis over the annotations of platform/basalt/threadAnnotations.h
# (`make check-locks`): a finding fails the build; clang's other warnings, which the gcc builds do
# not share, are shown but do not.
option(NOX_THREAD_SAFETY "Compile with clang's -Wthread-safety (clang only)" OFF)
if(NOX_THREAD_SAFETY)
  add_compile_options(-Wno-error -Wthread-safety -Werror=thread-safety)
endif()

set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

# The one version of the tree is project()'s; programs read it from "noxVersion.h" (nox_version).
configure_file(${CMAKE_CURRENT_LIST_DIR}/noxVersion.h.in ${CMAKE_BINARY_DIR}/generated/noxVersion.h
               @ONLY)
add_library(nox_version INTERFACE)
target_include_directories(nox_version INTERFACE ${CMAKE_BINARY_DIR}/generated)

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
# Unit tests need GoogleTest (scripts/install-deps.sh --test); a tree for running or packaging
# the daemon builds without it.
find_package(GTest)
if(NOT GTest_FOUND)
  message(STATUS "GoogleTest not found: unit tests are not built")
endif()

# nox_add_test(NAME SOURCES ... LIBS ...): one GoogleTest binary, registered with CTest. Without
# GoogleTest the target still exists, for the callers' settings, but is never built or run.
function(nox_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT GTest_FOUND)
    add_executable(${name} EXCLUDE_FROM_ALL ${T_SOURCES})
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  add_test(NAME ${name} COMMAND ${name})
endfunction()

# nox_lock_test(NAME): a test that exercises shared locks; `lock_tests` builds all of them and
# CTest selects them by the label "locks" (the ThreadSanitizer run).
if(NOT TARGET lock_tests)
  add_custom_target(lock_tests)
endif()
function(nox_lock_test name)
  set_tests_properties(${name} PROPERTIES LABELS locks)
  add_dependencies(lock_tests ${name})
endfunction()
