#!/usr/bin/env bash
# Runs a command inside a throw-away test desktop: Xvfb, a session D-Bus with the accessibility bus,
# and openbox (which maintains _NET_ACTIVE_WINDOW). Everything started here stops with the command.
set -euo pipefail

if [[ "${1:-}" != --inside ]]; then
    # A home and XDG folders of its own, set before the session bus so the services it starts use them too:
    # nothing the machine's user or an earlier run left there (dconf state, settings files, an editor's saved
    # session) can change what a test sees. XDG_DATA_DIRS stays as it is: applications, fonts and icons come
    # from the system.
    desktop_home=$(mktemp -d)
    trap 'rm -rf "$desktop_home" 2>/dev/null || true' EXIT
    mkdir -m 0700 "$desktop_home"/{config,data,cache,runtime}
    export HOME=$desktop_home XDG_CONFIG_HOME=$desktop_home/config XDG_DATA_HOME=$desktop_home/data \
        XDG_CACHE_HOME=$desktop_home/cache XDG_RUNTIME_DIR=$desktop_home/runtime
    # The session bus starts the system's services on demand, except the desktop portals: GTK programs
    # would start them, and on this desktop KDE's portal backend aborts again and again, which leaves the
    # accessibility registry answering nobody. The KDE test desktop runs the portals itself.
    mkdir "$desktop_home/services"
    for service in /usr/share/dbus-1/services/*.service; do
        [[ $service == *portal* ]] || ln -s "$service" "$desktop_home/services/"
    done
    sed "s|<standard_session_servicedirs */>|<servicedir>$desktop_home/services</servicedir>|" \
        /usr/share/dbus-1/session.conf >"$desktop_home/session.conf"
    status=0
    dbus-run-session --config-file="$desktop_home/session.conf" -- "$0" --inside "$@" || status=$?
    exit "$status"
fi
shift

# Xvfb picks a free display itself and writes its number once it accepts connections, so desktops
# started at the same time never share a display.
display_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 "${QUILLORA_DESKTOP_SIZE:-1600x1000}x24" -nolisten tcp -noreset 3>"$display_file" >/dev/null 2>&1 &
children=("$!")
cleanup() {
    kill "${children[@]}" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -f "$display_file"
}
trap cleanup EXIT

for _ in $(seq 200); do
    [[ -s $display_file ]] && break
    sleep 0.05
done
[[ -s $display_file ]] || { echo "with-desktop.sh: Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(head -n 1 "$display_file")

# The accessibility bus, with the desktop's accessibility support switched on. It puts its socket in this
# desktop's own runtime folder, so desktops started one after another on the same display number never
# remove each other's.
atspi_launcher=/usr/libexec/at-spi-bus-launcher
if [[ -x $atspi_launcher ]]; then
    "$atspi_launcher" --launch-immediately >/dev/null 2>&1 &
    children+=("$!")
    # Asked whether the name is owned, not for the address: a call to the name itself would have D-Bus
    # start a second launcher.
    for _ in $(seq 100); do
        dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.NameHasOwner string:org.a11y.Bus 2>/dev/null | grep -q 'boolean true' && break
        sleep 0.05
    done
    dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.freedesktop.DBus.Properties.Set \
        string:org.a11y.Status string:IsEnabled variant:boolean:true >/dev/null 2>&1 || true
fi

# openbox as window manager. Now and then it cannot open the fresh display and exits at once; start it
# again then, so no test runs without _NET_ACTIVE_WINDOW.
wm_running() { xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; }
for _ in $(seq 5); do
    openbox --sm-disable >/dev/null 2>&1 &
    openbox_pid=$!
    children+=("$openbox_pid")
    for _ in $(seq 100); do
        wm_running && break 2
        kill -0 "$openbox_pid" 2>/dev/null || break
        sleep 0.05
    done
done
wm_running || { echo "with-desktop.sh: openbox did not start" >&2; exit 1; }

"$@"
