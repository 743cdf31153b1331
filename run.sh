#!/usr/bin/env bash
# One entry point for setting up, building, testing and showing the library.
#   ./run.sh deps    install the Debian packages the project needs
#   ./run.sh build   configure and build (build/)
#   ./run.sh test    deps + build + the whole test suite
#   ./run.sh demo    deps + build + the demo of the host tool
#   ./run.sh bench   deps + build + the benchmarks (Release build in build-bench/)
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(build-essential cmake ninja-build pkg-config
          qtbase5-dev libgtest-dev libgmock-dev libbenchmark-dev
          libavformat-dev libavcodec-dev libavutil-dev libswresample-dev ffmpeg
          libsamplerate0-dev portaudio19-dev libsodium-dev
          python3 iproute2)
BUILD_DIR=${BUILD_DIR:-build}
JOBS=${JOBS:-$(nproc)}

deps() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

build() {
    local type=${1:-RelWithDebInfo} dir=${2:-$BUILD_DIR}
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" >/dev/null
    cmake --build "$dir" -j "$JOBS"
}

case "${1:-}" in
    deps) deps ;;
    build) deps; build ;;
    test)
        deps; build
        ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" --timeout 300
        ;;
    demo)
        deps; build
        shift
        "$BUILD_DIR/tools/kavexmix" demo "$@"
        ;;
    bench)
        deps; build Release build-bench
        shift
        for b in build-bench/bench/bench_*; do
            [ -x "$b" ] && "$b" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true "$@"
        done
        ;;
    *)
        sed -n '2,8p' "$0"; exit 2 ;;
esac
