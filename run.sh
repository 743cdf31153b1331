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
#   ./run.sh redundant     deps + build + the tests of playing one stream from several stores
#   ./run.sh flood         deps + build + a receiver port flooded 10 s at 100,000 packets/s (receiver at normal and real-time priority), and channel memory
#   ./run.sh package       deps + build + Debian packages of the library, -dev and tool (build/packages/)
#   ./run.sh docs          API documentation of the installed headers (build/docs/html/); fails on a warning
#   ./run.sh compare [N..] CPU of our live path against ffmpeg amix, GStreamer audiomixer and the FFmpeg floor
#   ./run.sh scale [N] [S] N live streams over loopback into the real mixer thread for S seconds
#   ./run.sh fuzz [SECONDS]  every fuzz target for SECONDS (default 60) each, one after another (clang, build-fuzz/)
#   ./run.sh fuzz-replay   the committed fuzz corpora once, then a short run (10 s) of each fuzz target
#   ./run.sh fuzz-long [RUNS] [TARGET..]  fuzz targets (default all) to RUNS executions each (default 10 million; FUZZ_WORKERS=N shares them among N processes)
#   ./run.sh format        reformat the sources in place with clang-format
#   ./run.sh format-check  list the sources clang-format would change; fails if any
#   ./run.sh pgtest        deps + build + the PostgreSQL store tests, failing (not skipping) without a cluster
#   ./run.sh faults        deps + build + the tests of failing sound devices (stall, burst, drift, lost card)
#   ./run.sh loadtest [OPTIONS]  deps + Release build + unit server load figures on SQLite and PostgreSQL (--help)
#   ./run.sh soak [MINUTES]  deps + Release build + 64 live streams under changing load for MINUTES (default 10); fails on memory growth or late ticks
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(build-essential cmake ninja-build pkg-config ccache clang-format
          qtbase5-dev libqt5sql5-sqlite libgtest-dev libgmock-dev libbenchmark-dev
          libavformat-dev libavcodec-dev libavutil-dev libswresample-dev ffmpeg
          libsamplerate0-dev portaudio19-dev libsodium-dev
          python3 iproute2 postgresql libqt5sql5-psql dpkg-dev file doxygen clang libclang-rt-dev)
# Only for ./run.sh compare: the GStreamer tools it measures against.
COMPARE_PACKAGES=(gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good)
BUILD_DIR=${BUILD_DIR:-build}
JOBS=${JOBS:-$(nproc)}
SUPPRESSIONS=$PWD/tools/sanitizers
# The test executables whose threads the library owns: the mixer's real-time
# thread, receivers, sockets on their own threads, device callbacks.
THREADED_TESTS=(contracts device presentation channels decoder network recording mixer)

# deps [extra packages...]
deps() {
    local missing=()
    for p in "${PACKAGES[@]}" "$@"; do
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

# The tests of the store on PostgreSQL: each starts a private cluster, and
# CI=true turns a cluster that cannot start into a failure.
pg_tests() {
    ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" --timeout 300 -R 'PostgreSQL|FromPostgres'
}

# Playback of a stream kept by several stores: the session over scripted
# locations, and the mixer playing two stores of which one lacks a stretch.
redundant() {
    build RelWithDebInfo "$BUILD_DIR" -- test_recording test_mixer
    ctest --test-dir "$BUILD_DIR" --output-on-failure -R 'MulPlaySession|TwoStores'
}

# A receiver port under a flood while a stream plays through the mixer, with
# the receiver's thread at normal and at real-time priority, then what 100
# live channels cost in memory. Arguments go to the flood runs.
flood() {
    build-bench/bench/bench_flood --flood "$@"
    build-bench/bench/bench_flood --flood --receiver-priority 10 "$@"
    build-bench/bench/bench_flood --channels 100 --seconds 5
}

# Debian packages from the build tree's install components.
package() {
    rm -rf "$BUILD_DIR/packages"
    (cd "$BUILD_DIR" && cpack -G DEB >/dev/null)
    for deb in "$BUILD_DIR"/packages/*.deb; do
        echo "$deb"
        dpkg-deb -f "$deb" Depends | sed 's/^/    /'
    done
}

# Doxygen over the installed headers; any warning (an undocumented facade
# member, a broken reference) fails the run.
docs() {
    cmake -S . -B "$BUILD_DIR" -G Ninja >/dev/null
    cmake --build "$BUILD_DIR" --target docs
    if [ -s "$BUILD_DIR/docs/warnings.log" ]; then
        cat "$BUILD_DIR/docs/warnings.log"
        return 1
    fi
    echo "API documentation: $BUILD_DIR/docs/html/index.html"
}

# The tests that make the virtual sound cards fail (see "When devices fail" in README.md).
device_fault_tests() {
    build RelWithDebInfo "$BUILD_DIR" -- test_device test_network test_mixer test_dsp
    ctest --test-dir "$BUILD_DIR" --output-on-failure --timeout 300 \
        -R 'DeviceFault|DSoundOut|PcmDevice|RtpSinkTest|OutputPacer|MixerThread|AudioConverterTest'
}

# Load figures of the unit server: 64 playback sessions against a kavexmix
# serve child process, on an SQLite store and on a private PostgreSQL cluster.
loadtest() {
    build Release build-bench -- bench_unitserver
    build-bench/bench/bench_unitserver "$@"
}

# The soak: 64 live streams while receivers come and go, tones and talk-back
# switch and the sound output fails and comes back; a line a minute, and a
# failure on memory growth, late ticks or a part that does not come back.
soak() {
    build Release build-bench -- kavex_soak
    build-bench/bench/kavex_soak "${1:-10}"
}

# The fuzz targets: clang with libFuzzer, AddressSanitizer and UBSan; only
# the parser sources are built. New inputs go to build-fuzz/corpus/<target>,
# crashes to build-fuzz/artifacts/. Prints the executions of each target.
fuzz_build() {
    build RelWithDebInfo build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKAVEX_BUILD_FUZZ=ON \
        -DKAVEX_BUILD_TESTS=OFF -DKAVEX_BUILD_BENCH=OFF -DKAVEX_BUILD_TOOLS=OFF -- fuzz_all
}

# Inputs are at most 64 KiB: one allocation larger than this means a size
# claimed by the input was believed, which the parsers must not do.
FUZZ_MALLOC_LIMIT_MB=256

# fuzz_run SECONDS: each target in turn, on one core at the lowest priority.
fuzz_run() {
    fuzz_targets -max_total_time="$1"
}

# fuzz_long [RUNS] [TARGET...]: the given targets (default all) in turn until
# each has run RUNS inputs (default 10 million), for the fuzzing figures.
fuzz_long() {
    local runs=${1:-10000000}
    shift || true
    fuzz_targets -runs="$runs" "$@"
}

# fuzz_targets LIMIT [TARGET...]: each target (default all) in turn with the
# libFuzzer flag LIMIT; prints executions, exec/s and seconds of each.
# FUZZ_WORKERS (default 1) runs that many processes per target on one shared
# corpus, each picking up what the others find; a -runs=N limit is split
# between them, so the executions printed are the target's total.
fuzz_targets() {
    local limit=$1 failed=0 corpora=() workers=${FUZZ_WORKERS:-1}
    shift
    if [ $# -eq 0 ]; then corpora=(fuzz/corpus/*/); else for t in "$@"; do corpora+=("fuzz/corpus/$t/"); done; fi
    if [[ $limit == -runs=* ]]; then
        local runs=${limit#-runs=}
        limit=-runs=$(((runs + workers - 1) / workers))
    fi
    mkdir -p build-fuzz/artifacts
    for corpus in "${corpora[@]}"; do
        local target dict=() logs=() pids=() w
        target=$(basename "$corpus")
        mkdir -p "build-fuzz/corpus/$target"
        [ -f "fuzz/$target.dict" ] && dict=(-dict="fuzz/$target.dict")
        for ((w = 1; w <= workers; w++)); do
            local log=build-fuzz/$target.log
            [ "$workers" -gt 1 ] && log=build-fuzz/$target.w$w.log
            logs+=("$log")
            nice -n 19 "build-fuzz/fuzz/$target" "$limit" -print_final_stats=1 -timeout=10 \
                -rss_limit_mb=2048 -malloc_limit_mb="$FUZZ_MALLOC_LIMIT_MB" -artifact_prefix=build-fuzz/artifacts/"$target"- "${dict[@]}" \
                "build-fuzz/corpus/$target" "$corpus" >"$log" 2>&1 &
            pids+=($!)
        done
        local ok=1
        for w in "${!pids[@]}"; do
            wait "${pids[$w]}" || { echo "$target: FAILED, see ${logs[$w]}"; ok=0; failed=1; }
        done
        [ $ok -eq 1 ] && awk -v t="$target" -v w="$workers" '/stat::number_of_executed_units/ {n += $2}
                /^Done [0-9]+ runs in/ {if ($5 > s) s = $5}
                END {printf "%-20s %12d executions %8d exec/s %8d s  (%d worker(s))\n", t, n, s ? n / s : 0, s, w}' "${logs[@]}"
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
        "build-fuzz/fuzz/$target" -runs=0 -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb="$FUZZ_MALLOC_LIMIT_MB" "$corpus" >"build-fuzz/$target.replay.log" 2>&1 \
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
        # The flood and unit-server load runs are commands of their own.
        for b in build-bench/bench/bench_*; do
            case "$b" in *bench_flood|*bench_unitserver) continue ;; esac
            [ -x "$b" ] && "$b" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true "$@"
        done
        ;;
    redundant) deps; redundant ;;
    flood)
        deps; build Release build-bench
        shift
        flood "$@"
        ;;
    package) deps; build; package ;;
    docs) deps; docs ;;
    faults) deps; device_fault_tests ;;
    compare)
        deps "${COMPARE_PACKAGES[@]}"; build Release build-bench -- kavex_compare
        shift
        build-bench/bench/compare/kavex_compare "$@"
        ;;
    scale)
        deps; build Release build-bench -- kavex_scale
        shift
        build-bench/bench/compare/kavex_scale "$@"
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
    fuzz-long)
        deps; fuzz_build
        shift
        fuzz_long "$@"
        ;;
    format)
        format_sources | xargs -r clang-format -i --style=file
        ;;
    pgtest)
        deps; build
        CI=true pg_tests
        ;;
    loadtest) deps; shift; loadtest "$@" ;;
    soak) deps; shift; soak "$@" ;;
    format-check)
        format_sources | xargs -r clang-format --dry-run --Werror --style=file
        ;;
    *)
        sed -n '2,/^set /{/^#/p}' "$0"; exit 2 ;;
esac
