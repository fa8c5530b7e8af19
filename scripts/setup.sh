#!/usr/bin/env bash
# Installs what building and testing inkmask needs on a Debian machine, when
# it is missing. Sourced by the other scripts; safe to run again.
set -euo pipefail

INKMASK_PACKAGES=(
    cmake g++ make pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-image-formats-plugins libqt6test6
    libgl-dev desktop-file-utils libdeflate-dev libjpeg62-turbo-dev
    libtiff-dev libxxhash-dev libpng-dev libopenjp2-7-dev
)
# What the tests need besides: opj_compress and opj_decompress make and read
# the JPEG 2000 inputs the decoder is checked against, gdalinfo checks that
# outputs keep the scan's georeferencing, and a virtual display with a small
# window manager shows the window as a desktop would.
INKMASK_TEST_PACKAGES=(libopenjp2-tools gdal-bin xvfb xauth openbox xdotool x11-utils)

inkmask_missing_packages() {
    local missing=()
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$p")
        fi
    done
    echo "${missing[@]:-}"
}

inkmask_ensure_packages() {
    local missing
    missing=$(inkmask_missing_packages "$@")
    if [ -n "$missing" ]; then
        echo "Installing: $missing" >&2
        local sudo=""
        [ "$(id -u)" -ne 0 ] && sudo="sudo"
        $sudo apt-get update -qq
        # shellcheck disable=SC2086
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing >&2
    fi
}

# inkmask_build BUILD_DIR [cmake options...] [--target NAME...]
# Configures BUILD_DIR with the options and builds everything, or only the
# targets named after --target.
inkmask_build() {
    local dir=$1
    shift
    local root
    root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    local options=() targets=()
    while [ $# -gt 0 ]; do
        if [ "$1" = --target ]; then
            targets+=(--target "$2")
            shift 2
        else
            options+=("$1")
            shift
        fi
    done
    cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >/dev/null
    cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
}
