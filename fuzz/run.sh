#!/usr/bin/env bash
# Builds the fuzz targets with clang++ (libFuzzer with the address and
# undefined-behaviour sanitizers) and runs each for a while, starting from
# its seed corpus in fuzz/corpus/<target>/.
#
#   fuzz/run.sh [seconds]      every run for that many seconds (default 30)
#
# Runs: argument_parser_fuzz on the parser alone, argument_parser_fuzz
# booting the driver with each argument string (NIMB_FUZZ_BOOT=1),
# request_path_fuzz with the driver in interrupt mode, request_path_fuzz
# with the driver in polling mode (NIMB_FUZZ_ARGUMENTS=/di),
# image_reader_fuzz on the reader of the driver image file, and
# iscsi_pdu_fuzz on the iSCSI PDU reader and text keys of the served disk.
# Inputs found on the way go to $FUZZ_BUILD/corpus/<run>/ (the seeds in the
# tree are only read); a crashing input is written to
# $FUZZ_BUILD/artifacts/ and the script ends with status 1. Replay one with
#   $FUZZ_BUILD/<target> <input file>
# and turn it into a case of tests/fuzz_regressions_test.cpp.
#
# Long runs: the same, with a corpus that survives between runs and one
# job per core, for example an hour per run:
#   FUZZ_BUILD=/var/tmp/nimb-fuzz FUZZ_JOBS=2 fuzz/run.sh 3600
# or one target without a time limit:
#   build-fuzz/request_path_fuzz -jobs=2 -workers=2 -timeout=60 -max_len=96 \
#       /var/tmp/nimb-corpus fuzz/corpus/request_path_fuzz
#
# Environment: FUZZ_BUILD (build directory, default build-fuzz in the tree),
# FUZZ_JOBS (parallel jobs per run, default 1), CXX_FUZZ (default clang++),
# FUZZ_SEED (libFuzzer's random seed; unset: a new one each run, so that
# runs explore differently; set: a short run repeats itself, as CI needs).
# Without clang's libFuzzer runtime on the machine the script installs it
# with apt-get (packages clang and libclang-rt-<version>-dev).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-30}
build=${FUZZ_BUILD:-$root/build-fuzz}
jobs=${FUZZ_JOBS:-1}
cxx=${CXX_FUZZ:-clang++}

# libFuzzer links when a tiny target does.
fuzzer_links() {
    command -v "$cxx" >/dev/null 2>&1 || return 1
    local probe
    probe=$(mktemp -d)
    printf '#include <stddef.h>\n#include <stdint.h>\nextern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }\n' >"$probe/p.cpp"
    "$cxx" -fsanitize=fuzzer,address,undefined "$probe/p.cpp" -o "$probe/p" >/dev/null 2>&1
    local ok=$?
    rm -rf "$probe"
    return $ok
}

if ! fuzzer_links; then
    echo "fuzz: installing clang and its libFuzzer runtime" >&2
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq clang >/dev/null
    version=$("$cxx" --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -1)
    $sudo apt-get install -y -qq "libclang-rt-$version-dev" >/dev/null ||
        $sudo apt-get install -y -qq "libfuzzer-$version-dev" >/dev/null
    fuzzer_links || { echo "fuzz: $cxx -fsanitize=fuzzer does not link" >&2; exit 1; }
fi

cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs" >/dev/null

status=0
# run <name> <target> <max_len> [environment...]
run() {
    local name=$1 target=$2 maxlen=$3
    shift 3
    mkdir -p "$build/corpus/$name" "$build/artifacts"
    local log="$build/$name.log"
    local parallel=()
    # With several jobs libFuzzer writes each job's log to fuzz-<n>.log in
    # the working directory: the build directory.
    [ "$jobs" -gt 1 ] && parallel=(-jobs="$jobs" -workers="$jobs")
    [ -n "${FUZZ_SEED:-}" ] && parallel+=(-seed="$FUZZ_SEED")
    echo "fuzz: $name for ${seconds}s"
    if (cd "$build" && env "$@" "$build/$target" -max_total_time="$seconds" -timeout=60 \
        -rss_limit_mb=4096 -max_len="$maxlen" -len_control=0 -print_final_stats=1 "${parallel[@]}" \
        -artifact_prefix="$build/artifacts/$name-" \
        "$build/corpus/$name" "$root/fuzz/corpus/$target") >"$log" 2>&1; then
        grep -E '^#[0-9]+.*DONE|^stat::number_of_executed_units|^stat::peak_rss_mb' "$log" | sed "s/^/  /" || true
    else
        echo "fuzz: $name FAILED, see $log; inputs in $build/artifacts/" >&2
        grep -E 'argument_parser_fuzz:|request_path_fuzz:|image_reader_fuzz:|iscsi_pdu_fuzz:|ERROR: |SUMMARY: |runtime error' "$log" | head -5 >&2 || true
        status=1
    fi
}

run argument_parser_fuzz argument_parser_fuzz 640
run argument_parser_fuzz_boot argument_parser_fuzz 640 NIMB_FUZZ_BOOT=1
run request_path_fuzz request_path_fuzz 96
run request_path_fuzz_polling request_path_fuzz 96 NIMB_FUZZ_ARGUMENTS=/di
# Long enough for a real driver image, which is one of the seeds.
run image_reader_fuzz image_reader_fuzz 98304
# One PDU with a data segment up to the 8192-byte limit, or several smaller.
run iscsi_pdu_fuzz iscsi_pdu_fuzz 9000
exit $status
