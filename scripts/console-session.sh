# The console on a private X display, as the end-to-end checks, the
# benchmarks and the Windows checks under Wine start it. POSIX sh: source it.
# The caller owns the clean-up: it ends $console and $xvfb while they are set
# and removes the folder it gave start_display.
#
#   start_display DIR                        a fresh Xvfb display; exports DISPLAY
#   write_settings FILE PORT BAUD AUTOCONNECT LANGUAGE
#   start_console SECONDS LOG COMMAND...     sets console (its pid) and window
#   leave_console KEY                        File menu, then KEY
#   wait_console SECONDS                     sets console_status once it has ended
# shellcheck shell=sh disable=SC2034  # the callers read what these set
xvfb=
console=
window=
console_status=

# Xvfb picks a display no one else uses and writes its number to DIR/display;
# its complaints go to DIR/xvfb.log. Returns 1 when no display came in 10 s.
start_display() {
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$1/display" 2>"$1/xvfb.log" &
    xvfb=$!
    for _ in $(seq 100); do [ -s "$1/display" ] && break; sleep 0.1; done
    [ -s "$1/display" ] || return 1
    DISPLAY=":$(cat "$1/display")"
    export DISPLAY
}

# A settings file as the console writes it: AUTOCONNECT is 1 or 0, LANGUAGE
# English or French; an empty PORT is a console that never chose one.
write_settings() {
    session_rule='****************************************'
    printf '%s\n' 'QRB11.00' 'Tunaris - Serial Console  - Configuration File' \
        'Generate by: Tunaris - Serial Console 1.0.0' "$session_rule" 'Serial Port' "$session_rule" "$2" \
        "$session_rule" 'Baudrate' "$session_rule" "$3" "$session_rule" 'Auto-connect' "$session_rule" "$4" \
        "$session_rule" 'Language' "$session_rule" "$5" >"$1"
}

# COMMAND is the console or what starts it (wine, setpriv, dbus-run-session),
# run in the background from the current folder with its output in LOG.
# Returns 1 when no visible window with the console's title came in SECONDS.
start_console() {
    session_seconds=$1 session_log=$2
    shift 2
    "$@" >"$session_log" 2>&1 &
    console=$!
    window=$(timeout "$session_seconds" xdotool search --sync --onlyvisible --name '^Tunaris - Serial Console$' \
        2>/dev/null | head -n 1)
    [ -n "$window" ]
}

# Leaves as an operator does by the keyboard: the File menu by its mnemonic,
# then KEY (e for Exit, q for the French Quitter). The pause lets the menu
# open, which takes longer under Wine.
leave_console() {
    xdotool key --delay 100 alt+f
    sleep 1
    xdotool key "$1"
}

# Returns 1 while the console still runs after SECONDS; once it has ended,
# console_status holds its exit status and console is cleared.
wait_console() {
    for _ in $(seq $(($1 * 10))); do kill -0 "$console" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$console" 2>/dev/null; then return 1; fi
    console_status=0
    wait "$console" || console_status=$?
    console=
}
