#!/usr/bin/env bash
# Installs what `make bench` needs beyond the build and the Wine suite: the
# chart's plotting library. Installs nothing that is already present.
set -euo pipefail

packages=(python3-matplotlib)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"$(dirname "$0")/../tools/apt-update.sh"
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
