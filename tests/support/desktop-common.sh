# What the test desktops (with-desktop.sh, with-kde-wayland.sh, with-gnome-wayland.sh, with-sway.sh) share: a
# throw-away home, a session bus of their own, and the start and stop of the programs that make the desktop. Each
# sources this file first; it runs once outside the session bus and once inside it (with --inside).

script=$(readlink -f "$0")
support_dir=$(dirname "$script")
skip() { echo "$(basename "$script"): skipped: $*" >&2; exit 77; }
fail() { echo "$(basename "$script"): $*" >&2; exit 1; }

# Skips unless every named program is on the PATH.
require_tools() {
    local tool
    for tool; do
        command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps.sh installs it)"
    done
}

require_python_gi() {
    /usr/bin/python3 -c 'import gi; gi.require_version("Gio", "2.0"); from gi.repository import Gio' 2>/dev/null ||
        skip "python3-gi is missing"
}

# A home and XDG folders of its own, with the named folders in it too, removed at exit. Set before the session bus
# so the services it starts use them too: nothing the machine's user or an earlier run left there (dconf state,
# settings files, an editor's saved session) can change what a test sees. XDG_DATA_DIRS stays as it is:
# applications, fonts and icons come from the system.
make_desktop_home() {
    desktop_home=$(mktemp -d)
    trap remove_home EXIT
    mkdir -m 0700 "$desktop_home"/{config,data,cache,runtime} "${@/#/$desktop_home/}"
    export HOME=$desktop_home XDG_CONFIG_HOME=$desktop_home/config XDG_DATA_HOME=$desktop_home/data \
        XDG_CACHE_HOME=$desktop_home/cache XDG_RUNTIME_DIR=$desktop_home/runtime
}
# The document portal, which the portal frontend starts, mounts a FUSE file system in the runtime folder and may
# not have let go of it yet when the session bus is gone.
remove_home() {
    local mount_point=$desktop_home/runtime/doc
    for _ in $(seq 100); do
        grep -q " $mount_point fuse" /proc/mounts || break
        fusermount3 -u -z "$mount_point" 2>/dev/null || fusermount -u -z "$mount_point" 2>/dev/null || true
        sleep 0.05
    done
    rm -rf "$desktop_home" 2>/dev/null || true
}

# Runs this script again inside a session bus of its own, with --inside and ARGS, and exits with its status;
# dbus-run-session's OPTIONS come before "--": run_inside [OPTIONS] -- ARGS...
run_inside() {
    local options=() status=0
    while [[ $1 != -- ]]; do options+=("$1"); shift; done
    shift
    dbus-run-session "${options[@]}" -- "$script" --inside "$@" || status=$?
    exit "$status"
}

# Inside the session bus: the logs go to LOG_DIR, and what is started with start_service stops at exit. The last
# started stops first: clients that lose the compositor first print lots of errors. What has not ended 5 s later
# is killed, so a stuck service never keeps the command's caller waiting.
start_inside() {
    log_dir=$1
    mkdir -p "$log_dir"
    children=()
    trap stop_children EXIT
}
stop_children() {
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

# The compositor, once started: its exit ends every wait at once.
compositor_pid=
compositor_name=
compositor_log=

# Waits up to 30 s, checking every 50 ms, until CHECK holds for WHAT, which runs as PID and logs to LOG.
# Its exit, or the compositor's, ends the wait at once with the last lines of its log.
wait_for() {
    local what=$1 pid=$2 log=$3 check=$4
    for _ in $(seq 600); do
        eval "$check" && return 0
        local gone=
        kill -0 "$pid" 2>/dev/null || gone=$what
        if [[ -n $compositor_pid ]] && ! kill -0 "$compositor_pid" 2>/dev/null; then
            gone=$compositor_name
            log=$compositor_log
        fi
        [[ -z $gone ]] || fail "$gone exited while starting $what: $(tail -n 4 "$log" | tr -s '\n' ' ')"
        sleep 0.05
    done
    fail "$what did not start within 30 s: $(tail -n 4 "$log" | tr -s '\n' ' ')"
}

# Starts CMD as WHAT, its output in $log_dir/LOG.log, and waits until CHECK holds: start_service WHAT LOG CHECK CMD...
start_service() {
    local what=$1 log=$log_dir/$2.log check=$3
    shift 3
    "$@" >"$log" 2>&1 &
    children+=("$!")
    wait_for "$what" "$!" "$log" "$check"
}

# Asked whether the name is owned, not for the address: a call to the name itself would have D-Bus start it.
name_owned() {
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true'
}

# The accessibility bus, with the desktop's accessibility support switched on. It puts its socket in this desktop's
# own runtime folder, so desktops started one after another never remove each other's.
start_accessibility_bus() {
    local launcher=/usr/libexec/at-spi-bus-launcher
    [[ -x $launcher ]] || return 0
    start_service "the accessibility bus" at-spi-bus-launcher 'name_owned org.a11y.Bus' "$launcher" --launch-immediately
    dbus-send --session --print-reply --dest=org.a11y.Bus /org/a11y/bus org.freedesktop.DBus.Properties.Set \
        string:org.a11y.Status string:IsEnabled variant:boolean:true >/dev/null 2>&1 || true
}
