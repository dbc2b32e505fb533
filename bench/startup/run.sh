#!/bin/sh
# Start-up time and resident memory of the console beside a bare Qt window,
# both on a private Xvfb display.
#
#   bench/startup/run.sh <build dir> [runs]
set -eu
# A desktop session has a message bus; without one the toolkit's first
# accessibility query tries to start a bus and both programs pay for that.
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ] && command -v dbus-run-session >/dev/null; then
    exec dbus-run-session -- "$0" "$@"
fi
build=$(cd "${1:?build directory}" && pwd)
runs=${2:-9}
# shellcheck source=../../scripts/console-session.sh
. "$(dirname "$0")/../../scripts/console-session.sh"
work=$(mktemp -d)
trap 'kill $xvfb 2>/dev/null; rm -rf "$work"' EXIT

# The console keeps its settings beside its executable: run a private copy.
mkdir -p "$work/bin"
cp "$build/tunaris-console" "$work/bin/"
[ -f "$build/LanguageData_fr.qm" ] && cp "$build/LanguageData_fr.qm" "$work/bin/"

start_display "$work" || { echo "Xvfb did not start: $(cat "$work/xvfb.log")" >&2; exit 1; }
export QT_QPA_PLATFORM=xcb

cd "$work"
bare="$build/bench/startup/barewindow"
console="$work/bin/tunaris-console"
timer="$build/bench/startup/launchtimer"
# A first run of each warms the caches alike; then the two take turns, so a
# change in the machine's load falls on both.
"$timer" 1 "Bare Window" "$bare" >/dev/null
"$timer" 1 "Tunaris - Serial Console" "$console" >/dev/null
for run in $(seq "$runs"); do
    "$timer" 1 "Bare Window" "$bare" | grep '^run' >>bare.txt
    "$timer" 1 "Tunaris - Serial Console" "$console" | grep '^run' >>console.txt
done
echo "== bare Qt window (mapped ms, resident KiB)"
awk '{print $5, $8}' bare.txt | tr '\n' ';'; echo
echo "== console"
awk '{print $5, $8}' console.txt | tr '\n' ';'; echo

median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
bare_ms=$(awk '{print $5}' bare.txt | median); bare_kib=$(awk '{print $8}' bare.txt | median)
console_ms=$(awk '{print $5}' console.txt | median); console_kib=$(awk '{print $8}' console.txt | median)
awk -v b="$bare_ms" -v c="$console_ms" -v bk="$bare_kib" -v ck="$console_kib" 'BEGIN {
    printf "start-up: console %.1f ms, bare %.1f ms, ratio %.2f (target <= 1.30)\n", c, b, c / b
    printf "resident: console %.0f KiB, bare %.0f KiB, difference %.1f MB (target <= 10 MB)\n", ck, bk, (ck - bk) / 1024
}'
