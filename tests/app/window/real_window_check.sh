#!/usr/bin/env bash
# The program in a real X window on a 1366 x 768 laptop screen: started with a photo on its
# command line it shows that photo in a window that fits the screen, Ctrl+1 shows it one photo
# pixel on one screen pixel, the compare button held shows it as loaded, Ctrl+S asks for a name and saves the corrected photo there, the window
# shrinks to 560 pixels high or less, Ctrl+Q ends it. Exits 77 (skipped) where Xvfb or xdotool is
# missing.
set -euo pipefail
lumivex="$1"
command -v Xvfb >/dev/null && command -v xdotool >/dev/null || exit 77

dir="$(mktemp -d)"
server=""
program=""
cleanup() {
    [[ -n "$program" ]] && kill "$program" 2>/dev/null || true
    [[ -n "$server" ]] && kill "$server" 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# A one-pixel checkerboard, which only an unscaled picture shows as it is, of two greys that a
# brightness change moves.
convert -size 400x300 pattern:gray50 +level 25%,75% -depth 8 "$dir/photo.png"
convert -size 64x64 pattern:gray50 +level 25%,75% -depth 8 "$dir/even.png"
convert "$dir/even.png" -roll +1+0 "$dir/odd.png"
Xvfb -displayfd 3 -screen 0 1366x768x24 -nolisten tcp 3>"$dir/display" 2>/dev/null &
server=$!
for _ in $(seq 50); do [[ -s "$dir/display" ]] && break; sleep 0.1; done
export DISPLAY=":$(cat "$dir/display")" QT_QPA_PLATFORM=xcb XDG_CONFIG_HOME="$dir/config"
unset WAYLAND_DISPLAY

# The session bus library keeps a buffer until exit, which a sanitized build reports as a leak.
echo "leak:libdbus-1.so" >"$dir/leaks.supp"
export LSAN_OPTIONS="suppressions=$dir/leaks.supp"

cd "$dir"
"$lumivex" photo.png &
program=$!
window="$(timeout 30 xdotool search --sync --name '^photo.png - Lumivex$' | head -n 1)" ||
    fail "no window named after the photo"
xdotool windowfocus --sync "$window"
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$window")"
((Y + HEIGHT <= 768 && X + WIDTH <= 1366)) || fail "the window ($WIDTH x $HEIGHT at $X,$Y) leaves the screen"

# 64 x 64 screen pixels at the window's centre, which the photo covers, match the pattern.
unscaled() {
    eval "$(xdotool getwindowgeometry --shell "$window")"
    import -window root -crop "64x64+$((X + WIDTH / 2))+$((Y + HEIGHT / 2))" +repage shot.png
    for pattern in even.png odd.png; do
        [[ "$(compare -metric AE shot.png "$pattern" null: 2>&1)" == 0 ]] && return 0
    done
    return 1
}
unscaled && fail "the fitted photo already shows unscaled"
xdotool key ctrl+1
sleep 1
unscaled || fail "Ctrl+1 did not show the photo's pixels unscaled"

# Held down, the compare button shows the photo as loaded; let go, the corrected one. The button
# is found by pressing along the status bar from the right.
centre() {
    eval "$(xdotool getwindowgeometry --shell "$window")"
    import -window root -crop "16x16+$((X + WIDTH / 2))+$((Y + HEIGHT / 2))" +repage "$1"
}
same() { [[ "$(compare -metric AE "$1" "$2" null: 2>&1)" == 0 ]]; }
centre loaded.png
xdotool key Tab Tab Tab Tab Tab Prior Prior Prior # to the brightness slider, and raise it
sleep 1
centre corrected.png
same loaded.png corrected.png && fail "the brightness slider did not change the picture"
held=""
for ((right = 40; right <= 400; right += 20)); do
    xdotool mousemove $((X + WIDTH - right)) $((Y + HEIGHT - 12)) mousedown 1
    sleep 0.4
    centre held.png
    xdotool mouseup 1
    if same held.png loaded.png; then
        held=1
        break
    fi
done
[[ -n "$held" ]] || fail "nothing in the status bar showed the photo as loaded while held"
sleep 0.5
centre released.png
same released.png corrected.png || fail "letting go of the compare button kept the photo as loaded"

xdotool key ctrl+s
timeout 30 xdotool search --sync --name '名前を付けて保存' >/dev/null || fail "Ctrl+S showed no save dialog"
sleep 0.5
xdotool type --delay 30 corrected
xdotool key Return
for _ in $(seq 100); do [[ -s corrected.jpg ]] && break; sleep 0.1; done
[[ "$(identify -format '%m %wx%h' corrected.jpg 2>/dev/null)" == "JPEG 400x300" ]] ||
    fail "no 400 x 300 JPEG saved"

xdotool windowfocus --sync "$window"
# The smallest size the window asks the window manager for.
smallest="$(xprop -id "$window" WM_NORMAL_HINTS | sed -n 's/.*minimum size: [0-9]* by \([0-9]*\).*/\1/p')"
[[ -n "$smallest" ]] && ((smallest <= 560)) ||
    fail "the window cannot be made shorter than ${smallest:-its full} pixels"
xdotool key ctrl+q
for _ in $(seq 100); do kill -0 "$program" 2>/dev/null || break; sleep 0.1; done
kill -0 "$program" 2>/dev/null && fail "Ctrl+Q did not end the program"
wait "$program" || fail "the program exited with an error"
program=""
echo "ok"
