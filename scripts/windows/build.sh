#!/bin/bash
# Cross-builds the console, its command-line tools and the tests that can run
# on Windows for 64-bit Windows (MinGW-w64), with MQTT (TLS included) and the
# web remote, and packs what an operator needs twice: as the setup program
# build-windows/tunaris-console-<version>-setup.exe (made with NSIS from
# packaging/windows/tunaris-console.nsi) and as the portable
# build-windows/tunaris-console-<version>-win64.zip.
#
# Debian ships no Qt for Windows, nor the libraries of the fleet and the web
# remote, so the first run builds them from the upstream sources in
# shared/third-party/ (checksums verified) into a cache outside the
# repository: ${TUNARIS_WINDOWS_CACHE:-$HOME/.cache/tunaris-windows}. Qt 6.4.2
# (qtbase, qtserialport) takes about half an hour on two cores; OpenSSL,
# libmosquitto, Qt WebSockets, Qt HTTP Server and libqrencode a few minutes
# more. Each sits in a folder of its own there and is rebuilt only when its
# own sources or recipe change, or those of a library it is built on; later
# runs only rebuild the project. docs/windows.md says more.
#
# Run as root on Debian 12 (it installs the packages it needs), from anywhere:
#     scripts/windows/build.sh
# Environment:
#     TUNARIS_WINDOWS_CACHE  where the Windows Qt and libraries are built and kept
#     TUNARIS_THIRD_PARTY    the folder with the source tarballs and SHA256SUMS
#                            (default: shared/third-party beside the repository)
#     TUNARIS_JOBS           parallel build jobs (default: the number of cores)
set -euo pipefail

die() { echo "build.sh: $*" >&2; exit 1; }

# shellcheck source=common.sh
. "$(dirname "$0")/common.sh"
jobs=${TUNARIS_JOBS:-$(nproc)}
qt_version=6.4.2
qt_prefix=$cache/qt-$qt_version-mingw64
triplet=x86_64-w64-mingw32
openssl_version=3.0.22
mosquitto_version=2.0.20
qrencode_version=4.1.1
openssl_prefix=$cache/openssl-$openssl_version-mingw64
mosquitto_prefix=$cache/mosquitto-$mosquitto_version-mingw64
websockets_prefix=$cache/qtwebsockets-$qt_version-mingw64
httpserver_prefix=$cache/qthttpserver-$qt_version-mingw64
qrencode_prefix=$cache/qrencode-$qrencode_version-mingw64
library_prefixes=("$openssl_prefix" "$mosquitto_prefix" "$websockets_prefix" "$httpserver_prefix" "$qrencode_prefix")
# OpenSSL reads its configuration (openssl.cnf) and trusts the certificates
# it finds in a folder compiled into libcrypto. Windows reads a Unix path as
# one on the current drive (/usr/local/ssl as C:\usr\local\ssl), a folder any
# user may create and fill; under Program Files only administrators can.
openssl_dir='C:/Program Files/Tunaris/Serial Console/ssl'

case "${1:-}" in
    -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    "") ;;
    *) die "unknown argument '$1' (see --help)" ;;
esac

case "$cache" in
    /*) ;;
    *) die "TUNARIS_WINDOWS_CACHE must be an absolute path, not '$cache'" ;;
esac
case "$cache/" in
    "$repo"/*) die "the cache ($cache) must lie outside the repository" ;;
esac

# --- Packages ---------------------------------------------------------------
# Debian's own Qt 6.4.2 supplies the host tools (moc, rcc, uic, lrelease) that
# the Windows Qt and the project are built with; same version on both sides.
packages=(cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
          xz-utils bzip2 zip python3 nsis make perl pkg-config
          qt6-base-dev qt6-base-dev-tools qt6-serialport-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools)
need_packages "${packages[@]}"
# MinGW's default g++ uses win32 threads, without std::thread; Qt needs posix.
for tool in $triplet-gcc-posix $triplet-g++-posix $triplet-windres $triplet-objdump makensis; do
    command -v "$tool" >/dev/null || die "$tool not found after installing ${packages[*]}"
done

# --- Sources ----------------------------------------------------------------
# shared/ lies beside the repository's main checkout; a worktree sits deeper,
# so look upwards for the first shared/third-party.
find_third_party() {
    local dir=$repo
    while [ "$dir" != / ]; do
        dir=$(dirname "$dir")
        if [ -f "$dir/shared/third-party/SHA256SUMS" ]; then
            echo "$dir/shared/third-party"
            return
        fi
    done
}
third_party=${TUNARIS_THIRD_PARTY:-$(find_third_party)}
qtbase_tarball=$third_party/qt6-base_$qt_version+dfsg.orig.tar.xz
serialport_tarball=$third_party/qtserialport-$qt_version.tar.xz
openssl_tarball=$third_party/openssl_$openssl_version.orig.tar.gz
mosquitto_tarball=$third_party/mosquitto-$mosquitto_version.tar.xz
websockets_tarball=$third_party/qtwebsockets-$qt_version.tar.xz
httpserver_tarball=$third_party/qthttpserver-$qt_version.tar.xz
qrencode_tarball=$third_party/qrencode_$qrencode_version.orig.tar.bz2

# The cache is emptied in parts when Qt is rebuilt: only ever in a folder
# that this script made its own.
marker=$cache/.tunaris-windows-cache
if [ ! -f "$marker" ]; then
    if [ -d "$cache" ] && [ -n "$(ls -A "$cache")" ]; then
        die "$cache is not empty and was not made by this script; choose another TUNARIS_WINDOWS_CACHE"
    fi
    mkdir -p "$cache" || die "cannot create $cache"
    echo "Windows build cache of Tunaris - Serial Console (scripts/windows/build.sh)" >"$marker"
fi
# Two checkouts sharing one cache must not build into it at the same time.
exec 9>"$cache/.lock"
flock -n 9 || { echo "Waiting for another build using $cache"; flock 9; }

# source_sums TARBALL...: the lines of SHA256SUMS for those tarballs, so that
# a cache entry depends on its own sources and not on every library's.
source_sums() {
    local tarball
    for tarball in "$@"; do
        grep -E "^[0-9a-f]{64}  \*?$(basename "$tarball" | sed 's/[].[*^$+]/\\&/g')\$" "$third_party/SHA256SUMS" \
            || die "$third_party/SHA256SUMS has no checksum for $(basename "$tarball")"
    done
}

# check_sources TARBALL...: dies unless each tarball is there and matches
# its line of SHA256SUMS.
check_sources() {
    [ -n "$third_party" ] && [ -f "$third_party/SHA256SUMS" ] \
        || die "no shared/third-party/SHA256SUMS beside the repository; set TUNARIS_THIRD_PARTY to the folder with the tarballs"
    local tarball
    for tarball in "$@"; do
        [ -f "$tarball" ] || die "missing $tarball"
    done
    echo "Checking $(for tarball in "$@"; do basename "$tarball"; done | tr '\n' ' ')in $third_party"
    (cd "$third_party" && source_sums "$@" | sha256sum --quiet -c -) \
        || die "checksums in $third_party/SHA256SUMS do not match; the sources are damaged or not the expected ones"
}

# write_toolchain FILE [ROOT...]: a CMake toolchain file for MinGW-w64 that
# looks for libraries and headers in MinGW's own folder and the ROOTs only.
write_toolchain() {
    local file=$1
    shift
    cat > "$file" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $triplet-gcc-posix)
set(CMAKE_CXX_COMPILER $triplet-g++-posix)
set(CMAKE_RC_COMPILER $triplet-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$triplet${*:+ }$*)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
}

# keep_licences PREFIX NAME FILE...: a library's licence files, shipped
# beside the programs from PREFIX/share/licences/NAME.
keep_licences() {
    local prefix=$1 name=$2
    shift 2
    mkdir -p "$prefix/share/licences/$name"
    cp "$@" "$prefix/share/licences/$name/"
}

# --- Qt ---------------------------------------------------------------------
# What the cached Qt was built from and how; a change rebuilds it.
toolchain=$cache/mingw-w64-toolchain.cmake
stamp=$qt_prefix/.tunaris-qt-built
qt_recipe=
if [ -n "$third_party" ] && [ -f "$third_party/SHA256SUMS" ]; then
    qt_recipe="qt $qt_version; recipe 1; $(source_sums "$qtbase_tarball" "$serialport_tarball" | sha256sum | cut -d' ' -f1)"
fi

# install_qt_module WORK MODULE: builds the module configured in
# WORK/build-MODULE and installs it into the Windows Qt, logging to WORK/MODULE.log.
install_qt_module() {
    local log=$1/$2.log
    cmake --build "$1/build-$2" --parallel "$jobs" >>"$log" 2>&1 || die "building $2 failed; see $log"
    cmake --install "$1/build-$2" >>"$log" 2>&1 || die "installing $2 failed; see $log"
}

# qt_licences WORK: the licences of qtbase and qtserialport (one set, their
# LICENSES/), from qtbase unpacked in WORK or unpacked there for them.
qt_licences() {
    local work=$1
    [ -d "$work/qtbase-everywhere-src-$qt_version/LICENSES" ] \
        || tar -xJf "$qtbase_tarball" -C "$work" --wildcards "qtbase-everywhere-src-$qt_version/LICENSES/*"
    keep_licences "$qt_prefix" Qt "$work/qtbase-everywhere-src-$qt_version"/LICENSES/*.txt
}

build_qt() {
    [ -n "$qt_recipe" ] \
        || die "no shared/third-party/SHA256SUMS beside the repository; set TUNARIS_THIRD_PARTY to the folder with the Qt tarballs"
    check_sources "$qtbase_tarball" "$serialport_tarball"

    local work=$cache/work
    rm -rf "$qt_prefix" "$work"
    mkdir -p "$work"

    # Kept in the cache, not the repository: Qt's own toolchain file refers to
    # it by absolute path for as long as the cached Qt is used.
    write_toolchain "$toolchain"

    echo "Unpacking Qt $qt_version into $work"
    tar -xJf "$qtbase_tarball" -C "$work"
    tar -xJf "$serialport_tarball" -C "$work"

    # The host tools come from Debian's Qt of the same version. The +dfsg
    # sources lack the tablet headers, so tablet events stay off; the modules
    # the console does not link are left out to save build time.
    echo "Configuring qtbase (log: $work/qtbase.log)"
    cmake -S "$work/qtbase-everywhere-src-$qt_version" -B "$work/build-qtbase" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_INSTALL_PREFIX="$qt_prefix" \
        -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_SHARED_LIBS=ON \
        -DQT_HOST_PATH=/usr \
        -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
        -DFEATURE_tabletevent=OFF \
        -DFEATURE_sql=OFF -DFEATURE_printsupport=OFF -DFEATURE_dbus=OFF \
        >"$work/qtbase.log" 2>&1 || die "configuring qtbase failed; see $work/qtbase.log"
    echo "Building qtbase ($jobs jobs; about 30 minutes on two cores)"
    install_qt_module "$work" qtbase

    echo "Building qtserialport (log: $work/qtserialport.log)"
    "$qt_prefix/bin/qt-cmake" -S "$work/qtserialport-$qt_version" -B "$work/build-qtserialport" -G Ninja \
        -DCMAKE_BUILD_TYPE=Release >"$work/qtserialport.log" 2>&1 \
        || die "configuring qtserialport failed; see $work/qtserialport.log"
    install_qt_module "$work" qtserialport

    qt_licences "$work"
    echo "$qt_recipe" > "$stamp"
    rm -rf "$work"
}

# Without the sources at hand, a Qt built before is used as it is.
if [ -f "$stamp" ] && { [ -z "$qt_recipe" ] || [ "$(cat "$stamp")" = "$qt_recipe" ]; }; then
    echo "Using the Windows Qt in $qt_prefix"
    if [ ! -d "$qt_prefix/share/licences/Qt" ]; then # built before its licences were kept
        rm -rf "$cache/work-qt-licences"
        mkdir -p "$cache/work-qt-licences"
        qt_licences "$cache/work-qt-licences"
        rm -rf "$cache/work-qt-licences"
    fi
else
    qt_started=$(date +%s)
    build_qt
    echo "Qt for Windows built in $(( ($(date +%s) - qt_started) / 60 )) min into $qt_prefix"
fi

# --- The libraries of the fleet and the web remote --------------------------
# Each is installed into a folder of its own in the cache and stamped with
# what it was built from: its version, its recipe's number (raise it when
# changing its steps below), its own sources' checksum and the stamps of the
# libraries it is built on. A stamp that differs rebuilds that library, and
# then those built on it; never Qt.

# library_recipe NAME VERSION NUMBER TARBALL [STAMP...]: the stamp of a
# library, the STAMPs being those of the libraries it is built on.
library_recipe() {
    local name=$1 version=$2 number=$3 tarball=$4 built_on sums=none
    shift 4
    if [ -f "$third_party/SHA256SUMS" ]; then
        sums=$(source_sums "$tarball" | sha256sum | cut -d' ' -f1)
    fi
    printf '%s %s; recipe %s; %s' "$name" "$version" "$number" "$sums"
    for built_on in "$@"; do
        printf '; on %s' "$(sha256sum <"$built_on" | cut -c1-16)"
    done
    echo
}

# cached_library NAME PREFIX RECIPE TARBALL BUILDER: runs BUILDER WORK PREFIX,
# which unpacks TARBALL into the empty folder WORK and installs into PREFIX,
# unless PREFIX holds the stamp RECIPE already.
cached_library() {
    local name=$1 prefix=$2 recipe=$3 tarball=$4 builder=$5
    local stamp=$prefix/.tunaris-built
    # Without the sources at hand, a library built before is used as it is.
    if [ -f "$stamp" ] && { [ ! -f "$tarball" ] || [ "$(cat "$stamp")" = "$recipe" ]; }; then
        echo "Using $name in $prefix"
        return
    fi
    check_sources "$tarball"
    local work=$cache/work-$name started
    started=$(date +%s)
    rm -rf "$prefix" "$work"
    mkdir -p "$work"
    echo "Building $name (log: $work/build.log)"
    # Started on its own, not in a test: the builder stops at its first failure.
    ("$builder" "$work" "$prefix") >"$work/build.log" 2>&1 &
    wait $! || die "building $name failed; see $work/build.log"
    echo "$recipe" > "$stamp"
    rm -rf "$work"
    echo "$name built in $(( $(date +%s) - started )) s into $prefix"
}

build_openssl() {
    local work=$1 prefix=$2
    tar -xzf "$openssl_tarball" -C "$work"
    cd "$work/openssl-$openssl_version"
    # Shared, and without loadable modules: nothing is loaded from a folder
    # at run time. Its compiled-in folders (see openssl_dir above) are given
    # to make, since Configure takes a Windows path for a relative one and
    # puts the prefix before it; installing needs none of them.
    ./Configure mingw64 --cross-compile-prefix="$triplet-" CC=gcc-posix CXX=g++-posix \
        --prefix="$prefix" --libdir=lib shared no-tests no-module
    make -j"$jobs" OPENSSLDIR="$openssl_dir" ENGINESDIR="$openssl_dir/engines-3" MODULESDIR="$openssl_dir/ossl-modules"
    make install_sw
    grep -aqF "OPENSSLDIR: \"$openssl_dir\"" "$prefix/bin/libcrypto-3-x64.dll"
    keep_licences "$prefix" OpenSSL LICENSE.txt
}

build_mosquitto() {
    local work=$1 prefix=$2 source=$1/mosquitto-$mosquitto_version
    tar -xJf "$mosquitto_tarball" -C "$work"
    write_toolchain "$work/toolchain.cmake" "$openssl_prefix"
    # Threading on Windows asks for Pthreads4W; MinGW's winpthreads has the
    # same calls, the few that libmosquitto makes.
    mkdir -p "$work/cmake"
    cat > "$work/cmake/FindPthreads4W.cmake" <<'EOF'
find_package(Threads REQUIRED)
if(NOT TARGET PThreads4W::PThreads4W)
    add_library(PThreads4W::PThreads4W INTERFACE IMPORTED)
    set_target_properties(PThreads4W::PThreads4W PROPERTIES INTERFACE_LINK_LIBRARIES Threads::Threads)
endif()
set(Pthreads4W_FOUND TRUE)
EOF
    cmake -S "$source" -B "$work/build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" -DCMAKE_MODULE_PATH="$work/cmake" \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release -DOPENSSL_ROOT_DIR="$openssl_prefix" \
        -DWITH_LIB_CPP=OFF -DWITH_CLIENTS=OFF -DWITH_BROKER=OFF -DWITH_APPS=OFF -DWITH_PLUGINS=OFF -DDOCUMENTATION=OFF \
        -DWITH_CJSON=OFF -DWITH_TLS=ON -DWITH_THREADING=ON -DWITH_SOCKS=OFF -DWITH_UNIX_SOCKETS=OFF
    cmake --build "$work/build" --parallel "$jobs"
    cmake --install "$work/build"
    [ -f "$prefix/lib/pkgconfig/libmosquitto.pc" ]
    keep_licences "$prefix" Mosquitto "$source/LICENSE.txt" "$source/epl-v20" "$source/edl-v10"
}

# build_qt_module MODULE TITLE WORK PREFIX [PREFIX OF A MODULE IT USES]:
# against the Windows Qt, installed into a prefix of its own.
build_qt_module() {
    local module=$1 title=$2 work=$3 prefix=$4 uses=${5:-}
    tar -xJf "$third_party/$module-$qt_version.tar.xz" -C "$work"
    "$qt_prefix/bin/qt-cmake" -S "$work/$module-everywhere-src-$qt_version" -B "$work/build" -G Ninja \
        -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release \
        -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DQT_ADDITIONAL_PACKAGES_PREFIX_PATH="$uses" -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF
    cmake --build "$work/build" --parallel "$jobs"
    cmake --install "$work/build"
    keep_licences "$prefix" "$title" "$work/$module-everywhere-src-$qt_version"/LICENSES/*.txt
}
build_websockets() { build_qt_module qtwebsockets "Qt WebSockets" "$1" "$2"; }
build_httpserver() {
    build_qt_module qthttpserver "Qt HTTP Server" "$1" "$2" "$websockets_prefix"
    # Without Qt WebSockets found, HTTP Server builds without it and says nothing.
    grep -q WebSockets "$2/lib/cmake/Qt6HttpServer/Qt6HttpServerDependencies.cmake"
}

build_qrencode() {
    local work=$1 prefix=$2
    tar -xjf "$qrencode_tarball" -C "$work"
    write_toolchain "$work/toolchain.cmake"
    cmake -S "$work/qrencode-$qrencode_version" -B "$work/build" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$work/toolchain.cmake" -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_SHARED_LIBS=ON -DWITH_TOOLS=OFF -DWITH_TESTS=OFF -DWITHOUT_PNG=ON
    cmake --build "$work/build" --parallel "$jobs"
    cmake --install "$work/build"
    keep_licences "$prefix" libqrencode "$work/qrencode-$qrencode_version/COPYING"
}

libraries_started=$(date +%s)
cached_library openssl "$openssl_prefix" \
    "$(library_recipe openssl "$openssl_version" 2 "$openssl_tarball")" "$openssl_tarball" build_openssl
cached_library mosquitto "$mosquitto_prefix" \
    "$(library_recipe mosquitto "$mosquitto_version" 2 "$mosquitto_tarball" "$openssl_prefix/.tunaris-built")" \
    "$mosquitto_tarball" build_mosquitto
cached_library qtwebsockets "$websockets_prefix" \
    "$(library_recipe qtwebsockets "$qt_version" 1 "$websockets_tarball" "$stamp")" \
    "$websockets_tarball" build_websockets
cached_library qthttpserver "$httpserver_prefix" \
    "$(library_recipe qthttpserver "$qt_version" 1 "$httpserver_tarball" "$stamp" "$websockets_prefix/.tunaris-built")" \
    "$httpserver_tarball" build_httpserver
cached_library qrencode "$qrencode_prefix" \
    "$(library_recipe qrencode "$qrencode_version" 1 "$qrencode_tarball")" "$qrencode_tarball" build_qrencode
echo "Libraries ready after $(( $(date +%s) - libraries_started )) s"

# --- The project ------------------------------------------------------------
# Everything the CMake tree builds for Windows: the console, every tool, the
# tests that can run there and the bare window of the start-up benchmark;
# with MQTT (libmosquitto, found through its pkg-config file) and the web
# remote, which this build must have.
project_started=$(date +%s)
echo "Building the project into $build"
# Built against other libraries, the project starts afresh: CMake's moc step
# would not see the sources that a library newly found adds to a target.
built_on=$(cat "$stamp" "${library_prefixes[@]/%//.tunaris-built}" | sha256sum | cut -d' ' -f1)
if [ -f "$build/CMakeCache.txt" ] && [ "$(cat "$build/.tunaris-built-on" 2>/dev/null)" != "$built_on" ]; then
    echo "The libraries changed since $build was configured: building it afresh"
    rm -rf "$build"
fi
mkdir -p "$build"
echo "$built_on" >"$build/.tunaris-built-on"
prefix_path=$(IFS=';'; echo "${library_prefixes[*]}")
# For the build too: a change to a CMakeLists.txt configures again.
export PKG_CONFIG_LIBDIR=$mosquitto_prefix/lib/pkgconfig
cmake -S "$repo" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$qt_prefix/lib/cmake/Qt6/qt.toolchain.cmake" \
    -DQT_ADDITIONAL_PACKAGES_PREFIX_PATH="$prefix_path" -DOPENSSL_ROOT_DIR="$openssl_prefix" \
    -DCMAKE_BUILD_TYPE=Release \
    -DTUNARIS_BENCH=ON >"$build/configure.log" 2>&1 \
    || { cat "$build/configure.log" >&2; die "configuring the project failed"; }
if grep -E "No MQTT support|No web remote" "$build/configure.log"; then
    die "the project was configured without MQTT or the web remote; see $build/configure.log"
fi
cmake --build "$build" --parallel "$jobs" || die "building the project failed"

# --- The package ------------------------------------------------------------
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || die "no project version in $build/CMakeCache.txt"
name=tunaris-console-$version-win64
stage=$build/package/$name
zip_file=$build/$name.zip
rm -rf "$build/package" "$zip_file"
mkdir -p "$stage"

# The project's own install rules lay out bin/ and the translations (which
# the console finds relative to its executable), as on Linux.
cmake --install "$build" --prefix "$stage" --strip >/dev/null || die "installing into $stage failed"
# A tool built without an install rule still belongs in the package.
while IFS= read -r tool; do
    if [ ! -e "$stage/bin/$(basename "$tool")" ]; then
        echo "note: $(basename "$tool") has no install rule; packaged all the same"
        install -m 755 "$tool" "$stage/bin/"
        $triplet-strip "$stage/bin/$(basename "$tool")"
    fi
done < <(find "$build/tools" -name '*.exe' -type f | sort)
[ -f "$stage/bin/tunaris-console.exe" ] || die "the install left no bin/tunaris-console.exe"
[ -f "$stage/share/tunaris-console/translations/LanguageData_fr.qm" ] \
    || die "the install left no share/tunaris-console/translations/LanguageData_fr.qm"

# The names Windows shows (Start menu, Apps & features, the settings folder)
# are the ones the console gives itself.
identity() { sed -n "s/.*$1(QStringLiteral(\"\([^\"]*\)\")).*/\1/p" "$repo/base/identity.cpp"; }
product=$(identity setApplicationName)
publisher=$(identity setOrganizationName)
[ -n "$product" ] && [ -n "$publisher" ] || die "no application or organization name in base/identity.cpp"

cp "$repo/packaging/windows/licence-en.txt" "$stage/LICENCE.txt"
# Each library's own licence, in the folders LICENCE.txt names.
mkdir -p "$stage/licences/MinGW-w64"
for prefix in "$qt_prefix" "${library_prefixes[@]}"; do
    [ -d "$prefix/share/licences" ] || die "no licences in $prefix/share/licences"
    cp -r "$prefix/share/licences/." "$stage/licences/"
done
cp /usr/share/doc/gcc-mingw-w64-base/copyright "$stage/licences/MinGW-w64/gcc-copyright.txt"
cp /usr/share/doc/mingw-w64-common/copyright "$stage/licences/MinGW-w64/mingw-w64-copyright.txt"

# The bridge service's settings, where the service reads them: the folder
# above bin\, which under Program Files only administrators may change.
sed 's/$/\r/' "$repo/packaging/windows/tunaris-bridge.cfg" > "$stage/tunaris-bridge.cfg"

# The console reads its window icon from "../images/ico256x256Win.ico"
# relative to the working folder, which the shortcut sets to bin/.
mkdir -p "$stage/images"
cp "$repo/images/ico256x256Win.ico" "$stage/images/"

# Plugins the programs load: the Windows platform, the native style, and the
# ICO reader for that icon file; Windows' own TLS for Qt Network, which the
# web remote's server asks for even when it serves plain HTTP.
for plugin in platforms/qwindows.dll styles/qwindowsvistastyle.dll imageformats/qico.dll tls/qschannelbackend.dll; do
    [ -f "$qt_prefix/plugins/$plugin" ] || die "the Windows Qt has no plugin $plugin"
    mkdir -p "$stage/bin/$(dirname "$plugin")"
    cp "$qt_prefix/plugins/$plugin" "$stage/bin/$plugin"
done

# The DLLs that the executables and plugins import, followed recursively,
# from the Windows Qt, the libraries and the MinGW runtime; a DLL found in
# none is one of Windows' own (KERNEL32, USER32, ...).
runtime_dirs=("$qt_prefix/bin"
              "$(dirname "$($triplet-g++-posix -print-file-name=libstdc++-6.dll)")"
              "/usr/$triplet/lib")
for prefix in "${library_prefixes[@]}"; do
    runtime_dirs+=("$prefix/bin" "$prefix/lib") # libqrencode puts its DLL into lib/
done
imports() { $triplet-objdump -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p'; }
declare -A seen=()
queue=()
while IFS= read -r binary; do queue+=("$binary"); done \
    < <(find "$stage/bin" -name '*.exe' -o -name '*.dll' | sort)
while [ ${#queue[@]} -gt 0 ]; do
    binary=${queue[0]}
    queue=("${queue[@]:1}")
    for dll in $(imports "$binary"); do
        key=${dll,,}
        [ -z "${seen[$key]:-}" ] || continue
        seen[$key]=1
        for dir in "${runtime_dirs[@]}"; do
            if [ -f "$dir/$dll" ]; then
                cp "$dir/$dll" "$stage/bin/"
                queue+=("$stage/bin/$dll")
                break
            fi
        done
    done
done
find "$stage/bin" -name '*.dll' -exec $triplet-strip --strip-unneeded {} +

tools=$(cd "$stage/bin" && ls -- *.exe | grep -v '^tunaris-console\.exe$' | sed 's/^/    bin\\/')
# "Extract All" keeps the zip's top folder: the paths below name it.
sed 's/$/\r/' > "$stage/README-Windows.txt" <<TEXT
Tunaris - Serial Console $version for 64-bit Windows

This is the portable copy, which runs from any folder without being
installed. To install the console for every user of the computer, with a
Start menu entry and an uninstaller, run tunaris-console-$version-setup.exe
instead; it can also install tunaris-bridge as a Windows service.

The zip holds one folder, $name. Extracted with
"Extract All" into C:\\Tunaris, the console is
    C:\\Tunaris\\$name\\bin\\tunaris-console.exe

Desktop shortcut: right-click bin\\tunaris-console.exe, choose
Send to > Desktop (create shortcut), and in the shortcut's Properties set
"Start in" to the bin folder that holds it, in the example above
    C:\\Tunaris\\$name\\bin
From that working folder the console finds its window icon at
..\\images\\ico256x256Win.ico; a translation file dropped into it is used
before the one that comes with the package.

Settings are kept in "Tunaris - Serial Console.cfg" beside
tunaris-console.exe when that folder is writable, else in
%LOCALAPPDATA%\\$publisher\\$product.

Command-line tools (each explains itself with --help):
$tools
For example, from a command prompt in the bin folder:
    tunaris-send --port COM3 folder 300 --seq --reset
    tunaris-monitor --port COM3
    tunaris-bridge --port COM3 --web 0.0.0.0:8080 --allow 192.168.1.0/24
The web remote's key is kept in %LOCALAPPDATA%\\tunaris-bridge\\web-key.

LICENCE.txt says whose work is in this package and under which licences;
the licences folder holds each library's own.
TEXT

(cd "$build/package" && zip -qr9 "$zip_file.partial" "$name") || die "zipping failed"
mv "$zip_file.partial" "$zip_file"

# --- The setup program ------------------------------------------------------
# The setup installs what the zip holds but its README (which is about
# unpacking) and the service's settings, which it handles itself; the
# uninstaller removes exactly those files and then the folders they leave
# empty, so that anything the user put there stays.
setup_file=$build/tunaris-console-$version-setup.exe
install_list=$build/package/install-files.nsh
removal_list=$build/package/uninstall-files.nsh
windows_path() { local path=${1#./}; [ "$path" = . ] && echo '$INSTDIR' || echo "\$INSTDIR\\${path//\//\\}"; }
: >"$install_list"
: >"$removal_list"
while IFS= read -r dir; do
    case "$dir" in *[\"\$]*) die "a packaged folder has a name NSIS cannot take: $dir" ;; esac
    echo "SetOutPath \"$(windows_path "$dir")\"" >>"$install_list"
    while IFS= read -r file; do
        case "$file" in *[\"\$]*) die "a packaged file has a name NSIS cannot take: $file" ;; esac
        case "$file" in ./README-Windows.txt|./tunaris-bridge.cfg) continue ;; esac
        echo "File \"$stage/${file#./}\"" >>"$install_list"
        echo "Delete \"$(windows_path "$file")\"" >>"$removal_list"
    done < <(cd "$stage" && find "$dir" -mindepth 1 -maxdepth 1 -type f | sort)
done < <(cd "$stage" && find . -type d | sort)
# Deepest first, and never the install folder itself: the .nsi removes that.
(cd "$stage" && find . -mindepth 1 -type d | sort -r) | while IFS= read -r dir; do
    echo "RMDir \"$(windows_path "$dir")\"" >>"$removal_list"
done
rm -f "$setup_file"
makensis -V2 -INPUTCHARSET UTF8 \
    "-DPRODUCT=$product" "-DPUBLISHER=$publisher" "-DVERSION=$version" \
    "-DSTAGE=$stage" "-DFILES=$install_list" "-DUNFILES=$removal_list" \
    "-DOUTFILE=$setup_file.partial" \
    "$repo/packaging/windows/tunaris-console.nsi" >"$build/package/makensis.log" 2>&1 \
    || { cat "$build/package/makensis.log" >&2; die "makensis failed"; }
mv "$setup_file.partial" "$setup_file"

echo "Project built and packaged in $(( $(date +%s) - project_started )) s"
echo "Package: $zip_file ($(stat -c %s "$zip_file") bytes)"
echo "Setup:   $setup_file ($(stat -c %s "$setup_file") bytes)"
