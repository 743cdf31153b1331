# Every external dependency of the library, found once for all targets.
find_package(Qt5 5.15 REQUIRED COMPONENTS Core Network Sql)
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil libswresample)
pkg_check_modules(SAMPLERATE REQUIRED IMPORTED_TARGET samplerate)
pkg_check_modules(PORTAUDIO REQUIRED IMPORTED_TARGET portaudio-2.0)
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
