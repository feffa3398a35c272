#!/usr/bin/env bash
# Installs what the fuzz target needs from Debian's packages: clang and the libFuzzer
# runtime that matches its version. Installs nothing that is already present.
set -euo pipefail

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

install() {
    local missing=()
    for p in "$@"; do installed "$p" || missing+=("$p"); done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run as root to install them)" >&2
        exit 1
    fi
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    "$(dirname "$0")/../tools/apt-update.sh"
    apt-get install -y -qq "${missing[@]}" >/dev/null
}

install clang cmake make libgtest-dev
# libFuzzer and the sanitizer runtimes ship per clang version (Debian 12: 14).
version=$(clang -dumpversion | cut -d. -f1)
install "libclang-rt-${version}-dev"
