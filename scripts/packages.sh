# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by ./run and ./test: installs the Debian packages that are missing,
# and only those. Needs root (or says what to install).

BUILD_PACKAGES=(g++ cmake ninja-build pkg-config qt6-base-dev libgl-dev
                libjpeg62-turbo-dev libzstd-dev fonts-wine)
TEST_PACKAGES=(libgtest-dev libgmock-dev libbenchmark-dev zstd nbdkit libnbd-bin fuse3 fusefat dosfstools
               dbus-daemon ffmpeg libheif-examples libimage-exiftool-perl)
BENCH_PACKAGES=(hyperfine testdisk foremost)

ensure_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Install them as root: sudo apt-get install ${missing[*]}" >&2
    return 1
  fi
  echo "Installing ${missing[*]}..."
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
