"""Releases: `make release` in two fresh copies of the sources, in two folders, gives the
same bytes; the signed dismora.exe verifies, and does a whole uninstall under Wine."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

import scenario as scenario_module
import test_uninstall
from wine_env import BUILD, REPO

# What the calling make or shell could pass down to the release builds.
INHERITED = {"SIGN_CERT", "SIGN_KEY", "SIGN_PKCS12", "SIGN_PASS_FILE", "SIGN_CA", "TIMESTAMP_URL",
             "MAKEFLAGS", "MFLAGS", "MAKELEVEL"}


def fresh_copy(target: Path) -> Path:
    """The sources as a clean clone holds them: no builds, no releases."""
    def ignore(folder: str, names: list[str]) -> set[str]:
        skip = {"__pycache__", ".pytest_cache"} | ({".git", "build", "dist"} if Path(folder) == REPO else set())
        return skip & set(names)
    shutil.copytree(REPO, target, ignore=ignore, symlinks=True)
    return target


def make_release(tree: Path, **variables: str) -> Path:
    env = {k: v for k, v in os.environ.items() if k not in INHERITED}
    done = subprocess.run(["make", "--no-print-directory", "release", *(f"{k}={v}" for k, v in variables.items())],
                          cwd=tree, env=env, capture_output=True, text=True, timeout=1800)
    assert done.returncode == 0, f"make release in {tree} failed:\n{done.stdout[-4000:]}\n{done.stderr[-4000:]}"
    return tree / "dist"


def differences(a: bytes, b: bytes) -> str:
    offsets = [f"{i:#x}" for i, (x, y) in enumerate(zip(a, b)) if x != y]
    return f"sizes {len(a)} and {len(b)}, {len(offsets)} bytes differ, from {offsets[:8]}"


@pytest.fixture(scope="module")
def releases():
    root = BUILD / "release-test"
    shutil.rmtree(root, ignore_errors=True)
    # A throwaway certificate, trusted by nothing but this test.
    keys = root / "keys"
    keys.mkdir(parents=True)
    cert, key = keys / "cert.pem", keys / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=Dismora throwaway signer", "-addext", "extendedKeyUsage=codeSigning",
                    "-keyout", str(key), "-out", str(cert)], check=True, capture_output=True)
    # The folders' paths differ in length too, so that a path kept in a program shows.
    signed = make_release(fresh_copy(root / "one"), SIGN_CERT=str(cert), SIGN_KEY=str(key), SIGN_CA=str(cert))
    plain = make_release(fresh_copy(root / "rebuilt-elsewhere" / "dismora"))
    return signed, plain, cert


def test_two_clean_builds_in_two_folders_are_byte_identical(releases):
    signed, plain, _ = releases
    pairs = {
        "dismora-check.exe": (signed / "dismora-check.exe", plain / "dismora-check.exe"),
        "dismora.exe": (signed.parent / "build" / "release" / "dismora.exe", plain / "dismora.exe"),
    }
    # What anyone can check: the shipped program without its signature is their own rebuild.
    removed = signed.parent / "signature-removed.exe"
    subprocess.run(["osslsigncode", "remove-signature", "-in", str(signed / "dismora.exe"), "-out", str(removed)],
                   check=True, capture_output=True)
    pairs["signed dismora.exe, signature removed"] = (removed, plain / "dismora.exe")
    for name, (first, second) in pairs.items():
        a, b = first.read_bytes(), second.read_bytes()
        assert a == b, f"{name}: {differences(a, b)}"


def test_signed_release_verifies_and_uninstalls(releases, scenario, monkeypatch):
    signed, _, cert = releases
    exe = signed / "dismora.exe"
    verified = subprocess.run(["osslsigncode", "verify", "-CAfile", str(cert), "-in", str(exe)],
                              capture_output=True, text=True)
    assert verified.returncode == 0, verified.stdout + verified.stderr
    assert re.search(r"^Message digest algorithm\s*:\s*SHA256$", verified.stdout, re.M), verified.stdout

    # The checksums are of the files as shipped, signature included, under the version.
    sums = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=signed, capture_output=True, text=True)
    assert sums.returncode == 0, sums.stdout + sums.stderr
    version = re.search(r"^project\(dismora VERSION ([0-9.]+)", (REPO / "CMakeLists.txt").read_text(), re.M)[1]
    header = (signed / "SHA256SUMS").read_text().splitlines()[0]
    assert re.fullmatch(rf"# Dismora {re.escape(version)}(, commit .*)?", header), header

    # Started from the application folder, the signed program relaunches from its temporary
    # copy, which it checks byte for byte against itself before starting it.
    monkeypatch.setattr(scenario_module, "DISMORA_EXE", exe)
    inside, args, answers = test_uninstall.RUN_MODES["ordinary start from the application folder, answered Yes"]
    test_uninstall.test_installation_is_removed_but_for_a_file_still_shared(scenario, inside, args, answers)
