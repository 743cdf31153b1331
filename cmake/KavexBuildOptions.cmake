# Build-wide settings that apply to every target of the tree (library objects,
# tests, the host tool, benchmarks): compiler warnings, sanitizers and the
# compiler cache. Included before any target is declared.

# Warnings. Every target compiles with -Wall -Wextra; KAVEX_WERROR turns them
# into errors (off by default so that a new compiler's new warning does not
# break a user's build).
option(KAVEX_WERROR "Treat compiler warnings as errors" OFF)
set(KAVEX_WARNINGS -Wall -Wextra)
if(KAVEX_WERROR)
  list(APPEND KAVEX_WARNINGS -Werror)
endif()
add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:${KAVEX_WARNINGS}>")

# Sanitizers: "address,undefined" (AddressSanitizer, LeakSanitizer and
# UndefinedBehaviorSanitizer) or "thread" (ThreadSanitizer). They apply to the
# compile and link of every target, so that tests and the library are
# instrumented alike. Undefined behaviour aborts instead of printing and going
# on, so that any report fails the test that caused it.
set(KAVEX_SANITIZE "" CACHE STRING "Sanitizers for every target: empty, address,undefined or thread")
set_property(CACHE KAVEX_SANITIZE PROPERTY STRINGS "" "address,undefined" "thread")
if(KAVEX_SANITIZE)
  if(KAVEX_SANITIZE STREQUAL "address,undefined" OR KAVEX_SANITIZE STREQUAL "address"
     OR KAVEX_SANITIZE STREQUAL "undefined")
    set(_kavex_sanitize_flags -fsanitize=${KAVEX_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  elseif(KAVEX_SANITIZE STREQUAL "thread")
    set(_kavex_sanitize_flags -fsanitize=thread -fno-omit-frame-pointer)
  else()
    message(FATAL_ERROR "KAVEX_SANITIZE must be empty, \"address,undefined\" or \"thread\", not \"${KAVEX_SANITIZE}\"")
  endif()
  add_compile_options(${_kavex_sanitize_flags})
  add_link_options(${_kavex_sanitize_flags})
  message(STATUS "Sanitizers: ${KAVEX_SANITIZE}")
endif()

# The compiler cache, where it is installed and the user has not chosen a
# launcher of their own.
find_program(KAVEX_CCACHE ccache)
if(KAVEX_CCACHE)
  if(NOT DEFINED CMAKE_CXX_COMPILER_LAUNCHER AND NOT DEFINED ENV{CMAKE_CXX_COMPILER_LAUNCHER})
    set(CMAKE_CXX_COMPILER_LAUNCHER ${KAVEX_CCACHE})
  endif()
  if(NOT DEFINED CMAKE_C_COMPILER_LAUNCHER AND NOT DEFINED ENV{CMAKE_C_COMPILER_LAUNCHER})
    set(CMAKE_C_COMPILER_LAUNCHER ${KAVEX_CCACHE})
  endif()
endif()
