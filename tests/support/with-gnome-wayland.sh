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
source "$(dirname "$(readlink -f "$0")")/desktop-common.sh"

if [[ "${1:-}" != --inside ]]; then
    (($# > 0)) || fail "usage: with-gnome-wayland.sh CMD [ARGS...]"
    require_tools dbus-run-session dbus-daemon dbus-send gsettings
    [[ -x /usr/bin/gnome-shell ]] || skip "gnome-shell is missing"
    [[ -x /usr/libexec/gsd-media-keys ]] || skip "gsd-media-keys is missing (package gnome-settings-daemon)"
    [[ -x /usr/libexec/xdg-desktop-portal ]] || skip "xdg-desktop-portal is missing"
    [[ -x /usr/libexec/xdg-desktop-portal-gnome ]] || skip "xdg-desktop-portal-gnome is missing"
    [[ -x /usr/libexec/xdg-permission-store ]] || skip "xdg-permission-store is missing"
    [[ -x /usr/libexec/dconf-service ]] || skip "dconf-service is missing"
    require_python_gi

    # The screenshot portal saves into ~/Pictures. ~/.local/bin comes first on the PATH the shortcuts' commands are
    # looked up in, as on a user's desktop, so a test can put a launcher there.
    make_desktop_home Pictures .local .local/bin
    export PATH=$desktop_home/.local/bin:$PATH
    run_inside -- "$@"
fi
shift

start_inside "${QUILLORA_GNOME_LOG_DIR:-$HOME/logs}"

# GNOME Shell leaves within 30 s without a system bus (it wants logind there); a private bus of its own, on
# which nothing answers, keeps it running.
system_bus=$XDG_RUNTIME_DIR/system-bus
start_service "the stand-in system bus" system-bus '[[ -S $system_bus ]]' \
    dbus-daemon --session --nofork --address="unix:path=$system_bus"
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

# The accessibility bus before the shell, so that it and every program find it.
start_accessibility_bus

# Its own Wayland socket name, so desktops started at the same time never share one.
socket=quillora-gnome-$$
gnome-shell --headless --wayland --no-x11 --virtual-monitor "${QUILLORA_GNOME_SIZE:-1920x1080}" \
    --wayland-display "$socket" >"$log_dir/gnome-shell.log" 2>&1 &
compositor_pid=$! compositor_name=gnome-shell compositor_log=$log_dir/gnome-shell.log
children+=("$compositor_pid")
wait_for "gnome-shell" "$compositor_pid" "$compositor_log" \
    '[[ -S $XDG_RUNTIME_DIR/$socket ]] && name_owned org.gnome.Shell && name_owned org.gnome.Mutter.RemoteDesktop'
# Mutter's remote desktop service owns its name early, but its first session hangs until the shell has started.
wait_for "gnome-shell's start-up" "$compositor_pid" "$compositor_log" 'grep -q "GNOME Shell started" "$compositor_log"'
export WAYLAND_DISPLAY=$socket QT_QPA_PLATFORM=wayland
unset DISPLAY XAUTHORITY

# Services that the session bus starts on demand (dconf, the document portal) get the same environment.
dbus-update-activation-environment WAYLAND_DISPLAY XDG_CURRENT_DESKTOP XDG_SESSION_TYPE DBUS_SYSTEM_BUS_ADDRESS \
    HOME XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME XDG_RUNTIME_DIR PATH 2>/dev/null || true

# A headless seat has a keyboard only while a remote desktop session runs, and a session that stops takes the
# keyboard focus with it: one runs as long as the desktop, and every key and click of wayland-keys.py goes
# through it.
export QUILLORA_KEYS_SOCKET=$XDG_RUNTIME_DIR/keys
start_service "the keyboard" keyboard 'grep -q holding "$log_dir/keyboard.log"' \
    /usr/bin/python3 "$support_dir/wayland-keys.py" --hold "$QUILLORA_KEYS_SOCKET"
# The shell opens with the Activities overview, which would take every key and click; Escape closes it.
/usr/bin/python3 "$support_dir/wayland-keys.py" escape || fail "could not close the Activities overview"

start_service "gsd-media-keys" gsd-media-keys 'name_owned org.gnome.SettingsDaemon.MediaKeys' /usr/libexec/gsd-media-keys

# GNOME's backend before the frontend, so the frontend finds it running. The frontend sees GNOME's backends
# only: it would otherwise start the other desktops' ones installed here for the interfaces GNOME's lacks.
portal_dir=$XDG_RUNTIME_DIR/portals
mkdir -p "$portal_dir"
ln -s /usr/share/xdg-desktop-portal/portals/{gnome,gnome-shell}.portal "$portal_dir/"
export XDG_DESKTOP_PORTAL_DIR=$portal_dir
start_service "xdg-desktop-portal-gnome" xdg-desktop-portal-gnome 'name_owned org.freedesktop.impl.portal.desktop.gnome' \
    /usr/libexec/xdg-desktop-portal-gnome
start_service "xdg-desktop-portal" xdg-desktop-portal 'name_owned org.freedesktop.portal.Desktop' \
    /usr/libexec/xdg-desktop-portal

"$@"
