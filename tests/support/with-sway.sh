#!/usr/bin/env bash
# Runs a command inside a throw-away Sway test desktop: headless Sway without XWayland, a session D-Bus
# with the accessibility bus, PipeWire and the desktop portals with the wlroots backend, and a tray watcher
# standing in for swaybar's. Everything started here stops with the command, whose exit status is this
# script's.
#
#   with-sway.sh CMD [ARGS...]   runs CMD in the desktop
#
# Sway refuses to run as root, so Sway alone runs as the unprivileged user nobody; the command and the
# services stay with the caller and reach Sway through its sockets. What a key binding of Sway runs
# (`exec`) would run as nobody too, which is not the session's user: a binding that should run as the
# session's user runs "$QUILLORA_SWAY_EXEC PROGRAM ARGS...", and only a command line written before into
# the file $QUILLORA_SWAY_EXEC_ALLOWED (one a line, words split at spaces) is run.
#
# When something the desktop needs is missing, it says what in one line and exits with 77, the status ctest
# counts as a skipped test. The compositor's and the services' output goes to files in the throw-away home,
# or into QUILLORA_SWAY_LOG_DIR when that is set.
set -euo pipefail
source "$(dirname "$(readlink -f "$0")")/desktop-common.sh"

# The user Sway runs as.
sway_uid=65534
sway_gid=65534

if [[ "${1:-}" != --inside ]]; then
    (($# > 0)) || fail "usage: with-sway.sh CMD [ARGS...]"
    require_tools dbus-run-session dbus-send dbus-update-activation-environment setpriv sway swaymsg wtype pipewire
    [[ -x /usr/libexec/xdg-desktop-portal ]] || skip "xdg-desktop-portal is missing"
    [[ -x /usr/libexec/xdg-desktop-portal-wlr ]] || skip "xdg-desktop-portal-wlr is missing"
    [[ -x /usr/libexec/xdg-desktop-portal-gtk ]] || skip "xdg-desktop-portal-gtk is missing"
    require_python_gi
    [[ $(id -u) -eq 0 ]] || skip "Sway is started as another user, which only root can do"

    # The screenshot portal saves into ~/Pictures. Sway's own folder is in the home, owned by its user; the home
    # can be passed through but not listed.
    make_desktop_home Pictures sway
    chmod 0711 "$desktop_home"
    chown "$sway_uid:$sway_gid" "$desktop_home/sway"
    run_inside -- "$@"
fi
shift

start_inside "${QUILLORA_SWAY_LOG_DIR:-$HOME/logs}"
sway_dir=$HOME/sway

export XDG_CURRENT_DESKTOP=sway XDG_SESSION_TYPE=wayland XDG_SESSION_DESKTOP=sway
unset DISPLAY XAUTHORITY

# Sway runs the programs its config names with `exec` once it accepts clients, with its sockets in their
# environment: this one writes them down.
ready_file=$sway_dir/displays
printf '#!/bin/sh\nprintf "%%s\\n%%s\\n" "$WAYLAND_DISPLAY" "$SWAYSOCK" >"%s.part" && mv "%s.part" "%s"\n' \
    "$ready_file" "$ready_file" "$ready_file" >"$sway_dir/note-displays"
# A binding's command line for the session's user goes through a pipe to the relay below.
exec_pipe=$sway_dir/exec
mkfifo -m 0600 "$exec_pipe"
printf '#!/bin/sh\nprintf "%%s\\n" "$*" >"%s"\n' "$exec_pipe" >"$sway_dir/exec-as-session-user"
cat >"$sway_dir/config" <<EOF
xwayland disable
output * resolution ${QUILLORA_SWAY_WIDTH:-1920}x${QUILLORA_SWAY_HEIGHT:-1080} position 0 0
focus_follows_mouse no
exec $sway_dir/note-displays
EOF
chmod 0755 "$sway_dir/note-displays" "$sway_dir/exec-as-session-user"
chown -R "$sway_uid:$sway_gid" "$sway_dir"
compositor_name=sway compositor_log=$log_dir/sway.log
HOME=$sway_dir XDG_RUNTIME_DIR=$sway_dir XDG_CONFIG_HOME=$sway_dir/config.d \
    WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
    setpriv --reuid="$sway_uid" --regid="$sway_gid" --clear-groups \
    sway -c "$sway_dir/config" >"$compositor_log" 2>&1 &
compositor_pid=$!
children+=("$compositor_pid")
wait_for "the Wayland socket" "$compositor_pid" "$compositor_log" '[[ -s $ready_file ]]'
{ read -r wayland_display; read -r swaysock; } <"$ready_file"
# An absolute socket path: the programs under test keep their own runtime folder.
export WAYLAND_DISPLAY=$sway_dir/$wayland_display SWAYSOCK=$swaysock QT_QPA_PLATFORM=wayland GDK_BACKEND=wayland
# Services the bus starts see the desktop too, as Sway's own config for the session arranges.
dbus-update-activation-environment WAYLAND_DISPLAY SWAYSOCK QT_QPA_PLATFORM GDK_BACKEND XDG_CURRENT_DESKTOP \
    XDG_SESSION_TYPE XDG_SESSION_DESKTOP
export QUILLORA_SWAY_EXEC=$sway_dir/exec-as-session-user QUILLORA_SWAY_EXEC_ALLOWED=$XDG_RUNTIME_DIR/sway-exec-allowed
: >"$QUILLORA_SWAY_EXEC_ALLOWED"

# A keyboard that stays: the headless backend has none, and without one no window ever has the keyboard, so
# none is active (GTK then tells the accessibility bus of no active window) and none may set the primary
# selection. wtype keeps its virtual keyboard while it waits.
start_service "the keyboard" keyboard 'swaymsg -t get_inputs 2>/dev/null | grep -q "\"type\": \"keyboard\""' \
    wtype -s 2000000000

# Runs the allowed command lines that bindings hand over, one at a time, in this session's environment. The
# pipe stays open for reading and writing here, so that a writer never waits and the loop never sees its end.
exec 3<>"$exec_pipe"
while read -r line <&3; do
    if grep -Fxq -- "$line" "$QUILLORA_SWAY_EXEC_ALLOWED"; then
        read -ra words <<<"$line"
        echo "running: $line"
        "${words[@]}" </dev/null &
    else
        echo "refused: a command line that was not allowed" >&2
    fi
done >"$log_dir/exec.log" 2>&1 &
children+=("$!")
exec 3>&-

start_accessibility_bus
start_service "the tray watcher" status-notifier-watcher 'name_owned org.kde.StatusNotifierWatcher' \
    /usr/bin/python3 "$support_dir/status-notifier-watcher.py"

# The wlroots portal takes screenshots and exits at once without PipeWire.
start_service "PipeWire" pipewire '[[ -S $XDG_RUNTIME_DIR/pipewire-0 ]]' pipewire
start_service "xdg-desktop-portal-wlr" xdg-desktop-portal-wlr 'name_owned org.freedesktop.impl.portal.desktop.wlr' \
    /usr/libexec/xdg-desktop-portal-wlr
# The backends of a Sway desktop, the wlroots one and GTK's, which the screenshot portal asks for its access
# check: the frontend would try the others' too for what these lack.
portals_dir=$HOME/portals
mkdir -p "$portals_dir"
cp /usr/share/xdg-desktop-portal/portals/{wlr,gtk}.portal "$portals_dir/"
start_service "xdg-desktop-portal" xdg-desktop-portal 'name_owned org.freedesktop.portal.Desktop' \
    env XDG_DESKTOP_PORTAL_DIR="$portals_dir" /usr/libexec/xdg-desktop-portal

"$@"
