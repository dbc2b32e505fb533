#!/bin/sh
# End to end on a real X server: start the built console, wait for its
# window, check that it shows something, leave through the File menu with the
# keyboard as an operator would, and check that the settings were written.
#
#   e2e_display.sh <console executable> [screenshot to keep]
set -eu
console=${1:?console executable}
keep=${2:-}
work=$(mktemp -d)
app=
xvfb=
cleanup() {
    [ -n "$app" ] && kill "$app" 2>/dev/null
    [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The console keeps its settings beside its executable: run a private copy.
mkdir -p "$work/bin" "$work/home"
cp "$console" "$work/bin/"
settings="$work/bin/Tunaris - Serial Console.cfg"

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=":$(cat "$work/display")" QT_QPA_PLATFORM=xcb HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"

cd "$work/home"
"$work/bin/tunaris-console" >"$work/console.log" 2>&1 &
app=$!
window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Tunaris - Serial Console$' | head -n 1) \
    || fail "no window titled 'Tunaris - Serial Console' within 20 s"
sleep 1  # let it paint

import -window root "$work/shot.png"
[ -n "$keep" ] && cp "$work/shot.png" "$keep"
colours=$(identify -format '%k' "$work/shot.png")
[ "$colours" -gt 50 ] || fail "the screen looks blank ($colours colours)"
echo "window $window mapped; the screenshot has $colours colours"

# File menu by its mnemonic, then Exit by its own.
xdotool windowfocus --sync "$window"
xdotool key --delay 100 alt+f
sleep 0.5
xdotool key e
for _ in $(seq 100); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
kill -0 "$app" 2>/dev/null && fail "the console did not exit through File > Exit within 10 s"
wait "$app" || fail "the console exited with status $?"
app=

[ -f "$settings" ] || fail "no settings file was written"
lines=$(wc -l <"$settings")
[ "$lines" -eq 19 ] || fail "the settings file has $lines lines, not 19"
head -n 1 "$settings" | grep -q '^QRB11.00$' || fail "unexpected first line: $(head -n 1 "$settings")"
