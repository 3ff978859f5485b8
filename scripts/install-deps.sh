#!/usr/bin/env bash
# Installs every Debian 12 package that building, running and testing Quillora needs.
# Idempotent: when everything is present it only runs dpkg-query and finds the KDE test desktop's modules
# in the cache.
set -euo pipefail

packages=(
    # build
    cmake ninja-build g++ pkg-config clang-format
    # Qt 6 and QCoro
    qt6-base-dev qt6-declarative-dev qt6-svg-dev qt6-image-formats-plugins qcoro-qt6-dev
    libgl-dev
    qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-templates
    qml6-module-qtquick-layouts qml6-module-qtquick-window qml6-module-qtqml-workerscript
    qml6-module-qtquick-shapes
    # quillora-service: Boost.Asio/Beast (headers) and OpenSSL for https models
    libboost1.81-dev libssl-dev
    # X11 and accessibility
    libxcb1-dev libxcb-xfixes0-dev libxcb-xinput-dev libxcb-xtest0-dev libxcb-randr0-dev
    libxcb-shm0-dev libxcb-render0-dev libxcb-keysyms1-dev libxcb-res0-dev libxcb-xkb-dev libxcb-ewmh-dev libxcb-icccm4-dev
    libatspi2.0-dev libglib2.0-dev libdbus-1-dev
    # the launcher's D-Bus client (sd-bus)
    libsystemd-dev
    # Wayland: the client library, and wayland-scanner for the data-control clipboard's protocol code
    libwayland-dev libwayland-bin
    # tests: stub service, test CA, test desktop
    libcpp-httplib-dev libssl-dev openssl
    xvfb xauth openbox dbus dbus-x11 at-spi2-core xdotool xclip xterm python3-gi gir1.2-gtk-3.0
    x11-utils imagemagick fonts-dejavu-core
    # tests: real applications whose selection is read (Qt 5 editor, GTK 3 editor, VTE terminal, Qt
    # terminal) and GTK 4 for a toolkit without text positions
    featherpad mousepad lxterminal qterminal gir1.2-gtk-4.0
    # tests: a clipboard manager that takes the clipboard over from a program that quits (xfsettingsd)
    xfce4-settings
    # tests: the KDE Plasma Wayland test desktop (tests/support/with-kde-wayland.sh): the compositor with
    # XWayland, the portals and KDE's backend with the Qt 5 Wayland platform it runs on, the QML modules its
    # screenshot dialog loads, and Qt 6's Wayland platform for the programs under test
    kwin-wayland xwayland xdg-desktop-portal xdg-desktop-portal-kde qtwayland5 qt6-wayland
    qml-module-org-kde-kirigami2 qml-module-qtquick-controls2 qml-module-qtquick-layouts
    qml-module-qtquick-window2 qml-module-qtgraphicaleffects
    # tests: the Sway test desktop (tests/support/with-sway.sh): the compositor, its screenshot portal with
    # the PipeWire it needs and GTK's portal for the access check, a virtual keyboard for its key bindings,
    # and a screenshot tool to look with
    sway xdg-desktop-portal-wlr pipewire xdg-desktop-portal-gtk wtype grim
    # tests: GNOME's settings schemas (the custom shortcuts list, the window manager's keys), read on GIO's
    # memory settings backend
    gnome-settings-daemon-common gsettings-desktop-schemas
    # tests: the GNOME 43 Wayland test desktop (tests/support/with-gnome-wayland.sh): the shell, the daemon that
    # runs custom shortcuts, dconf, and GNOME's portal backend
    gnome-shell gnome-settings-daemon dconf-service libglib2.0-bin xdg-desktop-portal-gnome
    # tests: a real keyring behind the Secret Service, on a private bus
    gnome-keyring
    # the screenshot benchmark's reference encoder
    libjpeg62-turbo-dev
    # checks the desktop entry and the AppStream metainfo
    desktop-file-utils appstream
    # the Debian packages: their dependencies (dpkg-shlibdeps), lintian, and a Debian 12 root to install them in
    dpkg-dev lintian mmdebstrap
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
if ((${#missing[@]} > 0)); then
    echo "Installing: ${missing[*]}"
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The KDE test desktop's screenshot portal needs QML modules of plasma-workspace, whose package would bring
# about 220 more: the test desktop keeps its two packages unpacked in the user's cache instead. Fetched as
# the user who runs the tests; a machine whose package lists are gone gets them again first.
kde_desktop=$(dirname "$0")/../tests/support/with-kde-wayland.sh
if ! bash "$kde_desktop" --prepare 2>/dev/null; then
    "${sudo_cmd[@]}" apt-get update -qq
    bash "$kde_desktop" --prepare
fi
