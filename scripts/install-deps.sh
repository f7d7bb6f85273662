#!/usr/bin/env bash
# Installs the Debian 12 packages that build, run and test Tarnell Console,
# asking apt-get only for those that are not there yet. --tests adds what
# the fuzz target needs, --bench what the bench preset needs.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ccache
  qt6-base-dev qt6-base-dev-tools libxkbcommon-dev
  # the German translation: lupdate and lrelease, and Qt's own German texts
  qt6-l10n-tools qt6-translations-l10n
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev
  xvfb xauth xdotool xclip imagemagick socat
  # what a screen reader reads, over AT-SPI in a D-Bus session of the test's own
  dbus dbus-bin at-spi2-core python3-dbus
  fontconfig fonts-dejavu-core fonts-liberation2
  # The Windows build (tarnell-cli.exe) and its tests under Wine.
  g++-mingw-w64-x86-64-posix wine64 wine
  # the console for Windows: Qt is built from its Debian source package
  # (scripts/qt-windows.sh, which needs dpkg-dev), and the installer
  dpkg-dev nsis unzip
  # the Debian package (file: CPack finds the programs for dpkg-shlibdeps
  # with it) and its checks (scripts/check-package.sh)
  help2man librsvg2-bin file lintian desktop-file-utils appstream man-db bash-completion x11-utils
  # the serial device server that the network port tests start in front of
  # the simulator
  ser2net
)
for arg in "$@"; do
  case "$arg" in
    --tests)
      # clang with its runtime builds the fuzz target of the packet collector.
      packages+=(clang libclang-rt-14-dev) ;;
    --bench)
      # Qt's serial port, the peer that the bench preset measures us against
      # (the product never links it).
      packages+=(qt6-serialport-dev) ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
