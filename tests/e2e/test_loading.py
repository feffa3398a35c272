"""Loading: the real dismora.exe under Wine with a regsvr32.exe and a version.dll planted
beside the temporary copy that does the work (and beside the program that was started).
The copy runs from a folder anyone may write to; neither planted file may run in it."""

from __future__ import annotations

import shutil
from contextlib import contextmanager

import pytest

from logs import DeploymentLog
from scenario import assert_clean_end
from wine_env import BUILD, REPO, q

PLANTED = BUILD / "windows" / "e2e-planted"
PLANTED_FILES = ("regsvr32.exe", "version.dll", "loader.exe")
SYSTEM_REGSVR32 = r"C:\windows\system32\regsvr32.exe"


@pytest.fixture
def planted():
    missing = [name for name in PLANTED_FILES if not (PLANTED / name).exists()]
    if missing:
        pytest.fail(f"{PLANTED.relative_to(REPO)}/{', '.join(missing)} missing: build them with `make build-windows`")
    return PLANTED


def plant(machine, source, folder: str, names=("regsvr32.exe", "version.dll")) -> list[str]:
    placed = []
    for name in names:
        target = folder.rstrip("\\") + "\\" + name
        machine.host_path(target).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(source / name, machine.host_path(target))
        placed.append(target)
    return placed


def trace_file(machine, path: str):
    """The trace a planted file left, whatever letter case the loader gave its name."""
    host = machine.host_path(path)
    if not host.parent.exists():
        return None
    wanted = host.name.lower() + ".ran"
    return next((f for f in host.parent.iterdir() if f.name.lower() == wanted), None)


def traces(machine, planted_paths: list[str]) -> dict[str, str]:
    """The traces the planted files left: path -> the lines they wrote, one per run or load."""
    out = {}
    for path in planted_paths:
        trace = trace_file(machine, path)
        if trace is not None:
            out[path] = trace.read_bytes().decode("utf-16-le", errors="replace")
    return out


@contextmanager
def native_version_dll(machine):
    """Wine loads its own version.dll before one beside a program unless told otherwise;
    told so, it takes the file beside the program first, as Windows does for a DLL that is
    not a known one."""
    saved = machine.env.get("WINEDLLOVERRIDES", "")
    machine.env["WINEDLLOVERRIDES"] = (saved + ";" if saved else "") + "version=n,b"
    try:
        yield
    finally:
        machine.env["WINEDLLOVERRIDES"] = saved


def remove(machine, paths: list[str]) -> None:
    for path in paths:
        machine.host_path(path).unlink(missing_ok=True)
        trace = trace_file(machine, path)
        if trace is not None:
            trace.unlink()


def test_planted_files_leave_their_trace_where_they_are_used(scenario, planted):
    # The control: in a folder of its own, a program that imports version.dll loads the
    # planted one as it starts, loads a second planted DLL by name while it runs, and the
    # planted regsvr32.exe leaves its trace when started by path.
    machine = scenario.machine
    folder = scenario.path("control")
    placed = plant(machine, planted, folder, PLANTED_FILES)
    shutil.copy2(planted / "version.dll", machine.host_path(folder + "\\version2.dll"))
    placed.append(folder + "\\version2.dll")
    loader, regsvr32 = folder + "\\loader.exe", folder + "\\regsvr32.exe"
    with native_version_dll(machine):
        machine.run(q(loader) + " later", cwd=folder)
        machine.run(q(regsvr32) + ' /u /s "x.dll"', cwd=folder)
    left = traces(machine, placed)
    assert set(left) == {folder + "\\version.dll", folder + "\\version2.dll", regsvr32}, left
    assert left[folder + "\\version.dll"].startswith("static ") and "loader.exe" in left[folder + "\\version.dll"]
    assert left[folder + "\\version2.dll"].startswith("dynamic "), left
    assert "/u /s" in left[regsvr32]


def uninstall_with_plants(scenario, planted, *, native_first: bool):
    """An ordinary start, answered Yes, of an application with two components, with both
    planted files beside the program and beside the temporary copy. Returns the traces."""
    machine = scenario.machine
    temp = machine.temp_folder()
    folder = scenario.path("Kelvane App")
    placed = plant(machine, planted, temp) + plant(machine, planted, folder)
    try:
        log = DeploymentLog(product="Kelvane")
        app = scenario.install_application(folder, {"plugin.dll": b"MZ not a server\x00" * 8,
                                                    "viewer.ocx": b"MZ not a control\x00" * 8,
                                                    "readme.txt": "Kelvane\r\n"}, log)
        log.components = [p for p in app.files if p.lower().endswith((".dll", ".ocx"))]
        machine.write_file(app.log_path, log.to_bytes())

        if native_first:
            with native_version_dll(machine):
                result = scenario.run_dismora(answers=["Yes"], exe=app.program, cwd=app.folder, timeout_ms=60000)
        else:
            result = scenario.run_dismora(answers=["Yes"], exe=app.program, cwd=app.folder, timeout_ms=60000)

        assert_clean_end(result)
        detail = result.describe()
        # The started program handed over to its copy in the temporary folder.
        assert len(result.program_runs()) == 2, detail
        assert machine.exists(temp + "\\dismora.exe"), detail
        # Both components were unregistered by the System folder's regsvr32, and only by it.
        assert [p.image.lower() for p in result.processes_named("regsvr32.exe")] == \
            [SYSTEM_REGSVR32.lower()] * 2, detail
        assert [machine.exists(p) for p in app.files] == [False] * len(app.files)
        return traces(machine, placed), detail
    finally:
        remove(machine, placed)


def test_nothing_planted_beside_the_copy_runs(scenario, planted):
    left, detail = uninstall_with_plants(scenario, planted, native_first=False)
    assert left == {}, detail


def test_nothing_planted_is_loaded_once_the_program_runs(scenario, planted):
    # Told to prefer a version.dll beside a program, Wine loads the planted one as the
    # process starts, for its own user32, which imports version.dll: on Windows user32 is a
    # known DLL whose imports come from the System folder. Nothing loads it once the
    # program runs, and the planted regsvr32.exe never runs.
    left, detail = uninstall_with_plants(scenario, planted, native_first=True)
    assert not any(path.lower().endswith("regsvr32.exe") for path in left), left
    loads = [line for text in left.values() for line in text.splitlines() if line]
    assert all(line.startswith("static ") for line in loads), loads
