#!/usr/bin/env bash
# Builds inkmask and runs every test, headless. Installs what is missing first.
#
#   ./scripts/test.sh              the ordinary build
#   ./scripts/test.sh --sanitize   a build with AddressSanitizer and
#                                  UndefinedBehaviorSanitizer (build-sanitize/)
#   ./scripts/test.sh --all        both, one after the other (what CI runs)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=setup.sh
source "$root/scripts/setup.sh"

mode=${1:-plain}
inkmask_ensure_packages "${INKMASK_PACKAGES[@]}" "${INKMASK_TEST_PACKAGES[@]}"

run_suite() {
    local build=$1
    shift
    inkmask_build "$build" "$@"
    (cd "$build" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$(nproc)")
}

case "$mode" in
plain) run_suite "${INKMASK_BUILD_DIR:-$root/build}" ;;
--sanitize)
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
        run_suite "$root/build-sanitize" -DINKMASK_SANITIZE=ON -DINKMASK_BENCHMARKS=OFF
    ;;
--all)
    "$0"
    "$0" --sanitize
    ;;
*)
    echo "usage: $0 [--sanitize | --all]" >&2
    exit 2
    ;;
esac
