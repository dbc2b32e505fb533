#!/bin/sh
# End to end on a real X server: start the built console, wait for its
# window, check that it shows something, leave through the File menu with the
# keyboard as an operator would, and check that the settings were written.
#
#   e2e_display.sh <console executable> [screenshot to keep]
set -eu
console=${1:?console executable}
keep=${2:-}
. "$(dirname "$0")/e2e_common.sh"

# The console keeps its settings beside its executable: run a private copy.
mkdir -p "$work/bin" "$work/home"
cp "$console" "$work/bin/"
settings="$work/bin/Tunaris - Serial Console.cfg"

start_display
export QT_QPA_PLATFORM=xcb HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"

# A desktop session has a message bus, which the toolkit's accessibility
# support looks for.
cd "$work/home"
dbus-run-session -- "$work/bin/tunaris-console" >"$work/console.log" 2>&1 &
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
wait_for_exit "the console did not exit through File > Exit within 10 s"

[ -f "$settings" ] || fail "no settings file was written"
lines=$(wc -l <"$settings")
[ "$lines" -eq 19 ] || fail "the settings file has $lines lines, not 19"
head -n 1 "$settings" | grep -q '^QRB11.00$' || fail "unexpected first line: $(head -n 1 "$settings")"
