#!/bin/sh
# The installed console, as a user starts it from the desktop menu: installs
# the build into a fresh prefix and checks it as e2e_common.sh's
# check_installed_tree does.
#
#   e2e_install.sh <build dir>
set -eu
build=${1:?build directory}
# shellcheck source=e2e_common.sh
. "$(dirname "$0")/e2e_common.sh"

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || fail "cmake --install: $(cat "$work/install.log")"
check_installed_tree "$prefix"
echo "installed console: icon, French and user settings as expected"
