"""Registry scenarios of the Wine suite: dumps of registry trees and their exact
differences, a byte-exact value reader, keys removed again after a test, the
user hives, and whole uninstall runs of a log.

`reg export` (behind `machine.reg_values`) shows a string value only as text up
to its first NUL, so it cannot tell a string stored with exactly one terminating
NUL from one stored with more NULs or stray bytes after it.
`exact_tree` reads values the way a program does (RegEnumValueW, every byte),
through a small console reader built once per run with the cross compiler.
"""

from __future__ import annotations

import hashlib
import re
import shutil
import subprocess
from dataclasses import dataclass

import pytest

from logs import DeploymentLog
from scenario import Scenario, assert_clean_end
from wine_env import RegValue, RunResult, WineMachine, q

ROOTS = {
    "HKLM": "HKEY_LOCAL_MACHINE", "HKCU": "HKEY_CURRENT_USER", "HKCR": "HKEY_CLASSES_ROOT", "HKU": "HKEY_USERS",
}
MACHINE_CLASSES = r"HKEY_LOCAL_MACHINE\Software\Classes"
USER_CLASSES = r"HKEY_CURRENT_USER\Software\Classes"
SHARED_DLLS = r"Software\Microsoft\Windows\CurrentVersion\SharedDLLs"


def full_key(key: str) -> str:
    """The key with its root spelled out, as reg export writes it."""
    root, sep, rest = key.partition("\\")
    return ROOTS.get(root.upper(), root.upper()) + sep + rest


# --- snapshots of registry trees and their differences ---------------------------------

@dataclass
class Snapshot:
    """Keys and values of some registry trees; names are compared ignoring case, as Windows does."""

    keys: dict[str, str]                               # lower-case full key -> as written
    values: dict[tuple[str, str], tuple[str, RegValue]]  # (key, name), both lower-case -> (name as written, value)

    def value(self, key: str, name: str) -> RegValue | None:
        item = self.values.get((full_key(key).lower(), name.lower()))
        return item[1] if item else None

    def has_key(self, key: str) -> bool:
        return full_key(key).lower() in self.keys

    def under(self, key: str) -> list[str]:
        """Every key at or below the given one, as written."""
        k = full_key(key).lower()
        return sorted(v for low, v in self.keys.items() if low == k or low.startswith(k + "\\"))


def snapshot(machine: WineMachine, *trees: str) -> Snapshot:
    """One reg export per tree; a tree that does not exist adds nothing."""
    keys: dict[str, str] = {}
    values: dict[tuple[str, str], tuple[str, RegValue]] = {}
    for tree in trees:
        for key, vals in (machine.reg_export(full_key(tree)) or {}).items():
            keys[key.lower()] = key
            for name, value in vals.items():
                values[(key.lower(), name.lower())] = (name, value)
    return Snapshot(keys, values)


@dataclass(frozen=True)
class RegDiff:
    """What changed between two snapshots; all names lower-case, keys with their roots spelled out.

    Values of keys that went or came are not listed again under the values.
    """

    removed_keys: frozenset[str] = frozenset()
    added_keys: frozenset[str] = frozenset()
    removed_values: frozenset[tuple[str, str]] = frozenset()
    added_values: frozenset[tuple[str, str]] = frozenset()
    changed_values: frozenset[tuple[str, str]] = frozenset()

    def describe(self) -> str:
        out = []
        for label, items in (("key removed", self.removed_keys), ("key added", self.added_keys),
                             ("value removed", self.removed_values), ("value added", self.added_values),
                             ("value changed", self.changed_values)):
            for item in sorted(items):
                out.append(f"  {label}: " + (item if isinstance(item, str) else f"{item[0]} -> {item[1]!r}"))
        return "\n".join(out) or "  nothing"


def diff(before: Snapshot, after: Snapshot) -> RegDiff:
    removed_keys = set(before.keys) - set(after.keys)
    added_keys = set(after.keys) - set(before.keys)
    both = set(before.keys) & set(after.keys)
    old = {kv for kv in before.values if kv[0] in both}
    new = {kv for kv in after.values if kv[0] in both}
    changed = {kv for kv in old & new if before.values[kv][1] != after.values[kv][1]}
    return RegDiff(frozenset(removed_keys), frozenset(added_keys), frozenset(old - new), frozenset(new - old),
                   frozenset(changed))


def expected_diff(*, removed_keys=(), added_keys=(), removed_values=(), added_values=(), changed_values=()) -> RegDiff:
    def keys(items):
        return frozenset(full_key(k).lower() for k in items)

    def values(items):
        return frozenset((full_key(k).lower(), n.lower()) for k, n in items)

    return RegDiff(keys(removed_keys), keys(added_keys), values(removed_values), values(added_values),
                   values(changed_values))


def assert_registry_change(before: Snapshot, after: Snapshot, expected: RegDiff) -> None:
    """The trees changed in exactly the expected way, nothing more and nothing less."""
    actual = diff(before, after)
    if actual == expected:
        return
    unexpected = RegDiff(*(a - e for a, e in zip(_fields(actual), _fields(expected))))
    missing = RegDiff(*(e - a for a, e in zip(_fields(actual), _fields(expected))))
    raise AssertionError("the registry changed otherwise than the log says\n"
                         f"changes that should not have happened:\n{unexpected.describe()}\n"
                         f"changes that did not happen:\n{missing.describe()}")


def _fields(d: RegDiff):
    return (d.removed_keys, d.added_keys, d.removed_values, d.added_values, d.changed_values)


def counts_key_made_by_per_user_run(before: Snapshot) -> list[str]:
    """A per-user run makes the user's shared-file count key when it is missing (and leaves it)."""
    key = "HKCU\\" + SHARED_DLLS
    return [] if before.has_key(key) else [key]


def subtree_keys(snap: Snapshot, key: str) -> list[str]:
    """The key and every key below it in a snapshot, for an expected removal of a whole tree."""
    found = snap.under(key)
    assert found, f"{key} is not in the snapshot taken before the run"
    return found


# --- byte-exact reading ------------------------------------------------------------------

_READER_SOURCE = r"""
#include <windows.h>
#include <string>

static HANDLE out;
static int failures;

static void Put(const char* text, DWORD size) {
    DWORD written = 0;
    WriteFile(out, text, size, &written, nullptr);
}
static void Put(const char* text) { Put(text, lstrlenA(text)); }
static void Hex(const void* data, DWORD size) {
    static const char digits[] = "0123456789abcdef";
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    for (DWORD i = 0; i < size; ++i) {
        char pair[2] = {digits[bytes[i] >> 4], digits[bytes[i] & 15]};
        Put(pair, 2);
    }
}

static bool recursive = true;

static void Dump(HKEY key, const std::wstring& path) {
    static wchar_t name[16384];
    static BYTE data[1 << 20];
    Put("K\t");
    Hex(path.c_str(), static_cast<DWORD>(path.size() * 2));
    Put("\n");
    for (DWORD i = 0;; ++i) {
        DWORD name_chars = 16384, size = sizeof(data), type = 0;
        LONG rc = RegEnumValueW(key, i, name, &name_chars, nullptr, &type, data, &size);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) {
            ++failures;
            break;
        }
        char number[16];
        wsprintfA(number, "\t%lu\t", type);
        Put("V\t");
        Hex(name, name_chars * 2);
        Put(number);
        Hex(data, size);
        Put("\n");
    }
    for (DWORD i = 0; recursive; ++i) {
        wchar_t sub[256];
        DWORD sub_chars = 256;
        LONG rc = RegEnumKeyExW(key, i, sub, &sub_chars, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        HKEY child;
        if (rc != ERROR_SUCCESS || RegOpenKeyExW(key, sub, 0, KEY_READ, &child) != ERROR_SUCCESS) {
            ++failures;
            continue;
        }
        Dump(child, path.empty() ? std::wstring(sub) : path + L"\\" + sub);
        RegCloseKey(child);
    }
}

static bool OpenFull(const std::wstring& full, HKEY* key) {
    std::wstring root_name = full.substr(0, full.find(L'\\'));
    std::wstring path = root_name.size() < full.size() ? full.substr(root_name.size() + 1) : L"";
    HKEY root;
    if (lstrcmpiW(root_name.c_str(), L"HKEY_LOCAL_MACHINE") == 0) root = HKEY_LOCAL_MACHINE;
    else if (lstrcmpiW(root_name.c_str(), L"HKEY_CURRENT_USER") == 0) root = HKEY_CURRENT_USER;
    else if (lstrcmpiW(root_name.c_str(), L"HKEY_CLASSES_ROOT") == 0) root = HKEY_CLASSES_ROOT;
    else if (lstrcmpiW(root_name.c_str(), L"HKEY_USERS") == 0) root = HKEY_USERS;
    else return false;
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key) == ERROR_SUCCESS;
}

// regbytes [--flat | --exists] KEY...: for each key a line T, its name and whether it
// opened, then (unless --exists) its values and, unless --flat, its subkeys' in turn.
int wmain(int argc, wchar_t** argv) {
    out = GetStdHandle(STD_OUTPUT_HANDLE);
    int first = 1;
    bool dump = true;
    if (argc > 1 && lstrcmpW(argv[1], L"--flat") == 0) {
        recursive = false;
        first = 2;
    } else if (argc > 1 && lstrcmpW(argv[1], L"--exists") == 0) {
        dump = false;
        first = 2;
    }
    for (int i = first; i < argc; ++i) {
        HKEY key;
        bool found = OpenFull(argv[i], &key);
        Put("T\t");
        Hex(argv[i], static_cast<DWORD>(lstrlenW(argv[i]) * 2));
        Put(found ? "\t1\n" : "\t0\n");
        if (!found) continue;
        if (dump) Dump(key, L"");
        RegCloseKey(key);
    }
    return failures ? 4 : 0;
}
"""

_READER_FOLDER = r"C:\e2e-registry"
_built: set[str] = set()


def _reader(machine: WineMachine) -> str:
    """The reader's Windows path, built into this run's folder on first use."""
    digest = hashlib.sha256(_READER_SOURCE.encode()).hexdigest()[:12]
    win = rf"{_READER_FOLDER}\regbytes-{digest}.exe"
    if win in _built and machine.exists(win):
        return win
    compiler = shutil.which("i686-w64-mingw32-g++-posix") or shutil.which("i686-w64-mingw32-g++")
    if not compiler:
        pytest.fail("i686-w64-mingw32-g++ is missing (run `make deps`); the exact registry reader needs it")
    work = machine.root / "regbytes"
    work.mkdir(parents=True, exist_ok=True)
    source = work / "regbytes.cpp"
    source.write_text(_READER_SOURCE)
    exe = work / f"regbytes-{digest}.exe"
    build = subprocess.run([compiler, "-O2", "-municode", "-static", "-s", "-o", str(exe), str(source), "-ladvapi32"],
                           capture_output=True, text=True, timeout=300)
    if build.returncode != 0:
        pytest.fail("building the exact registry reader failed:\n" + build.stderr)
    host = machine.host_path(win)
    host.parent.mkdir(parents=True, exist_ok=True)
    shutil.copy2(exe, host)
    _built.add(win)
    return win


def _read(machine: WineMachine, mode: list[str], keys: list[str]) -> list[dict[str, dict[str, RegValue]] | None]:
    """One run of the reader over several keys: for each, its tree, or None when it does not exist."""
    result = machine.wine(_reader(machine), *mode, *[full_key(k) for k in keys], check=False)
    if result.returncode != 0:
        raise AssertionError(f"the exact registry reader failed on {keys} ({result.returncode}):\n{result.stdout!r}")
    trees: list[dict[str, dict[str, RegValue]] | None] = []
    current: dict[str, RegValue] | None = None
    for line in result.stdout.decode("ascii").splitlines():
        kind, *fields = line.split("\t")
        if kind == "T":
            trees.append({} if fields[1] == "1" else None)
        elif kind == "K":
            current = trees[-1].setdefault(_utf16(fields[0]), {})
        elif kind == "V":
            current[_utf16(fields[0])] = RegValue(int(fields[1]), bytes.fromhex(fields[2]))
    assert len(trees) == len(keys), f"the reader reported {len(trees)} keys of {len(keys)}"
    return trees


def exact_tree(machine: WineMachine, key: str, *, below: bool = True) -> dict[str, dict[str, RegValue]] | None:
    """The key and everything below it (only the key with below=False), byte for byte: relative
    key path ("" for the key itself) to value name to value. None when the key does not exist."""
    return _read(machine, [] if below else ["--flat"], [key])[0]


def exact_snapshot(machine: WineMachine, *trees: str) -> Snapshot:
    """Like `snapshot`, with every value byte for byte."""
    keys: dict[str, str] = {}
    values: dict[tuple[str, str], tuple[str, RegValue]] = {}
    for tree, found in zip(trees, _read(machine, [], list(trees))):
        top = full_key(tree)
        for rel, vals in (found or {}).items():
            key = top + ("\\" + rel if rel else "")
            keys[key.lower()] = key
            for name, value in vals.items():
                values[(key.lower(), name.lower())] = (name, value)
    return Snapshot(keys, values)


def exact_value(machine: WineMachine, key: str, name: str) -> RegValue | None:
    """One value, byte for byte; None when the key or the value does not exist."""
    tree = exact_tree(machine, key, below=False)
    if tree is None:
        return None
    for stored, value in tree[""].items():
        if stored.lower() == name.lower():
            return value
    return None


def _utf16(hex_text: str) -> str:
    return bytes.fromhex(hex_text).decode("utf-16-le", errors="surrogatepass")


# --- the machine's shared places -----------------------------------------------------------

def keys_exist(machine: WineMachine, keys: list[str]) -> list[bool]:
    """Whether each key exists, all in one run of the reader."""
    return [found is not None for found in _read(machine, ["--exists"], keys)] if keys else []


class RegistrySetup:
    """Registry content a test puts in place, taken away again when the test ends.

    Keys that `put` creates go with everything below them, from the highest one that
    did not exist before; values that it adds to keys that were already there go one
    by one. Keys named with `remove_later`, and values named with `remove_value_later`, go too (for
    what the test makes otherwise).
    """

    def __init__(self, machine: WineMachine):
        self.machine = machine
        self._keys: list[str] = []
        self._values: list[tuple[str, str]] = []

    def put(self, entries: dict[str, dict]) -> None:
        entries = {full_key(k): v for k, v in entries.items()}
        chains = {}
        for key in entries:
            parts = key.split("\\")
            chains[key] = ["\\".join(parts[:i]) for i in range(2, len(parts) + 1)]
        ancestors = sorted({a for chain in chains.values() for a in chain}, key=lambda k: k.lower())
        existing = {a.lower() for a, found in zip(ancestors, keys_exist(self.machine, ancestors)) if found}
        for key, chain in chains.items():
            missing = next((a for a in chain if a.lower() not in existing), None)
            if missing is not None:
                self.remove_later(missing)
            else:
                self._values += [(key, name) for name in entries[key]]
        self.machine.reg_import(entries)

    def remove_later(self, *keys: str) -> None:
        for key in keys:
            if full_key(key).lower() not in (k.lower() for k in self._keys):
                self._keys.append(full_key(key))

    def remove_value_later(self, key: str, name: str) -> None:
        self._values.append((full_key(key), name))

    def remove_all(self) -> None:
        for key, name in self._values:
            args = ("/ve",) if name == "" else ("/v", name)
            self.machine.reg("delete", key, *args, "/f", check=False)
        if self._keys:
            self.machine.reg_import({key: None for key in self._keys})


@pytest.fixture
def registry(machine):
    """A RegistrySetup whose content is removed when the test ends, whatever its outcome."""
    setup = RegistrySetup(machine)
    yield setup
    setup.remove_all()


def unique_guid(scenario: Scenario, label: str) -> str:
    """A GUID of this test's own, the same on every run."""
    h = hashlib.sha256(f"{scenario.name}/{label}".encode()).hexdigest().upper()
    return "{" + f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:32]}" + "}"


def user_hives(machine: WineMachine) -> list[str]:
    """The names of the subkeys of HKEY_USERS, as reg lists them."""
    out = machine.reg("query", "HKEY_USERS").stdout.decode("utf-8", errors="replace")
    names = [m.group(1) for m in re.finditer(r"^HKEY_USERS\\([^\r\n]+?)\s*$", out, re.MULTILINE)]
    assert names, "reg lists no hive under HKEY_USERS:\n" + out
    return names


def unique_name(scenario: Scenario, label: str) -> str:
    """A key name of this test's own, for places outside its scenario key."""
    return f"Dismora E2E {scenario.name} {label}"


# --- whole runs ------------------------------------------------------------------------------

def uninstall_silently(scenario: Scenario, log: DeploymentLog) -> RunResult:
    """Writes the log beside the scenario's dismora.exe and runs a silent uninstall to its end."""
    path = scenario.write_log(log)
    result = scenario.run_dismora(q(path), "/silent")
    assert_clean_end(result)
    assert result.boxes == [], "a silent uninstall showed a box:\n" + result.describe()
    # The log goes last of all the run's deletions: its absence shows the run went through.
    assert not scenario.machine.exists(path), "the run did not reach its end:\n" + result.describe()
    return result
