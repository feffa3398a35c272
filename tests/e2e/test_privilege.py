"""Who may uninstall what, and which folders an uninstall never removes, with the
real dismora.exe under Wine (where the user is an elevated administrator)."""

from __future__ import annotations

import pytest

from logs import DeploymentLog
from scenario import assert_clean_end
from wine_env import dword, q

POLICIES = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Policies\System"

APP_FILES = {
    "Tool.exe": b"MZ tool\x00" * 16,
    r"bin\engine.dll": b"MZ engine\x00" * 16,
    r"data\deeper\sample.dat": bytes(range(64)),
}


# --- the privilege gate ---------------------------------------------------------------

GATE_LOGS = {
    "all users": lambda: DeploymentLog(version=4, scope="ALL", product="Gate All"),
    "format version 2 counts as all users": lambda: DeploymentLog(version=2, product="Gate Two"),
    "current user": lambda: DeploymentLog(version=3, scope="CURRENT", product="Gate Mine"),
}
ENABLE_LUA = {"EnableLUA 0": 0, "EnableLUA 1": 1, "EnableLUA absent": None}


@pytest.fixture
def policy(machine):
    """The prefix's User Account Control policy, as the test sets it; put back afterwards."""

    def set_enable_lua(value: int | None) -> None:
        if value is None:
            machine.reg_delete_value(POLICIES, "EnableLUA")
        else:
            machine.reg_import({POLICIES: {"EnableLUA": value}})
        stored = (machine.reg_values(POLICIES) or {}).get("EnableLUA")
        assert stored == (None if value is None else dword(value)), "the policy could not be set"

    with machine.key_restored_afterwards(POLICIES):
        yield set_enable_lua


@pytest.mark.parametrize("lua", ENABLE_LUA.values(), ids=list(ENABLE_LUA))
@pytest.mark.parametrize("make_log", GATE_LOGS.values(), ids=list(GATE_LOGS))
def test_administrator_passes_the_gate_whatever_the_policy(scenario, policy, make_log, lua):
    policy(lua)
    log = make_log()
    app = scenario.install_application(scenario.path("App"), APP_FILES, log)

    # Started as a user would: no arguments, from the application's folder.
    result = scenario.run_dismora(answers=["Yes"], exe=app.program, cwd=app.folder)

    assert_clean_end(result)
    detail = result.describe()
    # Asked, then told it is done: no box about missing rights came in between or after.
    assert [(b.caption, b.text) for b in result.boxes] == [
        (log.caption, log.confirmation_text), (log.caption, log.completion_text)], detail
    assert not scenario.machine.exists(app.folder), detail


# --- protected folders --------------------------------------------------------------------

PROTECTED_ROOTS = {
    # id: where the prefix records the folder (key, value)
    "Program Files": (r"HKLM\Software\Microsoft\Windows\CurrentVersion", "ProgramFilesDir"),
    "all-users Programs menu": (r"HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders",
                                "Common Programs"),
}


@pytest.mark.parametrize("key,value", PROTECTED_ROOTS.values(), ids=list(PROTECTED_ROOTS))
def test_emptied_application_folder_goes_but_not_the_protected_folder_above_it(dismora, key, value):
    machine = dismora.machine
    root = machine.reg_text(key, value)
    assert root, f"the prefix records no {value}"
    folder = root.rstrip("\\") + "\\Dismora E2E " + dismora.name
    # With its usual contents moved aside, only the protection can keep the folder.
    with machine.emptied_folder(root):
        files = dismora.write_tree(folder, APP_FILES)
        log = DeploymentLog(product="Protected", files=files)
        log_path = dismora.write_log(log)
        assert sorted(p.name for p in machine.host_path(root).iterdir()) == ["Dismora E2E " + dismora.name]

        result = dismora.run_dismora(q(log_path), "/temp", "/silent")

        assert_clean_end(result)
        assert result.boxes == [], result.describe()
        assert not machine.exists(folder), result.describe()
        assert not machine.exists(log_path)
        assert machine.host_path(root).is_dir(), f"{root} was removed"
        assert dismora.listing(root) == []


SHELL_FOLDERS = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders"
# id: (key, value of the protected folder, how the log spells a path into it)
SPELLINGS = {
    "doubled backslash": (SHELL_FOLDERS, "Common Desktop", lambda m, folder, name: folder + "\\\\" + name),
    "long-path prefix": (SHELL_FOLDERS, "Common Desktop", lambda m, folder, name: "\\\\?\\" + folder + "\\" + name),
    "trailing dot": (SHELL_FOLDERS, "Common Desktop", lambda m, folder, name: folder + ".\\" + name),
    "dot segment": (SHELL_FOLDERS, "Common Desktop", lambda m, folder, name: folder + "\\.\\" + name),
    "dot-dot segment": (SHELL_FOLDERS, "Common Desktop", lambda m, folder, name: folder + "\\gone\\..\\" + name),
    "short names": (PROTECTED_ROOTS["Program Files"][0], "ProgramFilesDir",
                    lambda m, folder, name: m.short_path(folder) + "\\" + name),
}


@pytest.mark.parametrize("key,value,spell", SPELLINGS.values(), ids=list(SPELLINGS))
def test_protected_folder_stays_however_the_log_spells_the_path(dismora, key, value, spell):
    machine = dismora.machine
    root = machine.reg_text(key, value).rstrip("\\")
    with machine.emptied_folder(root):
        shortcut = dismora.write(root + "\\app.lnk", b"shortcut")
        below = root + "\\Dismora E2E " + dismora.name
        dismora.write(below + "\\notes.txt", b"notes")
        log = DeploymentLog(product="Spelled", files=[spell(machine, root, "app.lnk"),
                                                      spell(machine, below, "notes.txt")])
        log_path = dismora.write_log(log)

        result = dismora.run_dismora(q(log_path), "/temp", "/silent")

        assert_clean_end(result)
        assert result.boxes == [], result.describe()
        assert not machine.exists(shortcut), result.describe()
        assert not machine.exists(below), result.describe()
        assert machine.host_path(root).is_dir(), f"{root} was removed"
