#!/usr/bin/env bash
# Installs what the build and the tests need from Debian's packages; installs
# nothing that is already present, so a second run is quick. Where the kernel runs no
# 32-bit programs (its 32-bit emulation is off), Wine's 32-bit loader runs under QEMU's
# user-mode emulator instead, registered for i386 programs.
set -euo pipefail

packages=(cmake g++ make libgtest-dev python3 python3-pytest
          g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine64-tools
          wine wine64 wine32:i386 xvfb xdotool x11-apps imagemagick
          osslsigncode openssl)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -ne 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run as root to install them)" >&2
        exit 1
    fi
    if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    "$(dirname "$0")/../tools/apt-update.sh"
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# --- 32-bit programs ---------------------------------------------------------------
binfmt=/proc/sys/fs/binfmt_misc
entry=$binfmt/qemu-i386
loader=/lib/ld-linux.so.2
# The kernel's own answer, with any emulator registered for i386 programs set aside.
runs_natively() {
    local was_on=0 status=0
    if [ -e "$entry" ] && grep -qx enabled "$entry"; then
        echo 0 >"$entry" && was_on=1
    fi
    "$loader" --version >/dev/null 2>&1 || status=$?
    [ "$was_on" -eq 1 ] && echo 1 >"$entry"
    return "$status"
}
[ -x "$loader" ] || exit 0
if runs_natively; then
    exit 0
fi
# Debian 12's own QEMU (7.2) cannot give Wine the fixed addresses it reserves; its
# backports carry one that can. Only that package comes from there.
emulator=/usr/bin/qemu-i386
if [ "$(id -u)" -ne 0 ]; then
    grep -qx "interpreter $emulator" "$entry" 2>/dev/null && exit 0
    echo "this kernel runs no 32-bit programs: run as root to set up $emulator for Wine" >&2
    exit 1
fi
if ! dpkg --compare-versions "$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || echo 0)" ge 1:8; then
    echo "installing: qemu-user (bookworm-backports), for 32-bit programs on a kernel that runs none"
    echo 'deb http://deb.debian.org/debian bookworm-backports main' >/etc/apt/sources.list.d/bookworm-backports.list
    export DEBIAN_FRONTEND=noninteractive
    "$(dirname "$0")/../tools/apt-update.sh"
    apt-get install -y -qq --no-install-recommends -t bookworm-backports qemu-user >/dev/null
fi
[ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
if ! grep -qx "interpreter $emulator" "$entry" 2>/dev/null; then
    [ -e "$entry" ] && echo -1 >"$entry"
    # i386 ELF executables; F: the emulator is opened now, so that it serves every namespace.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F' >"$binfmt/register"
fi
"$loader" --version >/dev/null 2>&1 || { echo "32-bit programs still do not run under $emulator" >&2; exit 1; }
echo "32-bit programs run under $emulator"
