#!/bin/sh
# An upgrade script as a device might run it: write the kernel, then the root file
# system, then check both against the release's CRC files. A release that carries a new
# journalling file system (RELEASE/jffs.img) rewrites it last; the device's configuration,
# which lives in that file system, is saved in the boot area first, and the device's next
# boot (restore-config.sh) puts it back.
#   upgrade.sh RELEASE     (RELEASE/kernel.img, rootfs.img, kernel.crc, rootfs.crc,
#                           and perhaps jffs.img)
#   UPGRADE_CONFIG         the configuration file (default /etc/config/device.conf)
# Try it off the device, with a power cut after every flash operation:
#   flashsim campaign --image flash.img --check "examples/check-boot.sh old new" \
#       -- examples/upgrade.sh new
set -e
release=$1
conf=${UPGRADE_CONFIG:-/etc/config/device.conf}
flashtool writebootp "$release/kernel.img"
flashtool writecramfs "$release/rootfs.img"
flashtool checkkernel "$release/kernel.crc" "$release/kernel.img"
flashtool checkcramfs "$release/rootfs.crc" "$release/rootfs.img"
if [ -f "$release/jffs.img" ]; then
    # The record is checked before the file system that holds the original is touched.
    flashtool writetempconf "$conf"
    flashtool checktempconf
    # The new file system holds no configuration: from here on the record is the only
    # copy. (Off the device, where a --state folder stands for that file system, this is
    # what makes the rewrite visible to the check.)
    rm -f "$conf"
    flashtool writejffs "$release/jffs.img"
fi
