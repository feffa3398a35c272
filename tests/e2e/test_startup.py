"""Start-up of the real dismora.exe under Wine: finding the log, checking its
header, and asking the user, as the message boxes show them."""

from __future__ import annotations

import pytest

from logs import LF, DeploymentLog, comment_lines
from scenario import assert_clean_end
from wine_env import dword, q, sz

READ_ERROR = "Error reading deployment log"


def cannot_open(path: str) -> str:
    return f"Cannot open the deployment log {path} which is needed to perform the uninstallation"


def out_of_date(own_path: str) -> str:
    return f"Cannot perform uninstall because {own_path} is out of date"


def assert_only_box(result, *, caption, text, buttons, default, icon):
    """Exactly one box, as given, and a clean end of every process."""
    detail = result.describe()
    assert_clean_end(result)
    assert len(result.boxes) == 1, "expected exactly one box:\n" + detail
    box = result.boxes[0]
    assert box.caption == caption, detail
    assert box.text == text, detail
    assert box.buttons == buttons, detail
    assert box.default == default, detail
    assert box.icon == icon, detail


def assert_error_box(result, text, *, icon):
    assert_only_box(result, caption="Dismora", text=text, buttons=["OK"], default="OK", icon=icon)
    # An error ends the program where it stands: nothing was relaunched.
    assert len(result.program_runs()) == 1, result.describe()


def assert_confirmation(result, log: DeploymentLog, product_shown: str | None = None):
    shown = log.product if product_shown is None else product_shown
    a, b, c = log.confirmation
    text = (a + "\r" + b + "\r\r" + c).replace("%s", shown, 1)
    assert_only_box(result, caption="Dismora " + shown, text=text, buttons=["Yes", "No"], default="No",
                    icon="question")


# --- the log cannot be had --------------------------------------------------------

MISSING_CASES = {
    # id: (arguments, {dir} standing for the scenario's folder; the path the box must name)
    "no arguments, none beside the program": ([], r"{dir}\Kelvane.log"),
    "silent alone, none beside the program": (["/silent"], r"{dir}\Kelvane.log"),
    "short silent alone, capitals": (["/S"], r"{dir}\Kelvane.log"),
    "named log missing": (['"{dir}\\gone.log"'], r"{dir}\gone.log"),
    "named log missing, then silent": (['"{dir}\\gone.log"', "/s"], r"{dir}\gone.log"),
    "silent then named log missing": (["/SILENT", '"{dir}\\gone.log"'], r"{dir}\gone.log"),
    "silent then temp: temp is the log path": (["/silent", "/temp"], "/temp"),
    "named log is a folder": (['"{dir}\\logs.d"'], r"{dir}\logs.d"),
}


@pytest.mark.parametrize("args,named", MISSING_CASES.values(), ids=list(MISSING_CASES))
def test_missing_log_is_reported_with_the_path_looked_for(dismora, args, named):
    dismora.machine.host_path(dismora.path("logs.d")).mkdir()
    args = [a.format(dir=dismora.folder) for a in args]
    # Started from another folder: the default log is the one beside the program, not in the current folder.
    result = dismora.run_dismora(*args, answers=["OK"], cwd="C:\\")
    assert_error_box(result, cannot_open(named.format(dir=dismora.folder)), icon="error")


def test_folder_named_like_the_default_log_is_not_a_log(dismora):
    dismora.machine.host_path(dismora.path("Kelvane.log")).mkdir()
    dismora.write(r"Kelvane.log\inside.txt", "x")
    result = dismora.run_dismora(answers=["OK"])
    assert_error_box(result, cannot_open(dismora.path("Kelvane.log")), icon="error")
    assert dismora.host(r"Kelvane.log\inside.txt").exists()


def test_log_held_open_by_another_program_cannot_be_opened(dismora):
    log = dismora.write_log(DeploymentLog())
    result = dismora.machine.run(" ".join([q(dismora.path("dismora.exe")), q(log)]), answers=["OK"],
                                 cwd=dismora.folder, locks=[log])
    assert_error_box(result, cannot_open(log), icon="error")


# --- the header is rejected --------------------------------------------------------

def _log_bytes(**kw) -> bytes:
    return DeploymentLog(**kw).to_bytes()


REJECTED_CASES = {
    "empty file": b"",
    "only line ends": b"\r\n" * 5,
    "101 comment lines before the version": _log_bytes(comments=comment_lines(101)),
    "101 comment lines and nothing else": "".join(l + "\r\n" for l in comment_lines(101)).encode(),
    "letters after the digits": _log_bytes(version_line="4a"),
    "a word": _log_bytes(version_line="four"),
    "zero": _log_bytes(version_line="0"),
    "negative": _log_bytes(version_line="-2"),
    "blank after the number": _log_bytes(version_line="4 "),
    "decimal fraction": _log_bytes(version_line="4.0"),
    "tab before the number": _log_bytes(version_line="\t4"),
    "line of blanks before the version": _log_bytes(comments=["   "]),
    "UTF-8 byte-order mark": b"\xef\xbb\xbf" + _log_bytes(),
    "CR-only line ends make one line": _log_bytes(newline="\r"),
}


@pytest.mark.parametrize("content", REJECTED_CASES.values(), ids=list(REJECTED_CASES))
def test_unreadable_header_is_reported(dismora, content):
    log = dismora.write_log(content)
    result = dismora.run_dismora(q(log), answers=["OK"])
    assert_error_box(result, READ_ERROR, icon="none")
    assert dismora.host("Kelvane.log").read_bytes() == content


@pytest.mark.parametrize("version", [5, 6, 99])
def test_newer_format_is_out_of_date_naming_the_running_program(scenario, version):
    # An unusual program name shows that the box names the running file itself.
    exe = scenario.install_dismora(r"bin dir\Uninstall Ünï.exe")
    log = scenario.write_log(DeploymentLog(version=version, encoding="utf-8"))
    result = scenario.run_dismora(q(log), answers=["OK"], exe=exe)
    assert_error_box(result, out_of_date(exe), icon="none")


# --- the header is accepted and the user is asked -------------------------------------

PRODUCT = "Ünïcødé Tööl"
PRODUCT_UTF8 = "Ünïcødé Tööl ✓"

ACCEPTED_CASES = {
    # id: (log, product as the box must show it)
    "version 1, ANSI": (DeploymentLog(version=1, product=PRODUCT), PRODUCT),
    "version 2, UTF-8": (DeploymentLog(version=2, product=PRODUCT_UTF8), PRODUCT_UTF8),
    "version 3, ANSI, current user": (DeploymentLog(version=3, scope="CURRENT", product=PRODUCT), PRODUCT),
    "version 4, UTF-8": (DeploymentLog(version=4, product=PRODUCT_UTF8), PRODUCT_UTF8),
    "version 4, LF line ends": (DeploymentLog(version=4, product=PRODUCT_UTF8, newline=LF), PRODUCT_UTF8),
    "version 3 holding UTF-8 bytes is read as ANSI": (
        DeploymentLog(version=3, product=PRODUCT_UTF8, encoding="utf-8"),
        PRODUCT_UTF8.encode("utf-8").decode("cp1252")),
    "100 comment lines before the version": (DeploymentLog(comments=comment_lines(100)), None),
    "blanks before the number": (DeploymentLog(version_line="   4"), None),
    "plus sign": (DeploymentLog(version_line="+4"), None),
    "hexadecimal": (DeploymentLog(version_line="0x4"), None),
    "dollar hexadecimal": (DeploymentLog(version_line="$4"), None),
    "scope in lower case": (DeploymentLog(scope="all"), None),
    "texts holding %s twice": (DeploymentLog(confirmation=("Remove %s, not %s?", "50% done, %d left", "%s"),
                                             product="P"), "P"),
    "empty confirmation lines": (DeploymentLog(confirmation=("", "", "")), None),
}


@pytest.mark.parametrize("log,shown", ACCEPTED_CASES.values(), ids=list(ACCEPTED_CASES))
def test_accepted_header_asks_for_confirmation(dismora, log, shown):
    path = dismora.write_log(log)
    before = dismora.host("Kelvane.log").read_bytes()
    result = dismora.run_dismora(q(path), answers=["No"])
    assert_confirmation(result, log, shown)
    assert len(result.program_runs()) == 1, result.describe()
    assert dismora.host("Kelvane.log").read_bytes() == before


ASKING_ARGUMENTS = {
    "no arguments: the log beside the program": [],
    "log path": ["{log}"],
    "seven characters that are not /silent": ["{log}", "/sileNX"],
    "two letters that are not /s": ["{log}", "/x"],
    "switch after the third argument": ["{log}", "/x", "/y", "/silent"],
    "temp as the third argument": ["{log}", "/x", "/temp"],
}


@pytest.mark.parametrize("args", ASKING_ARGUMENTS.values(), ids=list(ASKING_ARGUMENTS))
def test_ordinary_start_asks_for_confirmation(dismora, args):
    log = DeploymentLog(product="Asked")
    path = dismora.write_log(log)
    result = dismora.run_dismora(*[a.format(log=q(path)) for a in args], answers=["No"], cwd="C:\\")
    assert_confirmation(result, log)


def test_declined_confirmation_changes_nothing(dismora):
    key = dismora.key
    files = {r"app\one.txt": b"one", r"app\sub\two.dat": b"\x00\x01two", r"app\sub\deeper\three": b""}
    for rel, data in files.items():
        dismora.write(rel, data)
    dismora.machine.reg_import({key: {"": "kept", "Setting": "value"}, key + "\\Sub": {"n": 7}})
    shared = r"HKLM\Software\Microsoft\Windows\CurrentVersion\SharedDLLs"
    shared_before = dismora.machine.reg_values(shared)
    registry_line = key.replace("HKCU", "HKEY_CURRENT_USER", 1)
    log = DeploymentLog(
        product="Keep Me",
        files=[dismora.path(rel) for rel in files],
        registry=[registry_line + "\t*", registry_line + "\tSetting"],
        components=[dismora.path(r"app\one.txt")],
    )
    dismora.write_log(log)
    listing_before = dismora.listing()
    log_bytes = dismora.host("Kelvane.log").read_bytes()
    pending_before = dismora.machine.pending_renames()

    result = dismora.run_dismora(answers=["No"])

    assert_confirmation(result, log)
    assert dismora.listing() == listing_before
    assert dismora.host("Kelvane.log").read_bytes() == log_bytes
    for rel, data in files.items():
        assert dismora.host(rel).read_bytes() == data
    assert dismora.machine.reg_values(key) == {"": sz("kept"), "Setting": sz("value")}
    assert dismora.machine.reg_values(key + "\\Sub") == {"n": dword(7)}
    assert dismora.machine.reg_values(shared) == shared_before
    assert dismora.machine.pending_renames() == pending_before


# --- silent starts --------------------------------------------------------------------

SILENT_ARGUMENTS = {
    "log then /S": ["{log}", "/S"],
    "/SILENT then log": ["/SILENT", "{log}"],
    "/s then log": ["/s", "{log}"],
    "log then mixed-case /sIlEnT": ["{log}", "/sIlEnT"],
    "silent as the third argument": ["{log}", "/x", "/Silent"],
    "/silent alone: the log beside the program": ["/silent"],
}


@pytest.mark.parametrize("args", SILENT_ARGUMENTS.values(), ids=list(SILENT_ARGUMENTS))
def test_silent_start_asks_nothing(dismora, args):
    path = dismora.write_log(DeploymentLog(product="Quiet"))
    result = dismora.run_dismora(*[a.format(log=q(path)) for a in args], cwd="C:\\")
    assert_clean_end(result)
    # Silent mode holds back the confirmation and the final message, and nothing here is an error.
    assert result.boxes == [], result.describe()


def test_confirmed_start_asks_only_once(dismora):
    log = DeploymentLog(product="Once")
    dismora.write_log(log)
    result = dismora.run_dismora(answers=["Yes"])
    assert_clean_end(result)
    detail = result.describe()
    first, *later = result.boxes
    assert (first.caption, first.text, first.answer) == (log.caption, log.confirmation_text, "Yes"), detail
    # Whatever follows the Yes, the question is not asked again; the only box left to
    # come is the final message.
    assert len(later) <= 1, detail
    for box in later:
        assert box.caption == log.caption, detail
        assert box.text in (log.completion_text, log.completion_with_restart_text), detail
        assert box.buttons == ["OK"], detail
