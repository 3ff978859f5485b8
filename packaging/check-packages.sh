#!/usr/bin/env bash
# Makes the Debian packages of the build in BUILD_DIR with CPack and checks them: together they hold exactly what
# `cmake --install` puts under /usr and /etc, the system unit's settings are root's alone and a conffile, the
# installed files name /usr, and lintian finds no error. Prints their sizes.
set -euo pipefail
build=$(realpath "$1")
work=$build/package-check/contents
rm -rf "$build/packages" "$work"
mkdir -p "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$build/packages" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
program=$(echo "$build"/packages/quillora_*.deb)
service=$(echo "$build"/packages/quillora-service_*.deb)
[[ -f $program && -f $service ]] || fail "cpack made: $(ls "$build/packages")"

DESTDIR=$work/installed cmake --install "$build" --prefix /usr >/dev/null
(cd "$work/installed" && find . ! -type d | sort) >"$work/installed.list"
for deb in "$program" "$service"; do dpkg-deb -c "$deb"; done | awk '$1 !~ /^d/ { print $6 }' | sort >"$work/packaged.list"
diff -u "$work/installed.list" "$work/packaged.list" || fail "the packages do not hold what cmake --install installs"

dpkg-deb -c "$service" | grep -Eq '^-rw------- root/root .* \./etc/quillora/service\.env$' \
    || fail "/etc/quillora/service.env is not root's alone: $(dpkg-deb -c "$service" | grep service.env)"
[[ $(dpkg-deb -f "$service" Package) == quillora-service && $(dpkg-deb -I "$service" conffiles) == /etc/quillora/service.env ]] \
    || fail "/etc/quillora/service.env is not a conffile"
contents() { dpkg-deb --fsys-tarfile "$1" | tar -xOf - "$2"; }
for unit in system user; do
    contents "$service" ./usr/lib/systemd/$unit/quillora-service.service | grep -qx 'ExecStart=/usr/bin/quillora-service $QUILLORA_SERVICE_ARGS' \
        || fail "the $unit unit does not start /usr/bin/quillora-service"
done
contents "$program" ./usr/share/dbus-1/services/org.quillora.Quillora.service | grep -qx 'Exec=/usr/bin/quillora' \
    || fail "the D-Bus activation file does not start /usr/bin/quillora"

lintian --fail-on error --no-tag-display-limit "$program" "$service" || fail "lintian"

for deb in "$program" "$service"; do
    printf '%s: %s bytes, installed %s KiB, depends on %s\n' "$(basename "$deb")" "$(stat -c %s "$deb")" \
        "$(dpkg-deb -f "$deb" Installed-Size)" "$(dpkg-deb -f "$deb" Depends)"
done
