#!/usr/bin/env bash
# ZEM Tools: installs the Debian packages the build and the tests need, and
# only those that are missing. Downloads nothing else.
set -euo pipefail

# Compiler, build system and libraries (ISA-L: the fast deflate engine; the
# build falls back to zlib alone without it). clang builds the fuzz targets; its
# fuzzer and sanitizer runtimes come in a package of their own.
BUILD_PACKAGES=(build-essential cmake pkg-config zlib1g-dev libisal-dev libgtest-dev googletest
                libbenchmark-dev clang libclang-rt-14-dev libsdbus-c++-dev libsystemd-dev)
# Peer tools the tests use as oracles for the archives we write and read, and
# the desktop entry's validator for the install test.
TEST_PACKAGES=(zip unzip 7zip libarchive-tools python3 desktop-file-utils)
# The window: Qt 6 Widgets (with its X11 platform plugin), a font for it, the
# desktop's opener for the drive folders and the read-me, and the virtual X
# server the window tests and the screenshot run in.
WINDOW_PACKAGES=(qt6-base-dev qt6-qpa-plugins fonts-dejavu-core xdg-utils xvfb xauth)
# Real cards: the storage daemon the program asks over the system bus, and
# what the UDisks2 tests run beside it (scripts/udisks-test-env.sh): the bus,
# udev, polkit, the file system tools and FUSE drivers for FAT and exFAT.
CARD_PACKAGES=(udisks2 dbus udev polkitd dosfstools exfatprogs exfat-fuse fusefat util-linux)

missing=()
for pkg in "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${WINDOW_PACKAGES[@]}" "${CARD_PACKAGES[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  if [[ "$status" != "install ok installed" ]]; then
    missing+=("$pkg")
  fi
done

if [[ ${#missing[@]} -eq 0 ]]; then
  echo "deps: all packages present"
  exit 0
fi

if [[ $(id -u) -eq 0 ]]; then
  SUDO=()
elif command -v sudo >/dev/null 2>&1; then
  SUDO=(sudo)
else
  echo "deps: missing packages: ${missing[*]}" >&2
  echo "deps: not root and sudo is not available; install them as root" >&2
  exit 1
fi

echo "deps: installing ${missing[*]}"
"${SUDO[@]}" apt-get update
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y --no-install-recommends "${missing[@]}"
