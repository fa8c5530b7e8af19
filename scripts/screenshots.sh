#!/usr/bin/env bash
# Remakes the pictures of the README: runs the real program on the bundled
# sample under a virtual display, presses its buttons and crops screenshots
# into doc/screenshots/. Installs what is missing first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=setup.sh
source "$root/scripts/setup.sh"

inkmask_ensure_packages "${INKMASK_PACKAGES[@]}" xvfb xauth xdotool imagemagick
build="${INKMASK_BUILD_DIR:-$root/build}"
inkmask_build "$build" --target inkmask
out="$root/doc/screenshots"
mkdir -p "$out"

if [ -z "${INKMASK_IN_XVFB:-}" ]; then
    INKMASK_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1280x1000x24" "$0" "$@"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/shell/inkmask" "$root/examples/plan.png" 2>/dev/null &
pid=$!
trap 'kill $pid 2>/dev/null || true; rm -rf "$work"' EXIT
sleep 3

shot() { # NAME GEOMETRY
    import -window root "$work/full.png"
    convert "$work/full.png" -crop "$2" +repage "$out/$1.png"
}
click() { xdotool mousemove "$1" "$2" click 1; sleep "${3:-2}"; }

# Button centres in the window: NB, bouchtrou, affine.
shot before-nb 760x560+0+0
click 448 56 3
shot after-nb 760x560+0+0
click 532 20
shot after-bouchtrou 760x560+0+0
click 532 60
shot after-affine 760x560+0+0

# What affine changed: the focus back on the picture, C for the overlay, at
# zoom 3; then the overlay off and zoom 1 again.
click 300 300 1
xdotool key c ctrl+plus ctrl+plus
sleep 1
shot after-affine-changes 760x560+0+0
xdotool key c ctrl+0
sleep 1

# Zoom to 8 on the picture and point at a pixel of a wall.
click 300 300 1
for _ in 1 2 3 4 5; do
    xdotool key ctrl+plus
    sleep 0.5
done
xdotool mousemove 200 280
sleep 1
shot zoom8-pixel-line 760x560+0+0

# NB's preview: R set to 120 by typing, at zoom 1.
xdotool key ctrl+0
click 56 57 0.5
xdotool key ctrl+a
xdotool type 120
xdotool mousemove 700 700
sleep 2
shot preview 760x560+0+0
xdotool key Escape
click 300 300 0.5  # the focus out of the box, where C would be typed

# The status line after NB with the overlay on, at the bottom of the window.
xdotool key F5
sleep 3
xdotool key c
sleep 1
shot status-line 1000x22+0+978
xdotool key c

# The list of keys (F1), where it opens.
xdotool key F1
sleep 1
keys=$(xdotool search --onlyvisible --name "Keys and mouse" | head -n 1)
eval "$(xdotool getwindowgeometry --shell "$keys")"
shot keys "${WIDTH}x${HEIGHT}+${X}+${Y}"
echo "Screenshots written to $out"
