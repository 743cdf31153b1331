#!/usr/bin/env bash
# One entry point for setting up, building, testing and showing the library.
#   ./run.sh deps          install the Debian packages the project needs
#   ./run.sh build         configure and build (build/)
#   ./run.sh test          deps + build + the whole test suite
#   ./run.sh sanitize      the whole suite under AddressSanitizer, LeakSanitizer and UBSan (build-asan/)
#   ./run.sh tsan          the threaded tests under ThreadSanitizer (build-tsan/)
#   ./run.sh demo          deps + build + the demo of the host tool
#   ./run.sh serve [STORE] [PORT]  deps + build + a unit server for STORE on PORT (default 47100; token in build/serve.token)
#   ./run.sh bench         deps + build + the benchmarks (Release build in build-bench/)
#   ./run.sh fuzz [SECONDS]  every fuzz target for SECONDS (default 60) each, one after another (clang, build-fuzz/)
#   ./run.sh fuzz-replay   the committed fuzz corpora once, then a short run (10 s) of each fuzz target
#   ./run.sh format        reformat the sources in place with clang-format
#   ./run.sh format-check  list the sources clang-format would change; fails if any
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(build-essential cmake ninja-build pkg-config ccache clang-format
          qtbase5-dev libqt5sql5-sqlite libgtest-dev libgmock-dev libbenchmark-dev
          libavformat-dev libavcodec-dev libavutil-dev libswresample-dev ffmpeg
          libsamplerate0-dev portaudio19-dev libsodium-dev
          python3 iproute2 clang libclang-rt-dev)
BUILD_DIR=${BUILD_DIR:-build}
JOBS=${JOBS:-$(nproc)}
SUPPRESSIONS=$PWD/tools/sanitizers
# The test executables whose threads the library owns: the mixer's real-time
# thread, receivers, sockets on their own threads, device callbacks.
THREADED_TESTS=(contracts device presentation channels decoder network recording mixer)

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

# build TYPE DIR [cmake options...] [-- targets...]
build() {
    local type=${1:-RelWithDebInfo} dir=${2:-$BUILD_DIR}
    shift $(( $# < 2 ? $# : 2 ))
    local options=() targets=()
    while [ $# -gt 0 ] && [ "$1" != "--" ]; do options+=("$1"); shift; done
    [ $# -gt 0 ] && shift
    for t in "$@"; do targets+=(--target "$t"); done
    # ccache is picked up by the build itself when it is installed.
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" "${options[@]}" >/dev/null
    cmake --build "$dir" -j "$JOBS" "${targets[@]}"
}

# Any sanitizer report fails the test that caused it. The options are set for
# the build too: test discovery runs the instrumented executables.
asan_env() {
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export LSAN_OPTIONS=suppressions=$SUPPRESSIONS/lsan.supp:print_suppressions=0
    export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
}
tsan_env() {
    export TSAN_OPTIONS=halt_on_error=0:exitcode=66:suppressions=$SUPPRESSIONS/tsan.supp:second_deadlock_stack=1
}

serve() {
    local store=${1:-} port=${2:-47100}
    echo "Serving ${store:-the default store} on port $port; play it with:"
    echo "  $BUILD_DIR/tools/kavexmix play --server 127.0.0.1:$port --token-file $BUILD_DIR/serve.token --stream NAME"
    "$BUILD_DIR/tools/kavexmix" serve ${store:+--store "$store"} --port "$port" --token-file "$BUILD_DIR/serve.token"
}

# The fuzz targets: clang with libFuzzer, AddressSanitizer and UBSan; only
# the parser sources are built. New inputs go to build-fuzz/corpus/<target>,
# crashes to build-fuzz/artifacts/. Prints the executions of each target.
fuzz_build() {
    build RelWithDebInfo build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKAVEX_BUILD_FUZZ=ON \
        -DKAVEX_BUILD_TESTS=OFF -DKAVEX_BUILD_BENCH=OFF -DKAVEX_BUILD_TOOLS=OFF -- fuzz_all
}

# fuzz_run SECONDS: each target in turn, on one core at the lowest priority.
fuzz_run() {
    local seconds=$1 failed=0
    mkdir -p build-fuzz/artifacts
    for corpus in fuzz/corpus/*/; do
        local target dict=() log
        target=$(basename "$corpus")
        mkdir -p "build-fuzz/corpus/$target"
        [ -f "fuzz/$target.dict" ] && dict=(-dict="fuzz/$target.dict")
        log=build-fuzz/$target.log
        if nice -n 19 "build-fuzz/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
            -rss_limit_mb=2048 -artifact_prefix=build-fuzz/artifacts/"$target"- "${dict[@]}" \
            "build-fuzz/corpus/$target" "$corpus" >"$log" 2>&1; then
            awk -v t="$target" '/stat::number_of_executed_units/ {n=$2} /stat::average_exec_per_sec/ {r=$2}
                END {printf "%-20s %12d executions %8d exec/s\n", t, n, r}' "$log"
        else
            echo "$target: FAILED, see $log"; failed=1
        fi
    done
    return $failed
}

# Every committed input once, without mutation: a regression input that
# crashes again fails the run.
fuzz_replay() {
    local failed=0
    for corpus in fuzz/corpus/*/; do
        local target
        target=$(basename "$corpus")
        "build-fuzz/fuzz/$target" -runs=0 -timeout=10 -rss_limit_mb=2048 "$corpus" >"build-fuzz/$target.replay.log" 2>&1 \
            || { echo "$target: a corpus input fails, see build-fuzz/$target.replay.log"; failed=1; }
    done
    return $failed
}

format_sources() {
    git ls-files -- 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'tools/*.cpp' 'tools/*.h' \
        'bench/*.cpp' 'bench/*.h' 'fuzz/*.cpp' 'fuzz/*.h'
}

case "${1:-}" in
    deps) deps ;;
    build) deps; build ;;
    test)
        deps; build
        ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" --timeout 300
        ;;
    sanitize)
        deps; asan_env
        build RelWithDebInfo build-asan -DKAVEX_SANITIZE=address,undefined -DKAVEX_BUILD_BENCH=OFF -DKAVEX_BUILD_TOOLS=OFF
        # The install check builds an uninstrumented host against the library: not a memory test.
        # Real-time tests run several times slower here; one that misses its
        # timing once gets one more try (its first output stays in the log).
        ctest --test-dir build-asan --output-on-failure -j "$JOBS" --timeout 600 -E '^install\.' --repeat until-pass:2
        ;;
    tsan)
        deps; tsan_env
        targets=()
        for t in "${THREADED_TESTS[@]}"; do targets+=("test_$t"); done
        build RelWithDebInfo build-tsan -DKAVEX_SANITIZE=thread -DKAVEX_BUILD_BENCH=OFF -DKAVEX_BUILD_TOOLS=OFF \
            -- "${targets[@]}"
        labels=$(IFS='|'; echo "${THREADED_TESTS[*]}")
        # As above: one more try for a test that fails once (a report of the
        # first try stays in the log).
        ctest --test-dir build-tsan --output-on-failure -j "$JOBS" --timeout 600 -L "^($labels)\$" --repeat until-pass:2
        ;;
    demo)
        deps; build
        shift
        "$BUILD_DIR/tools/kavexmix" demo "$@"
        ;;
    serve) deps; build; shift; serve "$@" ;;
    bench)
        deps; build Release build-bench
        shift
        for b in build-bench/bench/bench_*; do
            [ -x "$b" ] && "$b" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true "$@"
        done
        ;;
    fuzz)
        deps; fuzz_build
        fuzz_run "${2:-60}"
        ;;
    fuzz-replay)
        deps; fuzz_build
        fuzz_replay
        fuzz_run 10
        ;;
    format)
        format_sources | xargs -r clang-format -i --style=file
        ;;
    format-check)
        format_sources | xargs -r clang-format --dry-run --Werror --style=file
        ;;
    *)
        sed -n '2,14p' "$0"; exit 2 ;;
esac
