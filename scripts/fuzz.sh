#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a bounded time.
# Installs clang, its fuzzer runtime and what building inkmask needs first.
# Not part of CI.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS per target (default 60, or FUZZ_SECONDS); TARGETs among
# commandline, threshold, loadpicture, decoders, passes (default
# all). The committed seeds in fuzz/corpus/<target> are read, never written:
# what the fuzzer learns goes to <build>/fuzz-corpus/<target>, and inputs
# that break a target to <build>/fuzz-findings/<target>. Exits 1 when
# anything was found.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=setup.sh
source "$root/scripts/setup.sh"

seconds=${1:-${FUZZ_SECONDS:-60}}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(commandline threshold loadpicture decoders passes)

inkmask_ensure_packages "${INKMASK_PACKAGES[@]}" clang libclang-rt-dev
build="${INKMASK_FUZZ_BUILD_DIR:-$root/build-fuzz}"
generator=()
command -v ninja >/dev/null && [ ! -f "$build/CMakeCache.txt" ] && generator=(-G Ninja)
CXX=clang++ cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DINKMASK_FUZZ=ON -DBUILD_TESTING=OFF -DINKMASK_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

found=0
summary=()
for target in "${targets[@]}"; do
    corpus="$build/fuzz-corpus/$target"
    findings="$build/fuzz-findings/$target"
    log="$build/fuzz-$target.log"
    mkdir -p "$corpus" "$findings"
    echo "fuzz_$target: ${seconds} s" >&2
    status=0
    # Leak checks stay off: Qt keeps caches for the life of the process.
    ASAN_OPTIONS=detect_leaks=0 "$build/fuzz/fuzz_$target" -max_total_time="$seconds" \
        -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$findings/" \
        "$corpus" "$root/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    if [ "$status" -ne 0 ]; then
        found=1
        summary+=("$(printf '%-12s %12s runs  FOUND something, see %s and %s' "$target" "${runs:-?}" "$log" "$findings")")
    else
        summary+=("$(printf '%-12s %12s runs  %6s/s  nothing found' "$target" "${runs:-?}" "$((${runs:-0} / seconds))")")
    fi
done
rm -f "${TMPDIR:-/tmp}"/inkmask-fuzz-*

printf '%s\n' "${summary[@]}"
exit "$found"
