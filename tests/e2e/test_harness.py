"""The suite's own instruments, checked against a stand-in program whose boxes are known.

If e2erun misread a box, lost a child process or missed a hang, or if the
registry helpers misread a value, every verdict about dismora.exe would be
worthless; these cases pin each instrument to a known answer first.
"""

from __future__ import annotations

import pytest

from wine_env import (REG_BINARY, REG_EXPAND_SZ, RegValue, dword, multi_sz, q, sz)

# MessageBoxW styles.
MB_OK, MB_OKCANCEL, MB_YESNOCANCEL, MB_YESNO = 0x0, 0x1, 0x3, 0x4
MB_ICONERROR, MB_ICONQUESTION, MB_ICONWARNING, MB_ICONINFORMATION = 0x10, 0x20, 0x30, 0x40
MB_DEFBUTTON2, MB_DEFBUTTON3 = 0x100, 0x200
IDOK, IDCANCEL, IDYES, IDNO = 1, 2, 6, 7


def boxdemo(machine, *actions: str) -> str:
    return " ".join([q(machine.tools_dir + r"\boxdemo.exe"), *actions])


def test_windows_side_uses_code_page_1252(machine):
    # Odd-version logs are written in Windows-1252 on the premise that this is the ANSI code page.
    result = machine.run(boxdemo(machine))
    assert result.acp == 1252


BOX_CASES = [
    # style, caption, text as passed (escaped), text as shown, buttons, default, icon, answer, result
    (MB_OK, "Plain", "one line", "one line", ["OK"], "OK", "none", "OK", IDOK),
    (MB_OK | MB_ICONERROR, "Err", r"first\rsecond", "first\rsecond", ["OK"], "OK", "error", "OK", IDOK),
    (MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, "Dismora Q", r"a\rb\r\rc", "a\rb\r\rc",
     ["Yes", "No"], "No", "question", "Yes", IDYES),
    (MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2, "Dismora Q", "no thanks", "no thanks",
     ["Yes", "No"], "No", "question", "No", IDNO),
    (MB_YESNO, "Yes first", "x", "x", ["Yes", "No"], "Yes", "none", "No", IDNO),
    (MB_OKCANCEL | MB_ICONWARNING, "Warn", "w", "w", ["OK", "Cancel"], "OK", "warning", "Cancel", IDCANCEL),
    (MB_YESNOCANCEL | MB_ICONINFORMATION | MB_DEFBUTTON3, r"\u00dcn\u00efc\u00f8d\u00e9 \u2713",
     r"T\u00f6\u00f6l \u2713 \\ done", "Tööl ✓ \\ done",
     ["Yes", "No", "Cancel"], "Cancel", "information", "Yes", IDYES),
]


@pytest.mark.parametrize("style,caption,text_arg,text,buttons,default,icon,answer,code", BOX_CASES)
def test_reads_and_answers_a_box(machine, style, caption, text_arg, text, buttons, default, icon, answer, code):
    result = machine.run(boxdemo(machine, "box", f"{style:x}", q(caption), q(text_arg), "exit-result"),
                         answers=[answer])
    detail = result.describe()
    assert not result.hang and result.unused_answers == 0, detail
    [box] = result.boxes
    shown_caption = caption.encode().decode("unicode_escape")
    assert box.caption == shown_caption, detail
    assert box.text == text, detail
    assert sorted(box.buttons) == sorted(buttons), detail
    assert (box.default, box.icon, box.answer, box.scripted) == (default, icon, answer, True), detail
    assert box.closed, detail
    [process] = result.processes
    # The box returned the button that was clicked.
    assert process.exit_code == code, detail


def test_follows_a_relaunched_child_and_answers_unscripted_boxes_safely(machine):
    child = boxdemo(machine, "sleep", "300", "box", f"{MB_YESNO:x}", "Child", "second", "exit-result")
    result = machine.run(boxdemo(machine, "box", "0", "Parent", "first", "spawn", q(child.replace('"', "")),
                                 "exit", "5"), answers=["OK"])
    detail = result.describe()
    assert not result.hang, detail
    assert [(b.caption, b.scripted, b.answer) for b in result.boxes] == [
        ("Parent", True, "OK"), ("Child", False, "No")], detail
    parent, kid = result.processes
    assert kid.parent == parent.pid, detail
    assert (parent.exit_code, kid.exit_code) == (5, IDNO), detail
    # The child shows its box after a pause, by which time its parent has normally ended.
    assert result.boxes[1].pid == kid.pid, detail


def test_reports_a_hang_and_ends_every_process(machine):
    sleeper = boxdemo(machine, "sleep", "600000").replace('"', "")
    result = machine.run(boxdemo(machine, "spawn", q(sleeper), "sleep", "600000"), timeout_ms=1500)
    assert result.hang
    assert len(result.processes) == 2
    assert all(p.exit_code == 0xE2E0DEAD for p in result.processes), result.describe()


def test_registry_values_round_trip_exactly(machine, scenario):
    key = scenario.key
    values = {
        "": sz("default text"),
        "plain": sz('quote " back\\slash Ünï ✓'),
        "expand": sz("%SystemRoot%\\x", REG_EXPAND_SZ),
        "number": dword(0xFFFFFFFF),
        "list": multi_sz(["a", "", "c"]),
        "bytes": RegValue(REG_BINARY, bytes(range(0, 256, 7))),
        "text in a dword-sized value": RegValue(1, "0\0".encode("utf-16-le")),
    }
    machine.reg_import({key: values, key + "\\sub": {"x": 1}})
    read = machine.reg_values(key)
    assert read == values
    assert read["list"].strings == ["a", "", "c"]
    assert machine.reg_values(key + "\\sub") == {"x": dword(1)}
    machine.reg_import({key: None})
    assert machine.reg_values(key) is None
    assert not machine.reg_key_exists(key + "\\sub")


def test_reads_deletions_pending_at_restart(machine, scenario):
    doomed = scenario.write("doomed file.txt", b"x")
    result = machine.run(boxdemo(machine, "delete-at-restart", q(doomed)))
    assert [p.exit_code for p in result.processes] == [0], result.describe()
    assert doomed.lower() in [p.lower() for p in machine.pending_deletions()]
