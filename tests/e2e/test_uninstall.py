"""Whole uninstall runs of the real dismora.exe under Wine: shared-file counts, the
installed files and their folders, files in use, the pre-uninstall command and the
final message."""

from __future__ import annotations

import pytest

from logs import DeploymentLog
from scenario import added_entries, assert_clean_end, assert_on_restart_list_once
from wine_env import dword, q, sz

SHARED_ALL_USERS = r"HKLM\Software\Microsoft\Windows\CurrentVersion\SharedDLLs"
SHARED_PER_USER = r"HKCU\Software\Microsoft\Windows\CurrentVersion\SharedDLLs"

# An application as an installer leaves it: files at several depths, one of them shared.
APP_FILES = {
    "Tool.exe": b"MZ tool\x00" * 40,
    "readme.txt": "Tool 1.0\r\n",
    r"bin\engine.dll": b"MZ engine\x00" * 60,
    r"bin\plugins\export.dll": b"MZ export\x00" * 20,
    r"shared\common.dll": b"MZ common\x00" * 30,
    r"data\images\logo.bmp": b"BM" + bytes(62),
}
# Reference counts before the run: Tool.exe is used by this installation alone, common.dll
# by two more; the other files have no count at all.
COUNTS = {"Tool.exe": 1, r"shared\common.dll": 3}
KEPT = r"shared\common.dll"


def registry_line(key: str, value: str = "*") -> str:
    return key.replace("HKCU\\", "HKEY_CURRENT_USER\\", 1) + "\t" + value


def install(scenario, folder: str, *, scope: str = "ALL", shared_key: str = SHARED_ALL_USERS,
            with_program: bool = True, **log_fields):
    """The application in a folder, its counts in a SharedDLLs key and its own registry key."""
    scenario.machine.reg_import({scenario.key: {"Version": "1.0"}, scenario.key + "\\Options": {"n": 3}})
    log = DeploymentLog(scope=scope, product="Tool " + scenario.name[-12:],
                        registry=[registry_line(scenario.key)], **log_fields)
    app = scenario.install_application(folder, APP_FILES, log, with_program=with_program)
    if shared_key:
        scenario.machine.reg_import({shared_key: {folder + "\\" + rel: n for rel, n in COUNTS.items()}})
    return app, log


def shared_counts(machine, key: str, folder: str) -> dict[str, int]:
    """The counts in a SharedDLLs key for files below a folder, by name relative to it."""
    values = machine.reg_values(key) or {}
    prefix = (folder + "\\").lower()
    return {name[len(prefix):]: value.dword for name, value in values.items() if name.lower().startswith(prefix)}


def assert_removed_except_kept(scenario, app, key: str):
    """Every file and folder of the application is gone but the shared file still in use."""
    assert scenario.listing(app.folder) == ["shared\\", KEPT]
    assert scenario.machine.host_path(app.folder + "\\" + KEPT).read_bytes() == APP_FILES[KEPT]
    # Count 1 went with its value, count 3 became 2, and no value was made for the others.
    assert shared_counts(scenario.machine, key, app.folder) == {KEPT: 2}
    assert scenario.machine.reg_values(key)[app.folder + "\\" + KEPT] == dword(2)
    assert scenario.machine.reg_values(scenario.key) is None


def assert_final_box(result, log: DeploymentLog, text: str):
    detail = result.describe()
    final = result.boxes[-1]
    assert (final.caption, final.text) == (log.caption, text), detail
    assert (final.buttons, final.default, final.icon) == (["OK"], "OK", "question"), detail


def worker(result):
    """The run of the program that did the uninstall: the last one started."""
    return result.program_runs()[-1]


# --- all-users installation under Program Files ----------------------------------------

RUN_MODES = {
    # id: (program file in the application folder, arguments, answers)
    "temporary-copy mode, silent": (False, ["{log}", "/temp", "/silent"], []),
    "ordinary start from the application folder, answered Yes": (True, [], ["Yes"]),
}


@pytest.mark.parametrize("inside,args,answers", RUN_MODES.values(), ids=list(RUN_MODES))
def test_installation_is_removed_but_for_a_file_still_shared(scenario, inside, args, answers):
    machine = scenario.machine
    folder = scenario.program_files_folder()
    app, log = install(scenario, folder, with_program=inside)
    exe = app.program or scenario.install_dismora()
    pending_before = machine.pending_deletions()

    # A user starts the program from its folder; the copy that does the work is started
    # elsewhere, since a process's current folder cannot be removed.
    result = scenario.run_dismora(*[a.format(log=q(app.log_path)) for a in args], answers=answers,
                                  exe=exe, cwd=folder if inside else scenario.folder)

    assert_clean_end(result)
    detail = result.describe()
    assert_removed_except_kept(scenario, app, SHARED_ALL_USERS)
    if answers:
        assert [b.text for b in result.boxes] == [log.confirmation_text, log.completion_text], detail
        assert_final_box(result, log, log.completion_text)
    else:
        assert result.boxes == [], detail
    # The only deletion left for the restart is the running program's own file, on the list
    # once: an earlier run's copy of the same name may have put it there already.
    assert_on_restart_list_once(machine, pending_before, machine.short_path(worker(result).image), detail)


SHARED_KEY_STATES = {
    # id: (counts written to the per-user key before the run)
    "per-user key holds the counts": True,
    "per-user key missing": False,
}


@pytest.mark.parametrize("with_counts", SHARED_KEY_STATES.values(), ids=list(SHARED_KEY_STATES))
def test_per_user_installation_counts_in_the_current_users_key(scenario, with_counts):
    machine = scenario.machine
    folder = scenario.path("Per User App")
    with machine.key_restored_afterwards(SHARED_PER_USER):
        if not with_counts:
            machine.reg_delete_key(SHARED_PER_USER)
            assert machine.reg_values(SHARED_PER_USER) is None
        app, log = install(scenario, folder, scope="CURRENT", with_program=False,
                           shared_key=SHARED_PER_USER if with_counts else None)
        # The same names under the machine's key must not be looked at.
        decoys = {folder + "\\" + rel: 5 for rel in APP_FILES}
        machine.reg_import({SHARED_ALL_USERS: decoys})
        exe = scenario.install_dismora()

        result = scenario.run_dismora(q(app.log_path), "/temp", "/silent", exe=exe)

        assert_clean_end(result)
        assert result.boxes == [], result.describe()
        per_user = machine.reg_values(SHARED_PER_USER)
        if with_counts:
            assert_removed_except_kept(scenario, app, SHARED_PER_USER)
        else:
            # Created on the way, and left empty: with no counts, every file goes.
            assert per_user == {}
            assert not machine.exists(folder)
        assert shared_counts(machine, SHARED_ALL_USERS, folder) == {rel: 5 for rel in APP_FILES}


def test_counts_read_out_once_decide_the_later_files_alike(scenario):
    """Many listed files and few counts: after the first files the key's names are read out
    once, and the later files are decided by them. The counted files stand last and are
    spelled in other letter case than the key's names."""
    machine = scenario.machine
    folder = scenario.path("Many Files App")
    files = {f"part{i:02d}\\file{i:03d}.dat": f"{i}" for i in range(40)}
    files[r"zz\Shared.DLL"] = b"MZ shared"
    files[r"zz\Once.dll"] = b"MZ once"
    unrelated = r"C:\Elsewhere\file001.dat"
    with machine.key_restored_afterwards(SHARED_PER_USER):
        machine.reg_delete_key(SHARED_PER_USER)
        log = DeploymentLog(scope="CURRENT", product="Many Files")
        app = scenario.install_application(folder, files, log, with_program=False)
        machine.reg_import({SHARED_PER_USER: {(folder + r"\zz\shared.dll").upper(): 3,
                                              (folder + r"\ZZ\once.DLL").lower(): 1, unrelated: 7}})
        exe = scenario.install_dismora()

        result = scenario.run_dismora(q(app.log_path), "/temp", "/silent", exe=exe)

        assert_clean_end(result)
        assert scenario.listing(folder) == ["zz\\", r"zz\Shared.DLL"]
        assert machine.reg_values(SHARED_PER_USER) == {(folder + r"\zz\shared.dll").upper(): dword(2),
                                                       unrelated: dword(7)}


def test_log_larger_than_the_read_buffer_with_a_line_longer_than_it(scenario):
    """Lines cross the ends of the reader's buffer, and one line is longer than the buffer:
    every listed file still goes, and the long line, naming nothing, changes nothing."""
    machine = scenario.machine
    folder = scenario.path("Big Log App")
    long_name = folder + "\\" + "n" * 150_000 + ".dat"
    files = {f"d{i % 7}\\{'x' * 90}{i:04d}.txt": f"{i}" for i in range(900)}
    log = DeploymentLog(scope="CURRENT", product="Big Log", files=[long_name])
    app = scenario.install_application(folder, files, log, with_program=False)
    assert machine.host_path(app.log_path).stat().st_size > 3 * 65536
    exe = scenario.install_dismora()
    pending_before = machine.pending_deletions()

    result = scenario.run_dismora(q(app.log_path), "/temp", "/silent", exe=exe)

    assert_clean_end(result)
    assert not machine.exists(folder)
    assert added_entries(pending_before, machine.pending_deletions()) == [machine.short_path(exe)]


# --- files that cannot go now ------------------------------------------------------------

def test_file_held_open_is_left_for_the_restart(scenario):
    machine = scenario.machine
    folder = scenario.path("Busy App")
    app, log = install(scenario, folder, scope="CURRENT", with_program=False, shared_key=None)
    held = folder + r"\bin\engine.dll"
    exe = scenario.install_dismora()
    pending_before = machine.pending_deletions()

    result = machine.run(" ".join([q(exe), q(app.log_path), "/temp"]), cwd=scenario.folder, answers=["OK"],
                         locks=[held])

    assert_clean_end(result)
    detail = result.describe()
    assert len(result.boxes) == 1, detail
    assert_final_box(result, log, log.completion_with_restart_text)
    # The held file stays, and with it only its folder; its neighbours went.
    assert scenario.listing(folder) == ["bin\\", r"bin\engine.dll"]
    assert machine.reg_values(scenario.key) is None
    assert added_entries(pending_before, machine.pending_deletions()) == [
        machine.short_path(exe), machine.short_path(held)], detail


def test_running_program_and_its_dll_are_moved_aside_and_their_folders_go(scenario):
    machine = scenario.machine
    folder = scenario.path("Running App")
    app, log = install(scenario, folder, with_program=False, shared_key=None)
    # The application's own program runs from its folder, its DLL loaded, its current folder elsewhere.
    tools = machine.host_path(machine.tools_dir)
    program, library = folder + r"\Tool.exe", folder + r"\bin\engine.dll"
    machine.host_path(program).write_bytes((tools / "holder.exe").read_bytes())
    machine.host_path(library).write_bytes((tools / "held.dll").read_bytes())
    exe = scenario.install_dismora()
    pending_before = machine.pending_deletions()

    result = machine.run(" ".join([q(exe), q(app.log_path), "/temp", "/silent", "/wait"]), cwd=scenario.folder,
                         holds=[q(program) + " " + q(library)])

    detail = result.describe()
    assert worker(result).exit_code == 3010, detail
    assert not machine.exists(folder), detail
    # The moved files, then their folder, wait for the restart.
    added = added_entries(pending_before, machine.pending_deletions())
    assert added[0] == machine.short_path(exe), detail
    holding = added[-1]  # at the drive's root
    assert holding.startswith("C:\\") and holding.count("\\") == 1, added
    assert added[1:] == [holding + r"\1-Tool.exe", holding + r"\2-engine.dll", holding], added


def test_closeapps_closes_the_running_program_and_the_run_ends_0(scenario):
    machine = scenario.machine
    folder = scenario.path("Closing App")
    app, log = install(scenario, folder, with_program=False, shared_key=None)
    tools = machine.host_path(machine.tools_dir)
    program, library = folder + r"\Tool.exe", folder + r"\bin\engine.dll"
    machine.host_path(program).write_bytes((tools / "holder.exe").read_bytes())
    machine.host_path(library).write_bytes((tools / "held.dll").read_bytes())
    exe = scenario.install_dismora()
    record = scenario.path("closeapps.txt")
    pending_before = machine.pending_deletions()

    result = machine.run(" ".join([q(exe), q(app.log_path), "/temp", "/silent", "/wait", "/closeapps", q("/log=" + record)]),
                         cwd=scenario.folder, holds=[q(program) + " " + q(library)])

    text = machine.host_path(record).read_text(encoding="utf-8-sig")
    detail = result.describe() + text
    assert worker(result).exit_code == 0, detail
    assert not machine.exists(folder), detail
    assert "application Holder - engine (process " in text and "): closed" in text, detail
    assert added_entries(pending_before, machine.pending_deletions()) == [machine.short_path(exe)], detail

    # Not silent: the box names it, and Yes closes it.
    app, log = install(scenario, folder, with_program=False, shared_key=None)
    machine.host_path(program).write_bytes((tools / "holder.exe").read_bytes())
    machine.host_path(library).write_bytes((tools / "held.dll").read_bytes())
    result = machine.run(" ".join([q(exe), q(app.log_path), "/temp"]), cwd=scenario.folder, answers=["Yes", "OK"],
                         holds=[q(program) + " " + q(library)])
    detail = result.describe()
    assert "Holder - engine" in result.boxes[0].text, detail
    assert not machine.exists(folder), detail


def test_read_only_file_goes_and_the_run_ends_0(scenario):
    machine = scenario.machine
    folder = scenario.path("Read Only App")
    app, log = install(scenario, folder, scope="CURRENT", with_program=False, shared_key=None)
    # Wine reads a file without write permission as read-only.
    machine.host_path(folder + r"\readme.txt").chmod(0o444)
    exe = scenario.install_dismora()
    pending_before = machine.pending_deletions()

    result = machine.run(" ".join([q(exe), q(app.log_path), "/temp", "/silent", "/wait"]), cwd=scenario.folder)

    detail = result.describe()
    assert result.program_runs()[0].exit_code == 0, detail
    assert not machine.exists(folder), detail
    assert added_entries(pending_before, machine.pending_deletions()) == [machine.short_path(exe)], detail


def test_log_listed_among_its_own_files_goes_and_asks_for_a_restart(scenario):
    machine = scenario.machine
    folder = scenario.path("Self Listing App")
    log_path = folder + r"\Kelvane.log"
    log = DeploymentLog(scope="CURRENT", product="Self Lister", files=[log_path])
    app = scenario.install_application(folder, {"one.txt": "1", r"sub\two.txt": "2"}, log, with_program=False)
    assert app.log_path == log_path
    exe = scenario.install_dismora()
    log_short = machine.short_path(log_path)
    pending_before = machine.pending_deletions()

    result = scenario.run_dismora(q(log_path), "/temp", answers=["OK"], exe=exe)

    assert_clean_end(result)
    detail = result.describe()
    assert len(result.boxes) == 1, detail
    assert_final_box(result, log, log.completion_with_restart_text)
    # Open while the listed files went, the log was put off to the restart; deleted at
    # the end all the same, it took its folder with it.
    assert not machine.exists(folder)
    assert added_entries(pending_before, machine.pending_deletions()) == [machine.short_path(exe), log_short], \
        detail


# --- the pre-uninstall command -------------------------------------------------------------

PRE_COMMANDS = {
    # id: (command, {dir} standing for the scenario's folder; uninstall goes on; exit code of cmd.exe)
    "exit code 0 stops": ("cmd /c exit 0", False, 0),
    "exit code 2 stops": ("cmd /c exit 2", False, 2),
    "exit code 1 goes on": ("cmd /c exit 1", True, 1),
    "blanks around exit code 1": (" \t cmd /c exit 1 \t", True, 1),
    "missing program goes on": ('"{dir}\\no such program.exe" /quiet', True, None),
}


@pytest.mark.parametrize("command,goes_on,cmd_exit", PRE_COMMANDS.values(), ids=list(PRE_COMMANDS))
def test_pre_uninstall_command_decides_whether_the_run_goes_on(scenario, command, goes_on, cmd_exit):
    machine = scenario.machine
    folder = scenario.path("Commanded App")
    app, log = install(scenario, folder, scope="CURRENT", with_program=False, shared_key=SHARED_PER_USER,
                       pre_command=command.format(dir=scenario.folder))
    exe = scenario.install_dismora()
    listing_before = scenario.listing(folder)
    log_bytes = machine.host_path(app.log_path).read_bytes()
    counts_before = shared_counts(machine, SHARED_PER_USER, folder)
    registry_before = machine.reg_export(scenario.key)
    pending_before = machine.pending_deletions()

    result = scenario.run_dismora(q(app.log_path), "/temp", answers=["OK"] if goes_on else [], exe=exe)

    assert_clean_end(result)
    detail = result.describe()
    assert [p.exit_code for p in result.processes_named("cmd.exe")] == ([] if cmd_exit is None else [cmd_exit]), \
        detail
    if goes_on:
        assert len(result.boxes) == 1, detail
        assert_final_box(result, log, log.completion_text)
        assert_removed_except_kept(scenario, app, SHARED_PER_USER)
    else:
        assert result.boxes == [], detail
        assert scenario.listing(folder) == listing_before
        assert machine.host_path(app.log_path).read_bytes() == log_bytes
        assert shared_counts(machine, SHARED_PER_USER, folder) == counts_before
        assert machine.reg_export(scenario.key) == registry_before
        assert machine.reg_values(scenario.key) == {"Version": sz("1.0")}
    # In temporary-copy mode the program's own file is put off to the restart either way.
    assert added_entries(pending_before, machine.pending_deletions()) == [machine.short_path(exe)], detail
