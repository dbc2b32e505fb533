# Shared by the end-to-end scripts: a private Xvfb display, clean-up of
# everything they started and the check of an installed tree. Source it,
# then call start_display or check_installed_tree.
work=$(mktemp -d)
app=
xvfb=
# A process that has ended already must not stop the clean-up (set -e):
# Xvfb would live on and hold the test's output open.
cleanup() {
    for pid in $app $xvfb; do kill "$pid" 2>/dev/null || :; done
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

start_display() {
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
    xvfb=$!
    for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
    [ -s "$work/display" ] || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
    DISPLAY=":$(cat "$work/display")"
    export DISPLAY
}

# Waits up to 10 s for the console to leave after the keys that close it.
wait_for_exit() {
    for _ in $(seq 100); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$app" 2>/dev/null && fail "$1"
    wait "$app" || fail "the console exited with status $?"
    app=
}

# The console installed under a prefix, as a user starts it from the desktop
# menu: checks the installed files, the desktop entry and its icon, then runs
# the installed program as an unprivileged user, from that user's home, on a
# real X server. Its settings say French: leaving through the French File menu
# (Alt+F, then Q for "Quitter") proves the translation was found; the settings
# must come back to the user's configuration folder, the window must carry its
# icon, and nothing may be written beside the program.
check_installed_tree() {
    prefix=$1
    installed_as=${2:-$prefix} # where the tree lies once installed, as its service file names it
    user=nobody
    id=com.example.tunaris.SerialConsole
    for file in bin/tunaris-console bin/tunaris-send bin/tunaris-monitor bin/tunaris-bridge \
                share/tunaris-console/translations/LanguageData_fr.qm lib/systemd/system/tunaris-bridge@.service \
                "share/applications/$id.desktop" "share/icons/hicolor/256x256/apps/$id.png"; do
        [ -f "$prefix/$file" ] || fail "not installed: $file"
    done
    desktop-file-validate "$prefix/share/applications/$id.desktop" || fail "invalid desktop entry"
    grep -q "^ExecStart=$installed_as/bin/tunaris-bridge --port %f " "$prefix/lib/systemd/system/tunaris-bridge@.service" \
        || fail "the bridge's service does not start $installed_as/bin/tunaris-bridge"
    [ "$(identify -format '%wx%h' "$prefix/share/icons/hicolor/256x256/apps/$id.png")" = 256x256 ] \
        || fail "the menu icon is not 256x256"
    grep -q '^Categories=AudioVideo;Audio;$' "$prefix/share/applications/$id.desktop" || fail "categories"

    # The user owns a home; the installed tree is the system's, read-only to them.
    chmod 755 "$work"
    home="$work/home"
    mkdir -p "$home"
    config="$home/.config/Tunaris Audio Systems/Tunaris - Serial Console"
    mkdir -p "$config"
    settings="$config/Tunaris - Serial Console.cfg"
    rule='****************************************'
    printf '%s\n' 'QRB11.00' 'Tunaris - Serial Console  - Configuration File' \
        'Generate by: Tunaris - Serial Console 1.0.0' "$rule" 'Serial Port' "$rule" '' "$rule" 'Baudrate' \
        "$rule" '19200' "$rule" 'Auto-connect' "$rule" '0' "$rule" 'Language' "$rule" 'French' >"$settings"
    chown -R "$user" "$home"
    chmod -R a+rX,go-w "$prefix"

    start_display

    # A desktop session has a message bus, which the toolkit's accessibility
    # support looks for.
    cd "$home"
    setpriv --reuid="$user" --regid=nogroup --clear-groups \
        env -i DISPLAY="$DISPLAY" HOME="$home" QT_QPA_PLATFORM=xcb PATH=/usr/bin:/bin \
        dbus-run-session -- "$prefix/bin/tunaris-console" >"$work/console.log" 2>&1 &
    app=$!
    window=$(timeout 20 xdotool search --sync --onlyvisible --name '^Tunaris - Serial Console$' | head -n 1) \
        || fail "no window within 20 s: $(cat "$work/console.log")"
    sleep 1
    xprop -id "$window" _NET_WM_ICON | grep -q 'Icon (32 x 32)' || fail "the window has no icon"

    xdotool windowfocus --sync "$window"
    xdotool key --delay 100 alt+f
    sleep 0.5
    xdotool key q
    wait_for_exit "Alt+F then Q did not leave: the French texts were not found"

    [ "$(wc -l <"$settings")" -eq 19 ] || fail "the settings in the user's folder were not rewritten"
    sed -n '11p;19p' "$settings" | tr '\n' ' ' | grep -q '^19200 French $' || fail "settings changed: $(cat "$settings")"
    [ -z "$(find "$prefix" -name '*.cfg')" ] || fail "settings written into the installed tree"
}
