#!/bin/sh
# Installs the build into a temporary DESTDIR with prefix /usr and checks the installed layout:
# the files in their places, the menu entry and unit naming the installed programs, and that the
# installed console and relvoserver keep their files in the data directory, never beside the
# executables. Usage: installed_layout_test.sh BUILD_DIR
set -eu

build=$1
# Below the kernel's ephemeral range, so no other test's outgoing connection takes it meanwhile.
port=$(/usr/bin/python3 -c '
import random, socket
while True:
    port = random.randint(20000, 32000)
    try:
        socket.create_server(("127.0.0.1", port)).close()
        print(port)
        break
    except OSError:
        pass')
work=$(mktemp -d /tmp/relvo-installed-XXXXXX)
console_pid=
server_pid=
cleanup() {
    if [ -n "$console_pid" ]; then kill -KILL "$console_pid" 2>/dev/null || true; fi
    if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Waits up to 20 s for a command to succeed.
wait_for() {
    tries=0
    until "$@" >/dev/null 2>&1; do
        tries=$((tries + 1))
        [ "$tries" -le 200 ] || return 1
        sleep 0.1
    done
}

# Installs with the prefix into DESTDIR and checks what lands where and what the menu entry and
# the unit name. Usage: install_and_check DESTDIR PREFIX
install_and_check() {
    root=$1$2
    DESTDIR=$1 cmake --install "$build" --prefix "$2" >"$work/install.log" ||
        fail "cmake --install --prefix $2 failed: $(cat "$work/install.log")"
    for file in bin/relvoconsole lib/relvo-smtp-server/relvoserver; do
        [ -x "$root/$file" ] || fail "$2/$file is not installed as a program"
    done
    for file in lib/relvo-smtp-server/librelvomailservice.so \
        share/applications/relvoconsole.desktop \
        share/icons/hicolor/scalable/apps/relvoconsole.svg \
        lib/systemd/system/relvo-smtp-server.service; do
        [ -f "$root/$file" ] || fail "$2/$file is not installed"
    done
    [ "$(ls "$root/bin")" = relvoconsole ] || fail "bin/ holds more than the console: $(ls "$root/bin")"
    [ "$(ls "$1")" = "$(echo "$2" | cut -d/ -f2)" ] || fail "the install writes outside the prefix $2: $(ls "$1")"

    desktop=$root/share/applications/relvoconsole.desktop
    desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the menu entry"
    grep -qxF "Exec=$2/bin/relvoconsole" "$desktop" || fail "the menu entry does not start the console of $2"
    grep -qx 'Icon=relvoconsole' "$desktop" || fail "the menu entry names another icon"
    /usr/bin/python3 -c 'import sys, xml.etree.ElementTree as t; r = t.parse(sys.argv[1]).getroot(); sys.exit(0 if r.tag.endswith("svg") and r.get("viewBox") else 1)' \
        "$root/share/icons/hicolor/scalable/apps/relvoconsole.svg" || fail "the icon is no scalable SVG"

    unit=$root/lib/systemd/system/relvo-smtp-server.service
    for line in "ExecStart=$2/lib/relvo-smtp-server/relvoserver --data-dir /var/lib/relvo-smtp-server" \
        'User=relvo-smtp-server' 'AmbientCapabilities=CAP_NET_BIND_SERVICE' \
        'CapabilityBoundingSet=CAP_NET_BIND_SERVICE' 'Restart=on-failure' 'KillSignal=SIGTERM'; do
        grep -qxF "$line" "$unit" || fail "the unit lacks: $line"
    done
    ! grep -q '@' "$unit" || fail "the unit keeps a placeholder"
    ! grep -q '^DynamicUser' "$unit" || fail "the unit runs as a dynamic user"
}

install_and_check "$work/local" /usr/local
dest=$work/dest
install_and_check "$dest" /usr
private=$dest/usr/lib/relvo-smtp-server

# Everything installed, with sizes and times: nothing may change while the programs run.
snapshot() { find "$dest" -printf '%p %s %T@\n' | sort; }
snapshot >"$work/before"

# --- the console of a user ------------------------------------------------------------------
home=$work/home
mkdir -p "$home" "$work/run"
chmod 700 "$work/run"
data=$home/.local/share/relvo-smtp-server
run_console() {
    env -u XDG_DATA_HOME -u RELVO_APP_DIR HOME="$home" XDG_RUNTIME_DIR="$work/run" \
        QT_QPA_PLATFORM=offscreen "$dest/usr/bin/relvoconsole" "$@"
}
# In the background through exec, so that $! is the console itself and cleanup can end it.
start_console() {
    exec env -u XDG_DATA_HOME -u RELVO_APP_DIR HOME="$home" XDG_RUNTIME_DIR="$work/run" \
        QT_QPA_PLATFORM=offscreen "$dest/usr/bin/relvoconsole"
}
# A first start without a window makes the data directory and its working directories.
run_console -uninstall || fail "the console's -uninstall run failed"
for dir in mail log old help; do
    [ -d "$data/$dir" ] || fail "the console did not make $dir in the data directory"
done
[ "$(stat -c %a "$data")" = 700 ] || fail "the data directory is readable by others"
printf '[System]\r\nSmtpPort=%s\r\nSmtpPort2nd=0\r\nAutoStartSendService=0\r\n' "$port" >"$data/relvoconsole.cfg"

# --data-dir chooses another existing directory; a missing one is refused, not made.
mkdir "$work/other"
run_console --data-dir "$work/other" -uninstall || fail "the console's --data-dir run failed"
if [ ! -d "$work/other/mail" ] || [ ! -d "$work/other/help" ]; then fail "--data-dir was not used"; fi
if run_console --data-dir "$work/missing" -uninstall 2>"$work/missing.err"; then
    fail "a missing --data-dir was accepted"
fi
[ ! -e "$work/missing" ] || fail "a missing --data-dir was made"
grep -q "does not exist" "$work/missing.err" || fail "a missing --data-dir is not explained"

# With its window (offscreen), the console loads the installed engine, whose SMTP service then
# listens on the port of the data directory's configuration and logs there.
(start_console) >"$work/console.out" 2>&1 &
console_pid=$!
wait_for sh -c "ls '$data'/log/smtp*.txt" ||
    fail "the engine of the installed console logged nothing into the data directory: $(cat "$work/console.out")"
wait_for sh -c "printf 'QUIT\r\n' | timeout 2 python3 -c 'import socket,sys; s=socket.create_connection((\"127.0.0.1\", $port)); print(s.recv(512))' | grep -q 220" ||
    fail "the installed console's SMTP service does not answer on port $port"
run_console -uninstall
wait "$console_pid" || fail "the console ended with a failure: $(cat "$work/console.out")"
console_pid=

# --- relvoserver as the service starts it, on a directory of its own -------------------------
service_data=$work/service
mkdir -p "$service_data"
printf '[System]\r\nSmtpPort=%s\r\nSmtpPort2nd=0\r\nAutoStartSendService=0\r\n' "$port" >"$service_data/relvoconsole.cfg"
exec_server() { exec env -u RELVO_APP_DIR "$private/relvoserver" --data-dir "$service_data"; }
(exec_server) >"$work/server.out" 2>&1 &
server_pid=$!
wait_for grep -q "listening on port $port" "$work/server.out" || fail "relvoserver did not start: $(cat "$work/server.out")"
kill -TERM "$server_pid"
wait "$server_pid" || fail "relvoserver did not end cleanly on SIGTERM: $(cat "$work/server.out")"
server_pid=
for dir in log queue; do
    [ -d "$service_data/$dir" ] || fail "relvoserver did not make $dir in its data directory"
done

snapshot >"$work/after"
diff "$work/before" "$work/after" >&2 || fail "files beside the installed programs changed"
echo "installed layout: ok"
