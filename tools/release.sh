#!/usr/bin/env bash
# Builds the release from a clean folder (build/release) and writes dist/dismora.exe,
# dist/dismora-check.exe and dist/SHA256SUMS, whose first line names the version and
# the commit. Given a certificate, it signs dismora.exe (Authenticode, SHA-256) with
# osslsigncode, verifies the signature, and checks that removing it gives back the
# unsigned build byte for byte; the checksums are of the files as shipped.
#
#   make release                                         unsigned
#   make release SIGN_CERT=cert.pem SIGN_KEY=key.pem     certificate (chain) and key, PEM or DER
#   make release SIGN_PKCS12=id.p12 SIGN_PASS_FILE=pass  PKCS#12 file and its password
#
# Optional: SIGN_PASS_FILE (the key's password, for an encrypted SIGN_KEY too),
# TIMESTAMP_URL (an RFC 3161 time-stamp server; without one the signature stops
# validating when the certificate expires), SIGN_CA (the CA certificates to verify
# against; by default the system's), JOBS.
set -euo pipefail
cd "$(dirname "$0")/.."

die() { echo "release: $*" >&2; exit 1; }

# The version has one source: project() in CMakeLists.txt.
version=$(sed -nE 's/^project\(dismora[[:space:]]+VERSION[[:space:]]+([0-9]+(\.[0-9]+)*)[[:space:])].*/\1/p' CMakeLists.txt)
[ -n "$version" ] || die "no version found in project() of CMakeLists.txt"

# Everything about signing is checked before the build, so that a mistake shows at once.
sign=()
if [ -n "${SIGN_PKCS12:-}" ]; then
    [ -z "${SIGN_CERT:-}${SIGN_KEY:-}" ] || die "give SIGN_PKCS12 or SIGN_CERT and SIGN_KEY, not both"
    sign=(-pkcs12 "$SIGN_PKCS12")
elif [ -n "${SIGN_CERT:-}${SIGN_KEY:-}" ]; then
    { [ -n "${SIGN_CERT:-}" ] && [ -n "${SIGN_KEY:-}" ]; } || die "SIGN_CERT and SIGN_KEY go together"
    sign=(-certs "$SIGN_CERT" -key "$SIGN_KEY")
fi
if [ ${#sign[@]} -gt 0 ]; then
    for file in "${SIGN_PKCS12:-}" "${SIGN_CERT:-}" "${SIGN_KEY:-}" "${SIGN_PASS_FILE:-}" "${SIGN_CA:-}"; do
        [ -z "$file" ] || [ -r "$file" ] || die "cannot read $file"
    done
    command -v osslsigncode >/dev/null || die "osslsigncode not found (make deps installs it)"
    [ -z "${SIGN_PASS_FILE:-}" ] || sign+=(-readpass "$SIGN_PASS_FILE")
    [ -z "${TIMESTAMP_URL:-}" ] || sign+=(-ts "$TIMESTAMP_URL")
elif [ -n "${TIMESTAMP_URL:-}${SIGN_PASS_FILE:-}${SIGN_CA:-}" ]; then
    die "TIMESTAMP_URL, SIGN_PASS_FILE and SIGN_CA need a certificate: SIGN_CERT and SIGN_KEY, or SIGN_PKCS12"
fi

# A clean build of the two programs alone, with no option left over from another build.
build=build/release
rm -rf "$build"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
cmake --build "$build" -j "${JOBS:-$(nproc)}" --target dismora dismora-check >/dev/null
# The round's ceiling for the image; a signature is appended outside it.
tools/check-exe.sh --max-size 53248 "$build/dismora.exe" >"$build/check-exe.txt" || {
    cat "$build/check-exe.txt" >&2
    die "$build/dismora.exe fails its checks"
}

mkdir -p dist
rm -f dist/dismora.exe dist/dismora-check.exe dist/SHA256SUMS
cp "$build/dismora-check.exe" dist/
if [ ${#sign[@]} -gt 0 ]; then
    # The description is the program name a consent prompt shows.
    osslsigncode sign "${sign[@]}" -h sha256 -n "Dismora uninstaller" \
        -in "$build/dismora.exe" -out "$build/dismora-signed.exe" >"$build/sign.txt" 2>&1 || {
        cat "$build/sign.txt" >&2
        die "signing failed"
    }
    osslsigncode verify ${SIGN_CA:+-CAfile "$SIGN_CA"} -in "$build/dismora-signed.exe" >"$build/verify.txt" 2>&1 || {
        cat "$build/verify.txt" >&2
        die "the signature does not verify${SIGN_CA:+ against $SIGN_CA} (SIGN_CA names the CA certificates to trust)"
    }
    osslsigncode remove-signature -in "$build/dismora-signed.exe" -out "$build/dismora-unsigned.exe" >/dev/null
    cmp -s "$build/dismora-unsigned.exe" "$build/dismora.exe" ||
        die "removing the signature does not give back the unsigned build"
    chmod --reference="$build/dismora.exe" "$build/dismora-signed.exe"
    mv "$build/dismora-signed.exe" dist/dismora.exe
    [ -n "${TIMESTAMP_URL:-}" ] ||
        echo "release: signed WITHOUT a time stamp: the signature stops validating when the certificate expires"
else
    cp "$build/dismora.exe" dist/
fi

header="# Dismora $version"
# The commit only of a checkout of its own, not of a copy inside another one.
if [ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$(pwd -P)" ]; then
    header+=", commit $(git rev-parse HEAD)"
    [ -z "$(git status --porcelain --untracked-files=no 2>/dev/null)" ] || header+=" with local changes"
fi
# Written last: a release cut short leaves no checksums to trust.
(cd dist && { echo "$header"; sha256sum dismora.exe dismora-check.exe; } >SHA256SUMS.tmp && mv SHA256SUMS.tmp SHA256SUMS)
cat dist/SHA256SUMS
echo "dist/dismora.exe: $(stat -c %s dist/dismora.exe) bytes$([ ${#sign[@]} -gt 0 ] && echo ", signed") (image $(stat -c %s "$build/dismora.exe") bytes)"
