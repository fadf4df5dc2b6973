# Sourced by the ARM scripts: a private apt configuration for Debian's
# armhf packages of one release in WORK, so that packages are fetched
# without installing anything here (and armhf packages installed here
# do not count). Sets ARMHF_APT, the options for apt-get and apt-cache.
# Usage: armhf_apt WORK SUITE
armhf_apt() {
    local work="$1" suite="$2"
    mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/debs" "$work/root"
    echo "deb [arch=armhf signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
        "http://deb.debian.org/debian $suite main" >"$work/sources.list"
    ARMHF_APT=(-q -o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache" -o Dir::State::status=/dev/null
        -o APT::Sandbox::User=root -o APT::Architecture=armhf -o APT::Architectures::=armhf)
    apt-get "${ARMHF_APT[@]}" update >/dev/null
}
