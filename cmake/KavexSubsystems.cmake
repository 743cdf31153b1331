# The library is built from one object library per subsystem, so that a
# subsystem and its tests can be compiled without the rest of the tree.
# Headers are included by bare file name, as they are installed flat.

set(KAVEX_SUBSYSTEMS contracts dsp device presentation channels decoder network mixer)

set(KAVEX_SOURCE_INCLUDE_DIRS)
foreach(_sub IN LISTS KAVEX_SUBSYSTEMS)
  list(APPEND KAVEX_SOURCE_INCLUDE_DIRS $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/src/${_sub}>)
endforeach()

set(KAVEX_EXTERNAL_LIBS
  Qt5::Core Qt5::Network Threads::Threads
  PkgConfig::FFMPEG PkgConfig::SAMPLERATE PkgConfig::PORTAUDIO PkgConfig::SODIUM)

function(kavex_subsystem name)
  file(GLOB _sources CONFIGURE_DEPENDS
       ${PROJECT_SOURCE_DIR}/src/${name}/*.cpp
       ${PROJECT_SOURCE_DIR}/src/${name}/*.c
       ${PROJECT_SOURCE_DIR}/src/${name}/*.h)
  if(NOT _sources)
    return()
  endif()
  add_library(kavex_${name} OBJECT ${_sources})
  target_compile_definitions(kavex_${name} PRIVATE OSTKAVEXMIXER_LIBRARY)
  # File, line and function reach the message handler in every build type.
  target_compile_definitions(kavex_${name} PUBLIC QT_MESSAGELOGCONTEXT)
  target_compile_options(kavex_${name} PRIVATE -Wall -Wextra -Wno-unused-parameter)
  target_include_directories(kavex_${name} PUBLIC ${KAVEX_SOURCE_INCLUDE_DIRS})
  target_link_libraries(kavex_${name} PUBLIC ${KAVEX_EXTERNAL_LIBS})
endfunction()
