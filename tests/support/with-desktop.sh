#!/usr/bin/env bash
# Runs a command inside a throw-away test desktop: Xvfb, a session D-Bus with the accessibility bus,
# and openbox (which maintains _NET_ACTIVE_WINDOW). Everything started here stops with the command.
set -euo pipefail
source "$(dirname "$(readlink -f "$0")")/desktop-common.sh"

if [[ "${1:-}" != --inside ]]; then
    make_desktop_home
    # The session bus starts the system's services on demand, except the desktop portals: GTK programs
    # would start them, and on this desktop KDE's portal backend aborts again and again, which leaves the
    # accessibility registry answering nobody. The KDE test desktop runs the portals itself.
    mkdir "$desktop_home/services"
    for service in /usr/share/dbus-1/services/*.service; do
        [[ $service == *portal* ]] || ln -s "$service" "$desktop_home/services/"
    done
    sed "s|<standard_session_servicedirs */>|<servicedir>$desktop_home/services</servicedir>|" \
        /usr/share/dbus-1/session.conf >"$desktop_home/session.conf"
    run_inside --config-file="$desktop_home/session.conf" -- "$@"
fi
shift

start_inside "$HOME/logs"
# Xvfb picks a free display itself and writes its number once it accepts connections, so desktops
# started at the same time never share a display.
display_file=$XDG_RUNTIME_DIR/display
start_service "Xvfb" Xvfb '[[ -s $display_file ]]' \
    Xvfb -displayfd 3 -screen 0 "${QUILLORA_DESKTOP_SIZE:-1600x1000}x24" -nolisten tcp -noreset 3>"$display_file"
export DISPLAY=:$(head -n 1 "$display_file")

start_accessibility_bus

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
wm_running || fail "openbox did not start"

"$@"
