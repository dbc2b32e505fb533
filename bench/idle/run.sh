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
work=$(mktemp -d)
xvfb=
app=
monitor=
trap 'kill $app $monitor $xvfb 2>/dev/null; rm -rf "$work"' EXIT

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>/dev/null &
xvfb=$!
for _ in $(seq 50); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$work/display")" QT_QPA_PLATFORM=xcb HOME="$work" XDG_CONFIG_HOME="$work/.config"

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

# A settings file as the console writes it, with the port and auto-connection.
write_settings() {
    rule='****************************************'
    printf '%s\n' 'QRB11.00' 'Tunaris - Serial Console  - Configuration File' \
        'Generate by: Tunaris - Serial Console 1.0.0' "$rule" 'Serial Port' "$rule" "$1" "$rule" 'Baudrate' \
        "$rule" '115200' "$rule" 'Auto-connect' "$rule" "$2" "$rule" 'Language' "$rule" 'English' >"$settings"
}

# Processor ticks (user + system) of all threads, and context switches per
# thread ("thread count"; a thread that ends takes its count with it).
ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
switches() {
    for task in /proc/"$1"/task/*; do
        echo "${task##*/} $(awk '/ctxt_switches/ {n += $2} END {print n}' "$task/status")"
    done
}

measure() {
    write_settings "$port" "$2"
    "$work/bin/tunaris-console" >"$work/console.log" 2>&1 &
    app=$!
    sleep 5 # start-up and the first paint are not idle
    if [ "$2" = 1 ] && ! ls -l /proc/$app/fd | grep -q -- "-> $device\$"; then
        echo "the console did not open $port" >&2
        exit 1
    fi
    t0=$(ticks $app); switches $app >"$work/switches0"
    sleep "$seconds"
    t1=$(ticks $app); switches $app >"$work/switches1"
    # Wake-ups of the threads that lived through the whole period.
    woken=$(awk 'NR == FNR {before[$1] = $2; next} $1 in before {n += $2 - before[$1]} END {print n + 0}' \
        "$work/switches0" "$work/switches1")
    kill $app; wait $app 2>/dev/null || true
    app=
    awk -v label="$1" -v t="$((t1 - t0))" -v s="$woken" -v hz="$(getconf CLK_TCK)" -v secs="$seconds" 'BEGIN {
        printf "%-12s %6.3f %% of one core (%d ms in %d s), %.2f wake-ups/s\n",
               label, 100 * t / hz / secs, 1000 * t / hz, secs, s / secs
    }'
}

echo "idle for $seconds s after start-up; open link on $port (target: at most 0.2 % each)"
measure "link closed" 0
measure "link open" 1
