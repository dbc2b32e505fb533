# Shared by build.sh and check.sh, which define die before sourcing it.
# shellcheck shell=bash disable=SC2034  # the callers read what this sets

windows_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$windows_scripts/../.." && pwd)
# Outside the repository: the Windows Qt takes half an hour to build and
# serves every checkout; the checks keep their Wine prefix there too.
cache=${TUNARIS_WINDOWS_CACHE:-$HOME/.cache/tunaris-windows}
build=$repo/build-windows

# need_packages PACKAGE...: installs those of the Debian packages that are
# not installed yet, which takes root; without root, says what to install.
need_packages() {
    local package missing=()
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    [ "$(id -u)" -eq 0 ] || die "missing Debian packages; as root run: apt-get install ${missing[*]}"
    echo "Installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || die "installing ${missing[*]} failed"
}
