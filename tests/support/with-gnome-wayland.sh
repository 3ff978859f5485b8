#!/usr/bin/env bash
# Runs a command inside a throw-away GNOME 43 Wayland test desktop: headless GNOME Shell on a virtual 1920x1080
# monitor without XWayland, a session D-Bus with the accessibility bus, dconf, gsd-media-keys (which runs the
# custom shortcuts), and the desktop portals with GNOME's backend. Everything started here stops with the
# command, whose exit status is this script's.
#
#   with-gnome-wayland.sh CMD [ARGS...]
#
# When something the desktop needs is missing, it says what in one line and exits with 77, the status ctest
# counts as a skipped test. The shell's and the services' output goes to files in the throw-away home, or into
# QUILLORA_GNOME_LOG_DIR when that is set. The screenshot permission is left unset: a test grants it (or not)
# in the permission store, as the desktop's own question would. Keys and clicks go in with
# tests/support/wayland-keys.py, through the one remote desktop session of mutter's that the desktop keeps
# (QUILLORA_KEYS_SOCKET); ~/.local/bin comes first on the PATH that GNOME's custom shortcuts are run with.
set -euo pipefail

script=$(readlink -f "$0")
support_dir=$(dirname "$script")
skip() { echo "with-gnome-wayland.sh: skipped: $*" >&2; exit 77; }
fail() { echo "with-gnome-wayland.sh: $*" >&2; exit 1; }

if [[ "${1:-}" != --inside ]]; then
    (($# > 0)) || fail "usage: with-gnome-wayland.sh CMD [ARGS...]"
    for tool in dbus-run-session dbus-daemon dbus-send gsettings; do
        command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps.sh installs it)"
    done
    [[ -x /usr/bin/gnome-shell ]] || skip "gnome-shell is missing"
    [[ -x /usr/libexec/gsd-media-keys ]] || skip "gsd-media-keys is missing (package gnome-settings-daemon)"
    [[ -x /usr/libexec/xdg-desktop-portal ]] || skip "xdg-desktop-portal is missing"
    [[ -x /usr/libexec/xdg-desktop-portal-gnome ]] || skip "xdg-desktop-portal-gnome is missing"
    [[ -x /usr/libexec/xdg-permission-store ]] || skip "xdg-permission-store is missing"
    [[ -x /usr/libexec/dconf-service ]] || skip "dconf-service is missing"
    /usr/bin/python3 -c 'import gi; gi.require_version("Gio", "2.0"); from gi.repository import Gio' 2>/dev/null ||
        skip "python3-gi is missing"

    # A home and XDG folders of its own, as in with-desktop.sh, set before the session bus so the services it
    # starts use them too. The screenshot portal saves into ~/Pictures. ~/.local/bin comes first on the PATH
    # the shortcuts' commands are looked up in, as on a user's desktop, so a test can put a launcher there.
    desktop_home=$(mktemp -d)
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
    mkdir -m 0700 "$desktop_home"/{config,data,cache,runtime,Pictures} "$desktop_home/.local" \
        "$desktop_home/.local/bin"
    export HOME=$desktop_home XDG_CONFIG_HOME=$desktop_home/config XDG_DATA_HOME=$desktop_home/data \
        XDG_CACHE_HOME=$desktop_home/cache XDG_RUNTIME_DIR=$desktop_home/runtime
    export PATH=$desktop_home/.local/bin:$PATH
    status=0
    dbus-run-session -- "$script" --inside "$@" || status=$?
    exit "$status"
fi
shift

log_dir=${QUILLORA_GNOME_LOG_DIR:-$HOME/logs}
mkdir -p "$log_dir"
children=()
# The services first, the shell and the system bus last: clients that lose the compositor first print lots of
# errors. What has not ended 5 s later is killed, so a stuck service never keeps the command's caller waiting.
cleanup() {
    local i
    for ((i = ${#children[@]} - 1; i >= 0; i--)); do
        kill "${children[i]}" 2>/dev/null || true
    done
    for _ in $(seq 100); do
        kill -0 "${children[@]}" 2>/dev/null || break
        sleep 0.05
    done
    kill -KILL "${children[@]}" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap cleanup EXIT

shell_pid=
# Waits up to 30 s, checking every 50 ms, until CHECK holds for WHAT, which runs as PID and logs to LOG.
# Its exit, or the shell's, ends the wait at once with the last lines of its log.
wait_for() {
    local what=$1 pid=$2 log=$3 check=$4
    for _ in $(seq 600); do
        eval "$check" && return 0
        local gone=
        kill -0 "$pid" 2>/dev/null || gone=$what
        if [[ -n $shell_pid ]] && ! kill -0 "$shell_pid" 2>/dev/null; then
            gone=gnome-shell
            log=$log_dir/gnome-shell.log
        fi
        [[ -z $gone ]] || fail "$gone exited while starting $what: $(tail -n 4 "$log" | tr -s '\n' ' ')"
        sleep 0.05
    done
    fail "$what did not start within 30 s: $(tail -n 4 "$log" | tr -s '\n' ' ')"
}
name_owned() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true'
}

# GNOME Shell leaves within 30 s without a system bus (it wants logind there); a private bus of its own, on
# which nothing answers, keeps it running.
system_bus=$XDG_RUNTIME_DIR/system-bus
dbus-daemon --session --nofork --address="unix:path=$system_bus" >"$log_dir/system-bus.log" 2>&1 &
children+=("$!")
wait_for "the stand-in system bus" "$!" "$log_dir/system-bus.log" '[[ -S $system_bus ]]'
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$system_bus

export XDG_CURRENT_DESKTOP=GNOME XDG_SESSION_TYPE=wayland XDG_SESSION_DESKTOP=gnome GDK_BACKEND=wayland
# No screen blanking, lock or idle dimming while a slow test runs; written to dconf before the shell reads it.
gsettings set org.gnome.desktop.session idle-delay 0
gsettings set org.gnome.desktop.screensaver lock-enabled false
gsettings set org.gnome.settings-daemon.plugins.power idle-dim false
# A plain background: the shell waits for its picture before it has started, and with the default one (a WebP
# image, whose loader is not installed) its start now and then never ended (2 of about 25 starts; 0 of 10 since).
gsettings set org.gnome.desktop.background picture-options none
# No Activities overview when a test sends the pointer to the top-left corner first.
gsettings set org.gnome.desktop.interface enable-hot-corners false
# New windows in the middle of the screen, where a test knows to find them.
gsettings set org.gnome.mutter center-new-windows true

# The accessibility bus, switched on, before the shell so that it and every program find it.
atspi_launcher=/usr/libexec/at-spi-bus-launcher
if [[ -x $atspi_launcher ]]; then
    "$atspi_launcher" --launch-immediately >"$log_dir/at-spi-bus-launcher.log" 2>&1 &
    children+=("$!")
    wait_for "the accessibility bus" "$!" "$log_dir/at-spi-bus-launcher.log" 'name_owned org.a11y.Bus'
    dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.freedesktop.DBus.Properties.Set \
        string:org.a11y.Status string:IsEnabled variant:boolean:true >/dev/null 2>&1 || true
fi

# Its own Wayland socket name, so desktops started at the same time never share one.
socket=quillora-gnome-$$
gnome-shell --headless --wayland --no-x11 --virtual-monitor "${QUILLORA_GNOME_SIZE:-1920x1080}" \
    --wayland-display "$socket" >"$log_dir/gnome-shell.log" 2>&1 &
shell_pid=$!
children+=("$shell_pid")
wait_for "gnome-shell" "$shell_pid" "$log_dir/gnome-shell.log" \
    '[[ -S $XDG_RUNTIME_DIR/$socket ]] && name_owned org.gnome.Shell && name_owned org.gnome.Mutter.RemoteDesktop'
# Mutter's remote desktop service owns its name early, but its first session hangs until the shell has started.
wait_for "gnome-shell's start-up" "$shell_pid" "$log_dir/gnome-shell.log" \
    'grep -q "GNOME Shell started" "$log_dir/gnome-shell.log"'
export WAYLAND_DISPLAY=$socket QT_QPA_PLATFORM=wayland
unset DISPLAY XAUTHORITY

# Services that the session bus starts on demand (dconf, the document portal) get the same environment.
dbus-update-activation-environment WAYLAND_DISPLAY XDG_CURRENT_DESKTOP XDG_SESSION_TYPE DBUS_SYSTEM_BUS_ADDRESS \
    HOME XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME XDG_RUNTIME_DIR PATH 2>/dev/null || true

# A headless seat has a keyboard only while a remote desktop session runs, and a session that stops takes the
# keyboard focus with it: one runs as long as the desktop, and every key and click of wayland-keys.py goes
# through it.
export QUILLORA_KEYS_SOCKET=$XDG_RUNTIME_DIR/keys
/usr/bin/python3 "$support_dir/wayland-keys.py" --hold "$QUILLORA_KEYS_SOCKET" >"$log_dir/keyboard.log" 2>&1 &
children+=("$!")
wait_for "the keyboard" "$!" "$log_dir/keyboard.log" 'grep -q holding "$log_dir/keyboard.log"'
# The shell opens with the Activities overview, which would take every key and click; Escape closes it.
/usr/bin/python3 "$support_dir/wayland-keys.py" escape || fail "could not close the Activities overview"

/usr/libexec/gsd-media-keys >"$log_dir/gsd-media-keys.log" 2>&1 &
children+=("$!")
wait_for "gsd-media-keys" "$!" "$log_dir/gsd-media-keys.log" 'name_owned org.gnome.SettingsDaemon.MediaKeys'

# GNOME's backend before the frontend, so the frontend finds it running. The frontend sees GNOME's backends
# only: it would otherwise start the other desktops' ones installed here for the interfaces GNOME's lacks.
portal_dir=$XDG_RUNTIME_DIR/portals
mkdir -p "$portal_dir"
ln -s /usr/share/xdg-desktop-portal/portals/{gnome,gnome-shell}.portal "$portal_dir/"
export XDG_DESKTOP_PORTAL_DIR=$portal_dir
/usr/libexec/xdg-desktop-portal-gnome >"$log_dir/xdg-desktop-portal-gnome.log" 2>&1 &
children+=("$!")
wait_for "xdg-desktop-portal-gnome" "$!" "$log_dir/xdg-desktop-portal-gnome.log" \
    'name_owned org.freedesktop.impl.portal.desktop.gnome'
/usr/libexec/xdg-desktop-portal >"$log_dir/xdg-desktop-portal.log" 2>&1 &
children+=("$!")
wait_for "xdg-desktop-portal" "$!" "$log_dir/xdg-desktop-portal.log" 'name_owned org.freedesktop.portal.Desktop'

"$@"
