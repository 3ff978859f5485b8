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
source "$(dirname "$(readlink -f "$0")")/desktop-common.sh"

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
    require_tools dbus-run-session dbus-send Xwayland
    [[ -x /usr/bin/kwin_wayland ]] || skip "kwin_wayland is missing (package kwin-wayland)"
    [[ -x /usr/libexec/xdg-desktop-portal ]] || skip "xdg-desktop-portal is missing"
    compgen -G '/usr/lib/*/libexec/xdg-desktop-portal-kde' >/dev/null || skip "xdg-desktop-portal-kde is missing"
    # The KDE portal is a Qt 5 program: it needs Qt 5's Wayland platform, and its screenshot dialog Kirigami.
    compgen -G '/usr/lib/*/qt5/plugins/platforms/libqwayland-generic.so' >/dev/null ||
        skip "Qt 5's Wayland platform is missing (package qtwayland5)"
    compgen -G '/usr/lib/*/qt5/qml/org/kde/kirigami.2' >/dev/null ||
        skip "Kirigami for Qt 5 is missing (package qml-module-org-kde-kirigami2)"
    require_python_gi
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

    # The screenshot portal saves into ~/Pictures and answers an error without it.
    make_desktop_home Pictures
    run_inside -- "$@"
fi
shift

start_inside "${QUILLORA_KDE_LOG_DIR:-$HOME/logs}"

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
compositor_name=kwin_wayland compositor_log=$log_dir/kwin.log
"$QUILLORA_KWIN" --virtual --no-lockscreen --xwayland --socket "$socket" \
    --width "${QUILLORA_KDE_WIDTH:-1920}" --height "${QUILLORA_KDE_HEIGHT:-1080}" \
    "$XDG_RUNTIME_DIR/note-displays" >"$compositor_log" 2>&1 &
compositor_pid=$!
children+=("$compositor_pid")
wait_for "Wayland and XWayland" "$compositor_pid" "$compositor_log" '[[ -s $ready_file ]]'
{ read -r wayland_display; read -r x_display; } <"$ready_file"
export WAYLAND_DISPLAY=$wayland_display DISPLAY=$x_display QT_QPA_PLATFORM=wayland
unset XAUTHORITY

start_accessibility_bus
start_service "the tray watcher" status-notifier-watcher 'name_owned org.kde.StatusNotifierWatcher' \
    /usr/bin/python3 "$support_dir/status-notifier-watcher.py"

# The KDE backend before the frontend, so the frontend finds it running rather than having D-Bus start one
# without the plasma-workspace modules.
plasma_dir=$QUILLORA_TEST_CACHE/plasma-workspace
portal_kde=$(compgen -G '/usr/lib/*/libexec/xdg-desktop-portal-kde' | head -n 1)
start_service "xdg-desktop-portal-kde" xdg-desktop-portal-kde 'name_owned org.freedesktop.impl.portal.desktop.kde' \
    env QML2_IMPORT_PATH="$plasma_dir/qml${QML2_IMPORT_PATH:+:$QML2_IMPORT_PATH}" \
    XDG_DATA_DIRS="$plasma_dir/share:${XDG_DATA_DIRS:-/usr/local/share:/usr/share}" "$portal_kde"
start_service "xdg-desktop-portal" xdg-desktop-portal 'name_owned org.freedesktop.portal.Desktop' \
    /usr/libexec/xdg-desktop-portal

"$@"
