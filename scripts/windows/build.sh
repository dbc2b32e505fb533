#!/bin/bash
# Cross-builds the console, its command-line tools and the tests that can run
# on Windows for 64-bit Windows (MinGW-w64), and packs what an operator needs
# twice: as the setup program build-windows/tunaris-console-<version>-setup.exe
# (made with NSIS from packaging/windows/tunaris-console.nsi) and as the
# portable build-windows/tunaris-console-<version>-win64.zip.
#
# Debian ships no Qt for Windows, so the first run builds Qt 6.4.2 (qtbase and
# qtserialport) from the upstream sources in shared/third-party/ into a cache
# outside the repository: ${TUNARIS_WINDOWS_CACHE:-$HOME/.cache/tunaris-windows}.
# That takes about half an hour on two cores; later runs only rebuild the
# project against the cached Qt.
#
# Run as root on Debian 12 (it installs the packages it needs), from anywhere:
#     scripts/windows/build.sh
# Environment:
#     TUNARIS_WINDOWS_CACHE  where the Windows Qt is built and kept
#     TUNARIS_THIRD_PARTY    the folder with the Qt source tarballs and SHA256SUMS
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
          xz-utils zip python3 nsis
          qt6-base-dev qt6-base-dev-tools qt6-serialport-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools)
need_packages "${packages[@]}"
# MinGW's default g++ uses win32 threads, without std::thread; Qt needs posix.
for tool in $triplet-gcc-posix $triplet-g++-posix $triplet-windres $triplet-objdump makensis; do
    command -v "$tool" >/dev/null || die "$tool not found after installing ${packages[*]}"
done

# --- Qt sources -------------------------------------------------------------
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
# Two checkouts sharing one cache must not build Qt into it at the same time.
exec 9>"$cache/.lock"
flock -n 9 || { echo "Waiting for another build using $cache"; flock 9; }

# What the cached Qt was built from and how; a change rebuilds it.
toolchain=$cache/mingw-w64-toolchain.cmake
stamp=$qt_prefix/.tunaris-qt-built
# source_sums TARBALL...: the lines of SHA256SUMS for those tarballs, so that
# a cache entry depends on its own sources and not on every library's.
source_sums() {
    local tarball
    for tarball in "$@"; do
        grep -E "^[0-9a-f]{64}  \*?$(basename "$tarball" | sed 's/[].[*^$+]/\\&/g')\$" "$third_party/SHA256SUMS" \
            || die "$third_party/SHA256SUMS has no checksum for $(basename "$tarball")"
    done
}
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

build_qt() {
    [ -n "$qt_recipe" ] \
        || die "no shared/third-party/SHA256SUMS beside the repository; set TUNARIS_THIRD_PARTY to the folder with the Qt tarballs"
    for tarball in "$qtbase_tarball" "$serialport_tarball"; do
        [ -f "$tarball" ] || die "missing $tarball"
    done
    echo "Checking the Qt sources in $third_party"
    (cd "$third_party" && sha256sum --quiet -c SHA256SUMS) \
        || die "checksums in $third_party/SHA256SUMS do not match; the sources are damaged or not the expected ones"

    local work=$cache/work
    rm -rf "$qt_prefix" "$work"
    mkdir -p "$work"

    # Kept in the cache, not the repository: Qt's own toolchain file refers to
    # it by absolute path for as long as the cached Qt is used.
    cat > "$toolchain" <<EOF
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER $triplet-gcc-posix)
set(CMAKE_CXX_COMPILER $triplet-g++-posix)
set(CMAKE_RC_COMPILER $triplet-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$triplet)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF

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

    echo "$qt_recipe" > "$stamp"
    rm -rf "$work"
}

# Without the sources at hand, a Qt built before is used as it is.
if [ -f "$stamp" ] && { [ -z "$qt_recipe" ] || [ "$(cat "$stamp")" = "$qt_recipe" ]; }; then
    echo "Using the Windows Qt in $qt_prefix"
else
    qt_started=$(date +%s)
    build_qt
    echo "Qt for Windows built in $(( ($(date +%s) - qt_started) / 60 )) min into $qt_prefix"
fi


# --- The project ------------------------------------------------------------
# Everything the CMake tree builds for Windows: the console, every tool, the
# tests that can run there and the bare window of the start-up benchmark.
project_started=$(date +%s)
echo "Building the project into $build"
mkdir -p "$build"
cmake -S "$repo" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$qt_prefix/lib/cmake/Qt6/qt.toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DTUNARIS_BENCH=ON >"$build/configure.log" 2>&1 \
    || { cat "$build/configure.log" >&2; die "configuring the project failed"; }
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

# The console reads its window icon from "../images/ico256x256Win.ico"
# relative to the working folder, which the shortcut sets to bin/.
mkdir -p "$stage/images"
cp "$repo/images/ico256x256Win.ico" "$stage/images/"

# Plugins the console loads: the Windows platform, the native style, and the
# ICO reader for that icon file.
for plugin in platforms/qwindows.dll styles/qwindowsvistastyle.dll imageformats/qico.dll; do
    [ -f "$qt_prefix/plugins/$plugin" ] || die "the Windows Qt has no plugin $plugin"
    mkdir -p "$stage/bin/$(dirname "$plugin")"
    cp "$qt_prefix/plugins/$plugin" "$stage/bin/$plugin"
done

# The DLLs that the executables and plugins import, followed recursively,
# from the Windows Qt and the MinGW runtime; a DLL found in neither is one of
# Windows' own (KERNEL32, USER32, ...).
runtime_dirs=("$qt_prefix/bin"
              "$(dirname "$($triplet-g++-posix -print-file-name=libstdc++-6.dll)")"
              "/usr/$triplet/lib")
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
instead.

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

LICENCE.txt says whose work is in this package and under which licences.
TEXT

(cd "$build/package" && zip -qr9 "$zip_file.partial" "$name") || die "zipping failed"
mv "$zip_file.partial" "$zip_file"

# --- The setup program ------------------------------------------------------
# The setup installs what the zip holds but its README (which is about
# unpacking); the uninstaller removes exactly those files and then the
# folders they leave empty, so that anything the user put there stays.
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
        [ "$file" = ./README-Windows.txt ] && continue
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
echo "Package: $zip_file ($(du -k "$zip_file" | cut -f1) KiB)"
echo "Setup:   $setup_file ($(du -k "$setup_file" | cut -f1) KiB)"
