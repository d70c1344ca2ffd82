#!/bin/sh
# Prepare everything the real-kernel test tier needs, idempotently:
#   - host tools: qemu-system-x86_64, cpio (installed with apt-get when missing)
#   - Debian's stock amd64 kernel and busybox-static, unpacked into CACHE_DIR
# Usage: prepare.sh CACHE_DIR
# When CACHE_DIR/ready exists and names an unpacked kernel, nothing is fetched.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 CACHE_DIR" >&2
    exit 2
fi
cache=$1
mkdir -p "$cache"
cache=$(cd "$cache" && pwd)

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# The host tools, from Debian's archive when missing.
"$(dirname "$0")/../../tools/install-deps" qemu-system-x86 cpio xz-utils >&2

ready="$cache/ready"
if [ -f "$ready" ]; then
    kver=$(cat "$ready")
    if [ -f "$cache/kernel/boot/vmlinuz-$kver" ] && [ -d "$cache/kernel/lib/modules/$kver" ] \
        && [ -x "$cache/busybox/bin/busybox" ]; then
        exit 0
    fi
fi

# Find the concrete kernel package that the linux-image-amd64 metapackage pulls in.
resolve_kernel() {
    apt-cache depends linux-image-amd64 2>/dev/null \
        | sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-amd64\)$/\1/p' | head -n 1
}
kpkg=$(resolve_kernel || true)
if [ -z "$kpkg" ]; then
    as_root apt-get -o DPkg::Lock::Timeout=600 update -qq
    kpkg=$(resolve_kernel || true)
fi
if [ -z "$kpkg" ]; then
    echo "prepare: cannot find the kernel package behind linux-image-amd64" >&2
    exit 1
fi
kver=${kpkg#linux-image-}

mkdir -p "$cache/debs"
# As root, apt would hand the download to its _apt user, which may not be able
# to write into the cache; download as the caller instead.
dl_opts=""
[ "$(id -u)" -eq 0 ] && dl_opts="-o APT::Sandbox::User=root"
cached_deb() { # package -> its .deb in the cache, if there is one
    for f in "$cache/debs/$1"_*.deb; do
        [ -f "$f" ] && { echo "$f"; return 0; }
    done
    return 1
}
fetch() { # package -> path of its .deb in the cache
    pkg=$1
    deb=$(cached_deb "$pkg" || true)
    if [ -z "$deb" ]; then
        echo "prepare: downloading $pkg" >&2
        # shellcheck disable=SC2086
        (cd "$cache/debs" && apt-get download -q $dl_opts "$pkg" >&2) || {
            as_root apt-get -o DPkg::Lock::Timeout=600 update -qq
            # shellcheck disable=SC2086
            (cd "$cache/debs" && apt-get download -q $dl_opts "$pkg" >&2)
        }
        deb=$(cached_deb "$pkg")
    fi
    echo "$deb"
}

kdeb=$(fetch "$kpkg")
bdeb=$(fetch busybox-static)

rm -rf "$cache/kernel.tmp" "$cache/busybox.tmp"
dpkg-deb -x "$kdeb" "$cache/kernel.tmp"
dpkg-deb -x "$bdeb" "$cache/busybox.tmp"
rm -rf "$cache/kernel" "$cache/busybox"
mv "$cache/kernel.tmp" "$cache/kernel"
mv "$cache/busybox.tmp" "$cache/busybox"

if [ ! -f "$cache/kernel/boot/vmlinuz-$kver" ]; then
    echo "prepare: $kdeb has no boot/vmlinuz-$kver" >&2
    exit 1
fi
echo "$kver" > "$ready"
echo "prepare: kernel $kver and busybox ready in $cache" >&2
