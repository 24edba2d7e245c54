# Shared by the install scripts (sourced, not run): package checks that name
# the architecture, and a package index update that one failed download does
# not stop.

# pkg_installed NAME[:ARCH]: true when the package is installed for ARCH, or,
# without an architecture, for this machine's own architecture (or as an
# architecture-independent package). A foreign package of the same name never
# answers for the native one: dpkg-query asked for a bare name answers with
# whichever instance it finds first, libsodium-dev:armel included.
pkg_installed() {
    local p=$1 q
    local -a qs
    case $p in
    *:*) qs=("$p") ;;
    *) qs=("$p:$(dpkg --print-architecture)" "$p:all") ;;
    esac
    for q in "${qs[@]}"; do
        dpkg-query -W -f='${Status}' "$q" 2>/dev/null | grep -q "install ok installed" && return 0
    done
    return 1
}

# missing_packages NAME...: prints, one a line, the names not installed.
missing_packages() {
    local p
    for p in "$@"; do
        pkg_installed "$p" || echo "$p"
    done
}

# apt_update: refreshes the package indexes. One index that fails to download
# (a mirror in the middle of a sync, a foreign architecture's index) is tried
# again once; after that the install goes on with what it has, and apt-get
# install itself says which package is truly missing.
apt_update() {
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && return 0
    local delay=${APT_RETRY_DELAY:-5}
    echo "apt-get update failed; trying once more in $delay s" >&2
    sleep "$delay"
    apt-get update -qq && return 0
    echo "apt-get update failed again; going on with the indexes there are" >&2
    return 0
}

# apt_install NAME...: installs the packages, without recommends. Fails with
# apt-get's own message and a line naming the step.
apt_install() {
    export DEBIAN_FRONTEND=noninteractive
    if ! apt-get install -y -qq --no-install-recommends "$@"; then
        echo "install step failed: apt-get install $*" >&2
        return 1
    fi
}
