#!/usr/bin/env bash
# Static analysis of the core (src/environment, src/log, src/actions, src/driver): clang-tidy with
# the checks of .clang-tidy and cppcheck with tools/cppcheck-suppressions.txt. Installs
# both from Debian's packages when missing. Prints every finding; exits non-zero on any.
#
#   tools/lint.sh [FILE.cpp ...]     (default: every source file of the core)
set -uo pipefail
cd "$(dirname "$0")/.."

missing=()
for p in clang-tidy cppcheck; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "lint: missing packages: ${missing[*]} (run as root to install them)" >&2
        exit 1
    fi
    echo "lint: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq && apt-get install -y -qq "${missing[@]}" >/dev/null || exit 1
fi

core=(src/environment src/log src/actions src/driver)
if [ $# -gt 0 ]; then
    files=("$@")
else
    mapfile -t files < <(find "${core[@]}" -name '*.cpp' | sort)
fi
jobs=$(nproc)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# The version the build gives the sources, read from the project's one place for it.
version=$(sed -n 's/^project(dismora VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
export DISMORA_LINT_VERSION="-DDISMORA_VERSION=\"$version\""

# clang-tidy, one file per process; the core is portable C++20 that includes only src/.
printf '%s\n' "${files[@]}" | xargs -P "$jobs" -I{} sh -c \
    'clang-tidy --quiet "$1" -- -std=c++20 -Isrc "$DISMORA_LINT_VERSION" >"$2/$(echo "$1" | tr / _).log" 2>&1 || touch "$2/failed"' _ {} "$out"
tidy_findings=$(cat "$out"/*.log | grep -E '(warning|error): ' | sort -u)
tidy_failed=0
[ -e "$out/failed" ] && tidy_failed=1

cppcheck_findings=$(cppcheck --enable=warning,style,performance,portability --std=c++20 --language=c++ -I src "$DISMORA_LINT_VERSION" \
    --quiet --inline-suppr --suppressions-list=tools/cppcheck-suppressions.txt \
    --template='{file}:{line}: {severity}: {message} [{id}]' "${core[@]}" 2>&1)

[ -n "$tidy_findings" ] && echo "$tidy_findings"
[ -n "$cppcheck_findings" ] && echo "$cppcheck_findings"
tidy_count=$(grep -c . <<<"$tidy_findings")
cppcheck_count=$(grep -c . <<<"$cppcheck_findings")
echo "lint: ${#files[@]} files; clang-tidy $tidy_count finding(s), cppcheck $cppcheck_count finding(s)"
if [ "$tidy_count" -ne 0 ] || [ "$cppcheck_count" -ne 0 ]; then
    exit 1
fi
if [ "$tidy_failed" -ne 0 ]; then
    cat "$out"/*.log | tail -n 20
    echo "lint: clang-tidy failed to run"
    exit 1
fi
