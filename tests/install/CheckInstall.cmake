# The README's host example built and run against the library as a user gets it:
# MODE prefix, `cmake --install` into a scratch prefix (which is then moved for
# kavexmix); MODE packages, the Debian packages unpacked into a scratch root.
set(host_dir ${SOURCE_DIR}/tests/install/host)
file(REMOVE_RECURSE ${WORK_DIR})
set(ENV{OSTKAVEX_CONFIG_DIR} ${WORK_DIR}/config)
set(ENV{OSTKAVEX_DATA_DIR} ${WORK_DIR}/data)
set(ENV{OSTKAVEX_OUTPUT_DEVICE} virtual)
unset(ENV{LD_LIBRARY_PATH})

# run(pattern command...): the command must succeed and print pattern.
function(run pattern)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "${pattern}")
    message(FATAL_ERROR "failed (${rc}) or no \"${pattern}\": ${ARGN}\n${out}\n${err}")
  endif()
  set(OUT "${out}" PARENT_SCOPE)
endfunction()

# The README quotes the host example in full: it must be the one built here.
file(READ ${SOURCE_DIR}/README.md readme)
foreach(f main.cpp CMakeLists.txt)
  file(READ ${host_dir}/${f} content)
  string(FIND "${readme}" "${content}" at)
  if(at LESS 0)
    message(FATAL_ERROR "README.md does not quote tests/install/host/${f} verbatim")
  endif()
endforeach()

function(build_and_run_host prefix)
  run("" ${CMAKE_COMMAND} -S ${host_dir} -B ${WORK_DIR}/host -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${prefix})
  run("" ${CMAKE_COMMAND} --build ${WORK_DIR}/host)
  run("received stateChanged replay 2" ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/${LIBDIR} ${WORK_DIR}/host/host)
endfunction()

# With no library path the loader must find the library through the tool's run path.
function(run_tool prefix)
  run("RUNPATH.*\\[\\$ORIGIN/\\.\\./${LIBDIR}\\]" readelf -d ${prefix}/bin/kavexmix)
  run("virtual" ${prefix}/bin/kavexmix devices)
endfunction()

if(MODE STREQUAL "prefix")
  run("" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)
  build_and_run_host(${WORK_DIR}/prefix)
  file(RENAME ${WORK_DIR}/prefix ${WORK_DIR}/moved)
  run_tool(${WORK_DIR}/moved)
else()
  run("" cpack -G DEB --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR}/packages)
  set(root ${WORK_DIR}/root)
  foreach(pkg libostkavexmixer libostkavexmixer-dev kavexmix)
    file(GLOB deb ${WORK_DIR}/packages/${pkg}_*.deb)
    run("" dpkg-deb -f ${deb} Depends)
    set(depends_${pkg} "${OUT}")
    run("" dpkg-deb -x ${deb} ${root})
  endforeach()
  # Library dependencies from dpkg-shlibdeps plus the SQLite plugin; exact
  # version pins on our own library.
  foreach(dep libqt5core5a libqt5sql5-sqlite "libavcodec[0-9]+" libsamplerate0 "libsodium[0-9]+" libportaudio2)
    if(NOT depends_libostkavexmixer MATCHES "(^|, )${dep}( |,|\n)")
      message(FATAL_ERROR "libostkavexmixer does not depend on ${dep}: ${depends_libostkavexmixer}")
    endif()
  endforeach()
  if(NOT depends_libostkavexmixer-dev MATCHES "libostkavexmixer \\(= ${VERSION}\\), qtbase5-dev"
     OR NOT depends_kavexmix MATCHES "libostkavexmixer \\(= ${VERSION}\\)")
    message(FATAL_ERROR "-dev or kavexmix not pinned to ${VERSION}: ${depends_libostkavexmixer-dev} / ${depends_kavexmix}")
  endif()
  run_tool(${root}/usr)
  build_and_run_host(${root}/usr)
  set(ENV{PKG_CONFIG_PATH} ${root}/usr/${LIBDIR}/pkgconfig)
  run("" pkg-config --cflags --libs OstKavexMixer)
  separate_arguments(flags UNIX_COMMAND "${OUT}")
  run("" ${CXX} -std=c++17 ${host_dir}/main.cpp -o ${WORK_DIR}/host-pc ${flags})
  run("received stateChanged replay 2" ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${root}/usr/${LIBDIR} ${WORK_DIR}/host-pc)
endif()
