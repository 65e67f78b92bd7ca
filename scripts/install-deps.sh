#!/usr/bin/env bash
# Installs every Debian package that building, testing and running Ferrin need.
# Safe to run again: when everything is present it only checks and returns.
set -euo pipefail

packages=(
    # build
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev
    libcurl4-openssl-dev
    # run
    libqt6widgets6 libqt6network6 qt6-qpa-plugins libcurl4
    fontconfig fonts-comic-neue
    # tests and the local directory server
    python3 python3-pyftpdlib
    xvfb xauth xdotool x11-utils imagemagick
    iproute2 netcat-openbsd
    # the end-to-end tests find widgets on the accessibility bus
    dbus at-spi2-core python3-pyatspi
    # fuzz targets: clang with its libFuzzer and sanitizer runtimes
    clang-14 libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    sudo=()
else
    sudo=(sudo)
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
