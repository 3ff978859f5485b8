#!/usr/bin/env bash
# Installs the packages that check-packages.sh made in BUILD_DIR/packages into a minimal Debian 12 root with apt
# (which brings their dependencies), runs both programs there, installs the service's package again over changed
# settings (kept), purges both and checks that nothing of them is left. The root is made from Debian's mirror
# once a week and kept in the tests' cache (beside the KDE test desktop's packages) as package-check/bookworm.tar,
# with the packages downloaded into it, so that fresh clones share them.
set -euo pipefail
build=$(realpath "$1")
cache=${QUILLORA_TEST_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quillora-test}/package-check
mirror=http://deb.debian.org/debian
start=$SECONDS
skip() { echo "The package install check did not run: $*."; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

((EUID == 0)) || skip "it needs root for its chroot"
# Its mounts in a mount namespace of its own, gone with it however it ends.
if [[ -z ${QUILLORA_PACKAGE_CHECK_NAMESPACE:-} ]]; then
    QUILLORA_PACKAGE_CHECK_NAMESPACE=1 exec unshare --mount --propagation private "$0" "$@"
fi
command -v mmdebstrap >/dev/null || skip "mmdebstrap is not installed"
timeout 10 bash -c 'exec 3<>/dev/tcp/deb.debian.org/80' 2>/dev/null || skip "deb.debian.org cannot be reached"
shopt -s nullglob
debs=("$build"/packages/quillora_*.deb "$build"/packages/quillora-service_*.deb)
[[ ${#debs[@]} == 2 && ${debs[0]} != *quillora-service* ]] || fail "$build/packages holds not one of each package: ${debs[*]}"

mkdir -p "$cache/archives/partial"
base=$cache/bookworm.tar
if [[ ! -s $base || -n $(find "$base" -mtime +7) ]]; then
    # (mmdebstrap tells the output's format by its name)
    mmdebstrap --quiet --variant=apt bookworm "$cache/new.tar" "$mirror" && mv "$cache/new.tar" "$base"
fi

mkdir -p "$build/package-check"
root=$(mktemp -d "$build/package-check/root.XXXXXX")
cleanup() {
    umount "$root/var/cache/apt/archives" "$root/proc" "$root" 2>/dev/null || true
    rmdir "$root" 2>/dev/null || true
}
trap cleanup EXIT
# In memory (about 600 MB at most): dpkg's many syncs and the removal afterwards cost nothing there.
mount -t tmpfs -o size=2g,mode=0755 quillora-package-check "$root"
tar -C "$root" -xf "$base"
mount -t proc proc "$root/proc"
mount --bind "$cache/archives" "$root/var/cache/apt/archives"
cp "${debs[@]}" "$root/tmp/"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }

in_root apt-get update -qq
in_root apt-get install -y -qq --no-install-recommends -o Dpkg::Use-Pty=0 \
    /tmp/"$(basename "${debs[0]}")" /tmp/"$(basename "${debs[1]}")" >"$build/package-check/install.log" 2>&1 \
    || { cat "$build/package-check/install.log"; fail "apt-get install"; }
[[ $(in_root quillora --version) == "quillora "* ]] || fail "quillora --version"
[[ $(in_root quillora-service --help) == *--upstream-url* ]] || fail "quillora-service --help"
[[ $(stat -c %a:%U "$root/etc/quillora/service.env") == 600:root ]] || fail "/etc/quillora/service.env is not root's alone"

# Settings changed by the administrator stay when the package is installed again; removing the package disables
# the system unit enabled meanwhile and keeps the settings.
echo 'QUILLORA_SERVICE_ARGS=--model kept' >>"$root/etc/quillora/service.env"
in_root dpkg -i /tmp/"$(basename "${debs[1]}")" >/dev/null
grep -q 'model kept' "$root/etc/quillora/service.env" || fail "reinstalling replaced /etc/quillora/service.env"
enabled=$root/etc/systemd/system/multi-user.target.wants/quillora-service.service
in_root env DPKG_MAINTSCRIPT_PACKAGE=quillora-service deb-systemd-helper enable quillora-service.service
[[ -L $enabled ]] || fail "the system unit could not be enabled"
in_root dpkg -r quillora-service >/dev/null
[[ ! -e $enabled && ! -L $enabled ]] || fail "removing the package left the system unit enabled"
grep -q 'model kept' "$root/etc/quillora/service.env" || fail "removing the package deleted /etc/quillora/service.env"
in_root dpkg -i /tmp/"$(basename "${debs[1]}")" >/dev/null

# shellcheck disable=SC2016 # dpkg-query's fields
in_root dpkg-query -W -f='${Package} ${Version}: installed ${Installed-Size} KiB\n' quillora quillora-service
in_root dpkg -L quillora quillora-service | grep -Ev '^(/\.)?$' | sort -u >"$build/package-check/files.list"
in_root apt-get purge -y -qq -o Dpkg::Use-Pty=0 quillora quillora-service >/dev/null 2>&1 \
    || fail "apt-get purge"
if in_root dpkg-query -W quillora quillora-service 2>/dev/null; then fail "dpkg still knows the packages"; fi
while read -r path; do
    # A folder may stay only as another package's.
    if [[ -L $root$path || -e $root$path ]] && ! { [[ -d $root$path ]] && in_root dpkg -S "$path" >/dev/null 2>&1; }; then
        fail "left after the purge: $path"
    fi
done <"$build/package-check/files.list"
[[ ! -e $root/etc/quillora ]] || fail "/etc/quillora is left after the purge"
in_root apt-get autoclean -qq >/dev/null # the cache keeps only what the mirror still has
echo "Installed, ran and purged both packages in $((SECONDS - start)) s."
