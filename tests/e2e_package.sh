#!/bin/sh
# The Debian package as a Debian 12 user gets it: made by cpack from the
# build, with its dependencies computed from the binaries, a maintainer, a
# short and a long description, each dependency named once, a copyright file
# crediting the icons, a changelog of its version and the README, and nothing
# lintian warns about. apt must resolve its dependencies on a system where
# nothing is installed yet, and the console unpacked from it must run as an
# installed one does.
#
#   e2e_package.sh <build dir>
set -eu
build=${1:?build directory}
# shellcheck source=e2e_common.sh
. "$(dirname "$0")/e2e_common.sh"

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1 \
    || fail "cpack: $(cat "$work/cpack.log")"
deb=$(find "$work/package" -maxdepth 1 -name '*.deb')
version=$(dpkg-deb -f "$deb" Version)
[ "$(basename "$deb")" = "tunaris-console_${version}_$(dpkg --print-architecture).deb" ] || fail "package file $deb"
dpkg-deb -f "$deb" Depends | grep -q 'libqt6widgets6 (>=' || fail "Depends not from the binaries: $(dpkg-deb -f "$deb" Depends)"
dpkg-deb -f "$deb" Maintainer | grep -q '<.*@.*>' || fail "no maintainer address"
[ "$(dpkg-deb -f "$deb" Description | wc -l)" -gt 3 ] || fail "no long description"
# Each dependency once, however many binaries need it.
repeated=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//' | sort | uniq -d)
[ -z "$repeated" ] || fail "named more than once in Depends: $repeated"
lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 || fail "lintian: $(cat "$work/lintian.log")"

# An empty package status stands for a fresh system: apt has to find every
# dependency in the archive.
: >"$work/status"
apt-get install --simulate -o Dir::State::status="$work/status" "$deb" >"$work/apt.log" 2>&1 \
    || fail "apt cannot install it: $(tail -n 20 "$work/apt.log")"

dpkg-deb -x "$deb" "$work/root"
doc="$work/root/usr/share/doc/tunaris-console"
grep -q '^Copyright: .*Mark James' "$doc/copyright" || fail "the copyright file does not credit the icon set"
zcat "$doc/changelog.gz" | head -n 1 | grep -q "^tunaris-console ($version) " || fail "the changelog does not start at $version"
check_installed_tree "$work/root/usr" /usr
echo "package $(basename "$deb"): control, copyright, changelog, apt and the unpacked console as expected"
