#!/bin/sh
# Prepare the NOR machine of the real-kernel test tier, idempotently, on top of an ARM
# cache made by prepare-arm.sh (which this script runs first):
#   - the kernel's CFI NOR stack for the stock armmp kernel, which has the MTD core built
#     in but no CFI chip drivers, no physmap with device-tree support, no mtdparts= parser
#     and no driver for the Zynq board's UART: built out of tree from the same version's
#     linux-source-6.1 into CACHE_DIR/nor:
#       cfi_util gen_probe cfi_probe cfi_cmdset_0002   drivers/mtd/chips
#       physmap_of    drivers/mtd/maps/physmap-core.c with CONFIG_MTD_PHYSMAP_OF on
#       cmdlinepart   drivers/mtd/parsers/cmdlinepart.c (takes mtdparts= as a parameter)
#       xilinx_uartps drivers/tty/serial/xilinx_uartps.c (the board's console)
#     cfi_cmdset_0002 gets a test-only parameter, fast_timing (off by default);
#   - zynq-nor.dtb, compiled from zynq-nor.dts with dtc;
#   - the armhf mtd-utils, coreutils and diffutils programs for the program table, in
#     CACHE_DIR/nor/mtd-utils.
# Usage: prepare-nor.sh CACHE_DIR
set -eu

if [ $# -ne 1 ]; then
    echo "usage: $0 CACHE_DIR" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
sh "$here/prepare-arm.sh" "$1"
cache=$(cd "$1" && pwd)
"$here/../../tools/install-deps" device-tree-compiler >&2
nor="$cache/nor"
kver=$(cat "$cache/ready")
modules="cfi_util gen_probe cfi_probe cfi_cmdset_0002 physmap_of cmdlinepart xilinx_uartps"
complete() {
    [ "$(cat "$nor/ready" 2>/dev/null)" = "$kver" ] || return 1
    for m in $modules; do [ -f "$nor/$m.ko" ] || return 1; done
    [ -f "$nor/zynq-nor.dtb" ] && [ -x "$nor/mtd-utils/usr/sbin/mtd_debug" ] &&
        [ -x "$nor/mtd-utils/usr/bin/cmp" ]
}
if complete; then
    # the device tree is the project's own file: keep the compiled one current
    [ "$nor/zynq-nor.dtb" -nt "$here/zynq-nor.dts" ] ||
        dtc -q -I dts -O dtb -o "$nor/zynq-nor.dtb" "$here/zynq-nor.dts"
    exit 0
fi
rm -rf "$nor"
mkdir -p "$nor/build"
abi=${kver%-armmp}
series=$(echo "$abi" | cut -d. -f1,2)
pkgver=$(dpkg-deb -f "$cache"/debs/linux-image-"$kver"_*.deb Version)

# The private package state that prepare-arm.sh set up (its lists are current).
. "$here/apt-private.sh"
download() { # package[=version] into $nor (a second try rides out a passing fault)
    (cd "$nor" && { apt_private apt-get download -q "$1" >&2 ||
        { sleep 5; apt_private apt-get download -q "$1" >&2; }; })
}

# The few source files, out of the 140 MB source package (dropped afterwards).
echo "prepare-nor: downloading linux-source-$series $pkgver" >&2
download "linux-source-$series=$pkgver"
s=linux-source-$series
dpkg-deb --fsys-tarfile "$nor"/linux-source-"$series"_*.deb | tar -xOf - "./usr/src/$s.tar.xz" \
    | tar -xJf - -C "$nor/build" --strip-components=1 \
        "$s/drivers/mtd/chips" "$s/drivers/mtd/maps" "$s/drivers/mtd/parsers/cmdlinepart.c" \
        "$s/drivers/tty/serial/xilinx_uartps.c"
rm -f "$nor"/linux-source-*.deb
b="$nor/build"
cp "$b"/drivers/mtd/chips/cfi_util.c "$b"/drivers/mtd/chips/gen_probe.c \
   "$b"/drivers/mtd/chips/cfi_probe.c "$b"/drivers/mtd/chips/cfi_cmdset_0002.c \
   "$b"/drivers/mtd/chips/fwh_lock.h \
   "$b"/drivers/mtd/maps/physmap-*.[ch] "$b"/drivers/mtd/parsers/cmdlinepart.c \
   "$b"/drivers/tty/serial/xilinx_uartps.c "$b/"
rm -rf "$b/drivers"
# The build machine's modpost knows amd64's size of struct of_device_id, not ARM's: drop
# the alias tables (used only to load modules automatically; binding uses the match table).
sed -i '/^MODULE_DEVICE_TABLE(/d' "$b/physmap-core.c" "$b/xilinx_uartps.c"
# fast_timing=1 makes the driver wait 1 us (not the chip's typical program time) after each
# program and 1 ms-ish (not the typical erase time) after each erase command before it
# starts polling the chip's status; the polling, the verify and every result are the same.
sed -i 's/^#define MAX_RETRIES 3$/&\nstatic bool fast_timing;\nmodule_param(fast_timing, bool, 0444);\nMODULE_PARM_DESC(fast_timing, "test only: minimal waits before status polling");/' \
    "$b/cfi_cmdset_0002.c"
sed -i 's/^\t\tcfi->chips\[i\].erase_time = 1<<cfi->cfiq->BlockEraseTimeoutTyp;$/&\n\t\tif (fast_timing) {\n\t\t\tcfi->chips[i].word_write_time = 1;\n\t\t\tcfi->chips[i].erase_time = 1;\n\t\t}/' \
    "$b/cfi_cmdset_0002.c"
if ! grep -q 'if (fast_timing)' "$b/cfi_cmdset_0002.c" ||
   ! grep -q 'module_param(fast_timing' "$b/cfi_cmdset_0002.c"; then
    echo "prepare-nor: the fast_timing change does not apply to this cfi_cmdset_0002.c" >&2
    exit 1
fi
cat > "$b/Kbuild" <<'KBUILD'
obj-m := cfi_util.o gen_probe.o cfi_probe.o cfi_cmdset_0002.o physmap_of.o cmdlinepart.o \
         xilinx_uartps.o
physmap_of-y := physmap-core.o
CFLAGS_physmap-core.o := -DCONFIG_MTD_PHYSMAP_OF=1
KBUILD

# Against the kernel's own headers, as prepare-arm.sh builds block2mtd.
for deb in "$cache"/debs/linux-headers-"$kver"_*.deb "$cache"/debs/linux-headers-"$abi"-common_*.deb \
           "$cache"/debs/linux-kbuild-"$series"_*.deb; do
    dpkg-deb -x "$deb" "$nor/headers"
done
hdir="$nor/headers/usr/src/linux-headers-$kver"
echo "include $nor/headers/usr/src/linux-headers-$abi-common/Makefile" > "$hdir/Makefile"
make -s -C "$hdir" M="$b" ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf- -j2 modules >&2
rm -rf "$nor/headers"
for m in $modules; do
    magic=$(strings "$b/$m.ko" | sed -n 's/^vermagic=//p')
    case "$magic" in
        "$kver "*) ;;
        *) echo "prepare-nor: $m.ko has vermagic '$magic', not $kver" >&2; exit 1 ;;
    esac
    arm-linux-gnueabihf-strip --strip-debug -o "$nor/$m.ko" "$b/$m.ko"
done
rm -rf "$b"
dtc -q -I dts -O dtb -o "$nor/zynq-nor.dtb" "$here/zynq-nor.dts"

# The peer programs of the program table for the guest, unpacked into one tree where vm.py
# finds their libraries as for any ARM program: mtd-utils, and coreutils and diffutils
# (the same versions the build machine runs under the simulator), with what cp links.
for p in mtd-utils coreutils diffutils libacl1 libattr1 libselinux1 libpcre2-8-0; do
    download "$p:armhf"
done
for deb in "$nor"/*.deb; do
    dpkg-deb -x "$deb" "$nor/mtd-utils"
done
rm -f "$nor"/*.deb
echo "$kver" > "$nor/ready"
echo "prepare-nor: CFI NOR modules, device tree and mtd-utils ready in $nor" >&2
