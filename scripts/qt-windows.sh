#!/usr/bin/env bash
# Builds Qt for Windows (static, x86_64-w64-mingw32) from Debian's own source
# of the Qt that the Linux build uses, once per machine, into a cache outside
# the source tree. Prints the Qt prefix as its last line.
#
#   scripts/qt-windows.sh            build when missing, then print the prefix
#   scripts/qt-windows.sh --prefix   print the prefix it would use, build nothing
#
# The cache folder's name carries the Qt version and a hash of everything
# that shapes the build, so a change of options builds a new one beside it.
# Two runs at once take turns on a lock; the finished tree appears by one
# rename, so nobody ever sees half of it.
set -euo pipefail

# Qt's toolchain is ours (cmake/mingw-w64.cmake) without the test emulator:
# the same compilers and root paths, named in one place. Its text is part of
# the cache's hash, so changing a compiler there builds a new Qt.
here=$(cd "$(dirname "$0")" && pwd)
toolchain_text=$(grep '^set(' "$here/../cmake/mingw-w64.cmake" | grep -v CMAKE_CROSSCOMPILING_EMULATOR)
cxx=$(sed -n 's/^set(CMAKE_CXX_COMPILER \(.*\))$/\1/p' <<<"$toolchain_text")

qt_version=$(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null) || {
  echo "qt-windows: qt6-base-dev is not installed (scripts/install-deps.sh)" >&2; exit 1; }
upstream=${qt_version%%+*}            # 6.4.2+dfsg-10 -> 6.4.2
upstream=${upstream%%-*}

# The console needs QtCore, QtGui and QtWidgets with the Windows platform
# plugin and nothing else. Debian's +dfsg source lacks src/3rdparty/wintab,
# hence tabletevent off; opengl and dynamicgl go together (see the README).
options=(
  -DCMAKE_BUILD_TYPE=Release
  -DBUILD_SHARED_LIBS=OFF
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake
  -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_printsupport=OFF
  -DFEATURE_dbus=OFF -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF
  -DFEATURE_testlib=OFF
  -DFEATURE_opengl=OFF -DFEATURE_dynamicgl=OFF
  -DFEATURE_tabletevent=OFF
  -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_png=OFF
  -DFEATURE_system_freetype=OFF -DFEATURE_system_harfbuzz=OFF
  -DFEATURE_jpeg=OFF
  # Widgets, documents and images the console never shows, the Direct2D
  # platform plugin (a second build of the Windows one) and FreeType, which
  # serves only the Windows plugin's fontengine=freetype option: 823 build
  # steps instead of 1,018. XPM stays: drag and drop (the file dialogs')
  # needs it, and Qt 6.4's QApplication does not compile without that.
  -DFEATURE_graphicsview=OFF
  -DFEATURE_mdiarea=OFF -DFEATURE_dockwidget=OFF -DFEATURE_calendarwidget=OFF
  -DFEATURE_datetimeedit=OFF -DFEATURE_dial=OFF -DFEATURE_lcdnumber=OFF
  -DFEATURE_fontcombobox=OFF -DFEATURE_colordialog=OFF -DFEATURE_fontdialog=OFF
  -DFEATURE_wizard=OFF -DFEATURE_columnview=OFF -DFEATURE_toolbox=OFF
  -DFEATURE_splashscreen=OFF -DFEATURE_keysequenceedit=OFF
  -DFEATURE_undoview=OFF -DFEATURE_undocommand=OFF -DFEATURE_undogroup=OFF
  -DFEATURE_undostack=OFF -DFEATURE_syntaxhighlighter=OFF
  -DFEATURE_textodfwriter=OFF -DFEATURE_textmarkdownreader=OFF
  -DFEATURE_textmarkdownwriter=OFF -DFEATURE_pdf=OFF -DFEATURE_vulkan=OFF
  -DFEATURE_imageformat_ppm=OFF -DFEATURE_imageformat_xbm=OFF
  -DFEATURE_movie=OFF -DFEATURE_gif=OFF
  -DFEATURE_ico=OFF -DFEATURE_freetype=OFF -DFEATURE_direct2d1_1=OFF
)
# direct2d stays on: Qt 6.4's Gui builds its DirectWrite font database only
# with it, and the Windows platform plugin needs that database.
compiler=$("$cxx" -dumpfullversion 2>/dev/null || echo none)
hash=$( { printf '%s\n' "$qt_version" "$compiler" "${options[@]}" "$toolchain_text"; } \
        | sha256sum | cut -c1-12)
cache_root=${XDG_CACHE_HOME:-$HOME/.cache}/tarnell
prefix=$cache_root/qt-$upstream-mingw-static-$hash
complete() { [ -f "$prefix/lib/cmake/Qt6/Qt6Config.cmake" ]; }

if [ "${1:-}" = "--prefix" ]; then
  echo "$prefix"; exit 0
fi
if complete; then
  echo "$prefix"; exit 0
fi

mkdir -p "$cache_root"
exec 9>"$prefix.lock"
if ! flock -n 9; then
  echo "qt-windows: another run is building $prefix; waiting for it" >&2
  flock 9
fi
if complete; then
  echo "$prefix"; exit 0
fi

say() { echo "qt-windows: $*" >&2; }
as_root=()
[ "$(id -u)" -ne 0 ] && as_root=(sudo)

# apt-get source needs deb-src lines; a fresh Debian 12 has only deb ones.
if ! grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  say "adding deb-src lines for bookworm"
  "${as_root[@]}" tee /etc/apt/sources.list.d/tarnell-deb-src.sources >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/tarnell-qt.XXXXXX")
# A run that was killed leaves its stage behind; only the lock's holder makes one.
rm -rf "$cache_root"/.stage.*
stage="$cache_root/.stage.$$"
trap 'rm -rf "$work" "$stage"' EXIT
trap 'exit 1' TERM INT HUP
printf '%s\n' "$toolchain_text" >"$work/toolchain.cmake"
toolchain="$work/toolchain.cmake"
chmod 755 "$work"   # apt's download user must be able to write into it

say "fetching the source of qt6-base $qt_version into $work"
(cd "$work" && apt-get source -qq "qt6-base=$qt_version" </dev/null) >&2
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -n1)
dsc=$(find "$work" -maxdepth 1 -name '*.dsc' | head -n1)
got=$(sed -n 's/^Version: //p' "$dsc")
if [ -z "$src" ] || [ "$got" != "$qt_version" ]; then
  say "the source package is ${got:-missing}, the installed qt6-base-dev is $qt_version"; exit 1
fi

say "configuring (static, x86_64-w64-mingw32) into $prefix"
cmake -S "$src" -B "$work/build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_INSTALL_PREFIX="$prefix" \
  "${options[@]}" </dev/null >"$work/configure.log" 2>&1 || {
  tail -n 60 "$work/configure.log" >&2; say "configure failed"; exit 1; }

jobs=${TARNELL_QT_JOBS:-$(nproc)}
say "building with $jobs jobs (823 steps: about 11 minutes on two quiet cores)"
# One progress line per 50 steps keeps a CI log readable; a failure prints
# the compiler's output in full.
if ! nice -n 5 cmake --build "$work/build" -j "$jobs" </dev/null 2>&1 \
     | tee "$work/build.log" \
     | awk '/^\[[0-9]+\/[0-9]+\]/ { split(substr($1, 2), a, "/"); n = a[1] + 0
                                    if (n % 50 == 0 || n == a[2] + 0) { print "qt-windows: " $1; fflush() } }' >&2; then
  grep -v '^\[[0-9]*/[0-9]*\]' "$work/build.log" | tail -n 80 >&2
  say "build failed"; exit 1
fi

say "installing"
DESTDIR="$stage" cmake --install "$work/build" </dev/null >/dev/null
mv "$stage$prefix" "$prefix"
say "done after $((SECONDS / 60)) min $((SECONDS % 60)) s: $prefix"
echo "$prefix"
