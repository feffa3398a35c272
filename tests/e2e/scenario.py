"""A test's own corner of the Wine machine, and the checks every run of the program shares."""

from __future__ import annotations

import os
import re
import shutil
from collections import Counter
from dataclasses import dataclass
from pathlib import Path

import pytest

from logs import DeploymentLog
from wine_env import DISMORA_EXE, REPO, RunResult, WineMachine, q


@dataclass
class Application:
    """An installed application: its folder, the files the log lists, the program file and the log."""

    folder: str
    files: list[str]
    program: str | None
    log_path: str


class Scenario:
    """A test's own folder on drive C and its own registry key names."""

    def __init__(self, machine: WineMachine, name: str):
        self.machine = machine
        self.name = name
        self.folder = "C:\\Dismora E2E\\" + name
        self.key = "HKCU\\Software\\Dismora E2E\\" + name
        machine.host_path(self.folder).mkdir(parents=True, exist_ok=True)

    def path(self, *parts: str) -> str:
        """A Windows path inside the scenario's folder (an absolute part is taken as it is)."""
        out = self.folder
        for part in parts:
            out = part if re.match(r"^[A-Za-z]:\\", part) else out.rstrip("\\") + "\\" + part
        return out

    def host(self, *parts: str) -> Path:
        return self.machine.host_path(self.path(*parts))

    def write(self, rel: str, data: bytes | str) -> str:
        path = self.path(rel)
        self.machine.write_file(path, data)
        return path

    def write_log(self, log: DeploymentLog | bytes, rel: str = "Kelvane.log") -> str:
        return self.write(rel, log if isinstance(log, bytes) else log.to_bytes())

    def install_dismora(self, rel: str = "dismora.exe") -> str:
        if not DISMORA_EXE.exists():
            pytest.fail(f"{os.path.relpath(DISMORA_EXE, REPO)} is missing: build it with `make build-windows`")
        path = self.path(rel)
        target = self.machine.host_path(path)
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(DISMORA_EXE, target)
        return path

    def run_dismora(self, *args: str, answers=(), exe: str | None = None, cwd: str | None = None,
                    timeout_ms: int = 30000, locks=()) -> RunResult:
        """Starts dismora.exe (the scenario's copy unless exe names another) with the arguments as given."""
        exe = exe or self.path("dismora.exe")
        if not self.machine.exists(exe):
            self.install_dismora(exe)
        cmdline = " ".join([q(exe), *args])
        return self.machine.run(cmdline, answers=answers, cwd=cwd or self.folder, timeout_ms=timeout_ms,
                                locks=locks)

    def listing(self, folder: str | None = None) -> list[str]:
        """Every file and folder under a folder, relative, sorted; folders end with a backslash."""
        root = self.machine.host_path(folder or self.folder)
        out = []
        for dirpath, dirnames, filenames in os.walk(root):
            rel = Path(dirpath).relative_to(root)
            for d in dirnames:
                out.append("\\".join((rel / d).parts) + "\\")
            for f in filenames:
                out.append("\\".join((rel / f).parts))
        return sorted(out)

    def program_files_folder(self) -> str:
        """The test's own application folder directly under the prefix's Program Files folder."""
        root = self.machine.reg_text(r"HKLM\Software\Microsoft\Windows\CurrentVersion", "ProgramFilesDir")
        return (root or "C:\\Program Files").rstrip("\\") + "\\Dismora E2E " + self.name

    def write_tree(self, folder: str, files: dict[str, bytes | str]) -> list[str]:
        """Writes files (relative names) below a folder; returns their Windows paths in order."""
        return [self.write(folder.rstrip("\\") + "\\" + rel, data) for rel, data in files.items()]

    def install_application(self, folder: str, files: dict[str, bytes | str], log: DeploymentLog, *,
                            log_rel: str = "Kelvane.log", with_program: bool = True) -> Application:
        """Writes an application's files, dismora.exe beside them (listed last, as an installer
        lists its own uninstaller) and the log; the log's file section gets every written file
        after whatever the test listed already."""
        paths = self.write_tree(folder, files)
        program = self.install_dismora(folder + "\\dismora.exe") if with_program else None
        log.files = list(log.files) + paths + ([program] if program else [])
        log_path = self.write_log(log, folder + "\\" + log_rel)
        return Application(folder=folder, files=paths, program=program, log_path=log_path)


def assert_clean_end(result: RunResult) -> None:
    """No hang, every scripted answer used as written, and every run of the program ended with 0."""
    detail = result.describe()
    assert not result.hang, "the run did not end in time:\n" + detail
    assert result.unused_answers == 0, "fewer boxes than scripted answers:\n" + detail
    assert not any(b.script_mismatch for b in result.boxes), "a scripted answer was not on its box:\n" + detail
    runs = result.program_runs()
    assert runs, f"{result.program_name} never ran:\n" + detail
    assert all(p.exit_code == 0 for p in runs), "an exit code other than 0:\n" + detail


def assert_on_restart_list_once(machine, before: list[str], path: str, detail: str = "") -> None:
    """The path waits for the restart, once, and nothing else was added: the run added it, or
    an earlier run's copy of the same name had (a pending path is not added twice)."""
    after = machine.pending_deletions()
    assert added_entries(before, after) in ([], [path]), detail
    assert [p.lower() for p in after].count(path.lower()) == 1, detail


def added_entries(before: list[str], after: list[str]) -> list[str]:
    """What a list holds now beyond what it held before (each entry counted), in its order."""
    left = Counter(before)
    out = []
    for item in after:
        if left[item]:
            left[item] -= 1
        else:
            out.append(item)
    return out
