#!/bin/sh
# Would the device boot? It does when its kernel and root file system are a matching
# pair: both from release OLD or both from release NEW.
#   check-boot.sh OLD NEW
matches() {
    flashtool checkkernel "$1/kernel.crc" "$1/kernel.img" &&
        flashtool checkcramfs "$1/rootfs.crc" "$1/rootfs.img"
}
matches "$2" > /dev/null 2>&1 || matches "$1" > /dev/null 2>&1
