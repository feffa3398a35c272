"""The hand-over to a copy in the temporary folder, with the real dismora.exe under
Wine: the copy does the work, so that the program's own file goes with the rest."""

from __future__ import annotations

import time

import pytest

from logs import DeploymentLog
from scenario import added_entries, assert_clean_end, assert_on_restart_list_once

APP_FILES = {
    "Viewer.exe": b"MZ viewer\x00" * 32,
    "readme.txt": "Viewer 2.0\r\n",
    r"bin\render.dll": b"MZ render\x00" * 48,
    r"data\samples\one.dat": bytes(range(128)),
}

STARTS = {
    # id: (arguments, with the application's folder as the current folder; where the log lies
    #      inside it; answers; whether the boxes are shown)
    "no arguments, answered Yes": ([], "Kelvane.log", ["Yes"], True),
    "silent": (["/silent"], "Kelvane.log", [], False),
    "relative log path, answered Yes": (['"Kelvane.log"'], "Kelvane.log", ["Yes"], True),
    "relative path into a subfolder, silent": (['"setup\\install.log"', "/s"], r"setup\install.log", [], False),
}


@pytest.mark.parametrize("args,log_rel,answers,boxes", STARTS.values(), ids=list(STARTS))
def test_copy_in_the_temporary_folder_removes_the_whole_application(scenario, args, log_rel, answers, boxes):
    machine = scenario.machine
    log = DeploymentLog(product="Viewer")
    app = scenario.install_application(scenario.path("Viewer App"), APP_FILES, log, log_rel=log_rel)
    assert app.program in log.files
    copy = machine.temp_folder() + "\\dismora.exe"
    program_bytes = machine.host_path(app.program).read_bytes()
    pending_before = machine.pending_deletions()

    result = scenario.run_dismora(*args, answers=answers, exe=app.program, cwd=app.folder)

    assert_clean_end(result)
    detail = result.describe()
    # The started program hands over to its copy and ends; the copy does the rest.
    runs = result.program_runs()
    assert len(runs) == 2, detail
    first, worker = runs
    assert first.image.lower() == app.program.lower(), detail
    assert worker.image.lower() == copy.lower(), detail
    # A copy that has already ended when the runner first sees it is gone from the
    # process snapshot, so its parent can then be unknown (0); it is never another process.
    assert worker.parent in (first.pid, 0), detail
    if boxes:
        assert [(b.pid, b.caption, b.text, b.answer) for b in result.boxes] == [
            (first.pid, log.caption, log.confirmation_text, "Yes"),
            (worker.pid, log.caption, log.completion_text, "OK")], detail
    else:
        assert result.boxes == [], detail
    # Everything went: the files, the program that was started, the log and every folder.
    assert not machine.exists(app.folder), scenario.listing(app.folder)
    # The copy stays until the restart, which it has asked for.
    assert machine.host_path(copy).read_bytes() == program_bytes
    assert_on_restart_list_once(machine, pending_before, machine.short_path(copy), detail)


# --- waited runs: what a deployment tool sees -------------------------------------------------

def test_a_caller_that_waits_for_the_started_process_finds_everything_gone(scenario):
    """`wine dismora.exe ... /wait` waits for the process it started, and nothing else: when it
    returns, its exit code is the outcome and what the log names is gone; the program file
    and its folder follow at the latest a second later, deleted, not left for the restart."""
    machine = scenario.machine
    log = DeploymentLog(product="Viewer")
    app = scenario.install_application(scenario.path("Viewer App"), APP_FILES, log)
    pending_before = machine.pending_deletions()

    done = machine.wine(app.program, "/silent", "/wait", check=False, timeout=60)

    assert done.returncode == 0, (done.stdout, done.stderr)
    others = [p for p in log.files if p != app.program]
    assert [p for p in others if machine.exists(p)] == [], scenario.listing(app.folder)
    assert not machine.exists(app.log_path)
    for _ in range(20):
        if not machine.exists(app.folder):
            break
        time.sleep(0.05)
    assert not machine.exists(app.folder), scenario.listing(app.folder)
    copy = machine.temp_folder() + "\\dismora.exe"
    assert_on_restart_list_once(machine, pending_before, machine.short_path(copy))


WAITED = {
    # id: (arguments, answers, files held open, exit code of the started process, boxes shown)
    "a file in use": (["/silent", "/wait"], [], ["readme.txt"], 3010, 0),
    "answered No": (["/wait"], ["No"], [], 1602, 1),
    "missing log, silent": (["/wait", "/silent", r'"C:\Nowhere\Kelvane.log"'], [], [], 1603, 0),
}


@pytest.mark.parametrize("args,answers,held,code,boxes", WAITED.values(), ids=list(WAITED))
def test_a_waited_run_ends_with_its_outcome(scenario, args, answers, held, code, boxes):
    machine = scenario.machine
    log = DeploymentLog(product="Viewer")
    app = scenario.install_application(scenario.path("Viewer App"), APP_FILES, log)

    result = scenario.run_dismora(*args, answers=answers, exe=app.program, cwd=app.folder,
                                  locks=[app.folder + "\\" + name for name in held])

    detail = result.describe()
    assert not result.hang and result.unused_answers == 0, detail
    assert result.program_runs()[0].exit_code == code, detail
    assert len(result.boxes) == boxes, detail
    if held:
        assert machine.exists(app.folder + "\\" + held[0]), detail
        assert not machine.exists(app.program), detail
