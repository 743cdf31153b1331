# The library is built from one object library per subsystem. Each subsystem
# declares the subsystems below it that it uses and sees only their include
# directories, so an include of a higher layer fails to compile. Headers are
# included by bare file name, as they are installed flat.
#
#   core          frame format, Channel, clock, locks, NTP time
#   contracts     packets, buffers, sockets, configuration, decryption
#   dsp           G.711, filters, sample-rate converters
#   device        sound output and capture over the platform backends
#   decoder       FFmpeg decoders, SDP reading
#   presentation  presentation groups, audio frame queue
#   channels      the mixer's inputs: RTP, sound files
#   network       RTP receivers, talk-back sink
#   recording     recording store, recorder, in-process playback session
#   mixer         the mixer and its facade

set(KAVEX_SUBSYSTEMS)

# kavex_subsystem(NAME [DEPENDS subsystem...] [LIBS external...])
function(kavex_subsystem name)
  cmake_parse_arguments(ARG "" "" "DEPENDS;LIBS" ${ARGN})
  file(GLOB _sources CONFIGURE_DEPENDS
       ${PROJECT_SOURCE_DIR}/src/${name}/*.cpp
       ${PROJECT_SOURCE_DIR}/src/${name}/*.h
       ${PROJECT_SOURCE_DIR}/src/${name}/*/*.cpp
       ${PROJECT_SOURCE_DIR}/src/${name}/*/*.h)
  add_library(kavex_${name} OBJECT ${_sources})
  target_compile_definitions(kavex_${name} PRIVATE OSTKAVEXMIXER_LIBRARY)
  # File, line and function reach the message handler in every build type.
  target_compile_definitions(kavex_${name} PUBLIC QT_MESSAGELOGCONTEXT)
  set_target_properties(kavex_${name} PROPERTIES
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(kavex_${name} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/src/${name}>)
  foreach(_dep IN LISTS ARG_DEPENDS)
    if(NOT TARGET kavex_${_dep})
      message(FATAL_ERROR "subsystem ${name} depends on ${_dep}, which is not declared before it")
    endif()
    target_link_libraries(kavex_${name} PUBLIC kavex_${_dep})
  endforeach()
  target_link_libraries(kavex_${name} PUBLIC Qt5::Core ${ARG_LIBS})
  set(KAVEX_SUBSYSTEMS ${KAVEX_SUBSYSTEMS} ${name} PARENT_SCOPE)
endfunction()
