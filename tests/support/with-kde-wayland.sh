#!/usr/bin/env bash
# Runs a command inside a throw-away KDE Plasma Wayland test desktop: headless KWin with XWayland, a session
# D-Bus with the accessibility bus, the desktop portals with KDE's backend, and a tray watcher standing in
# for plasmashell's. Everything started here stops with the command, whose exit status is this script's.
#
#   with-kde-wayland.sh CMD [ARGS...]   runs CMD in the desktop
#   with-kde-wayland.sh --prepare       only fetches what the desktop takes from the package archive
#                                       (scripts/install-deps.sh runs this)
#
# When something the desktop needs is missing, it says what in one line and exits with 77, the status ctest
# counts as a skipped test. The compositor's and the portals' output goes to files in the throw-away home,
# or into QUILLORA_KDE_LOG_DIR when that is set.
set -euo pipefail

script=$(readlink -f "$0")
support_dir=$(dirname "$script")
skip() { echo "with-kde-wayland.sh: skipped: $*" >&2; exit 77; }
fail() { echo "with-kde-wayland.sh: $*" >&2; exit 1; }

# Outside the throw-away home, so a fetch or a copy is made once per machine and user.
export QUILLORA_TEST_CACHE=${QUILLORA_TEST_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quillora-test}
plasma_dir=$QUILLORA_TEST_CACHE/plasma-workspace

# The KDE portal shows its screenshot dialog through QML modules of plasma-workspace (the system dialog and
# its look-and-feel), although its package does not depend on it; plasma-workspace itself would bring about
# 220 packages. Its two packages are unpacked here instead, and only the portal is pointed at them.
prepare_plasma() {
    [[ -e $plasma_dir/complete ]] && return 0
    command -v apt-get >/dev/null && command -v dpkg-deb >/dev/null || return 1
    mkdir -p "$QUILLORA_TEST_CACHE"
    local work
    work=$(mktemp -d "$QUILLORA_TEST_CACHE/fetch.XXXXXX")
    # apt's download sandbox user cannot write into root's home; without this apt warns on every fetch.
    local apt_options=(-o Acquire::http::Timeout=30 -o Acquire::Retries=2)
    [[ $(id -u) -ne 0 ]] || apt_options+=(-o APT::Sandbox::User=root)
    if ! (cd "$work" && apt-get download -qq "${apt_options[@]}" plasma-workspace plasma-workspace-data); then
        rm -rf "$work"
        return 1
    fi
    local deb
    for deb in "$work"/*.deb; do dpkg-deb -x "$deb" "$work/root"; done
    mkdir -p "$work/plasma/share"
    mv "$work"/root/usr/lib/*/qt5/qml "$work/plasma/qml"
    mv "$work/root/usr/share/plasma" "$work/plasma/share/plasma"
    dpkg-deb -f "$(ls "$work"/plasma-workspace_*.deb)" Version >"$work/plasma/complete"
    rm -rf "$plasma_dir"
    mv "$work/plasma" "$plasma_dir"
    rm -rf "$work"
}

if [[ "${1:-}" == --prepare ]]; then
    prepare_plasma || fail "could not fetch plasma-workspace and plasma-workspace-data with apt-get download"
    exit 0
fi

if [[ "${1:-}" != --inside ]]; then
    (($# > 0)) || fail "usage: with-kde-wayland.sh CMD [ARGS...] | --prepare"
    for tool in dbus-run-session dbus-send Xwayland; do
        command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps.sh installs it)"
    done
    [[ -x /usr/bin/kwin_wayland ]] || skip "kwin_wayland is missing (package kwin-wayland)"
    [[ -x /usr/libexec/xdg-desktop-portal ]] || skip "xdg-desktop-portal is missing"
    compgen -G '/usr/lib/*/libexec/xdg-desktop-portal-kde' >/dev/null || skip "xdg-desktop-portal-kde is missing"
    # The KDE portal is a Qt 5 program: it needs Qt 5's Wayland platform, and its screenshot dialog Kirigami.
    compgen -G '/usr/lib/*/qt5/plugins/platforms/libqwayland-generic.so' >/dev/null ||
        skip "Qt 5's Wayland platform is missing (package qtwayland5)"
    compgen -G '/usr/lib/*/qt5/qml/org/kde/kirigami.2' >/dev/null ||
        skip "Kirigami for Qt 5 is missing (package qml-module-org-kde-kirigami2)"
    /usr/bin/python3 -c 'import gi; gi.require_version("Gio", "2.0"); from gi.repository import Gio' 2>/dev/null ||
        skip "python3-gi is missing"
    prepare_plasma || skip "plasma-workspace's QML modules are not in $plasma_dir and apt-get download failed"

    # kwin_wayland carries the cap_sys_resource file capability; where this process may not gain it (a
    # container), exec fails with EPERM. A copy without the capability runs, with less of a priority boost.
    kwin=/usr/bin/kwin_wayland
    if ! "$kwin" --version >/dev/null 2>&1; then
        kwin=$QUILLORA_TEST_CACHE/kwin/kwin_wayland
        if ! cmp -s /usr/bin/kwin_wayland "$kwin"; then
            mkdir -p "$(dirname "$kwin")"
            install -m 0755 /usr/bin/kwin_wayland "$kwin.$$"
            mv -f "$kwin.$$" "$kwin"
        fi
        "$kwin" --version >/dev/null 2>&1 || fail "neither kwin_wayland nor a copy without its file capability runs"
    fi
    export QUILLORA_KWIN=$kwin

    # A home and XDG folders of its own, as in with-desktop.sh, set before the session bus so the services it
    # starts use them too. The screenshot portal saves into ~/Pictures and answers an error without it.
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
    mkdir -m 0700 "$desktop_home"/{config,data,cache,runtime,Pictures}
    export HOME=$desktop_home XDG_CONFIG_HOME=$desktop_home/config XDG_DATA_HOME=$desktop_home/data \
        XDG_CACHE_HOME=$desktop_home/cache XDG_RUNTIME_DIR=$desktop_home/runtime
    status=0
    dbus-run-session -- "$script" --inside "$@" || status=$?
    exit "$status"
fi
shift

log_dir=${QUILLORA_KDE_LOG_DIR:-$HOME/logs}
mkdir -p "$log_dir"
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
        kill -0 "$kwin_pid" 2>/dev/null || { gone=kwin_wayland; log=$log_dir/kwin.log; }
        [[ -z $gone ]] || fail "$gone exited while starting $what: $(tail -n 4 "$log" | tr -s '\n' ' ')"
        sleep 0.05
    done
    fail "$what did not start within 30 s: $(tail -n 4 "$log" | tr -s '\n' ' ')"
}
name_owned() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true'
}

export XDG_CURRENT_DESKTOP=KDE XDG_SESSION_TYPE=wayland XDG_SESSION_DESKTOP=KDE KDE_FULL_SESSION=true
export KWIN_WAYLAND_NO_PERMISSION_CHECKS=1
# KWin starts the programs named after its options once Wayland and XWayland accept clients, with both
# displays in their environment: this one writes them down. Its own socket name (XWayland picks a free
# display number itself), so desktops started at the same time never share one.
socket=quillora-$$
ready_file=$XDG_RUNTIME_DIR/displays
printf '#!/bin/sh\nprintf "%%s\\n%%s\\n" "$WAYLAND_DISPLAY" "$DISPLAY" >"%s.part" && mv "%s.part" "%s"\n' \
    "$ready_file" "$ready_file" "$ready_file" >"$XDG_RUNTIME_DIR/note-displays"
chmod +x "$XDG_RUNTIME_DIR/note-displays"
"$QUILLORA_KWIN" --virtual --no-lockscreen --xwayland --socket "$socket" \
    --width "${QUILLORA_KDE_WIDTH:-1920}" --height "${QUILLORA_KDE_HEIGHT:-1080}" \
    "$XDG_RUNTIME_DIR/note-displays" >"$log_dir/kwin.log" 2>&1 &
kwin_pid=$!
children+=("$kwin_pid")
wait_for "Wayland and XWayland" "$kwin_pid" "$log_dir/kwin.log" '[[ -s $ready_file ]]'
{ read -r wayland_display; read -r x_display; } <"$ready_file"
export WAYLAND_DISPLAY=$wayland_display DISPLAY=$x_display QT_QPA_PLATFORM=wayland
unset XAUTHORITY

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

# The KDE backend before the frontend, so the frontend finds it running rather than having D-Bus start one
# without the plasma-workspace modules.
plasma_dir=$QUILLORA_TEST_CACHE/plasma-workspace
portal_kde=$(compgen -G '/usr/lib/*/libexec/xdg-desktop-portal-kde' | head -n 1)
QML2_IMPORT_PATH=$plasma_dir/qml${QML2_IMPORT_PATH:+:$QML2_IMPORT_PATH} \
    XDG_DATA_DIRS=$plasma_dir/share:${XDG_DATA_DIRS:-/usr/local/share:/usr/share} \
    "$portal_kde" >"$log_dir/xdg-desktop-portal-kde.log" 2>&1 &
children+=("$!")
wait_for "xdg-desktop-portal-kde" "$!" "$log_dir/xdg-desktop-portal-kde.log" 'name_owned org.freedesktop.impl.portal.desktop.kde'
/usr/libexec/xdg-desktop-portal >"$log_dir/xdg-desktop-portal.log" 2>&1 &
children+=("$!")
wait_for "xdg-desktop-portal" "$!" "$log_dir/xdg-desktop-portal.log" 'name_owned org.freedesktop.portal.Desktop'

"$@"
