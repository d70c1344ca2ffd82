# Sourced by prepare-arm.sh and prepare-nor.sh (needs $cache): apt_private runs apt-get or
# apt-cache under a private package state in $cache/var, with the armhf lists of the
# machine's own sources plus the build machine's architecture (linux-kbuild runs here), so
# the machine's own package lists and dpkg architectures stay as they are.
build_arch=$(dpkg --print-architecture)
state="$cache/var/lib/apt"
apt_private() { # apt-get or apt-cache, then its arguments
    tool=$1
    shift
    "$tool" -o APT::Architecture=armhf -o APT::Architectures::=armhf \
        -o APT::Architectures::="$build_arch" -o Dir::State="$state" \
        -o Dir::State::Lists="$state/lists" -o Dir::State::status="$state/status" \
        -o Dir::Cache="$cache/var/cache/apt" -o Acquire::Languages=none \
        -o APT::Sandbox::User=root -o Debug::NoLocking=1 "$@"
}
