# Shared by the end-to-end scripts: the console on a private Xvfb display
# (scripts/console-session.sh), clean-up of everything they started and the
# check of an installed tree. Source it, then call start_private_console or
# check_installed_tree.
# shellcheck shell=sh source=../scripts/console-session.sh
. "$(dirname "$0")/../scripts/console-session.sh"
work=$(mktemp -d)
# A process that has ended already must not stop the clean-up (set -e):
# Xvfb would live on and hold the test's output open.
cleanup() {
    for pid in $console $xvfb; do kill "$pid" 2>/dev/null || :; done
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The console as built, in a desktop session on a fresh display, from a
# private copy (it keeps its settings beside its executable) and home.
start_private_console() {
    mkdir -p "$work/bin" "$work/home"
    cp "$1" "$work/bin/"
    start_display "$work" || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
    export QT_QPA_PLATFORM=xcb HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
    # A desktop session has a message bus, which the toolkit's accessibility
    # support looks for.
    cd "$work/home"
    start_console 20 "$work/console.log" dbus-run-session -- "$work/bin/tunaris-console" \
        || fail "no window titled 'Tunaris - Serial Console' within 20 s: $(cat "$work/console.log")"
}

# Leaves through the File menu by the keyboard (KEY as leave_console takes
# it); fails with MESSAGE unless the console is gone within 10 s, status 0.
leave_by_menu() {
    xdotool windowfocus --sync "$window"
    leave_console "$1"
    wait_console 10 || fail "$2"
    [ "$console_status" -eq 0 ] || fail "the console exited with status $console_status"
}

# The console installed under a prefix, as a user starts it from the desktop
# menu: checks the installed files, the desktop entry and its icon, then runs
# the installed program as an unprivileged user and as root, each from their
# home, on a real X server. Its settings say French: leaving through the French File menu
# (Alt+F, then Q for "Quitter") proves the translation was found; the settings
# must come back to the user's configuration folder, the window must carry its
# icon, and nothing may be written beside the program.
check_installed_tree() {
    prefix=$1
    installed_as=${2:-$prefix} # where the tree lies once installed, as its service file names it
    id=com.example.tunaris.SerialConsole
    for file in bin/tunaris-console bin/tunaris-send bin/tunaris-monitor bin/tunaris-bridge \
                share/tunaris-console/translations/LanguageData_fr.qm lib/systemd/system/tunaris-bridge@.service \
                lib/systemd/user/tunaris-bridge@.service \
                "share/applications/$id.desktop" "share/icons/hicolor/256x256/apps/$id.png" \
                share/man/man1/tunaris-console.1.gz share/man/man1/tunaris-send.1.gz \
                share/man/man1/tunaris-monitor.1.gz share/man/man1/tunaris-bridge.1.gz \
                share/bash-completion/completions/tunaris-send share/bash-completion/completions/tunaris-monitor \
                share/bash-completion/completions/tunaris-bridge share/doc/tunaris-console/README.md; do
        [ -f "$prefix/$file" ] || fail "not installed: $file"
    done
    # Each manual page is its program's --help, and man reads it without a
    # complaint; the console answers without a display.
    for program in tunaris-console tunaris-send tunaris-monitor tunaris-bridge; do
        page="$prefix/share/man/man1/$program.1.gz"
        LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >"$work/man.txt" | grep . && fail "man warns about $page"
        grep -q "^NAME" "$work/man.txt" && grep -q -- "--version" "$work/man.txt" || fail "$page: $(cat "$work/man.txt")"
        env -u DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/$program" --version | grep -qx "$program (Tunaris - Serial Console) [0-9.]*" \
            || fail "$program --version"
    done
    # bash completes the tools' options, from their own help, and the
    # commands' words.
    completions=$(PATH="$prefix/bin:$PATH" bash -c '
        . /usr/share/bash-completion/bash_completion
        complete_line() {
            . "$1/share/bash-completion/completions/$2"; shift
            COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
            _tunaris "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"; echo "${COMPREPLY[*]}"
        }
        complete_line "$0" tunaris-bridge --ve; complete_line "$0" tunaris-monitor --p
        complete_line "$0" tunaris-send --port /dev/ttyUSB0 mute rca ""' "$prefix")
    [ "$completions" = "$(printf -- '--version\n--port --pty\non off')" ] || fail "bash completion: $completions"
    desktop-file-validate "$prefix/share/applications/$id.desktop" || fail "invalid desktop entry"
    grep -q "^ExecStart=$installed_as/bin/tunaris-bridge --port %f " "$prefix/lib/systemd/system/tunaris-bridge@.service" \
        || fail "the bridge's service does not start $installed_as/bin/tunaris-bridge"
    # systemd takes the unit as written, for any instance; an installed
    # package's bridge is not in this test's /usr, the only complaint allowed.
    systemd-analyze verify --man=no "$prefix/lib/systemd/system/tunaris-bridge@dev-ttyUSB1.service" 2>&1 \
        | grep -v "Command $installed_as/bin/tunaris-bridge is not executable" >"$work/unit.log" || :
    [ ! -s "$work/unit.log" ] || fail "systemd-analyze verify: $(cat "$work/unit.log")"
    mkdir -p -m 0700 "$work/user-runtime"
    XDG_RUNTIME_DIR="$work/user-runtime" systemd-analyze verify --user --man=no \
        "$prefix/lib/systemd/user/tunaris-bridge@dev-ttyUSB1.service" 2>&1 \
        | grep -v "Command $installed_as/bin/tunaris-bridge is not executable" >"$work/unit.log" || :
    [ ! -s "$work/unit.log" ] || fail "systemd-analyze verify --user: $(cat "$work/unit.log")"
    # Nothing listens by default: two instances never meet on one address.
    grep -qx 'Environment=LISTEN=off' "$prefix/lib/systemd/system/tunaris-bridge@.service" \
        || fail "the bridge's service listens by default"
    [ "$(identify -format '%wx%h' "$prefix/share/icons/hicolor/256x256/apps/$id.png")" = 256x256 ] \
        || fail "the menu icon is not 256x256"
    grep -q '^Categories=AudioVideo;Audio;$' "$prefix/share/applications/$id.desktop" || fail "categories"

    chmod 755 "$work"
    chmod -R a+rX,go-w "$prefix"
    start_display "$work" || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
    # A user, to whom the installed tree is the system's, read-only; and root,
    # who could write into it but must not either.
    for user in nobody root; do
        home="$work/home-$user"
        config="$home/.config/Tunaris Audio Systems/Tunaris - Serial Console"
        mkdir -p "$config"
        settings="$config/Tunaris - Serial Console.cfg"
        write_settings "$settings" '' 19200 0 French
        chown -R "$user" "$home"

        # A desktop session has a message bus, which the toolkit's
        # accessibility support looks for.
        cd "$home"
        start_console 20 "$work/console.log" setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups \
            env -i DISPLAY="$DISPLAY" HOME="$home" QT_QPA_PLATFORM=xcb PATH=/usr/bin:/bin \
            dbus-run-session -- "$prefix/bin/tunaris-console" \
            || fail "no window within 20 s for $user: $(cat "$work/console.log")"
        sleep 1
        xprop -id "$window" _NET_WM_ICON | grep -q 'Icon (32 x 32)' || fail "the window has no icon"
        leave_by_menu q "Alt+F then Q did not leave: the French texts were not found"

        [ "$(wc -l <"$settings")" -eq 19 ] || fail "the settings in $user's folder were not rewritten"
        sed -n '11p;19p' "$settings" | tr '\n' ' ' | grep -q '^19200 French $' \
            || fail "settings changed: $(cat "$settings")"
        [ -z "$(find "$prefix" -name '*.cfg')" ] || fail "$user's settings written into the installed tree"
    done
}
