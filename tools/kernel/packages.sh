# Shared by the kernel-tier scripts: package names and library copying.

# The Debian kernel image package for an architecture of the tier, resolved
# through the meta package so that it follows the distribution's updates.
kernel_package() {
    local meta
    case $1 in
    x86_64) meta=linux-image-amd64 ;;
    arm) meta=linux-image-armmp:armhf ;;
    *) return 1 ;;
    esac
    local dep
    dep=$(apt-cache depends "$meta" 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n1)
    if [ -z "$dep" ]; then
        echo "kernel_package: cannot resolve $meta (apt-get update, dpkg --add-architecture armhf?)" >&2
        return 1
    fi
    case $1 in
    arm) echo "${dep%%:*}:armhf" ;;
    *) echo "$dep" ;;
    esac
}

# copy_libraries ROOT BINARY...: the host libraries the dynamic BINARYs load,
# at the same paths under ROOT.
copy_libraries() {
    local root=$1 lib bin
    shift
    for lib in $(for bin in "$@"; do ldd "$bin"; done 2>/dev/null | grep -o '/[^ ]*' | sort -u); do
        [ -e "$root$lib" ] && continue
        mkdir -p "$root$(dirname "$lib")"
        cp -L "$lib" "$root$lib"
    done
}
