"""The record that /log= writes, held against the files and the registry before and after
a whole run of the real dismora.exe over the demo installation, one file of it in use."""

from __future__ import annotations

import re
import sys
from pathlib import Path

from wine_env import BUILD, q

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import demo  # noqa: E402

DOC = Path(__file__).resolve().parents[2] / "docs" / "deployment-log.md"
RECORD_COPY = BUILD / "e2e" / "demo-record.txt"
ROOTS = {"HKEY_AUTO": "HKLM", "HKEY_LOCAL_MACHINE": "HKLM", "HKEY_CURRENT_USER": "HKCU",
         "HKEY_CLASSES_ROOT": "HKLM\\Software\\Classes"}


def short_key(key: str) -> str:
    root, _, rest = key.partition("\\")
    return (ROOTS.get(root, root) + "\\" + rest).lower()


def paths(machine) -> set[str]:
    """The demo application's files and folders (these end with a backslash)."""
    return {re.sub(r"  \(\d+ bytes\)$", "", line) for line in demo.listing(machine)}


def events(text: str) -> list[str]:
    """The record's lines about actions, without their log line numbers."""
    return [re.sub(r"^line \d+: ", "", line) for line in text.split("\r\n")
            if line.startswith(("line ", "file ", "folder "))]


def test_record_of_the_demo_installation_names_what_went_and_nothing_else(scenario):
    machine = scenario.machine
    demo.install(machine)
    held = demo.windows(r"bin\engine.dll")
    record = scenario.path("Demo App removal.txt")
    files_before = paths(machine)
    registry_before = demo.registry_state(machine)

    result = machine.run(f'{q(demo.windows("dismora.exe"))} /silent /wait {q("/log=" + record)}',
                         cwd=scenario.folder, locks=[held])

    detail = result.describe()
    data = machine.host_path(record).read_bytes()
    assert data.startswith(b"\xef\xbb\xbf"), detail
    text = data[3:].decode("utf-8")
    RECORD_COPY.write_text(text.replace("\r\n", "\n"), encoding="utf-8")
    lines = events(text)
    gone = files_before - paths(machine)
    changes = demo.registry_changes(registry_before, demo.registry_state(machine))

    # Files and folders: what the record says went is exactly what went; the file in use
    # waits for the restart.
    said = {re.sub(r"^(file|folder) (.*): (deleted|removed)$", r"\2", line) for line in lines
            if re.match(r"^(file .*: deleted|folder .*: removed)$", line)}
    # The journal of the counts is the run's own; the program file goes once the run that
    # waited for the copy has ended.
    assert said - {demo.windows("Kelvane.log.journal")} == gone | {demo.windows("dismora.exe")}, text
    assert not machine.exists(demo.windows("dismora.exe")), detail
    assert f"file {held}: scheduled for deletion at restart" in lines, text
    assert f"file {demo.SHARED_FILE}: shared count 2 lowered to 1" in lines, text

    # Registry: every change has its line, and every key or value a line deletes is gone.
    keys = [short_key(m.group(1)) for m in map(re.compile(r"^key (.*): deleted$").match, lines) if m]
    values = [(short_key(m.group(2)), m.group(1)) for m in map(re.compile(r"^value (.*) of (.*): deleted$").match, lines)
              if m]
    types = [m.group(1) for m in map(re.compile(r"^.* of (.*): (restored|deleted)$").match, lines) if m]
    counts = [m.group(1).lower() for m in map(re.compile(r"^file (.*): shared count").match, lines) if m]
    for change in changes:
        kind, _, rest = change.partition(":")
        key = rest.strip().split("  ")[0].lower()
        told = (any(key == k or key.startswith(k + "\\") for k in keys)
                or any(key == k for k, _ in values)
                or any(f"\\classes\\{t}".lower() in key for t in types)
                or (key.endswith("\\shareddlls") and any(c in change.lower() for c in counts)))
        assert told, f"{change} is not in the record:\n{text}"
    for key in keys:
        assert not machine.reg_key_exists(key.replace("hklm", "HKLM", 1).replace("hkcu", "HKCU", 1)), key
    for key, name in values:
        assert name not in (machine.reg_values(key.replace("hklm", "HKLM", 1).replace("hkcu", "HKCU", 1)) or {})

    # Nothing but the known kinds of line, and the outcome with /wait.
    unknown = [line for line in lines if not re.search(
        r": (deleted|removed|not found|restored|left, changed since the installation|no shared count|"
        r"shared count \d+ (removed|lowered to \d+)|scheduled for deletion at restart|exit code \d+)$", line)]
    assert unknown == [], text
    assert "\r\nexit code 3010\r\n" in text, text

    # The administrators' guide shows this very record.
    shown = DOC.read_text(encoding="utf-8")
    shown = shown[shown.index("as the tests\nproduce it:"):]
    sample = shown[shown.index("```text\n") + 8:]
    sample = sample[:sample.index("```")]
    assert events(sample.replace("\n", "\r\n")) == lines, "docs/deployment-log.md shows another record:\n" + text
    # Line by line, header and summary included; only what changes from run to run masked.
    assert masked(sample) == masked(text.replace("\r\n", "\n")), "docs/deployment-log.md shows another record:\n" + text


def masked(text: str) -> list[str]:
    """The record's lines with the time, the process id, the record's identity and the
    account masked."""
    text = re.sub(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", "TIME", text)
    text = re.sub(r"/wait=\d+", "/wait=PID", text)
    text = re.sub(r"/logid=\d+", "/logid=ID", text)
    text = re.sub(r"^account .*, ", "account USER, ", text, flags=re.M)
    return [line for line in text.split("\n") if line]


def test_a_record_that_names_the_log_is_not_kept(scenario):
    """The record may not be the log: the uninstall runs as without /log=."""
    machine = scenario.machine
    demo.install(machine)
    log = demo.windows("Kelvane.log")
    result = machine.run(f'{q(demo.windows("dismora.exe"))} /silent /wait {q("/log=" + log)}', cwd=scenario.folder)
    assert result.program_runs()[0].exit_code == 0, result.describe()
    assert not machine.exists(log), result.describe()
    assert not machine.exists(demo.windows("dismora.exe")), result.describe()


def test_a_record_path_with_an_environment_variable(scenario):
    """Started without a shell, as deployment agents start it: %TEMP% is expanded all the same."""
    machine = scenario.machine
    demo.install(machine)
    record = machine.temp_folder().rstrip("\\") + "\\dismora e2e record.txt"
    result = machine.run(f'{q(demo.windows("dismora.exe"))} /silent /wait "/log=%TEMP%\\dismora e2e record.txt"',
                         cwd=scenario.folder)
    assert result.program_runs()[0].exit_code == 0, result.describe()
    text = machine.host_path(record).read_bytes()[3:].decode("utf-8")
    assert "\r\nexit code 0\r\n" in text, text
