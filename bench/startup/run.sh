#!/bin/sh
# Start-up time and resident memory of the console beside a bare Qt window,
# both on a private Xvfb display.
#
#   bench/startup/run.sh <build dir> [runs]
set -eu
build=$(cd "${1:?build directory}" && pwd)
runs=${2:-9}
work=$(mktemp -d)
trap 'kill $xvfb 2>/dev/null; rm -rf "$work"' EXIT

# The console keeps its settings beside its executable: run a private copy.
mkdir -p "$work/bin"
cp "$build/tunaris-console" "$work/bin/"
[ -f "$build/LanguageData_fr.qm" ] && cp "$build/LanguageData_fr.qm" "$work/bin/"

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb=$!
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"
export QT_QPA_PLATFORM=xcb

cd "$work"
echo "== bare Qt window"
"$build/bench/startup/launchtimer" "$runs" "Bare Window" "$build/bench/startup/barewindow" | tee bare.txt
echo "== console"
"$work/bin/tunaris-console" >/dev/null 2>&1 & sleep 2; kill $! 2>/dev/null || true  # first run warms the caches alike
"$build/bench/startup/launchtimer" "$runs" "Tunaris - Serial Console" "$work/bin/tunaris-console" | tee console.txt

bare_ms=$(awk '/^median/ {print $4}' bare.txt); bare_kib=$(awk '/^median/ {print $8}' bare.txt)
console_ms=$(awk '/^median/ {print $4}' console.txt); console_kib=$(awk '/^median/ {print $8}' console.txt)
awk -v b="$bare_ms" -v c="$console_ms" -v bk="$bare_kib" -v ck="$console_kib" 'BEGIN {
    printf "start-up: console %.1f ms, bare %.1f ms, ratio %.2f (target <= 1.30)\n", c, b, c / b
    printf "resident: console %.0f KiB, bare %.0f KiB, difference %.1f MB (target <= 10 MB)\n", ck, bk, (ck - bk) / 1024
}'
