#!/usr/bin/env bash
# Installs what is missing, builds Quillora with warnings as errors, and runs every test: the ones labelled kde
# inside a throw-away KDE Plasma Wayland test desktop, the ones labelled gnome inside a throw-away GNOME 43
# Wayland test desktop, the ones labelled sway inside a throw-away Sway test desktop, the other desktop ones
# inside a throw-away X11 test desktop. Then builds and runs the same tests again with AddressSanitizer, UndefinedBehaviorSanitizer and
# LeakSanitizer (QUILLORA_SANITIZERS=0 skips that second pass). Arguments go to every ctest run.
set -euo pipefail
cd "$(dirname "$0")/.."

# One desktop of each kind per pass, and a Wayland desktop only when the selection holds a test for it. A
# Wayland desktop that cannot start because a part of it is missing (status 77) skips its tests with a message.
run_wayland_tests() {
    local preset=$1 label=$2 desktop=$3 name=$4
    shift 4
    ctest --preset "$preset" -N -L "^$label\$" "$@" | grep -q '^Total Tests: [1-9]' || return 0
    local status=0
    "tests/support/$desktop" ctest --preset "$preset" -L "^$label\$" "$@" || status=$?
    if ((status == 77)); then
        echo "The $name tests of the $preset pass did not run."
    elif ((status != 0)); then
        return "$status"
    fi
}

run_tests() {
    local preset=$1
    shift
    tests/support/with-desktop.sh ctest --preset "$preset" -LE '^(kde|gnome|sway)$' "$@"
    run_wayland_tests "$preset" kde with-kde-wayland.sh "KDE Plasma Wayland" "$@"
    run_wayland_tests "$preset" gnome with-gnome-wayland.sh "GNOME Wayland" "$@"
    run_wayland_tests "$preset" sway with-sway.sh "Sway" "$@"
}

bash scripts/install-deps.sh
cmake --preset ci
cmake --build --preset ci
run_tests ci "$@"
if [[ "${QUILLORA_SANITIZERS:-1}" != 0 ]]; then
    cmake --preset asan
    cmake --build --preset asan
    run_tests asan "$@"
fi
