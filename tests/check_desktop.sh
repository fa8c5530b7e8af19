#!/usr/bin/env bash
# The window under a real window manager (openbox on a virtual display): it
# opens maximised with its frame and status line on screen, F5 runs NB, and
# closing it then asks about the work not saved; Cancel keeps the window.
# Skipped (status 77) where Xvfb, openbox, xdotool or xwininfo is missing.
set -u
inkmask=$1
scan=$2
for tool in xvfb-run openbox xdotool xwininfo; do
    command -v "$tool" >/dev/null || { echo "no $tool: skipped"; exit 77; }
done
if [ -z "${INKMASK_IN_XVFB:-}" ]; then
    INKMASK_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 1280x900x24" "$0" "$@"
fi

# The tests run headless; this one wants the display.
export QT_QPA_PLATFORM=xcb
fail() { echo "FAIL: $*"; exit 1; }
# Waits up to 30 s for a window whose title matches $1; prints its id.
window() {
    for _ in $(seq 150); do
        id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1)
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.2
    done
    return 1
}

openbox >/dev/null 2>&1 &
wm=$!
sleep 1
"$inkmask" "$scan" >/dev/null 2>&1 &
app=$!
trap 'kill $app $wm 2>/dev/null' EXIT

main=$(window "$(basename "$scan")") || fail "the window did not appear"
sleep 1
# xwininfo gives the client area's place on the screen, below the frame.
X=$(xwininfo -id "$main" | awk '/Absolute upper-left X/ {print $NF}')
Y=$(xwininfo -id "$main" | awk '/Absolute upper-left Y/ {print $NF}')
WIDTH=$(xwininfo -id "$main" | awk '/Width:/ {print $NF}')
HEIGHT=$(xwininfo -id "$main" | awk '/Height:/ {print $NF}')
echo "window at ${X},${Y}, ${WIDTH}x${HEIGHT} on 1280x900"
[ "$X" -ge 0 ] && [ "$Y" -gt 0 ] && [ $((X + WIDTH)) -le 1280 ] && [ $((Y + HEIGHT)) -le 900 ] ||
    fail "the window is not inside the screen below its title bar"
[ "$WIDTH" -ge 1200 ] && [ "$HEIGHT" -ge 800 ] || fail "the window is not maximised"

xdotool windowactivate --sync "$main" key F5
sleep 2
xdotool windowactivate --sync "$main" key alt+F4
question=$(window '^inkmask$') || fail "closing after NB asked nothing"
xdotool windowactivate --sync "$question" key Escape
sleep 1
kill -0 "$app" 2>/dev/null || fail "Cancel did not keep the window"
xdotool search --onlyvisible --name '^inkmask$' >/dev/null 2>&1 && fail "the question stayed"
echo "PASS"
