#!/bin/bash
# Checks the Windows packages that build.sh made, under Wine on a private Xvfb
# display, and ends with one line "N passed, N failed" (exit status 1 when
# something failed). Run build.sh first; then, as root on Debian 12:
#     scripts/windows/check.sh [--startup RUNS] [--docs-picture]
# --startup RUNS also times the console's start-up under Wine beside a bare Qt
# window built the same way (RUNS alternating runs of each, medians printed).
# --docs-picture also copies the installed console's screenshot to
# docs/console-windows.png; every run keeps its screenshots in
# build-windows/screenshots/.
#
# The checks run the unpacked zip as an operator would, from its bin folder,
# and the setup program silently (/S /PATH): the installed console started as
# its Start menu shortcut starts it, by a user who cannot write under Program
# Files, the tools from a fresh prompt through the PATH, an upgrade over the
# install, and the uninstaller. COM5 is mapped to a pseudo-terminal whose
# other end is read here. Against real Linux programs on loopback: clients
# of the bridge's TCP door (one that ends its sending, and a busy venue), a
# serial device server taking its connections three ways, a Mosquitto
# started here (plain and TLS, with authorities made here) for the fleet, and
# headless Chromium for the web remote. Last, the setup again with /SERVICE:
# the bridge as the Windows service tunaris-bridge, serving a line. The Wine prefix lives in the cache
# (${TUNARIS_WINDOWS_CACHE:-$HOME/.cache/tunaris-windows}), set to Windows 10,
# with Wine's own Tahoma: without it Qt falls back to a font whose line height
# pushes the text out of line edits and spin boxes.
set -uo pipefail

die() { echo "check.sh: $*" >&2; exit 2; }

# shellcheck source=common.sh
. "$(dirname "$0")/common.sh"
# shellcheck source=../console-session.sh
. "$repo/scripts/console-session.sh"
startup_runs=0
docs_picture=0

while [ $# -gt 0 ]; do
    case "$1" in
        --startup)
            [[ "${2:-}" =~ ^[1-9][0-9]?$ ]] || die "--startup needs a number of runs from 1 to 99"
            startup_runs=$2
            shift 2 ;;
        --docs-picture) docs_picture=1; shift ;;
        -h|--help) sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) die "unknown argument '$1' (see --help)" ;;
    esac
done

need_packages wine wine64 fonts-wine xvfb xauth xdotool imagemagick x11-utils python3 g++ libx11-dev \
              mosquitto openssl chromium chromium-driver python3-selenium zbar-tools

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt" 2>/dev/null)
name=tunaris-console-$version-win64
zip_file=$build/$name.zip
setup_file=$build/tunaris-console-$version-setup.exe
[ -n "$version" ] && [ -f "$zip_file" ] && [ -f "$setup_file" ] \
    || die "no package or setup program in $build; run scripts/windows/build.sh first"
shots=$build/screenshots
mkdir -p "$shots"
qt_bin=$(sed -n 's/^Qt6_DIR:PATH=\(.*\)\/lib\/cmake\/Qt6$/\1/p' "$build/CMakeCache.txt")/bin
[ -f "$cache/.tunaris-windows-cache" ] || die "no build cache at $cache; run scripts/windows/build.sh first"
[ -f "$qt_bin/Qt6Test.dll" ] || die "no Windows Qt at $qt_bin (from $build/CMakeCache.txt)"

# --- What this run starts, and ends again -----------------------------------
work=$(mktemp -d /tmp/tunaris-windows-check.XXXXXX)
pty_reader= bridge= broker= trusted= keeper=
export WINEPREFIX=$cache/wine-prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
    for pid in $console $bridge $pty_reader $xvfb $broker $keeper; do kill "$pid" 2>/dev/null; done
    # The authority made here leaves the prefix's trusted roots again.
    [ -z "$trusted" ] || wine "$work/trustroot.exe" remove "$trusted" >/dev/null 2>&1
    # The prefix is this script's own: end its server and whatever still runs in it.
    wineserver -k 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

passed=0 failed=0
pass() { echo "PASS: $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
# Hex dump of a file from a byte offset, "20 ff ff ff".
bytes_from() { tail -c +$(($2 + 1)) "$1" | od -An -v -tx1 | tr -s ' \n' ' ' | sed 's/^ //; s/ $//'; }
size_of() { stat -c %s "$1"; }
# run_on_line COMMAND...: runs a tool for at most 60 s with its output in
# send.out; sets status to its exit status and wire to what it put on COM5.
run_on_line() {
    local before
    before=$(size_of "$work/wire.bin")
    timeout 60 "$@" >"$work/send.out" 2>&1
    status=$?
    sleep 0.5  # the reader's copy into wire.bin trails the tool's exit
    wire=$(bytes_from "$work/wire.bin" "$before")
}

# --- The package, unpacked as an operator would -----------------------------
python3 -m zipfile -e "$zip_file" "$work/unpacked" || die "cannot unpack $zip_file"
package=$work/unpacked/$name
bin=$package/bin

# --- The executables as Windows reads them ----------------------------------
console_info=$(python3 "$windows_scripts/peinfo.py" "$bin/tunaris-console.exe")
grep -qx 'subsystem gui' <<<"$console_info" \
    && pass "tunaris-console.exe is a GUI-subsystem program" \
    || fail "tunaris-console.exe is not a GUI-subsystem program: $(head -n 1 <<<"$console_info")"
grep -qx 'resource GROUP_ICON IDI_ICON1' <<<"$console_info" \
    && pass "tunaris-console.exe carries the icon group IDI_ICON1" \
    || fail "no icon group IDI_ICON1 in tunaris-console.exe: $(grep GROUP_ICON <<<"$console_info" | tr '\n' ' ')"
manifest=$(sed -n 's/^manifest //p' <<<"$console_info")
if grep -q 'requestedExecutionLevel level="asInvoker"' <<<"$manifest" \
   && grep -Eq 'name="Microsoft\.Windows\.Common-Controls" version="6\.0\.0\.0"' <<<"$manifest"; then
    pass "the manifest asks for asInvoker and Common Controls 6.0"
else
    fail "the manifest lacks asInvoker or Common Controls 6.0: ${manifest:-none}"
fi
# Tools must be console programs, or cmd.exe neither waits for them nor
# shows their output.
not_console=
for tool in "$bin"/*.exe; do
    [ "$(basename "$tool")" = tunaris-console.exe ] && continue
    python3 "$windows_scripts/peinfo.py" "$tool" | grep -qx 'subsystem console' || not_console+=" $(basename "$tool")"
done
[ -z "$not_console" ] && pass "the tools are console-subsystem programs" \
    || fail "not console-subsystem programs:$not_console"

# The fleet's and the remote's libraries beside the programs, each with its
# licence in the folder LICENCE.txt names; OpenSSL's compiled-in folder one
# that only administrators can make (a path without a drive would be a
# folder on C: that any user can make and fill with authorities).
absent=
for part in libssl-3-x64.dll:OpenSSL libcrypto-3-x64.dll:OpenSSL libmosquitto.dll:Mosquitto \
            "Qt6WebSockets.dll:Qt WebSockets" "Qt6HttpServer.dll:Qt HTTP Server" libqrencode.dll:libqrencode \
            Qt6Core.dll:Qt libstdc++-6.dll:MinGW-w64; do
    dll=${part%%:*} licence=${part#*:}
    [ -f "$bin/$dll" ] || absent+=" bin/$dll"
    [ -n "$(find "$package/licences/$licence" -type f -size +0 2>/dev/null)" ] || absent+=" licences/$licence"
    tr -d '\r' <"$package/LICENCE.txt" | tr '\n' ' ' | grep -qF "licences\\$licence" || absent+=" (LICENCE.txt: licences\\$licence)"
done
openssl_dir=$(grep -aoE 'OPENSSLDIR: "[^"]*"' "$bin/libcrypto-3-x64.dll" | head -n 1)
if [ -z "$absent" ] && [[ "$openssl_dir" == 'OPENSSLDIR: "C:/Program Files/'* ]]; then
    pass "OpenSSL, libmosquitto, Qt WebSockets, Qt HTTP Server and libqrencode are in bin, each licence in" \
         "licences and named in LICENCE.txt; $openssl_dir"
else
    fail "missing:${absent:- nothing}; OpenSSL's folder: ${openssl_dir:-not found}"
fi

# The icon where "../images/ico256x256Win.ico" leads from bin/, the
# shortcut's working folder, and the README that names that folder as
# Extract All makes it: inside the zip's one top folder.
if cmp -s "$repo/images/ico256x256Win.ico" "$bin/../images/ico256x256Win.ico" \
   && [ "$(ls -A "$work/unpacked")" = "$name" ] \
   && tr -d '\r' <"$package/README-Windows.txt" | grep -qxF "    C:\\Tunaris\\$name\\bin" \
   && [ -f "$bin/platforms/qwindows.dll" ]; then
    pass "the zip's one folder $name has the window icon at ../images from bin/, the platform plugin," \
         "and README-Windows.txt gives C:\\Tunaris\\$name\\bin as the shortcut's Start in"
else
    fail "the package lacks images/ico256x256Win.ico or bin/platforms/qwindows.dll, holds more than" \
         "$name, or README-Windows.txt does not name C:\\Tunaris\\$name\\bin"
fi

# --- Wine and the display ---------------------------------------------------
exec 9>"$cache/.wine-prefix.lock"
flock -n 9 || { echo "Waiting for another check using $WINEPREFIX"; flock 9; }
if [ ! -f "$WINEPREFIX/.tunaris-ready" ]; then
    echo "Creating the Wine prefix $WINEPREFIX"
    rm -rf "$WINEPREFIX"
    { wineboot -i && winecfg -v win10 && wineserver -w; } >"$work/wineboot.log" 2>&1 \
        || { cat "$work/wineboot.log"; die "creating the Wine prefix failed"; }
    touch "$WINEPREFIX/.tunaris-ready"
fi
# Wine's Tahoma, the font Windows dialogs use, where Wine looks for fonts.
for font in /usr/share/wine/fonts/tahoma.ttf /usr/share/wine/fonts/tahomabd.ttf; do
    [ -f "$font" ] || die "no $font (Debian's fonts-wine)"
    cmp -s "$font" "$WINEPREFIX/drive_c/windows/Fonts/$(basename "$font")" \
        || cp "$font" "$WINEPREFIX/drive_c/windows/Fonts/" || die "cannot copy $font into the Wine prefix"
done

start_display "$work" || die "Xvfb did not start: $(cat "$work/xvfb.log")"

# A pseudo-terminal stands in for the player: everything written to it is
# appended to wire.bin. Keeping the device end open here means the console
# closing it is no hang-up for the reader.
python3 - "$work/pty" "$work/wire.bin" <<'PY' &
import os, pty, sys, tty
device_path, wire_path = sys.argv[1], sys.argv[2]
reader, device = pty.openpty()
tty.setraw(device)
with open(device_path + ".tmp", "w") as f:
    f.write(os.ttyname(device))
os.rename(device_path + ".tmp", device_path)
with open(wire_path, "ab", buffering=0) as wire:
    while True:
        try:
            chunk = os.read(reader, 4096)
        except OSError:
            break
        if not chunk:
            break
        wire.write(chunk)
PY
pty_reader=$!
for _ in $(seq 50); do [ -s "$work/pty" ] && break; sleep 0.1; done
[ -s "$work/pty" ] || die "no pseudo-terminal"
: >"$work/wire.bin"
# Wine creates its COM devices from this key when its server starts.
wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /t REG_SZ /d "$(cat "$work/pty")" /f >/dev/null 2>&1 \
    || die "cannot map COM5 in the Wine registry"
wineserver -w

# --- The console, driven as an operator would -------------------------------
settings_name="Tunaris - Serial Console.cfg"
settings="$bin/$settings_name"
icons=$repo/images/ressources
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }
# The first place locate.py finds ("x y"), or nothing.
locate() { python3 "$repo/scripts/locate.py" "$@" | head -n 1; }
# run_console NAME FOLDER PROGRAM SETTINGS [LAUNCHER...]: starts PROGRAM with
# FOLDER as its working folder (through LAUNCHER, "wine" by default), opens
# COM5 and plays with the mouse, hands it a command through tunaris-send.exe
# beside it, keeps a screenshot as build-windows/screenshots/NAME.png and
# leaves by File > Exit, after which its settings must be in SETTINGS alone.
run_console() {
    local name=$1 folder=$2 program=$3 settings_file=$4
    shift 4
    [ $# -gt 0 ] || set -- wine
    cd "$folder" || return
    if ! start_console 120 "$work/console.log" "$@" "$program"; then
        fail "$name: no window titled 'Tunaris - Serial Console' within 120 s: $(tail -n 5 "$work/console.log")"
        return
    fi
    pass "$name: the console's window appeared, titled 'Tunaris - Serial Console'"
    sleep 2  # let it paint

    # The buttons are found by their icons and the port list right of the
    # Connect button, so the checks follow the layout wherever it goes. The
    # player's controls are disabled until the line is open.
    import -window "$window" "$work/window.png"
    local open play port
    open=$(locate icon "$work/window.png" "$icons/connect.png")
    [ -n "$open" ] || { fail "$name: no Connect button in the window"; return; }
    set -- $open
    port=$(locate right-of "$work/window.png" $(($1 + 17)) "$2")
    [ -n "$port" ] || { fail "$name: no port list right of the Connect button"; return; }

    # Choose COM5 by typing its name into the port box, over what it shows.
    before=$(size_of "$work/wire.bin")
    click $port
    sleep 1
    xdotool key ctrl+a
    xdotool type --delay 80 COM5
    sleep 1
    click $open
    sleep 2
    import -window "$window" "$work/connected.png"
    play=$(locate icon "$work/connected.png" "$icons/control_play_blue.png")
    [ -n "$play" ] || { fail "$name: no enabled Play button after choosing COM5 and Open"; return; }
    click $play
    sleep 2
    wire=$(bytes_from "$work/wire.bin" "$before")
    [ "$wire" = "20 ff ff ff" ] \
        && pass "$name: COM5 chosen, Open and Play with the mouse put 20 ff ff ff on the line" \
        || fail "$name: COM5, Open and Play put '$wire' on the line, not '20 ff ff ff'"
    # While the console holds COM5 (a Windows COM port has one owner at a
    # time), the sender hands its commands to the console's named pipe, in
    # runs of 1, 8 and then 64.
    local commands=() frames=() i
    for i in $(seq 72); do
        commands+=(folder "$i")
        frames+=("00 $(printf '%02x %02x' $((i >> 8)) $((i & 255))) ff")
    done
    run_on_line wine tunaris-send.exe --port COM5 "${commands[@]}" stop
    [ "$status" -eq 0 ] && [ "$wire" = "${frames[*]} 22 ff ff ff" ] \
        && pass "$name: tunaris-send.exe beside the connected console handed it 73 commands (folder 1 to 72, stop)" \
                "through its pipe, in runs of 1, 8 and 64: their 292 bytes on the line, in order" \
        || fail "$name: tunaris-send.exe beside the console exited with $status, put '${wire:0:120}...': $(tr -d '\r' <"$work/send.out" | head -n 3)"
    sleep 1
    import -window "$window" "$shots/$name.png"

    # File > Exit by the keyboard; the settings are written on the way out.
    leave_console e
    if ! wait_console 20; then
        fail "$name: the console did not exit through File > Exit within 20 s"
        return
    fi
    local beside="$folder/$settings_name" elsewhere=
    [ "$settings_file" = "$beside" ] || [ ! -e "$beside" ] || elsewhere=" and beside the program"
    if [ "$console_status" -eq 0 ] && [ -f "$settings_file" ] && [ -z "$elsewhere" ] \
       && [ "$(sed -n 7p "$settings_file" | tr -d '\r')" = COM5 ]; then
        pass "$name: at exit the console wrote its settings, with port COM5, to $settings_file"
    else
        fail "$name: console exit status $console_status; port in $settings_file: $([ -f "$settings_file" ] && sed -n 7p "$settings_file" | tr -d '\r' || echo 'no file')$elsewhere"
    fi
}
run_console zip "$bin" tunaris-console.exe "$settings"

# Settings that say French: leaving through the French File menu (Alt+F,
# then Q for "Quitter") proves the packaged translation was found.
run_console_in_french() {
    write_settings "$settings" COM5 115200 0 French
    cd "$bin" || return
    if ! start_console 120 "$work/console.log" wine tunaris-console.exe; then
        fail "no window on the second start: $(tail -n 5 "$work/console.log")"
        return
    fi
    sleep 2
    leave_console q
    if wait_console 20; then
        pass "the console found the packaged French translation (left through Fichier > Quitter)"
    else
        fail "Alt+F then Q did not leave the console: the French translation was not found"
        kill "$console"
        console=
    fi
}
run_console_in_french

# --- The command-line tools -------------------------------------------------
cd "$bin" || die "no $bin"
run_on_line wine tunaris-send.exe --port COM5 folder 300 --seq --reset
[ "$status" -eq 0 ] && [ "$wire" = "03 01 2c ff" ] \
    && pass "tunaris-send.exe --port COM5 folder 300 --seq --reset put 03 01 2c ff on the line" \
    || fail "tunaris-send.exe exited with $status and put '$wire' on the line, not '03 01 2c ff': $(tr -d '\r' <"$work/send.out")"

# A port that is not there: the system's reason and status 1, nothing sent.
run_on_line wine tunaris-send.exe --port COM9 play
[ "$status" -eq 1 ] && grep -q 'COM9' "$work/send.out" && [ -z "$wire" ] \
    && pass "tunaris-send.exe reports a missing COM9 with status 1: $(tr -d '\r' <"$work/send.out" | head -n 1)" \
    || fail "tunaris-send.exe --port COM9 exited with $status, sent '$wire': $(tr -d '\r' <"$work/send.out")"

# A capture with bytes that a text-mode standard input would swallow or
# change: CR LF pairs and Ctrl+Z (1a), which ends text input on Windows.
printf '\x03\x01\x2c\xff\x0d\x0a\x03\x00\x1a\xff\x30\x00\x2c\x02\x20\xff' >"$work/capture.bin"
timeout 60 wine tunaris-monitor.exe <"$work/capture.bin" >"$work/monitor.out" 2>&1
status=$?
decoded=$(tr -d '\r' <"$work/monitor.out" | sed -E 's/^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}  //')
expected=$(cat <<'TEXT'
03 01 2c ff  Load folder 300 SEQ Reset
0d           unknown byte
0a           stray byte (no valid Load playlist frame)
03 00 1a ff  Load folder 26 SEQ Reset
30 00 2c 02  Absolute Volume XLR -20 dB
20 ff        incomplete Play frame
TEXT
)
[ "$status" -eq 0 ] && [ "$decoded" = "$expected" ] \
    && pass "tunaris-monitor.exe decoded a capture from standard input" \
    || fail "tunaris-monitor.exe exited with $status and printed:
$(tr -d '\r' <"$work/monitor.out")
expected (after the time):
$expected"

# A port number that the system just handed out, on the loopback address.
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# ask_bridge PORT LINE...: sends the LINEs in one write to a bridge on
# 127.0.0.1:PORT, as soon as it listens (within 60 s), ends its sending as a
# script piped into nc does, and prints every answer until the bridge ends
# the connection (or "no end" after them if it does not within 20 s).
ask_bridge() {
    timeout 90 python3 - "$@" <<'PY'
import socket, sys, time
deadline = time.monotonic() + 60
while True:
    try:
        client = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=5)
        break
    except OSError:
        if time.monotonic() > deadline:
            sys.exit("nothing listens")
        time.sleep(0.5)
client.settimeout(20)
client.sendall("".join(line + "\n" for line in sys.argv[2:]).encode())
client.shutdown(socket.SHUT_WR)
reply = b""
try:
    while chunk := client.recv(4096):
        reply += chunk
except OSError:
    reply += b"no end\n"
print(reply.decode(errors="replace").strip())
PY
}
# stop_bridge: ends the bridge started in the background, as Ctrl+C would not
# (Wine passes no signal on), and waits until Wine is idle again.
stop_bridge() {
    kill "$bridge" 2>/dev/null
    wait "$bridge" 2>/dev/null
    bridge=
    wineserver -w
}

# The bridge on loopback: a command line in over TCP, its frame on COM5 and
# "ok" with the bytes back.
cd "$bin" || die "no $bin"
bridge_port=$(free_port)
before=$(size_of "$work/wire.bin")
wine tunaris-bridge.exe --port COM5 --listen "127.0.0.1:$bridge_port" --allow 127.0.0.0/8 >"$work/bridge.out" 2>&1 &
bridge=$!
reply=$(ask_bridge "$bridge_port" "spot 5 --x-in-seq 3" "rewind" "play")
sleep 0.5
wire=$(bytes_from "$work/wire.bin" "$before")
answers="ok 14 00 05 03 | error unknown command 'rewind' | ok 20 ff ff ff"
[ "$(tr -d '\r' <<<"$reply" | paste -sd'|' | sed 's/|/ | /g')" = "$answers" ] && [ "$wire" = "14 00 05 03 20 ff ff ff" ] \
    && pass "tunaris-bridge.exe on 127.0.0.1:$bridge_port answered three lines after their client ended its sending" \
            "($answers), then ended the connection, and put 14 00 05 03 20 ff ff ff on COM5" \
    || fail "tunaris-bridge.exe answered '$reply' and put '$wire' on COM5: $(tr -d '\r' <"$work/bridge.out" | head -n 5)"

# A busy venue: 16 clients from four addresses at once, 20 commands each
# (folders numbered by client and command): a third write byte by byte, a
# third leave as soon as they have written. Every command goes out once,
# each client's in its order, and every client still there reads 20 "ok".
before=$(size_of "$work/wire.bin")
venue=$(timeout 120 python3 - "$bridge_port" "$work/wire.bin" "$before" <<'PY'
import socket, sys, threading, time
port, wire_path, before = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
clients, each = 16, 20
def folder(k, i): return k * each + i + 1
problems = []
def client(k):
    lines = b"".join(b"folder %d\n" % folder(k, i) for i in range(each))
    c = socket.create_connection(("127.0.0.1", port), timeout=10, source_address=("127.0.0.%d" % (2 + k % 4), 0))
    c.settimeout(30)
    if k % 3 == 0:
        for byte in lines:
            c.send(bytes([byte]))
    else:
        c.sendall(lines)
    if k % 3 == 2:
        c.close()
        return
    c.shutdown(socket.SHUT_WR)
    reply = b""
    try:
        while chunk := c.recv(4096):
            reply += chunk
    except OSError as e:
        problems.append("client %d: %s after %r" % (k, e, reply[-40:]))
    if reply.count(b"ok ") != each or reply.count(b"\n") != each:
        problems.append("client %d read %r" % (k, reply[:120]))
threads = [threading.Thread(target=client, args=(k,)) for k in range(clients)]
for t in threads: t.start()
for t in threads: t.join()
expected = clients * each * 4
for _ in range(100):
    with open(wire_path, "rb") as f:
        f.seek(before)
        wire = f.read()
    if len(wire) >= expected:
        break
    time.sleep(0.2)
sent = [int.from_bytes(wire[j + 1:j + 3], "big") for j in range(0, len(wire), 4)]
if len(wire) != expected or sorted(sent) != list(range(1, clients * each + 1)):
    problems.append("COM5 got %d bytes, not %d, or not every folder once" % (len(wire), expected))
for k in range(clients):
    mine = [n for n in sent if folder(k, 0) <= n <= folder(k, each - 1)]
    if mine != sorted(mine):
        problems.append("client %d's commands out of order" % k)
print("; ".join(problems[:4]) or "ok")
PY
)
stop_bridge
[ "$venue" = ok ] \
    && pass "tunaris-bridge.exe with --allow 127.0.0.0/8: 16 clients from four addresses, 20 commands each (some byte by byte," \
            "some leaving at once): 320 frames on COM5, each once and in its client's order, every answer read" \
    || fail "tunaris-bridge.exe with 16 clients at once: $venue"

# --- A serial device server: tunaris-send.exe --port tcp://... -----------------
# A server on loopback that takes each connection one way: "good" reads to
# our end and closes; "ends at once" ends its side as it accepts, never
# reads, and resets a moment later; "resets after 2" reads two bytes and
# resets. Only an orderly close after our end is ok; Windows tells neither
# what the server acknowledged nor the connection's state, so the others are
# "unknown" (or "not sent"), never ok. The server serves until it is ended
# (its process is the background job's own: exec), then prints what it read.
device_server() {
    exec python3 - "$1" "$work/device-server.port" <<'PY'
import os, signal, socket, struct, sys, threading, time
stop = threading.Event()
signal.signal(signal.SIGTERM, lambda *_: stop.set())
behaviour, port_file = sys.argv[1], sys.argv[2]
listener = socket.create_server(("127.0.0.1", 0))
listener.settimeout(0.2)
with open(port_file + ".tmp", "w") as f:
    f.write(str(listener.getsockname()[1]))
os.rename(port_file + ".tmp", port_file)
read = []
def reset(c):
    c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    c.close()
def serve(c):
    c.settimeout(20)
    got = b""
    try:
        if behaviour == "good":
            while chunk := c.recv(4096):
                got += chunk
            c.close()
        elif behaviour == "ends at once":
            c.shutdown(socket.SHUT_WR)
            time.sleep(0.2)
            reset(c)
        else:
            got = c.recv(2)
            reset(c) if got else c.close()
    except OSError:
        pass
    read.append(got)
end = time.monotonic() + 90
while not stop.is_set() and time.monotonic() < end:
    try:
        threading.Thread(target=serve, args=(listener.accept()[0],)).start()
    except socket.timeout:
        pass
time.sleep(0.5)
print(" ".join(got.hex(" ") for got in read if got))
PY
}
cd "$bin" || die "no $bin"
for case in "good|0|20 ff ff ff 00 01 2c ff" "ends at once|1 3|" "resets after 2|3|20 ff"; do
    IFS='|' read -r behaviour statuses taken <<<"$case"
    rm -f "$work/device-server.port"
    device_server "$behaviour" >"$work/device-server.out" 2>&1 &
    server=$!
    for _ in $(seq 50); do [ -s "$work/device-server.port" ] && break; sleep 0.1; done
    timeout 60 wine tunaris-send.exe --port "tcp://127.0.0.1:$(cat "$work/device-server.port")" play folder 300 \
        >"$work/send.out" 2>&1
    status=$?
    sleep 0.5
    kill "$server"
    wait "$server"
    said=$(tr -d '\r' <"$work/send.out" | head -n 1)
    if [[ " $statuses " == *" $status "* ]] && [ "$(cat "$work/device-server.out")" = "$taken" ] \
       && { [ "$status" -ne 3 ] || [[ "$said" == *"do not send it again"* ]]; }; then
        pass "tunaris-send.exe to a device server that $( [ "$behaviour" = good ] && echo "reads to our end and closes" || echo "$behaviour")" \
             "exited with $status, the server having read '${taken:-nothing}'${said:+: $said}"
    else
        fail "tunaris-send.exe to a device server that $behaviour exited with $status (not $statuses)," \
             "the server read '$(cat "$work/device-server.out")', not '$taken': $said"
    fi
done

# --- The fleet: a Linux Mosquitto on loopback -------------------------------
# A plain listener and a TLS one, whose certificate for 127.0.0.1 an
# authority made here signed; a second authority signed nothing of it.
broker_dir=$work/broker
mkdir -p "$broker_dir"
(
    set -e
    cd "$broker_dir"
    for authority in ca wrong-ca; do
        openssl req -x509 -newkey rsa:2048 -nodes -keyout $authority.key -out $authority.pem -days 2 \
            -subj "/CN=tunaris check $authority"
    done
    openssl x509 -in ca.pem -outform der -out ca.der
    openssl req -newkey rsa:2048 -nodes -keyout broker.key -out broker.csr -subj /CN=127.0.0.1
    printf 'subjectAltName=IP:127.0.0.1\n' >broker.ext
    openssl x509 -req -in broker.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out broker.pem -days 2 \
        -extfile broker.ext
) >"$broker_dir/openssl.log" 2>&1 || die "openssl could not make the check's authorities: $(tail -n 3 "$broker_dir/openssl.log")"
plain_port=$(free_port)
tls_port=$(free_port)
{
    # Started as root, Mosquitto would drop to its own user, who cannot read here.
    [ "$(id -u)" -ne 0 ] || echo "user root"
    printf 'log_type error\nallow_anonymous true\nset_tcp_nodelay true\npersistence false\n'
    printf 'listener %s 127.0.0.1\n' "$plain_port"
    printf 'listener %s 127.0.0.1\ncafile %s/ca.pem\ncertfile %s/broker.pem\nkeyfile %s/broker.key\n' \
        "$tls_port" "$broker_dir" "$broker_dir" "$broker_dir"
} >"$broker_dir/mosquitto.conf"
mosquitto -c "$broker_dir/mosquitto.conf" >"$broker_dir/mosquitto.log" 2>&1 &
broker=$!
for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$tls_port") 2>/dev/null && break
    sleep 0.1
done
# wait_for FILE TEXT SECONDS: whether TEXT appears in FILE within SECONDS.
wait_for() {
    local _
    for _ in $(seq "$(($3 * 2))"); do
        tr -d '\r' <"$1" 2>/dev/null | grep -qF -- "$2" && return 0
        sleep 0.5
    done
    return 1
}

# A player command and a group command from the sender to the bridge's COM5,
# through the broker, the bridge trusting the check's authority through the
# Windows certificate store and the sender through --mqtt-ca.
gcc_windows=$(command -v x86_64-w64-mingw32-gcc-posix)
"$gcc_windows" -O2 -o "$work/trustroot.exe" "$windows_scripts/trustroot.c" -lcrypt32 \
    || die "cannot build trustroot.exe"
wine "$work/trustroot.exe" add "$(winepath -w "$broker_dir/ca.der")" >/dev/null 2>&1 \
    && trusted=$(winepath -w "$broker_dir/ca.der") || fail "the check's authority could not be added to the Windows store"
cd "$bin" || die "no $bin"
wine tunaris-bridge.exe --port COM5 --mqtt "mqtts://127.0.0.1:$tls_port" --player shop-1 --group shops \
    >"$work/bridge.out" 2>&1 &
bridge=$!
if wait_for "$work/bridge.out" "taking the commands of" 90; then
    for case in "--player shop-1 play|shop-1: ok 20 ff ff ff|20 ff ff ff" "--group shops stop|shop-1: ok 22 ff ff ff|22 ff ff ff"; do
        IFS='|' read -r addressed answer frame <<<"$case"
        # shellcheck disable=SC2086  # the player or group and the command, as words
        run_on_line wine tunaris-send.exe --mqtt "mqtts://127.0.0.1:$tls_port" --mqtt-ca "$(winepath -w "$broker_dir/ca.pem")" \
            $addressed
        [ "$status" -eq 0 ] && [ "$wire" = "$frame" ] && tr -d '\r' <"$work/send.out" | grep -qxF "$answer" \
            && pass "tunaris-send.exe --mqtt mqtts:// $addressed: '$answer', and $frame on COM5 from the bridge (TLS, Windows store)" \
            || fail "tunaris-send.exe $addressed exited with $status, put '$wire' on COM5: $(tr -d '\r' <"$work/send.out" | head -n 3)"
    done
    # The office's page of the same broker, with no port of its own: a
    # command from it to the player, answered as tunaris-send answers it.
    office_port=$(free_port)
    wine tunaris-bridge.exe --mqtt "mqtt://127.0.0.1:$plain_port" --office "127.0.0.1:$office_port" >"$work/office.out" 2>&1 &
    office=$!
    if wait_for "$work/office.out" "showing 1 player" 90; then
        office_key=$(winepath -u "$(tr -d '\r' <"$work/office.out" | sed -n 's/.*the key is in //p' | head -n 1)")
        before=$(size_of "$work/wire.bin")
        reply=$(timeout 60 python3 - "$office_port" "$office_key" <<'PY'
import http.client, json, sys
port = sys.argv[1]
with open(sys.argv[2]) as kept:
    key = kept.read().strip()
office = http.client.HTTPConnection("127.0.0.1", int(port), timeout=40)
office.request("POST", "/command", body=json.dumps({"player": "shop-1", "command": "next"}),
               headers={"Cookie": "tunaris_office_key=" + key, "Origin": "http://127.0.0.1:" + port})
answer = office.getresponse()
print(answer.status, answer.read().decode(errors="replace").strip())
PY
        )
        sleep 0.5
        wire=$(bytes_from "$work/wire.bin" "$before")
        [ "$reply" = "200 shop-1: ok 23 ff ff ff" ] && [ "$wire" = "23 ff ff ff" ] \
            && pass "tunaris-bridge.exe --office: next to shop-1 from the office's page answered '$reply', and $wire on COM5" \
            || fail "tunaris-bridge.exe --office answered '$reply' and put '$wire' on COM5: $(tr -d '\r' <"$work/office.out" | tail -n 3)"
    else
        fail "tunaris-bridge.exe --office did not show the player: $(tr -d '\r' <"$work/office.out" | tail -n 3)"
    fi
    kill "$office" 2>/dev/null
    wait "$office" 2>/dev/null
else
    fail "the bridge did not join mqtts://127.0.0.1:$tls_port through the Windows store: $(tr -d '\r' <"$work/bridge.out" | tail -n 3)"
fi
stop_bridge
# The store vouches for the authority, not for a name the certificate lacks.
run_on_line wine tunaris-send.exe --mqtt "mqtts://localhost:$tls_port" --player nobody play
says="the broker's certificate is not made out to localhost"
[ "$status" -eq 1 ] && [ -z "$wire" ] && tr -d '\r' <"$work/send.out" | grep -qF "$says" \
    && pass "tunaris-send.exe --mqtt mqtts://localhost, the authority in the store, exits 1 saying '$says'" \
    || fail "tunaris-send.exe --mqtt mqtts://localhost exited with $status, sent '$wire': $(tr -d '\r' <"$work/send.out" | head -n 3)"

# Brokers that cannot be trusted are refused in words, nothing sent: by the
# sender at once, by the bridge on every try (its connection's thread goes
# on), with the wrong authority or, once the check's is out of the store,
# with none; the plain listener still takes the sender.
wine "$work/trustroot.exe" remove "$trusted" >/dev/null 2>&1 && trusted=
refused="the broker's certificate is not signed by an authority trusted here"
for case in "send|mqtts://127.0.0.1:$tls_port|--mqtt-ca $(winepath -w "$broker_dir/wrong-ca.pem")|$refused" \
            "send|mqtts://127.0.0.1:$tls_port||$refused" \
            "bridge|mqtts://127.0.0.1:$tls_port|--mqtt-ca $(winepath -w "$broker_dir/wrong-ca.pem")|$refused" \
            "send|mqtt://127.0.0.1:$plain_port||no player nobody is known to the broker"; do
    IFS='|' read -r program broker_url ca says <<<"$case"
    if [ "$program" = send ]; then
        # shellcheck disable=SC2086  # --mqtt-ca and its file, or nothing
        run_on_line wine tunaris-send.exe --mqtt "$broker_url" $ca --player nobody play
        [ "$status" -eq 1 ] && [ -z "$wire" ] && tr -d '\r' <"$work/send.out" | grep -qF "$says" \
            && pass "tunaris-send.exe --mqtt $broker_url ${ca:+with the wrong authority }exits 1 saying '$says'" \
            || fail "tunaris-send.exe --mqtt $broker_url $ca exited with $status, sent '$wire': $(tr -d '\r' <"$work/send.out" | head -n 3)"
    else
        # shellcheck disable=SC2086
        wine tunaris-bridge.exe --port COM5 --mqtt "$broker_url" $ca --player nobody >"$work/bridge.out" 2>&1 &
        bridge=$!
        # Said once a minute while it stays the same, each time with "trying again".
        if wait_for "$work/bridge.out" "$says" 90 && sleep 5 && kill -0 "$bridge" 2>/dev/null \
           && tr -d '\r' <"$work/bridge.out" | grep -F "$says" | grep -q '; trying again$'; then
            pass "tunaris-bridge.exe with the wrong authority says '$says' and goes on trying"
        else
            fail "tunaris-bridge.exe with the wrong authority: $(tr -d '\r' <"$work/bridge.out" | tail -n 3)"
        fi
        stop_bridge
    fi
done

# --- The venue's remote: its link and QR code on the console window, and a
# phone's browser (headless Chromium) on the page that the code leads to.
# A key of this run's: Wine keeps no access lists of files and shows one
# made from the Unix mode, so an earlier run's key looks open to everybody
# and would rightly be refused.
remote_state=$(winepath -u "$(wine cmd /c 'echo %LOCALAPPDATA%' 2>/dev/null | tr -d '\r')")/tunaris-bridge
rm -f "$remote_state/web-key"
web_port=$(free_port)
before=$(size_of "$work/wire.bin")
/usr/bin/python3 "$windows_scripts/webremote.py" "$work/remote.out" \
    wine tunaris-bridge.exe --port COM5 --web "127.0.0.1:$web_port" >"$work/remote.steps" 2>&1
status=$?
sleep 0.5
wire=$(bytes_from "$work/wire.bin" "$before")
wineserver -w
link=$(sed -n 's/^link //p' "$work/remote.steps")
if [ "$status" -eq 0 ] && [ "$(sed -n 's/^qr //p' "$work/remote.steps")" = "$link" ] \
   && [[ "$link" == "http://127.0.0.1:$web_port/?key="* ]]; then
    pass "tunaris-bridge.exe --web printed its link and a QR code that reads as the link on its console window"
else
    fail "the web remote's link or QR code (exit $status): $(tr '\n' ' ' <"$work/remote.steps" | head -c 300)"
fi
[ "$status" -eq 0 ] && [ "$wire" = "20 ff ff ff" ] && grep -qx 'echo Play : 0x20 0xff 0xff 0xff' "$work/remote.steps" \
    && pass "headless Chromium on the page the QR code leads to tapped Play: 20 ff ff ff on COM5, echoed on the page" \
    || fail "Play on the web remote put '$wire' on COM5: $(tail -n 3 "$work/remote.out")"

# --- The setup program ------------------------------------------------------
# Installed silently as a site's IT would, with the tools on the PATH; then
# the console as the Start menu starts it, the tools from a fresh prompt, an
# upgrade, and the uninstaller, which must leave the user's settings alone.
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TunarisSerialConsole'
environment_key='HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\Environment'
# reg_value KEY NAME: the value's data as reg.exe shows it, or nothing.
reg_value() {
    wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' \
        | sed -n "s/^    $2    REG_[A-Z_]*    //p"
}
unix_path() { winepath -u "$1" 2>/dev/null; }
product="Tunaris - Serial Console"
installed_win='C:\Program Files\Tunaris\Serial Console'
installed=$(unix_path "$installed_win")
start_menu_link="$(unix_path 'C:\ProgramData\Microsoft\Windows\Start Menu\Programs')/$product.lnk"
desktop_link="$(unix_path 'C:\users\Public\Desktop')/$product.lnk"
local_app_data=$(unix_path "$(wine cmd /c 'echo %LOCALAPPDATA%' 2>/dev/null | tr -d '\r')")
user_settings="$local_app_data/Tunaris Audio Systems/$product/$settings_name"

# What an earlier, interrupted run may have left goes first.
if [ -n "$(reg_value "$uninstall_key" DisplayName)" ] || [ -e "$installed" ]; then
    echo "note: removing an install left by an earlier run"
    [ -f "$installed/uninstall.exe" ] && wine "$installed/uninstall.exe" /S >/dev/null 2>&1
    wine sc stop tunaris-bridge >/dev/null 2>&1
    wine sc delete tunaris-bridge >/dev/null 2>&1
    timeout 60 wineserver -w
    wine reg delete "$uninstall_key" /f >/dev/null 2>&1
    rm -rf "$installed" "$start_menu_link" "$desktop_link"
fi
rm -rf "$(dirname "$user_settings")"
path_before=$(reg_value "$environment_key" Path)

timeout 300 wine "$setup_file" /S /PATH >"$work/setup.out" 2>&1
status=$?
wineserver -w
if [ "$status" -eq 0 ] && [ -f "$installed/bin/tunaris-console.exe" ] \
   && diff -rq -x README-Windows.txt -x uninstall.exe -x "$settings_name" -x tunaris-bridge.cfg "$package" "$installed" >"$work/setup.diff" 2>&1; then
    pass "setup /S /PATH exited 0 and put the zip's files into $installed_win"
else
    fail "setup /S /PATH exited with $status; installed files differ from the zip's: $(head -n 3 "$work/setup.diff")"
fi

uninstall_ok=1
for expected in "DisplayName=$product" "DisplayVersion=$version" "Publisher=Tunaris Audio Systems" \
                "DisplayIcon=$installed_win\\bin\\tunaris-console.exe,0" "InstallLocation=$installed_win" \
                "UninstallString=\"$installed_win\\uninstall.exe\""; do
    value=$(reg_value "$uninstall_key" "${expected%%=*}")
    [ "$value" = "${expected#*=}" ] || { uninstall_ok=0; echo "  ${expected%%=*} is '$value', not '${expected#*=}'"; }
done
estimated_kib=$(( $(reg_value "$uninstall_key" EstimatedSize) + 0 ))
installed_kib=$(find "$installed" -type f ! -name uninstall.exe -printf '%s\n' | awk '{s += $1} END {print int(s / 1024)}')
[ $((estimated_kib * 10)) -ge $((installed_kib * 9)) ] && [ $((estimated_kib * 10)) -le $((installed_kib * 11)) ] \
    || { uninstall_ok=0; echo "  EstimatedSize is $estimated_kib KiB for $installed_kib KiB installed"; }
[ "$uninstall_ok" -eq 1 ] \
    && pass "the Uninstall key names $product $version by Tunaris Audio Systems, its icon, folder, uninstaller and size ($estimated_kib KiB)" \
    || fail "the Uninstall key is incomplete or wrong (above)"

# The Start menu shortcut, read as Windows reads it: the console in bin\,
# started in bin\ (where ..\images holds its icon), with no arguments.
link=$(python3 "$windows_scripts/lnkinfo.py" "$start_menu_link" 2>&1)
target=$(sed -n 's/^target //p' <<<"$link")
start_in=$(sed -n 's/^workdir //p' <<<"$link")
arguments=$(sed -n 's/^arguments //p' <<<"$link")
if [ "$target" = "$installed_win\\bin\\tunaris-console.exe" ] && [ "$start_in" = "$installed_win\\bin" ] \
   && [ -z "$arguments" ] && [ -f "$(unix_path "$start_in")/../images/ico256x256Win.ico" ] && [ -f "$desktop_link" ]; then
    pass "the Start menu shortcut '$product' starts $target in $start_in, without arguments; a desktop one too"
else
    fail "the Start menu shortcut is wrong or missing ($(tr '\n' ';' <<<"$link")), or no desktop shortcut"
fi

# A standard user cannot write under Program Files, though Windows calls the
# folder writable; root under Wine can. So bin\ goes to another owner and the
# console runs without root's right to write anywhere: as on Windows, creating
# a file there fails while the folder looks writable.
if [ "$(id -u)" -eq 0 ]; then
    chown nobody "$installed/bin"
    # shellcheck disable=SC2054  # setpriv takes its capabilities comma-separated
    launcher=(setpriv --inh-caps=-dac_override,-dac_read_search --bounding-set=-dac_override,-dac_read_search wine)
else
    chmod a-w "$installed/bin"
    launcher=(wine)
fi
# Any Wine command (winepath too) would start a server with root's rights:
# the folder's path is found first, then the launcher starts the server.
start_folder=$(unix_path "$start_in")
wineserver -k
run_console installed "$start_folder" "$target" "$user_settings" "${launcher[@]}"
wineserver -k
if [ "$(id -u)" -eq 0 ]; then chown 0 "$installed/bin"; else chmod u+w "$installed/bin"; fi
if [ "$docs_picture" -eq 1 ]; then
    cp "$shots/installed.png" "$repo/docs/console-windows.png" && echo "docs/console-windows.png refreshed" \
        || fail "no screenshot to copy to docs/console-windows.png"
fi

# A prompt opened after the install finds the tools through the PATH.
cd "$work" || die "no $work"
run_on_line wine cmd /c 'tunaris-send --port COM5 play'
[ "$status" -eq 0 ] && [ "$wire" = "20 ff ff ff" ] \
    && pass "from a fresh prompt elsewhere, 'tunaris-send --port COM5 play' found through the PATH put 20 ff ff ff on the line" \
    || fail "'tunaris-send --port COM5 play' from a fresh prompt exited with $status, put '$wire': $(tr -d '\r' <"$work/send.out" | head -n 3)"

# An upgrade (this setup over the install, silently and without /PATH) keeps
# the settings, the user's and any beside the program, and the PATH choice.
beside_text=$'settings saved beside the program\r'
printf '%s\n' "$beside_text" >"$installed/bin/$settings_name"
user_sum=$(sha256sum <"$user_settings" 2>/dev/null)
user_kept() { [ -f "$user_settings" ] && [ "$(sha256sum <"$user_settings")" = "$user_sum" ]; }
beside_kept() { [ "$(cat "$installed/bin/$settings_name" 2>/dev/null)" = "$beside_text" ]; }
timeout 300 wine "$setup_file" /S >"$work/setup.out" 2>&1
status=$?
wineserver -w
on_path=$(reg_value "$environment_key" Path | tr ';' '\n' | grep -cxF "$installed_win\\bin")
if [ "$status" -eq 0 ] && user_kept && beside_kept && [ "$on_path" -eq 1 ] \
   && diff -rq -x README-Windows.txt -x uninstall.exe -x "$settings_name" -x tunaris-bridge.cfg "$package" "$installed" >/dev/null 2>&1; then
    pass "an upgrade over the install kept both settings files, the files and the one PATH entry"
else
    fail "the upgrade exited with $status; user settings kept: $(user_kept && echo yes || echo no)," \
         "beside the program: $(beside_kept && echo yes || echo no); PATH entries for bin: $on_path"
fi

# The uninstaller: nothing of ours left but the settings.
# Run as Apps & features runs it: the quoted program, then its arguments.
uninstaller=$(reg_value "$uninstall_key" QuietUninstallString)
uninstaller_program=$(sed -n 's/^"\([^"]*\)".*/\1/p' <<<"$uninstaller")
read -r -a uninstaller_arguments <<<"${uninstaller#\""$uninstaller_program"\"}"
timeout 300 wine "$uninstaller_program" "${uninstaller_arguments[@]}" >"$work/uninstall.out" 2>&1
status=$?
wineserver -w  # the uninstaller runs on from a copy of itself
left=$(cd "$(dirname "$installed")" 2>/dev/null && find . -mindepth 1 | sort | tr '\n' '|')
if [ "$status" -eq 0 ] && [ -n "$uninstaller" ] && [ -z "$(reg_value "$uninstall_key" DisplayName)" ] \
   && [ ! -e "$start_menu_link" ] && [ ! -e "$desktop_link" ] \
   && [ "$(reg_value "$environment_key" Path)" = "$path_before" ] \
   && [ "$left" = "./Serial Console|./Serial Console/bin|./Serial Console/bin/$settings_name|" ] \
   && user_kept && beside_kept; then
    pass "the uninstaller removed the programs, shortcuts, Uninstall key and PATH entry, and left both settings files"
else
    fail "after the uninstaller ('$uninstaller', status $status): left under Program Files\\Tunaris: ${left:-nothing};" \
         "key: $(reg_value "$uninstall_key" DisplayName); PATH: $(reg_value "$environment_key" Path);" \
         "user settings kept: $(user_kept && echo yes || echo no)"
fi
rm -rf "$(dirname "$installed")" "$(dirname "$user_settings")"

# --- The bridge as a Windows service ----------------------------------------
# Installed silently with /SERVICE, as a site's IT would: listed by sc, its
# settings file in place, naming no port yet (the service's log says so);
# then set to COM5 and a loopback address, started again, serving a line;
# last, the uninstaller stops it (in order: its log says how it ended),
# removes it and keeps the settings. Wine ends a service with its own
# programs once no other program runs, which Windows does not: a monitor
# waiting for its input keeps one running. Nothing here waits for Wine to
# be idle.
service_settings=$installed/tunaris-bridge.cfg
service_log=$local_app_data/tunaris-bridge/tunaris-bridge.log
rm -f "$service_log"
# sc_state: the service's state as sc query shows it (RUNNING, STOPPED), or nothing.
sc_state() { wine sc query tunaris-bridge 2>/dev/null | tr -d '\r' | sed -n 's/^ *STATE *: [0-9]* *//p'; }
mkfifo "$work/keeper"
wine "$bin/tunaris-monitor.exe" <"$work/keeper" >/dev/null 2>&1 &
keeper=$!
exec 8>"$work/keeper"
timeout 300 wine "$setup_file" /S /SERVICE >"$work/setup.out" 2>&1
status=$?
state=$(sc_state)
if [ "$status" -eq 0 ] && [ -n "$state" ] && cmp -s "$service_settings" "$package/tunaris-bridge.cfg"; then
    pass "setup /S /SERVICE installed the service: sc query lists tunaris-bridge ($state), its settings in $installed_win\\tunaris-bridge.cfg"
else
    fail "setup /S /SERVICE exited with $status; sc query: '${state:-no such service}'; settings file: $(ls "$service_settings" 2>&1)"
fi
wine sc start tunaris-bridge >/dev/null 2>&1
wait_for "$service_log" "tunaris-bridge.cfg, no PORT= line" 60 \
    && pass "started without a port in its settings, the service says so in its log, $service_log" \
    || fail "no word of the missing port in $service_log: $(tail -n 3 "$service_log" 2>/dev/null)"

service_port=$(free_port)
sed -i "s/^#PORT=COM3\r\$/PORT=COM5\r/; s/^LISTEN=.*/LISTEN=127.0.0.1:$service_port\r/" "$service_settings"
for _ in $(seq 30); do [ "$(sc_state)" = STOPPED ] && break; sleep 1; done
before=$(size_of "$work/wire.bin")
wine sc start tunaris-bridge >/dev/null 2>&1
reply=$(ask_bridge "$service_port" "play")
sleep 0.5
wire=$(bytes_from "$work/wire.bin" "$before")
if [ "$reply" = "ok 20 ff ff ff" ] && [ "$wire" = "20 ff ff ff" ] && [ "$(sc_state)" = RUNNING ] \
   && wait_for "$service_log" "delivering to the player holding COM5" 5; then
    pass "after PORT=COM5 and LISTEN=127.0.0.1:$service_port, the service started, answered '$reply' and put 20 ff ff ff on COM5"
else
    fail "the service answered '$reply', put '$wire' on COM5, is '$(sc_state)': $(tail -n 3 "$service_log" 2>/dev/null)"
fi

timeout 300 wine "$installed/uninstall.exe" /S >"$work/uninstall.out" 2>&1
status=$?
for _ in $(seq 30); do [ -z "$(sc_state)" ] && break; sleep 1; done
left=$(cd "$installed" 2>/dev/null && find . -mindepth 1 | sort | tr '\n' ' ')
if [ "$status" -eq 0 ] && [ -z "$(sc_state)" ] && [ "$left" = "./tunaris-bridge.cfg " ] \
   && grep -q "^PORT=COM5" "$service_settings" && tail -n 1 "$service_log" | grep -q "ended with exit status 0"; then
    pass "the uninstaller stopped the service in order, removed it and kept its settings"
else
    fail "after the uninstaller (status $status): sc query '$(sc_state)'; left: ${left:-nothing};" \
         "the log ends: $(tail -n 1 "$service_log" 2>/dev/null)"
fi
kill "$keeper" 2>/dev/null
wait "$keeper" 2>/dev/null
exec 8>&-
keeper=
timeout 60 wineserver -w
rm -rf "$(dirname "$installed")" "$(dirname "$service_log")"

# --- The Qt Test programs that need no pseudo-terminal ----------------------
# Wine hands QT_* to the program only as WINEQT_*; Qt Test prints nothing
# through Wine's pipes, so each writes its report to a file.
mingw_runtime=$bin
export WINEPATH="$(winepath -w "$qt_bin");$(winepath -w "$mingw_runtime")"
cd "$build/tests" || die "no $build/tests"
found_tests=0
for test in "$build"/tests/tst_*.exe; do
    [ -f "$test" ] || continue
    found_tests=$((found_tests + 1))
    test_name=$(basename "$test" .exe)
    report=$work/$test_name.txt
    LC_ALL=C.UTF-8 LANGUAGE= WINEQT_QPA_PLATFORM=offscreen \
        timeout 300 wine "$test" -o "$report,txt" >"$work/$test_name.out" 2>&1
    status=$?
    totals=$(tr -d '\r' <"$report" 2>/dev/null | grep '^Totals:')
    if [ "$status" -eq 0 ] && [[ "$totals" =~ ^Totals:\ [1-9][0-9]*\ passed,\ 0\ failed ]]; then
        pass "$test_name under Wine: ${totals#Totals: }"
    else
        fail "$test_name under Wine exited with $status: ${totals:-no totals}"
        tr -d '\r' <"$report" 2>/dev/null | grep -E -A3 '^FAIL!' | head -n 20
        tr -d '\r' <"$work/$test_name.out" | tail -n 5
    fi
done
[ "$found_tests" -gt 0 ] || fail "no test programs in $build/tests"
unset WINEPATH

# --- Start-up beside a bare Qt window ---------------------------------------
if [ "$startup_runs" -gt 0 ]; then
    # Times from the start of the wine process to the mapping of the X window
    # Wine creates for the program's window, with the server kept running so
    # that neither program pays for starting Wine itself.
    g++ -O2 -std=c++17 "$repo/bench/startup/launchtimer.cpp" -lX11 -o "$work/launchtimer" \
        || die "cannot build launchtimer"
    cp "$build/bench/startup/barewindow.exe" "$bin/" || die "no barewindow.exe in $build/bench/startup"
    cd "$bin" || die "no $bin"
    wineserver -p
    # Into files, not pipes: a program left behind by a failed run would hold
    # a pipe open for ever.
    time_run() {
        timeout 60 "$work/launchtimer" 1 "$1" wine "$2" >"$work/run.txt" 2>&1 \
            || die "timing $2 failed: $(cat "$work/run.txt")"
        grep '^run' "$work/run.txt"
    }
    time_run "Bare Window" barewindow.exe >/dev/null
    time_run "Tunaris - Serial Console" tunaris-console.exe >/dev/null
    for _ in $(seq "$startup_runs"); do
        time_run "Bare Window" barewindow.exe >>"$work/bare.txt"
        time_run "Tunaris - Serial Console" tunaris-console.exe >>"$work/console.txt"
    done
    wineserver -k
    median() { sort -n | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
    bare_ms=$(awk '{print $5}' "$work/bare.txt" | median)
    console_ms=$(awk '{print $5}' "$work/console.txt" | median)
    bare_kib=$(awk '{print $8}' "$work/bare.txt" | median)
    console_kib=$(awk '{print $8}' "$work/console.txt" | median)
    echo "start-up under Wine, median of $startup_runs: console $console_ms ms, bare Qt window $bare_ms ms;" \
         "resident console $console_kib KiB, bare $bare_kib KiB"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
