#!/bin/sh
# The device's boot-time step after an upgrade that rewrote the journalling file system:
# puts back the configuration that upgrade.sh saved in the boot area, then erases the
# record. Run at every boot: with no record it does nothing.
#   restore-config.sh [CONFIG]     (default /etc/config/device.conf)
# The order is what makes a second power loss, during this step, lose nothing: the record
# is read straight into its place (readtempconf replaces an existing file whole, through a
# synced temporary file) and erased only once that has succeeded. Cut anywhere, the next
# boot finds either the record, and starts again, or the configuration in place.
set -e
conf=${1:-/etc/config/device.conf}
flashtool checktempconf > /dev/null 2>&1 || exit 0
flashtool readtempconf "$conf" > /dev/null
sync
flashtool erasetempconf
