#!/bin/sh
# Prepare the 32-bit ARM variant of the real-kernel test tier, idempotently:
#   - host tools: qemu-system-arm, the arm-linux-gnueabihf C compiler, make, xz
#     (installed with apt-get when missing)
#   - Debian's armmp kernel (the one linux-image-armmp depends on) and the armhf
#     busybox-static, unpacked into CACHE_DIR
#   - block2mtd.ko, which Debian's armmp package does not ship (its MTD core is built
#     into the kernel): built out of tree from the same version's linux-source-6.1,
#     against that kernel's own headers (linux-headers-*-armmp, -common) and the build
#     machine's linux-kbuild-6.1, so its version magic and symbol versions match
# Packages are fetched with apt-get under a private package state in CACHE_DIR/var, so the
# machine's own package lists and dpkg architectures stay as they are.
# Usage: prepare-arm.sh CACHE_DIR
# When CACHE_DIR/ready exists and names an unpacked kernel, nothing is fetched.
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 CACHE_DIR" >&2
    exit 2
fi
mkdir -p "$1"
cache=$(cd "$1" && pwd)
triplet=arm-linux-gnueabihf

# The host tools, from Debian's archive when missing.
"$(dirname "$0")/../../tools/install-deps" qemu-system-arm gcc-arm-linux-gnueabihf make xz-utils binutils >&2

ready="$cache/ready"
if [ -f "$ready" ] && [ "$(cat "$cache/arch" 2>/dev/null)" = armhf ]; then
    kver=$(cat "$ready")
    if [ -f "$cache/kernel/boot/vmlinuz-$kver" ] && [ -d "$cache/kernel/lib/modules/$kver" ] \
        && [ -x "$cache/busybox/bin/busybox" ] && [ -f "$cache/block2mtd/block2mtd.ko" ]; then
        exit 0
    fi
fi
rm -f "$ready"

# Private apt state: the armhf package lists of the machine's own sources, plus the build
# machine's architecture for linux-kbuild (it runs here).
. "$(dirname "$0")/apt-private.sh"
mkdir -p "$state/lists/partial" "$cache/var/cache/apt/archives/partial" "$cache/debs"
: > "$state/status"
# A second try rides out a passing network or mirror fault.
apt_private apt-get -qq update || { sleep 5; apt_private apt-get -qq update; }

# The concrete kernel package that the linux-image-armmp metapackage pulls in, and its
# exact version: headers, kbuild and source must be that same version.
kpkg=$(apt_private apt-cache depends linux-image-armmp:armhf 2>/dev/null \
    | sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*-armmp\)$/\1/p' | head -n 1)
if [ -z "$kpkg" ]; then
    echo "prepare-arm: cannot find the kernel package behind linux-image-armmp" >&2
    exit 1
fi
kver=${kpkg#linux-image-}
abi=${kver%-armmp}
series=$(echo "$abi" | cut -d. -f1,2)
pkgver=$(apt_private apt-cache show --no-all-versions "$kpkg:armhf" | sed -n 's/^Version: //p' | head -n 1)

cached_deb() { # file name prefix -> its .deb in the cache, if there is one
    for f in "$cache/debs/$1"_*.deb; do
        [ -f "$f" ] && { echo "$f"; return 0; }
    done
    return 1
}
fetch() { # package[:arch] [version] -> path of its .deb in the cache
    prefix=${1%:*}${2:+_$2}
    deb=$(cached_deb "$prefix" || true)
    if [ -z "$deb" ]; then
        echo "prepare-arm: downloading $1 ${2:-}" >&2
        want=$1${2:+=$2}
        (cd "$cache/debs" && { apt_private apt-get download -q "$want" >&2 ||
            { sleep 5; apt_private apt-get download -q "$want" >&2; }; })
        deb=$(cached_deb "$prefix")
    fi
    echo "$deb"
}
kdeb=$(fetch "$kpkg:armhf" "$pkgver")
hdeb=$(fetch "linux-headers-$kver:armhf" "$pkgver")
cdeb=$(fetch "linux-headers-$abi-common" "$pkgver")
bdeb=$(fetch "linux-kbuild-$series:$build_arch" "$pkgver")
bbdeb=$(fetch busybox-static:armhf)

rm -rf "$cache/kernel" "$cache/busybox" "$cache/headers" "$cache/block2mtd"
dpkg-deb -x "$kdeb" "$cache/kernel"
dpkg-deb -x "$bbdeb" "$cache/busybox"
if [ ! -f "$cache/kernel/boot/vmlinuz-$kver" ]; then
    echo "prepare-arm: $kdeb has no boot/vmlinuz-$kver" >&2
    exit 1
fi
if ! grep -q '^CONFIG_MTD=y' "$cache/kernel/boot/config-$kver"; then
    echo "prepare-arm: $kver has no built-in MTD core; block2mtd cannot load" >&2
    exit 1
fi

# block2mtd.c alone out of the source tarball (a 140 MB package: it is dropped afterwards).
mkdir -p "$cache/block2mtd"
sdeb=$(fetch "linux-source-$series" "$pkgver")
dpkg-deb --fsys-tarfile "$sdeb" | tar -xOf - "./usr/src/linux-source-$series.tar.xz" \
    | tar -xJf - -C "$cache/block2mtd" --strip-components=4 \
        "linux-source-$series/drivers/mtd/devices/block2mtd.c"
rm -f "$sdeb"
echo 'obj-m := block2mtd.o' > "$cache/block2mtd/Kbuild"

# The headers' Makefile includes the common headers by their installed path; point it at
# the unpacked copy instead.
for deb in "$hdeb" "$cdeb" "$bdeb"; do
    dpkg-deb -x "$deb" "$cache/headers"
done
hdir="$cache/headers/usr/src/linux-headers-$kver"
echo "include $cache/headers/usr/src/linux-headers-$abi-common/Makefile" > "$hdir/Makefile"
make -s -C "$hdir" M="$cache/block2mtd" ARCH=arm CROSS_COMPILE=$triplet- modules >&2
rm -rf "$cache/headers"

magic=$(strings "$cache/block2mtd/block2mtd.ko" | sed -n 's/^vermagic=//p')
case "$magic" in
    "$kver "*) ;;
    *) echo "prepare-arm: block2mtd.ko has vermagic '$magic', not $kver" >&2; exit 1 ;;
esac
echo armhf > "$cache/arch"
echo "$kver" > "$ready"
echo "prepare-arm: kernel $kver, block2mtd and busybox ready in $cache" >&2
