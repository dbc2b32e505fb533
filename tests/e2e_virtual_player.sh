#!/bin/sh
# Trying the console without a player, as the README tells a new user to:
# start the monitor as a virtual player, start the console, type the path the
# monitor printed into the Port box, press Open, press Play, and see the Play
# frame arrive at the monitor.
#
#   e2e_virtual_player.sh <build dir> [screenshot to keep]
set -eu
build=${1:?build directory}
keep=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
icons="$here/../images/ressources"
# shellcheck source=e2e_common.sh
. "$here/e2e_common.sh"

monitor=
stop_monitor() { [ -n "$monitor" ] && kill "$monitor" 2>/dev/null; cleanup; }
trap stop_monitor EXIT

# Clicks the centre of a place locate.py reported ("x y").
click_at() { xdotool mousemove --sync $1 click 1; }
shot() { sleep 0.3; import -window root "$work/shot.png"; }
find_icon() { python3 "$here/../scripts/locate.py" icon "$work/shot.png" "$icons/$1.png"; }

"$build/tools/tunaris-monitor" --pty >"$work/monitor.out" 2>&1 &
monitor=$!
for _ in $(seq 50); do grep -q '^Connect the console to ' "$work/monitor.out" && break; sleep 0.1; done
path=$(sed -n 's/^Connect the console to //p' "$work/monitor.out")
[ -c "$path" ] || fail "the monitor named no device: $(cat "$work/monitor.out")"

start_private_console "$build/tunaris-console"
xdotool windowfocus --sync "$window"

# The Port box is the first stop after the Open button, which has the focus.
xdotool key Tab
xdotool type --delay 20 "$path"
shot
click_at "$(find_icon connect)" || fail "no Open button on the screen"

# Play sits between Previous and Stop.
shot
previous=$(find_icon control_start_blue) || fail "the transport buttons are not enabled after Open"
stop=$(find_icon control_stop_blue) || fail "no Stop button"
click_at "$(echo "$previous $stop" | awk '{print int(($1 + $3) / 2), $2}')"

for _ in $(seq 50); do grep -q '20 ff ff ff  Play$' "$work/monitor.out" && break; sleep 0.1; done
shot
[ -n "$keep" ] && cp "$work/shot.png" "$keep"
grep -q '20 ff ff ff  Play$' "$work/monitor.out" || fail "the monitor saw no Play: $(cat "$work/monitor.out")"
[ "$(grep -c '  ' "$work/monitor.out")" -eq 1 ] || fail "more than Play arrived: $(cat "$work/monitor.out")"

# Leave through File > Exit, so that the session's message bus ends with it.
leave_by_menu e "the console did not exit through File > Exit within 10 s"
echo "the virtual player on $path received Play from the console"
