#!/usr/bin/env bash
# Installs what the build and the tests need from Debian's packages; installs
# nothing that is already present, so a second run is quick.
set -euo pipefail

packages=(cmake g++ make libgtest-dev python3 python3-pytest
          g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine64-tools
          wine wine64 wine32:i386 xvfb xdotool x11-apps imagemagick
          osslsigncode openssl)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
fi
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
