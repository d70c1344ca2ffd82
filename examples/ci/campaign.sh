#!/bin/sh
# One shard of the release gate: the power cut at every operation of examples/upgrade.sh
# (old release to new), torn cuts included, judged by examples/check-boot.sh.
#   campaign.sh K N     (shard K of N; writes shard-K.json and shard-K.xml)
# Every shard runs the same campaign (the same seed) on the same starting flash and tries
# every N-th cut point; `flashsim report shard-*.json` makes them one campaign again.
# Your pipeline has its own releases: here two are made up, as tools/demo does.
set -eu
k=$1 n=$2
top=$(cd "$(dirname "$0")/../.." && pwd)
for release in old new; do
    mkdir -p "$release"
    yes "$release kernel" | head -c 6000 > "$release/kernel.img"
    yes "$release root file system" | head -c 9000 > "$release/rootfs.img"
    for part in kernel rootfs; do
        python3 -c 'import sys, zlib; print("%08x" % zlib.crc32(open(sys.argv[1], "rb").read()))' \
            "$release/$part.img" > "$release/$part.crc"
    done
done
rm -f flash.img
flashsim --image flash.img -- "$top/examples/upgrade.sh" old > /dev/null
exec flashsim campaign --image flash.img --all --torn --seed 1 --shard "$k/$n" \
    --json "shard-$k.json" --junit "shard-$k.xml" --timeout 600 \
    --check "$top/examples/check-boot.sh old new" -- "$top/examples/upgrade.sh" new
