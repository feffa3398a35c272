"""Times dismora.exe under Wine against the floor program on generated installations.

For each size N it builds an installation once on the host side: N files in a
folder tree (about one folder per 20 files, depth up to 4), the deployment log
beside them, K registry values under K/10 keys, a few shared-file counts, and
the same description as the floor program's plain list. Before every timed run
the tree is hard-linked into the prefix afresh and the registry is restored with
one regedit run; after it, what is left (files, folders, values) is counted.
Only the uninstalling process is timed, as the host sees it: `wine program ...`
from start to exit, with a persistent wineserver; its CPU time and the
wineserver's are recorded beside. A log that lists nothing gives the fixed cost,
and one traced run at the smallest size counts the Win32 calls of each program.

    python3 bench/wine_bench.py --out build/bench/wine.json [--sizes 1000:15,10000:11,50000:7]
"""

from __future__ import annotations

import argparse
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

from wine_env import WineMachine  # noqa: E402

BUILD = REPO / "build"
BENCH = BUILD / "bench"
DISMORA_EXE = BUILD / "windows" / "dismora.exe"
FLOOR_EXE = BENCH / "floor.exe"

BENCH_DIR = r"C:\Dismora Bench"            # the programs, lists and .reg files; never emptied by a run
APP_DIR = BENCH_DIR + r"\App"             # the installation
LOG_NAME = "Kelvane.log"
VALUES_KEY = r"Software\Dismora Bench"
SHARED_KEY = r"Software\Microsoft\Windows\CurrentVersion\SharedDLLs"
SESSION_KEY = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Session Manager"

FILES_PER_FOLDER = 20
MAX_DEPTH = 4
VALUES = 2000
VALUES_PER_KEY = 10
SHARED_COUNTS = 10
KEPT_COUNTS = 100       # files whose shared count of 2 is lowered and that stay, from 10,000 files up
RUN_TIMEOUT_S = 900
FIXED_RUNS = 7

# Win32 calls counted once per program at the smallest size (Wine's relay trace,
# calls made from the program's own image only).
TRACED_CALLS = [
    "CreateFileW", "ReadFile", "MultiByteToWideChar", "GetFileAttributesW", "DeleteFileW", "RemoveDirectoryW",
    "RegCreateKeyW", "RegOpenKeyExW", "RegQueryValueExW", "RegSetValueExW", "RegDeleteValueW", "RegDeleteKeyW",
    "RegEnumKeyW", "RegEnumKeyExW", "RegCloseKey", "CompareStringW", "LCMapStringW", "GetShortPathNameW",
    "MoveFileExW", "CloseHandle", "GetTickCount", "Sleep",
]


# --- the installation ------------------------------------------------------------

@dataclass
class Installation:
    size: int
    folders: list[tuple[str, int]] = field(default_factory=list)   # relative path under App, depth
    files: list[str] = field(default_factory=list)                 # relative paths under App
    values: list[tuple[str, str]] = field(default_factory=list)    # key under HKCU, value name
    shared: list[str] = field(default_factory=list)                # full paths with a count of 1
    kept: list[str] = field(default_factory=list)                  # relative paths with a count of 2

    @property
    def name(self) -> str:
        return f"n{self.size}"

    def win(self, relative: str) -> str:
        return APP_DIR + ("\\" + relative if relative else "")


def describe(size: int, values: int = VALUES) -> Installation:
    """The same installation for the same size, every time."""
    rng = random.Random(size)
    inst = Installation(size)
    folder_count = max(1, round(size / FILES_PER_FOLDER))
    inst.folders.append(("", 0))
    for i in range(1, folder_count):
        parents = [f for f in inst.folders if f[1] < MAX_DEPTH]
        parent, depth = parents[rng.randrange(len(parents))]
        # Now and then a name outside ASCII, as real installations have.
        name = f"Données {i:04d}" if i % 10 == 0 else f"Folder {i:04d}"
        inst.folders.append((parent + "\\" + name if parent else name, depth + 1))
    extensions = ["dat", "txt", "xml", "png", "exe", "dll", "cfg", "ico"]
    for k in range(size):
        folder = inst.folders[k % folder_count][0]
        leaf = f"file{k:05d}.{extensions[k % len(extensions)]}"
        inst.files.append(folder + "\\" + leaf if folder else leaf)
    for j in range(values):
        inst.values.append((VALUES_KEY + f"\\K{j // VALUES_PER_KEY}", f"V{j}"))
    step = max(1, size // SHARED_COUNTS)
    inst.shared = [inst.win(inst.files[k]) for k in range(0, size, step)][:SHARED_COUNTS]
    if size >= 10000:
        inst.kept = [inst.files[k] for k in range(1, size, size // KEPT_COUNTS)][:KEPT_COUNTS]
    return inst


def left_after(inst: Installation) -> dict:
    """What a complete run leaves: the kept files, the folders above them, their counts."""
    folders = {""}
    for path in inst.kept:
        parts = path.split("\\")[:-1]
        folders.update("\\".join(parts[:i]) for i in range(1, len(parts) + 1))
    kept = len(inst.kept)
    return {"files": kept, "folders": len(folders) if kept else 0, "values": 0, "shared": kept}


def log_bytes(inst: Installation) -> bytes:
    """A version 4 log of a per-user installation: UTF-8, CR LF."""
    lines = ["4", "CURRENT", "Dismora Bench"]
    lines += [f"ignored header line {i}" for i in range(1, 7)]
    lines += ["Do you want to remove %s?", "All of its parts will be removed.", "Press Yes to go on."]
    lines += ["%s was removed.", "Some files could not be removed.", "They go at the next restart."]
    lines += ["Administrator rights are needed to remove %s."]
    lines += ["", "0", "0"]                                    # no pre-uninstall command, two empty blocks
    lines += [inst.win(f) for f in inst.files] + ["%%%"]
    lines += [f"HKEY_CURRENT_USER\\{key}\t{value}" for key, value in inst.values] + ["%%%"]
    lines += ["%%%", "%%%"]                                    # no associations, no components
    return "".join(line + "\r\n" for line in lines).encode("utf-8")


def floor_list(inst: Installation) -> bytes:
    """The floor's plain list: every file (the log too), every folder deepest first, every value."""
    kept = set(inst.kept)
    lines = [f"F\t{inst.win(f)}" for f in inst.files if f not in kept]
    lines.append(f"F\t{inst.win(LOG_NAME)}")
    # The folders that keep a file whose count stays are not asked for, as they cannot go.
    staying = {"\\".join(f.split("\\")[:i]) for f in inst.kept for i in range(f.count("\\") + 1)}
    for folder, _depth in sorted(inst.folders, key=lambda f: -f[1]):
        if folder not in staying:
            lines.append(f"D\t{inst.win(folder)}")
    lines += [f"V\tHKCU\t{key}\t{value}" for key, value in inst.values]
    lines += [f"V\tHKCU\t{SHARED_KEY}\t{path}" for path in inst.shared]
    return "".join(line + "\n" for line in lines).encode("utf-8")


def reg_quote(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def restore_reg(inst: Installation) -> bytes:
    """One regedit file that puts the registry back as the installation left it."""
    out = ["Windows Registry Editor Version 5.00", ""]
    out += [f"[-HKEY_CURRENT_USER\\{VALUES_KEY}]", ""]
    current = None
    for key, value in inst.values:
        if key != current:
            out += ["", f"[HKEY_CURRENT_USER\\{key}]"]
            current = key
        out.append(f"{reg_quote(value)}={reg_quote('installed ' + value)}")
    out += ["", f"[-HKEY_CURRENT_USER\\{SHARED_KEY}]", "", f"[HKEY_CURRENT_USER\\{SHARED_KEY}]"]
    out += [f"{reg_quote(path)}=dword:00000001" for path in inst.shared]
    out += [f"{reg_quote(inst.win(path))}=dword:00000002" for path in inst.kept]
    # A temporary-copy run schedules its own file for deletion at restart; each run starts without that.
    out += ["", f"[{SESSION_KEY}]", '"PendingFileRenameOperations"=-', ""]
    return b"\xff\xfe" + "\r\n".join(out).encode("utf-16-le")


def build_pristine(inst: Installation, root: Path) -> Path:
    """The installed tree on the host, from which every run's copy is hard-linked."""
    if root.exists():
        shutil.rmtree(root)
    app = root / "App"
    for folder, _depth in inst.folders:
        (app / folder.replace("\\", "/")).mkdir(parents=True, exist_ok=True)
    for f in inst.files:
        (app / f.replace("\\", "/")).write_bytes(b"installed by the Dismora benchmark\r\n")
    (app / LOG_NAME).write_bytes(log_bytes(inst))
    return app


# --- the machine -----------------------------------------------------------------

def run_timed(args: list[str], env: dict[str, str], timeout: float) -> tuple[float, float, int, bytes]:
    """Runs a program to its end: wall seconds from start to exit, its CPU seconds
    (user and system), exit code, standard error.

    The wait blocks in wait4, so the time is not rounded up to a polling
    interval; a timer ends the program if it runs too long. Output goes to
    files, never pipes, because Wine's long-lived helpers inherit them.
    """
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        proc = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        timer = threading.Timer(timeout, proc.kill)
        timer.start()
        try:
            _pid, status, usage = os.wait4(proc.pid, 0)
        finally:
            timer.cancel()
        seconds = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        err.seek(0)
        return seconds, usage.ru_utime + usage.ru_stime, proc.returncode, err.read()


def wineserver_pid(prefix: Path) -> int | None:
    """The wineserver of this prefix: it works in a folder named after the prefix's device and inode."""
    info = prefix.stat()
    wanted = f"server-{info.st_dev:x}-{info.st_ino:x}"
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if "wineserver" in (entry / "comm").read_text() and os.readlink(entry / "cwd").endswith(wanted):
                return int(entry.name)
        except OSError:
            continue
    return None


def cpu_seconds(pid: int | None) -> float:
    if pid is None:
        return 0.0
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    # utime and stime, fields 14 and 15 of the line.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


@dataclass
class State:
    files: int
    folders: int
    values: int
    shared: int

    def total(self) -> int:
        return self.files + self.folders + self.values + self.shared


class Bench:
    def __init__(self, machine: WineMachine):
        self.m = machine
        self.bench_host = machine.host_path(BENCH_DIR)
        self.app_host = machine.host_path(APP_DIR)
        self.server = wineserver_pid(machine.prefix)

    def install_programs(self, dismora_exe: Path) -> None:
        self.bench_host.mkdir(parents=True, exist_ok=True)
        shutil.copy2(dismora_exe, self.bench_host / "dismora.exe")
        shutil.copy2(FLOOR_EXE, self.bench_host / "floor.exe")

    def shown_run(self, exe: str, inst: Installation, pristine: Path, expected: State) -> dict:
        """A run that ends with the final message, as a person starts it, through e2erun, which
        answers the message: the seconds until the message appeared, and whether a window
        other than the message was shown."""
        self.restore(inst, pristine)
        before = self.state()
        if before != expected:
            raise RuntimeError(f"restoring {inst.name} gave {before}, expected {expected}")
        os.sync()
        result = self.m.run(f'"{BENCH_DIR}\\{exe}" "{APP_DIR}\\{LOG_NAME}" /temp', answers=["OK"], cwd=BENCH_DIR,
                            timeout_ms=RUN_TIMEOUT_S * 1000)
        events = [json.loads(line) for line in result.lines if line.startswith('{"event"')]
        boxes = [e for e in events if e["event"] == "box"]
        after = self.state()
        return {"seconds": boxes[0]["ms"] / 1000 if boxes else float("nan"), "boxes": len(boxes),
                "window": any(e["event"] == "window" for e in events), "hang": result.hang,
                "left": after.__dict__, "left_total": after.total()}

    def prepare(self, inst: Installation) -> None:
        (self.bench_host / f"floor-{inst.name}.txt").write_bytes(floor_list(inst))
        (self.bench_host / f"restore-{inst.name}.reg").write_bytes(restore_reg(inst))

    def restore(self, inst: Installation, pristine: Path) -> None:
        if self.app_host.exists():
            shutil.rmtree(self.app_host)
        subprocess.run(["cp", "-al", str(pristine), str(self.app_host)], check=True)
        self.m.wine("regedit", "/S", f"{BENCH_DIR}\\restore-{inst.name}.reg", timeout=300)

    def count_registry(self, key: str, prefix: str = "") -> int:
        result = self.m.wine("reg", "query", "HKEY_CURRENT_USER\\" + key, "/s", check=False, timeout=300)
        if result.returncode != 0:
            return 0
        count = 0
        for line in result.stdout.decode("utf-8", errors="replace").splitlines():
            if line.startswith("    ") and "    REG_" in line and line.strip().startswith(prefix):
                count += 1
        return count

    def state(self) -> State:
        files = folders = 0
        if self.app_host.exists():
            folders = 1
            for _root, dirs, names in os.walk(self.app_host):
                folders += len(dirs)
                files += len(names)
        return State(files, folders, self.count_registry(VALUES_KEY),
                     self.count_registry(SHARED_KEY, BENCH_DIR + "\\"))

    def command(self, program: str, inst: Installation) -> list[str]:
        if program == "dismora":
            return ["wine", f"{BENCH_DIR}\\dismora.exe", f"{APP_DIR}\\{LOG_NAME}", "/temp", "/silent"]
        if program == "dismora_log":
            # The same run keeping a record, outside the application's folder.
            return ["wine", f"{BENCH_DIR}\\dismora.exe", f"{APP_DIR}\\{LOG_NAME}", "/temp", "/silent",
                    f"/log={BENCH_DIR}\\record.txt"]
        if program == "dismora_wait":
            # What a deployment tool sees: the first process, relaunch and hand-over included.
            return ["wine", f"{BENCH_DIR}\\dismora.exe", f"{APP_DIR}\\{LOG_NAME}", "/silent", "/wait"]
        return ["wine", f"{BENCH_DIR}\\floor.exe", f"{BENCH_DIR}\\floor-{inst.name}.txt"]

    def timed_run(self, program: str, inst: Installation, pristine: Path, expected: State,
                  env: dict[str, str] | None = None) -> dict:
        self.restore(inst, pristine)
        self.m.host_path(f"{BENCH_DIR}\\record.txt").unlink(missing_ok=True)
        before = self.state()
        if before != expected:
            raise RuntimeError(f"restoring {inst.name} gave {before}, expected {expected}")
        os.sync()  # no journal flush of the restore inside the timed run
        server_before = cpu_seconds(self.server)
        seconds, cpu, code, stderr = run_timed(self.command(program, inst), env or self.m.env, RUN_TIMEOUT_S)
        server_cpu = cpu_seconds(self.server) - server_before
        after = self.state()
        return {"seconds": seconds, "cpu_s": cpu, "server_cpu_s": server_cpu, "exit_code": code,
                "left": after.__dict__, "left_total": after.total(),
                "expected_left": sum(left_after(inst).values()), "stderr": stderr}


def traced_calls(bench: Bench, program: str, inst: Installation, pristine: Path, expected: State,
                 image_end: int, names: list[str]) -> dict:
    """How many times the program itself called each of the named functions in one run,
    and how long it slept."""
    bench.m.reg("add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/d", ";".join(names), "/f")
    env = dict(bench.m.env)
    env["WINEDEBUG"] = "+relay"
    try:
        run = bench.timed_run(program, inst, pristine, expected, env)
    finally:
        bench.m.reg("delete", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/f", check=False)
    counts = {name: 0 for name in names}
    slept_ms = 0
    for line in run["stderr"].decode("ascii", errors="replace").splitlines():
        # 0024:Call KERNEL32.DeleteFileW(0015892c L"C:\\x\\f1") ret=00401838
        marker = line.find(":Call ")
        if marker < 0 or " ret=" not in line:
            continue
        name, _, arguments = line[marker + 6:].partition("(")
        name = name.rsplit(".", 1)[-1]
        caller = int(line.rsplit(" ret=", 1)[1][:8], 16)
        if name in counts and caller < image_end:
            counts[name] += 1
            if name == "Sleep":
                slept_ms += int(arguments.split(")", 1)[0], 16)
    return {"calls": counts, "slept_ms": slept_ms, "left_total": run["left_total"]}


def image_end(exe: Path) -> int:
    """The end of the program's image at its preferred base, where Wine loads it."""
    headers = subprocess.run(["i686-w64-mingw32-objdump", "-p", str(exe)], check=True, capture_output=True,
                             text=True).stdout
    fields = {}
    for line in headers.splitlines():
        parts = line.split()
        if len(parts) == 2 and parts[0] in ("ImageBase", "SizeOfImage"):
            fields[parts[0]] = int(parts[1], 16)
    return fields["ImageBase"] + fields["SizeOfImage"]


def parse_sizes(text: str) -> list[tuple[int, int]]:
    sizes = []
    for item in text.split(","):
        n, _, runs = item.partition(":")
        sizes.append((int(n), int(runs or 5)))
    return sizes


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=Path, default=BENCH / "wine.json")
    parser.add_argument("--sizes", default="1000:15,10000:11,50000:7", help="N:runs,... (default %(default)s)")
    parser.add_argument("--no-trace", action="store_true", help="skip the call count at the smallest size")
    parser.add_argument("--window-sizes", default="10000:7,50000:5",
                        help="N:runs,... for the progress window's cost (default %(default)s)")
    parser.add_argument("--no-window-dismora", type=Path, default=None,
                        help="dismora.exe built without its progress window: times the window's cost")
    parser.add_argument("--dismora", type=Path, default=DISMORA_EXE,
                        help="the dismora.exe to time (default: the product build)")
    args = parser.parse_args()
    dismora_exe = args.dismora.resolve()
    sizes = parse_sizes(args.sizes)
    for exe in (dismora_exe, FLOOR_EXE):
        if not exe.exists():
            print(f"{exe} is missing", file=sys.stderr)
            return 2

    started = time.perf_counter()
    machine = WineMachine(BENCH / "wine")
    results: dict = {"sizes": [], "load_before": os.getloadavg(), "dismora": str(dismora_exe),
                     "wine": subprocess.run(["wine", "--version"], capture_output=True, text=True).stdout.strip()}
    try:
        machine.start()
        bench = Bench(machine)
        bench.install_programs(dismora_exe)
        if bench.server is None:
            print("wineserver not found: its CPU time is not counted", file=sys.stderr)
        shutil.rmtree(BENCH / "pristine", ignore_errors=True)
        installations = []
        for size, runs in sizes:
            inst = describe(size)
            pristine = build_pristine(inst, BENCH / "pristine" / inst.name)
            bench.prepare(inst)
            expected = State(len(inst.files) + 1, len(inst.folders), len(inst.values), len(inst.shared) + len(inst.kept))
            installations.append((inst, runs, pristine, expected))
        inst = describe(0, values=0)
        bench.prepare(inst)
        empty = (inst, FIXED_RUNS, build_pristine(inst, BENCH / "pristine" / inst.name), State(1, 1, 0, 0))
        print(f"machine ready in {time.perf_counter() - started:.0f} s", flush=True)

        # One untimed run of each program first: Wine's first starts load more than later ones.
        inst, _runs, pristine, expected = installations[0]
        for program in ("dismora", "floor"):
            bench.timed_run(program, inst, pristine, expected)

        failures = 0

        def measure(inst: Installation, runs: int, pristine: Path, expected: State,
                    timed: str = "dismora") -> dict:
            nonlocal failures
            entry = {"n": inst.size, "files": len(inst.files), "folders": len(inst.folders),
                     "values": len(inst.values), "shared_counts": len(inst.shared), "runs": runs,
                     "program": timed, "dismora": [], "floor": []}
            for r in range(runs):
                # Alternate the order, so neither program always runs on the cache the other left.
                order = ("dismora", "floor") if r % 2 == 0 else ("floor", "dismora")
                for program in order:
                    run = bench.timed_run(timed if program == "dismora" else program, inst, pristine, expected)
                    run.pop("stderr")
                    entry[program].append(run)
                    # Both programs end with 0 when everything went: anything else is a crash or a failed call.
                    if run["left"] != left_after(inst) or run["exit_code"] != 0:
                        failures += 1
                    print(f"  N={inst.size:>6} {program:<7} run {r + 1}/{runs}: {run['seconds']:8.3f} s"
                          f"  (CPU {run['cpu_s']:.3f} s + wineserver {run['server_cpu_s']:.3f} s)"
                          f"  left {run['left_total']}  exit {run['exit_code']}", flush=True)
            for program in ("dismora", "floor"):
                entry[program + "_median_s"] = statistics.median(x["seconds"] for x in entry[program])
                entry[program + "_min_s"] = min(x["seconds"] for x in entry[program])
                entry[program + "_cpu_median_s"] = statistics.median(x["cpu_s"] + x["server_cpu_s"]
                                                                     for x in entry[program])
            entry["ratio"] = entry["dismora_median_s"] / entry["floor_median_s"]
            print(f"N={inst.size}: dismora {entry['dismora_median_s']:.3f} s, floor {entry['floor_median_s']:.3f} s,"
                  f" ratio {entry['ratio']:.2f}", flush=True)
            return entry

        # The fixed cost: a log with nothing listed, so only the start, the log and the end are timed.
        results["fixed"] = measure(*empty)
        for installation in installations:
            results["sizes"].append(measure(*installation))
        # A waited silent run, as deployment tools start it, at the sizes up to 10,000.
        results["waited"] = [measure(*installation, timed="dismora_wait") for installation in installations
                             if installation[0].size <= 10000]
        # The same silent run keeping a record with /log=, at 10,000 files.
        results["recorded"] = [measure(*installation, timed="dismora_log") for installation in installations
                               if installation[0].size == 10000]

        if not args.no_trace:
            inst, _runs, pristine, expected = installations[0]
            results["calls"] = {"n": inst.size, "files": len(inst.files) + 1, "folders": len(inst.folders),
                                "values": len(inst.values) + len(inst.shared),
                                "log_lines": log_bytes(inst).count(b"\n")}
            for program, exe in (("dismora", dismora_exe), ("floor", FLOOR_EXE)):
                results["calls"][program] = traced_calls(bench, program, inst, pristine, expected, image_end(exe),
                                                         TRACED_CALLS)
            # Tracing every call slows the run past the pause; the pause is measured with Sleep traced alone.
            pause = traced_calls(bench, "dismora", inst, pristine, expected, image_end(dismora_exe), ["Sleep"])
            results["calls"]["dismora_pause_ms"] = pause["slept_ms"]
        # The progress window's cost: the same run that ends with the final message, with the
        # window and with a build that has none, alternating; timed to the final message.
        if args.no_window_dismora is not None and args.no_window_dismora.exists():
            shutil.copy2(args.no_window_dismora, bench.bench_host / "dismora-nowindow.exe")
            results["window"] = []
            for size, runs in parse_sizes(args.window_sizes):
                inst = describe(size)
                pristine = BENCH / "pristine" / inst.name / "App"
                if not pristine.exists():
                    pristine = build_pristine(inst, pristine.parent)
                    bench.prepare(inst)
                expected = State(len(inst.files) + 1, len(inst.folders), len(inst.values),
                                 len(inst.shared) + len(inst.kept))
                if not results["window"]:
                    # Untimed first runs: Wine's first window of a prefix starts more than later ones do.
                    for exe in ("dismora.exe", "dismora-nowindow.exe"):
                        bench.shown_run(exe, inst, pristine, expected)
                entry = {"n": size, "runs": runs, "shown": [], "off": []}
                for r in range(runs):
                    order = ("shown", "off") if r % 2 == 0 else ("off", "shown")
                    for variant in order:
                        exe = "dismora.exe" if variant == "shown" else "dismora-nowindow.exe"
                        run = bench.shown_run(exe, inst, pristine, expected)
                        entry[variant].append(run)
                        if run["left"] != left_after(inst) or run["boxes"] != 1 or run["hang"]:
                            failures += 1
                        print(f"  N={size:>6} window {variant:<5} run {r + 1}/{runs}: {run['seconds']:8.3f} s"
                              f"  window shown: {run['window']}  left {run['left_total']}", flush=True)
                for variant in ("shown", "off"):
                    entry[variant + "_median_s"] = statistics.median(x["seconds"] for x in entry[variant])
                entry["ratio"] = entry["shown_median_s"] / entry["off_median_s"]
                entry["window_shown_runs"] = sum(x["window"] for x in entry["shown"])
                print(f"N={size}: with the window {entry['shown_median_s']:.3f} s, without {entry['off_median_s']:.3f} s,"
                      f" ratio {entry['ratio']:.3f}", flush=True)
                results["window"].append(entry)
        results["leftover_runs"] = failures
    finally:
        machine.stop()
    results["seconds"] = time.perf_counter() - started
    results["load_after"] = os.getloadavg()
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps(results, indent=1))
    if results.get("leftover_runs"):
        print(f"{results['leftover_runs']} run(s) left files, folders or values behind or did not exit with 0",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
