# Checks the library as a user receives it, in one of two forms (MODE):
#   prefix    `cmake --install` into a scratch prefix; the README's host example
#             builds with find_package and runs; the prefix is then moved and the
#             installed kavexmix still runs, finding the library by its run path.
#   packages  `cpack -G DEB`; the Depends fields are checked; the packages are
#             unpacked into a scratch root, where the same host example builds
#             with CMake and with pkg-config and runs, and kavexmix runs.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(LAST_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

function(expect text pattern what)
  if(NOT text MATCHES "${pattern}")
    message(FATAL_ERROR "${what}: no match for \"${pattern}\" in:\n${text}")
  endif()
endfunction()

# The README shows the host example in full: it must be the one built here.
file(READ ${SOURCE_DIR}/README.md readme)
foreach(f main.cpp CMakeLists.txt)
  file(READ ${HOST_SOURCE_DIR}/${f} content)
  string(FIND "${readme}" "${content}" at)
  if(at LESS 0)
    message(FATAL_ERROR "README.md does not quote tests/install/host/${f} verbatim")
  endif()
endforeach()

set(ENV{OSTKAVEX_CONFIG_DIR} ${WORK_DIR}/config)
set(ENV{OSTKAVEX_DATA_DIR} ${WORK_DIR}/data)
set(ENV{OSTKAVEX_OUTPUT_DEVICE} virtual)
set(ENV{OSTKAVEX_INPUT_DEVICE} virtual)
unset(ENV{LD_LIBRARY_PATH})

function(run_host exe libdir)
  set(ENV{LD_LIBRARY_PATH} ${libdir})
  run(${exe})
  unset(ENV{LD_LIBRARY_PATH})
  expect("${LAST_OUTPUT}" "host: received stateChanged replay 2" "${exe}")
  message(STATUS "${exe}: ${LAST_OUTPUT}")
endfunction()

function(build_host_with_cmake prefix name)
  run(${CMAKE_COMMAND} -S ${HOST_SOURCE_DIR} -B ${WORK_DIR}/${name} -G ${GENERATOR}
      -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
  run(${CMAKE_COMMAND} --build ${WORK_DIR}/${name})
endfunction()

# kavexmix, run with no library path: the loader must find the library through
# the executable's own run path, wherever the tree lies.
function(run_tool prefix)
  run(readelf -d ${prefix}/bin/kavexmix)
  expect("${LAST_OUTPUT}" "RUNPATH.*\\[\\$ORIGIN/\\.\\./${LIBDIR}\\]" "run path of kavexmix")
  run(${prefix}/bin/kavexmix devices)
  expect("${LAST_OUTPUT}" "virtual" "kavexmix devices from ${prefix}")
endfunction()

if(MODE STREQUAL "prefix")
  set(prefix ${WORK_DIR}/prefix)
  run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
  build_host_with_cmake(${prefix} host)
  run_host(${WORK_DIR}/host/host ${prefix}/${LIBDIR})
  if(EXISTS ${prefix}/bin/kavexmix)
    file(RENAME ${prefix} ${WORK_DIR}/moved)
    run_tool(${WORK_DIR}/moved)
  endif()
elseif(MODE STREQUAL "packages")
  run(cpack -G DEB --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR}/packages)
  file(GLOB debs ${WORK_DIR}/packages/*.deb)
  set(root ${WORK_DIR}/root)
  foreach(deb IN LISTS debs)
    run(dpkg-deb -f ${deb} Package Depends)
    string(REGEX MATCH "Package: ([^\n]*)" _ "${LAST_OUTPUT}")
    set(depends_${CMAKE_MATCH_1} "${LAST_OUTPUT}")
    run(dpkg-deb -x ${deb} ${root})
  endforeach()
  # Library dependencies found by dpkg-shlibdeps; exact version pins on ours.
  expect("${depends_libostkavexmixer}" "libqt5core5a.*libqt5sql5-sqlite|libqt5sql5-sqlite.*libqt5core5a" "libostkavexmixer Depends")
  expect("${depends_libostkavexmixer}" "libavcodec[0-9]+ .*libsamplerate0 .*libsodium[0-9]+ " "libostkavexmixer Depends")
  expect("${depends_libostkavexmixer-dev}" "libostkavexmixer \\(= ${VERSION}\\).*qtbase5-dev" "libostkavexmixer-dev Depends")
  if(EXISTS ${root}/usr/bin/kavexmix)
    expect("${depends_kavexmix}" "libostkavexmixer \\(= ${VERSION}\\)" "kavexmix Depends")
    run_tool(${root}/usr)
  endif()

  set(libdir ${root}/usr/${LIBDIR})
  build_host_with_cmake(${root}/usr host-cmake)
  run_host(${WORK_DIR}/host-cmake/host ${libdir})

  set(ENV{PKG_CONFIG_PATH} ${libdir}/pkgconfig)
  run(pkg-config --cflags --libs ostkavexmixer)
  separate_arguments(flags UNIX_COMMAND "${LAST_OUTPUT}")
  run(${CXX} -std=c++17 ${HOST_SOURCE_DIR}/main.cpp -o ${WORK_DIR}/host-pkgconfig ${flags})
  run_host(${WORK_DIR}/host-pkgconfig ${libdir})
else()
  message(FATAL_ERROR "MODE must be prefix or packages")
endif()
