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

script=$(readlink -f "$0")
support_dir=$(dirname "$script")
skip() { echo "with-sway.sh: skipped: $*" >&2; exit 77; }
fail() { echo "with-sway.sh: $*" >&2; exit 1; }

# The user Sway runs as.
sway_uid=65534
sway_gid=65534

if [[ "${1:-}" != --inside ]]; then
    (($# > 0)) || fail "usage: with-sway.sh CMD [ARGS...]"
    for tool in dbus-run-session dbus-send dbus-update-activation-environment setpriv sway swaymsg wtype pipewire; do
        command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps.sh installs it)"
    done
    [[ -x /usr/libexec/xdg-desktop-portal ]] || skip "xdg-desktop-portal is missing"
    [[ -x /usr/libexec/xdg-desktop-portal-wlr ]] || skip "xdg-desktop-portal-wlr is missing"
    [[ -x /usr/libexec/xdg-desktop-portal-gtk ]] || skip "xdg-desktop-portal-gtk is missing"
    /usr/bin/python3 -c 'import gi; gi.require_version("Gio", "2.0"); from gi.repository import Gio' 2>/dev/null ||
        skip "python3-gi is missing"
    [[ $(id -u) -eq 0 ]] || skip "Sway is started as another user, which only root can do"

    # A home and XDG folders of its own, as in with-desktop.sh, set before the session bus so the services it
    # starts use them too. The screenshot portal saves into ~/Pictures. Sway's own folder is in it, owned by
    # its user; the home can be passed through but not listed.
    desktop_home=$(mktemp -d)
    # The document portal, which the portal frontend starts, mounts a FUSE file system in the runtime folder
    # and may not have let go of it yet when the session bus is gone.
    remove_home() {
        local mount_point=$desktop_home/runtime/doc
        for _ in $(seq 100); do
            grep -q " $mount_point fuse" /proc/mounts || break
            fusermount3 -u -z "$mount_point" 2>/dev/null || fusermount -u -z "$mount_point" 2>/dev/null || true
            sleep 0.05
        done
        rm -rf "$desktop_home"
    }
    trap remove_home EXIT
    chmod 0711 "$desktop_home"
    mkdir -m 0700 "$desktop_home"/{config,data,cache,runtime,Pictures,sway}
    chown "$sway_uid:$sway_gid" "$desktop_home/sway"
    export HOME=$desktop_home XDG_CONFIG_HOME=$desktop_home/config XDG_DATA_HOME=$desktop_home/data \
        XDG_CACHE_HOME=$desktop_home/cache XDG_RUNTIME_DIR=$desktop_home/runtime
    status=0
    dbus-run-session -- "$script" --inside "$@" || status=$?
    exit "$status"
fi
shift

log_dir=${QUILLORA_SWAY_LOG_DIR:-$HOME/logs}
mkdir -p "$log_dir"
sway_dir=$HOME/sway
children=()
# The portals first, the compositor last: clients that lose the compositor first print lots of errors. What
# has not ended 5 s later is killed, so a stuck service never keeps the command's caller waiting.
cleanup() {
    local i
    for ((i = ${#children[@]} - 1; i >= 0; i--)); do
        kill "${children[i]}" 2>/dev/null || true
    done
    # kill -0 succeeds while any of them runs.
    for _ in $(seq 100); do
        kill -0 "${children[@]}" 2>/dev/null || break
        sleep 0.05
    done
    kill -KILL "${children[@]}" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap cleanup EXIT

# Waits up to 30 s, checking every 50 ms, until CHECK holds for WHAT, which runs as PID and logs to LOG.
# Its exit, or the compositor's, ends the wait at once with the last lines of its log.
wait_for() {
    local what=$1 pid=$2 log=$3 check=$4
    for _ in $(seq 600); do
        eval "$check" && return 0
        local gone=
        kill -0 "$pid" 2>/dev/null || gone=$what
        kill -0 "$sway_pid" 2>/dev/null || { gone=sway; log=$log_dir/sway.log; }
        [[ -z $gone ]] || fail "$gone exited while starting $what: $(tail -n 4 "$log" | tr -s '\n' ' ')"
        sleep 0.05
    done
    fail "$what did not start within 30 s: $(tail -n 4 "$log" | tr -s '\n' ' ')"
}
name_owned() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true'
}

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
HOME=$sway_dir XDG_RUNTIME_DIR=$sway_dir XDG_CONFIG_HOME=$sway_dir/config.d \
    WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
    setpriv --reuid="$sway_uid" --regid="$sway_gid" --clear-groups \
    sway -c "$sway_dir/config" >"$log_dir/sway.log" 2>&1 &
sway_pid=$!
children+=("$sway_pid")
wait_for "the Wayland socket" "$sway_pid" "$log_dir/sway.log" '[[ -s $ready_file ]]'
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
wtype -s 2000000000 >"$log_dir/keyboard.log" 2>&1 &
children+=("$!")
wait_for "the keyboard" "$!" "$log_dir/keyboard.log" 'swaymsg -t get_inputs 2>/dev/null | grep -q "\"type\": \"keyboard\""'

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

# The accessibility bus, switched on, as in with-desktop.sh.
atspi_launcher=/usr/libexec/at-spi-bus-launcher
if [[ -x $atspi_launcher ]]; then
    "$atspi_launcher" --launch-immediately >"$log_dir/at-spi-bus-launcher.log" 2>&1 &
    children+=("$!")
    wait_for "the accessibility bus" "$!" "$log_dir/at-spi-bus-launcher.log" 'name_owned org.a11y.Bus'
    dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.freedesktop.DBus.Properties.Set \
        string:org.a11y.Status string:IsEnabled variant:boolean:true >/dev/null 2>&1 || true
fi

/usr/bin/python3 "$support_dir/status-notifier-watcher.py" >"$log_dir/status-notifier-watcher.log" 2>&1 &
children+=("$!")
wait_for "the tray watcher" "$!" "$log_dir/status-notifier-watcher.log" 'name_owned org.kde.StatusNotifierWatcher'

# The wlroots portal takes screenshots and exits at once without PipeWire.
pipewire >"$log_dir/pipewire.log" 2>&1 &
children+=("$!")
wait_for "PipeWire" "$!" "$log_dir/pipewire.log" '[[ -S $XDG_RUNTIME_DIR/pipewire-0 ]]'
/usr/libexec/xdg-desktop-portal-wlr >"$log_dir/xdg-desktop-portal-wlr.log" 2>&1 &
children+=("$!")
wait_for "xdg-desktop-portal-wlr" "$!" "$log_dir/xdg-desktop-portal-wlr.log" 'name_owned org.freedesktop.impl.portal.desktop.wlr'
# The backends of a Sway desktop, the wlroots one and GTK's, which the screenshot portal asks for its access
# check: the frontend would try the others' too for what these lack.
portals_dir=$HOME/portals
mkdir -p "$portals_dir"
cp /usr/share/xdg-desktop-portal/portals/{wlr,gtk}.portal "$portals_dir/"
XDG_DESKTOP_PORTAL_DIR=$portals_dir /usr/libexec/xdg-desktop-portal >"$log_dir/xdg-desktop-portal.log" 2>&1 &
children+=("$!")
wait_for "xdg-desktop-portal" "$!" "$log_dir/xdg-desktop-portal.log" 'name_owned org.freedesktop.portal.Desktop'

"$@"
