#!/bin/sh
# An upgrade script as a device might run it: write the kernel, then the root file
# system, then check both against the release's CRC files.
#   upgrade.sh RELEASE     (RELEASE/kernel.img, rootfs.img, kernel.crc, rootfs.crc)
# Try it off the device, with a power cut after every flash operation:
#   flashsim campaign --image flash.img --check "examples/check-boot.sh old new" \
#       -- examples/upgrade.sh new
set -e
release=$1
flashtool writebootp "$release/kernel.img"
flashtool writecramfs "$release/rootfs.img"
flashtool checkkernel "$release/kernel.crc" "$release/kernel.img"
flashtool checkcramfs "$release/rootfs.crc" "$release/rootfs.img"
