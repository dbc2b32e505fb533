#!/bin/sh
# What the console costs while nobody touches it, read from /proc: processor
# time (user + system, all threads) and wake-ups (context switches) over a
# quiet period, with the link closed and with it open.
#
#   bench/idle/run.sh <build dir> [seconds] [port]
#
# The open link goes to `port` when given (the saved port, opened by the
# auto-connection at start), else to a virtual player: tunaris-monitor --pty.
set -eu
build=$(cd "${1:?build directory}" && pwd)
seconds=${2:-60}
port=${3:-}
# shellcheck source=../../scripts/console-session.sh
. "$(dirname "$0")/../../scripts/console-session.sh"
work=$(mktemp -d)
monitor=
trap 'kill $console $monitor $xvfb 2>/dev/null; rm -rf "$work"' EXIT

start_display "$work" || { echo "Xvfb did not start: $(cat "$work/xvfb.log")" >&2; exit 1; }
export QT_QPA_PLATFORM=xcb HOME="$work" XDG_CONFIG_HOME="$work/.config"

if [ -z "$port" ]; then
    "$build/tools/tunaris-monitor" --pty >"$work/monitor.out" &
    monitor=$!
    for _ in $(seq 50); do [ -s "$work/monitor.out" ] && break; sleep 0.1; done
    port=$(sed -n 's/^Connect the console to //p' "$work/monitor.out")
fi

case $port in /*) device=$(readlink -f "$port") ;; *) device=/dev/$port ;; esac

mkdir -p "$work/bin"
cp "$build/tunaris-console" "$work/bin/"
settings="$work/bin/Tunaris - Serial Console.cfg"

# Processor ticks (user + system) of all threads, and context switches per
# thread ("thread count"; a thread that ends takes its count with it).
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
switches() {
    for task in /proc/"$1"/task/*; do
        echo "${task##*/} $(awk '/ctxt_switches/ {n += $2} END {print n}' "$task/status")"
    done
}

measure() {
    write_settings "$settings" "$port" 115200 "$2" English
    start_console 20 "$work/console.log" "$work/bin/tunaris-console" || {
        echo "no console window within 20 s: $(cat "$work/console.log")" >&2
        exit 1
    }
    sleep 5 # the first paints and the auto-connection are not idle
    if [ "$2" = 1 ] && ! ls -l /proc/$console/fd | grep -q -- "-> $device\$"; then
        echo "the console did not open $port" >&2
        exit 1
    fi
    t0=$(ticks $console); switches $console >"$work/switches0"
    sleep "$seconds"
    t1=$(ticks $console); switches $console >"$work/switches1"
    # Wake-ups of the threads that lived through the whole period.
    woken=$(awk 'NR == FNR {before[$1] = $2; next} $1 in before {n += $2 - before[$1]} END {print n + 0}' \
        "$work/switches0" "$work/switches1")
    kill $console; wait $console 2>/dev/null || true
    console=
    awk -v label="$1" -v t="$((t1 - t0))" -v s="$woken" -v hz="$(getconf CLK_TCK)" -v secs="$seconds" 'BEGIN {
        printf "%-12s %6.3f %% of one core (%d ms in %d s), %.2f wake-ups/s\n",
               label, 100 * t / hz / secs, 1000 * t / hz, secs, s / secs
    }'
}

echo "idle for $seconds s after start-up; open link on $port (target: at most 0.2 % each)"
measure "link closed" 0
measure "link open" 1
