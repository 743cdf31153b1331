# Debian packages of the installed components, made by `cpack -G DEB` in the
# build tree (./run.sh package):
#   libostkavexmixer      the shared library (component "library")
#   libostkavexmixer-dev  headers, link name, CMake package, pkg-config file ("development")
#   kavexmix              the host tool ("tool")
# Library dependencies come from dpkg-shlibdeps; the -dev package pins the
# library of exactly its own version.

set(CPACK_PACKAGE_NAME ostkavexmixer)
set(CPACK_PACKAGE_VENDOR "OstKavexMixer developers")
set(CPACK_PACKAGE_CONTACT "OstKavexMixer developers <ostkavexmixer@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Audio mixing library for live and recorded RTP audio")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL library development)
if(TARGET kavexmix)
  list(APPEND CPACK_COMPONENTS_ALL tool)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The library package carries a shlibs file for packages built against it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libostkavexmixer)
# Recording stores are SQLite databases opened through a Qt plugin, which
# dpkg-shlibdeps cannot see.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS libqt5sql5-sqlite)
set(CPACK_COMPONENT_LIBRARY_DESCRIPTION "Audio mixing library: live RTP, recorded playback, signal tones, talk-back")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libostkavexmixer-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libostkavexmixer (= ${PROJECT_VERSION}), qtbase5-dev")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "Headers, CMake package and pkg-config file of the audio mixing library")

set(CPACK_DEBIAN_TOOL_PACKAGE_NAME kavexmix)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION sound)
# dpkg-shlibdeps reads the tool's other libraries; it finds ours in the build
# tree, and the package that holds it is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/src)
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "libostkavexmixer (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_TOOL_DESCRIPTION "Host tool of the audio mixing library: demo, tones, live listening, talk-back, recording")

include(CPack)
