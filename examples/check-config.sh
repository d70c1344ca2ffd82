#!/bin/sh
# Did the device keep its configuration? It did when CONFIG holds exactly the bytes of
# SAVED, the configuration from before the upgrade.
#   check-config.sh CONFIG SAVED
cmp -s "$1" "$2"
