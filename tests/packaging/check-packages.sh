#!/usr/bin/env bash
# Makes the Debian packages of the build in BUILD_DIR with CPack and checks them: together they hold exactly what
# `cmake --install` puts under /usr and /etc, the system unit's settings are root's alone and a conffile, the
# installed files name /usr, and lintian finds no error. Prints their sizes.
set -euo pipefail
start=$SECONDS
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
for deb in "$program" "$service"; do dpkg-deb -c "$deb"; done >"$work/packaged.contents"
awk '$1 !~ /^d/ { print $6 }' "$work/packaged.contents" | sort >"$work/packaged.list"
diff -u "$work/installed.list" "$work/packaged.list" || fail "the packages do not hold what cmake --install installs"

grep -Eq '^-rw------- root/root .* \./etc/quillora/service\.env$' "$work/packaged.contents" \
    || fail "/etc/quillora/service.env is not root's alone: $(grep service.env "$work/packaged.contents")"
[[ $(dpkg-deb -f "$service" Package) == quillora-service && $(dpkg-deb -I "$service" conffiles) == /etc/quillora/service.env ]] \
    || fail "/etc/quillora/service.env is not a conffile"
dpkg-deb -x "$program" "$work/unpacked"
dpkg-deb -x "$service" "$work/unpacked"
for unit in system user; do
    # shellcheck disable=SC2016 # the unit's own variable
    grep -qx 'ExecStart=/usr/bin/quillora-service $QUILLORA_SERVICE_ARGS' \
        "$work/unpacked/usr/lib/systemd/$unit/quillora-service.service" || fail "the $unit unit does not start /usr/bin/quillora-service"
done
grep -qx 'Exec=/usr/bin/quillora' "$work/unpacked/usr/share/dbus-1/services/org.quillora.Quillora.service" \
    || fail "the D-Bus activation file does not start /usr/bin/quillora"

lintian --fail-on error --tag-display-limit 0 "$program" "$service" || fail "lintian"

for deb in "$program" "$service"; do
    printf '%s: %s bytes, installed %s KiB\n' "$(basename "$deb")" "$(stat -c %s "$deb")" \
        "$(dpkg-deb -f "$deb" Installed-Size)"
done
echo "Made and checked both packages in $((SECONDS - start)) s."
