#!/bin/sh
# End to end on a real X server: start the built console, wait for its
# window, check that it shows something, leave through the File menu with the
# keyboard as an operator would, and check that the settings were written.
#
#   e2e_display.sh <console executable> [screenshot to keep]
set -eu
program=${1:?console executable}
keep=${2:-}
# shellcheck source=e2e_common.sh
. "$(dirname "$0")/e2e_common.sh"

start_private_console "$program"
settings="$work/bin/Tunaris - Serial Console.cfg"
sleep 1  # let it paint

import -window root "$work/shot.png"
[ -n "$keep" ] && cp "$work/shot.png" "$keep"
colours=$(identify -format '%k' "$work/shot.png")
[ "$colours" -gt 50 ] || fail "the screen looks blank ($colours colours)"
echo "window $window mapped; the screenshot has $colours colours"

# File menu by its mnemonic, then Exit by its own.
leave_by_menu e "the console did not exit through File > Exit within 10 s"

[ -f "$settings" ] || fail "no settings file was written"
lines=$(wc -l <"$settings")
[ "$lines" -eq 19 ] || fail "the settings file has $lines lines, not 19"
head -n 1 "$settings" | grep -q '^QRB11.00$' || fail "unexpected first line: $(head -n 1 "$settings")"
