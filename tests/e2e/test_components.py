"""Component unregistration by the real dismora.exe under Wine: real COM servers
registered with regsvr32 and a real type library, unregistered by an uninstall
run and then deleted, as the servers' own traces and the registry show."""

from __future__ import annotations

import shutil
import subprocess
import time
from dataclasses import dataclass

from logs import DeploymentLog
from registry_scenarios import SHARED_DLLS, exact_value, keys_exist, registry, uninstall_silently  # noqa: F401
from scenario import assert_clean_end
from wine_env import REG_MULTI_SZ, RegValue, dword, q

COMPONENTS = r"C:\e2e-components"
TRACE = r"HKCU\Software\DismoraTest"
CLASSES = r"HKLM\Software\Classes"      # HKEY_CLASSES_ROOT of the suite's 32-bit prefix


@dataclass(frozen=True)
class Server:
    file: str
    clsid: str
    progid: str

    def keys(self) -> list[str]:
        return [rf"{CLASSES}\CLSID\{self.clsid}", rf"{CLASSES}\{self.progid}"]


SERVER = Server("kelvane_server.dll", "{D2982A69-15CE-4847-AFD9-372830E983B2}", "Kelvane.Server.1")
VIEWER = Server("kelvane_viewer.ocx", "{C10C1B65-BCE5-4977-9F3E-A57D2DD325F2}", "Kelvane.Viewer.1")
SLOW = Server("kelvane_slow.dll", "{0B3F503B-97B9-4C25-B039-ACA0A7280E15}", "Kelvane.Slow.1")
TYPES_FILE = "kelvane_types.tlb"
LIBID = "{FBF799D4-7102-450C-BEA0-12C98A2CAE89}"
IID = "{C131F7B5-EB0E-481C-9A2B-833CE8CEA74F}"
TYPELIB_KEYS = [rf"{CLASSES}\TypeLib\{LIBID}", rf"{CLASSES}\Interface\{IID}"]
SYSTEM_REGSVR32 = r"C:\windows\system32\regsvr32.exe"


def place(scenario, source: str, rel: str) -> str:
    """A copy of a built component inside the scenario's folder, under the name given."""
    target = scenario.host(rel)
    target.parent.mkdir(parents=True, exist_ok=True)
    shutil.copy2(scenario.machine.host_path(COMPONENTS + "\\" + source), target)
    return scenario.path(rel)


def register_server(machine, registry, server: Server, path: str) -> None:
    registry.remove_later(*server.keys())
    registry.remove_value_later(TRACE + r"\Unregistered", path)
    machine.wine("regsvr32", "/s", path)
    assert inproc_path(machine, server) == path, f"regsvr32 did not register {path}"


def register_types(machine, registry, path: str) -> None:
    registry.remove_later(*TYPELIB_KEYS)
    result = machine.wine(COMPONENTS + r"\tlbreg.exe", "register", path, check=False)
    assert result.returncode == 0, result.stdout
    assert types_registered(machine), f"tlbreg did not register {path}"


def inproc_path(machine, server: Server) -> str | None:
    values = machine.reg_values(rf"{CLASSES}\CLSID\{server.clsid}\InprocServer32")
    return values[""].text if values and "" in values else None


def server_registered(machine, server: Server) -> list[bool]:
    """Whether each of the server's two registration keys is there."""
    return keys_exist(machine, server.keys())


def types_registered(machine) -> bool:
    result = machine.wine(COMPONENTS + r"\tlbreg.exe", "status", LIBID, "1.0", check=False)
    assert result.returncode in (0, 1), result.stdout
    return result.returncode == 0


def calls(machine) -> list[str]:
    values = machine.reg_values(TRACE) or {}
    return values["Calls"].strings if "Calls" in values else []


def new_calls(before: list[str], after: list[str]) -> list[tuple[str, ...]]:
    """The trace entries added since `before`, split into their fields.

    The oldest entries of a long trace make room for new ones, so the new entries are
    what follows the longest start of `after` that ends `before`.
    """
    start = 0
    for n in range(min(len(before), len(after)), 0, -1):
        if before[-n:] == after[:n]:
            start = n
            break
    return [tuple(entry.split("\t")) for entry in after[start:]]


def unregistered(machine, path: str) -> int | None:
    """How many times the server file at that path was unregistered (value names ignore case)."""
    for name, value in (machine.reg_values(TRACE + r"\Unregistered") or {}).items():
        if name.lower() == path.lower():
            return value.dword
    return None


def unregister_call(path: str) -> tuple[str, str, str]:
    """The trace entry of an unregistration by the uninstaller: its exact command line."""
    return ("unregister", path, f'regsvr32 /u /s "{path}"')


def temp_folder(machine) -> str:
    out = machine.wine("cmd", "/c", "echo %TEMP%").stdout.decode("utf-8", errors="replace").strip()
    assert out and "%" not in out, f"no temporary folder in the prefix: {out!r}"
    return out.rstrip("\\")


def test_servers_and_type_library_are_unregistered_then_deleted(dismora, machine, registry):
    # Programs named regsvr32.exe where a search by name would look first: beside the
    # temporary copy that does the work, and in the current folder.
    planted = [temp_folder(machine) + r"\regsvr32.exe", dismora.path("regsvr32.exe")]
    for fake in planted:
        shutil.copy2(machine.host_path(COMPONENTS + r"\tlbreg.exe"), machine.host_path(fake))
    try:
        run_servers_and_type_library(dismora, machine, registry)
    finally:
        for fake in planted:
            machine.host_path(fake).unlink(missing_ok=True)


def run_servers_and_type_library(dismora, machine, registry):
    server = place(dismora, SERVER.file, r"App Files\Kelvane_Server.dll")
    viewer = place(dismora, VIEWER.file, r"App Files\Controls\Kelvane_Viewer.OCX")
    types = place(dismora, TYPES_FILE, r"App Files\Types\KELVANE_TYPES.TLB")
    readme = dismora.write(r"App Files\readme.txt", "not a component")
    register_server(machine, registry, SERVER, server)
    register_server(machine, registry, VIEWER, viewer)
    register_types(machine, registry, types)
    trace_before = calls(machine)
    log = DeploymentLog(version=4, scope="ALL", files=[server, viewer, types, readme],
                        components=[server, viewer.lower(), types.upper(), readme])

    result = uninstall_silently(dismora, log)

    # Each server was unregistered once, by the System folder's regsvr32, with a command line
    # naming it as the file section does.
    assert [p.image.lower() for p in result.processes_named("regsvr32.exe")] == \
        [SYSTEM_REGSVR32.lower()] * 2, result.describe()
    assert new_calls(trace_before, calls(machine)) == [unregister_call(server), unregister_call(viewer)]
    assert (unregistered(machine, server), unregistered(machine, viewer)) == (1, 1)
    assert server_registered(machine, SERVER) == [False, False]
    assert server_registered(machine, VIEWER) == [False, False]
    assert not types_registered(machine)
    assert keys_exist(machine, TYPELIB_KEYS) == [False, False]
    assert [machine.exists(p) for p in (server, viewer, types, readme)] == [False] * 4


def test_only_components_about_to_be_deleted_are_unregistered(dismora, machine, registry):
    kept = place(dismora, SERVER.file, r"Shared\kelvane_server.dll")       # another installation still uses it
    viewer = place(dismora, VIEWER.file, r"App\Kelvane_Viewer.ocx")
    unlisted = place(dismora, SLOW.file, r"App\kelvane_slow.dll")          # in no file section line
    types = place(dismora, TYPES_FILE, r"App\kelvane_types.tlb")           # in no component line
    # Copies of a server under names that are no component: running regsvr32 on them would show.
    not_components = [place(dismora, SERVER.file, r"App\helper.exe"),
                      place(dismora, VIEWER.file, r"App\Tools.New\viewer"),
                      place(dismora, SERVER.file, r"App\server.dll.bak")]
    for server, path in ((SERVER, kept), (VIEWER, viewer), (SLOW, unlisted)):
        register_server(machine, registry, server, path)
    register_types(machine, registry, types)
    registry.put({TRACE + r"\UnregisterDelay": {unlisted: 0}})
    registry.put({"HKLM\\" + SHARED_DLLS: {kept: 3, viewer: 1}})
    trace_before = calls(machine)
    log = DeploymentLog(version=4, scope="ALL", files=[kept, viewer, types, *not_components],
                        components=[kept, viewer.upper(), unlisted, *not_components,
                                    dismora.path(r"App\missing.dll")])

    result = uninstall_silently(dismora, log)

    assert len(result.processes_named("regsvr32.exe")) == 1, result.describe()
    assert new_calls(trace_before, calls(machine)) == [unregister_call(viewer)]
    shared = machine.reg_values("HKLM\\" + SHARED_DLLS) or {}
    assert {n.lower(): v for n, v in shared.items() if n.lower() in (kept.lower(), viewer.lower())} == \
        {kept.lower(): dword(2)}
    assert server_registered(machine, VIEWER) == [False, False]
    assert inproc_path(machine, SERVER) == kept
    assert inproc_path(machine, SLOW) == unlisted
    assert types_registered(machine)
    assert [machine.exists(p) for p in (kept, viewer, unlisted, types)] == [True, False, True, False]
    assert [machine.exists(p) for p in not_components] == [False] * len(not_components)


SESSION_MANAGER = r"HKLM\System\CurrentControlSet\Control\Session Manager"


def drop_pending_deletions(machine, paths: list[str]) -> None:
    """Takes the given files out of the deletions pending at restart."""
    value = exact_value(machine, SESSION_MANAGER, "PendingFileRenameOperations")
    if value is None:
        return
    items = value.data.decode("utf-16-le", errors="surrogatepass").split("\0")
    pairs = []
    # Source and target in turn (an empty target is a deletion); an empty source ends the list.
    for i in range(0, len(items) - 1, 2):
        if items[i] == "":
            break
        pairs.append(items[i:i + 2])
    wanted = {p.lower() for p in paths}
    kept = [pair for pair in pairs if pair[0].lower().removeprefix("\\??\\") not in wanted]
    if len(kept) != len(pairs):
        data = "".join(item + "\0" for pair in kept for item in pair) + "\0"
        machine.reg_import({SESSION_MANAGER: {"PendingFileRenameOperations":
                                              RegValue(REG_MULTI_SZ, data.encode("utf-16-le", "surrogatepass"))}})


def test_run_goes_on_while_a_server_hangs(dismora, machine, registry):
    slow = place(dismora, SLOW.file, r"App\kelvane_slow.dll")
    server = place(dismora, SERVER.file, r"App\kelvane_server.dll")
    register_server(machine, registry, SLOW, slow)
    register_server(machine, registry, SERVER, server)
    # Longer than the run waits for one server, short enough for the test.
    registry.put({TRACE + r"\UnregisterDelay": {slow: 12500}})
    trace_before = calls(machine)
    pending_before = machine.pending_deletions()
    log = DeploymentLog(version=4, scope="ALL", files=[slow, server], components=[slow, server])
    dismora.write_log(log)

    result = dismora.run_dismora(q(dismora.path("Kelvane.log")), answers=["Yes", "OK"], timeout_ms=60000)

    added = [p for p in machine.pending_deletions() if p not in pending_before]
    drop_pending_deletions(machine, added)
    scheduled = [p.lower() for p in added]
    assert_clean_end(result)
    detail = result.describe()
    # The hanging server still held its file when the run deleted the files: it was moved
    # aside into a holding folder at the drive's root, which waits for the restart with it.
    assert [b.text for b in result.boxes] == [log.confirmation_text, log.completion_with_restart_text], detail
    # The second server was unregistered while the first one was still sleeping; the first
    # one finished afterwards, in its own time.
    assert new_calls(trace_before, calls(machine)) == [
        ("unregister-delay", slow, f'regsvr32 /u /s "{slow}"', "12500"),
        unregister_call(server),
        unregister_call(slow),
    ]
    assert server_registered(machine, SLOW) == [False, False]
    assert (machine.exists(slow), machine.exists(server)) == (False, False)
    moved = ["C:\\" + str(p.relative_to(machine.host_path("C:\\"))).replace("/", "\\")
             for p in machine.host_path("C:\\").glob("~Dismora-aside-*/*-kelvane_slow.dll")]
    assert len(moved) == 1, moved
    assert {moved[0].lower(), machine.short_path(moved[0]).lower()} & set(scheduled), scheduled
    assert slow.lower() not in {p.lower() for p in machine.pending_deletions()}


# --- shared counts across runs that overlap or are cut short ---------------------------------

def _shared_setup(dismora, machine, registry, delay_ms: int):
    """Two shared files with counts 3 and 2, and a server that takes a while to unregister,
    so that a run is still under way after its file section."""
    slow = place(dismora, SLOW.file, r"App\kelvane_slow.dll")
    register_server(machine, registry, SLOW, slow)
    registry.put({TRACE + r"\UnregisterDelay": {slow: delay_ms}})
    shared = [dismora.write(rf"App\shared{i}.dll", b"MZ shared") for i in (3, 2)]
    registry.put({rf"HKLM\{SHARED_DLLS}": {shared[0]: dword(3), shared[1]: dword(2)}})
    log = DeploymentLog(version=4, scope="ALL", files=shared + [slow], components=[slow])
    return shared, dismora.write_log(log)


def _counts(machine, shared: list[str]) -> list[int | None]:
    values = machine.reg_values(rf"HKLM\{SHARED_DLLS}") or {}
    return [values[p].dword if p in values else None for p in shared]


def _start(machine, *args: str) -> subprocess.Popen:
    return subprocess.Popen(["wine", *args], env=machine.env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def test_two_runs_started_together_lower_each_count_once(dismora, machine, registry):
    shared, log_path = _shared_setup(dismora, machine, registry, 3000)
    program = dismora.install_dismora()

    runs = [_start(machine, program, log_path, "/temp", "/silent", "/wait") for _ in range(2)]
    codes = sorted(run.wait(timeout=90) for run in runs)

    # One did the uninstall; the other found it under way (1618, a byte of it on Linux).
    assert codes == [0, 1618 & 0xFF], codes
    assert _counts(machine, shared) == [2, 1]
    assert not machine.exists(log_path)


def test_a_run_cut_short_after_the_file_section_is_completed_without_lowering_twice(dismora, machine, registry):
    shared, log_path = _shared_setup(dismora, machine, registry, 8000)
    program = dismora.install_dismora()
    journal = log_path + ".journal"

    first = _start(machine, program, log_path, "/temp", "/silent")
    deadline = time.monotonic() + 60
    while _counts(machine, shared) != [2, 1] and time.monotonic() < deadline:
        time.sleep(0.2)
    assert _counts(machine, shared) == [2, 1], "the file section did not run"
    assert machine.exists(journal), "no journal beside the log during the run"
    first.kill()  # while regsvr32 still sleeps: the log and its journal stay
    first.wait(timeout=30)
    assert machine.exists(log_path) and machine.exists(journal)

    again = machine.wine(program, log_path, "/temp", "/silent", check=False, timeout=90)

    assert again.returncode == 0
    assert _counts(machine, shared) == [2, 1]
    assert not machine.exists(log_path) and not machine.exists(journal)
    assert [machine.exists(p) for p in shared] == [True, True]
