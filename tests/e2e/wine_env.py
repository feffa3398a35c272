"""A Wine machine for the end-to-end suite and the demo.

One fresh 32-bit prefix per run, a persistent wineserver, Xvfb on a free
display, and helpers to run programs through e2erun.exe (which answers their
message boxes), to place files in drive_c and to read and change the registry.
"""

from __future__ import annotations

import codecs
import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path, PureWindowsPath

REPO = Path(__file__).resolve().parents[2]
BUILD = REPO / "build"
WINDOWS_BUILD = BUILD / "windows"
E2E_TOOLS = WINDOWS_BUILD / "e2e-tools"
E2E_COMPONENTS = WINDOWS_BUILD / "e2e-components"
# Another build of the program, such as a signed release, can be run through the suite instead.
DISMORA_EXE = Path(os.environ.get("DISMORA_E2E_EXE") or WINDOWS_BUILD / "dismora.exe").absolute()

REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ, REG_QWORD = 1, 2, 3, 4, 7, 11


class WineError(RuntimeError):
    pass


def run_quietly(args: list[str], env: dict[str, str], *, timeout: float | None = None,
                cwd: Path | None = None) -> subprocess.CompletedProcess:
    """Runs a program with its output in files, never pipes.

    Wine starts long-lived helpers (services, the desktop process) from whichever
    program needs them first; they inherit its output handles, so a pipe would
    never reach its end while the wineserver lives.
    """
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(args, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            raise
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(args, proc.returncode, out.read(), err.read())


def q(text: str) -> str:
    """The text in double quotes, as one command-line argument."""
    return '"' + text + '"'


# --- results of a run ---------------------------------------------------------

@dataclass
class Box:
    """One message box as the user saw it, and how it was answered."""

    pid: int
    caption: str
    text: str
    buttons: list[str]
    default: str | None
    icon: str
    answer: str | None
    scripted: bool
    script_mismatch: bool
    closed: bool
    rect: list[int]

    @classmethod
    def from_event(cls, e: dict) -> "Box":
        if not e.get("text_read", True):
            raise WineError(f"e2erun could not read the text of a box: {e}")
        return cls(pid=e["pid"], caption=e["caption"], text=e["text"],
                   buttons=[b["name"] for b in e["buttons"]], default=e["default"],
                   icon=e["icon"], answer=e.get("answer"), scripted=e.get("scripted", False),
                   script_mismatch=e.get("script_mismatch", False), closed=e.get("closed", False),
                   rect=e.get("rect", [0, 0, 0, 0]))

    def describe(self) -> str:
        return (f"box pid={self.pid} caption={self.caption!r} text={self.text!r} buttons={self.buttons} "
                f"default={self.default} icon={self.icon} answer={self.answer}")


@dataclass
class Process:
    pid: int
    parent: int
    image: str
    exit_code: int | None

    @property
    def name(self) -> str:
        return PureWindowsPath(self.image).name


@dataclass
class RunResult:
    cmdline: str
    boxes: list[Box]
    processes: list[Process]
    hang: bool
    unused_answers: int
    acp: int
    lines: list[str] = field(repr=False, default_factory=list)

    def processes_named(self, name: str) -> list[Process]:
        return [p for p in self.processes if p.name.lower() == name.lower()]

    @property
    def program_name(self) -> str:
        """The file name of the program the command line started."""
        line = self.cmdline.strip()
        first = line[1:].split('"', 1)[0] if line.startswith('"') else line.split(" ", 1)[0]
        return PureWindowsPath(first).name

    def program_runs(self) -> list[Process]:
        """The started program's processes: the first one and its copies, which may carry a number."""
        stem, dot, ext = self.program_name.rpartition(".")
        pattern = re.compile(re.escape(stem) + r"\d*" + re.escape(dot + ext), re.IGNORECASE)
        return [p for p in self.processes if pattern.fullmatch(p.name)]

    def describe(self) -> str:
        out = [f"command line: {self.cmdline}", f"hang: {self.hang}, unused answers: {self.unused_answers}"]
        out += ["  " + b.describe() for b in self.boxes]
        out += [f"  process {p.pid} (parent {p.parent}) {p.image} exit {p.exit_code}" for p in self.processes]
        return "\n".join(out)


# --- registry values as exported by reg.exe -----------------------------------

@dataclass(frozen=True)
class RegValue:
    type: int
    data: bytes

    @property
    def text(self) -> str:
        s = self.data.decode("utf-16-le", errors="surrogatepass")
        return s.split("\0", 1)[0]

    @property
    def strings(self) -> list[str]:
        s = self.data.decode("utf-16-le", errors="surrogatepass")
        # The last string's NUL and the NUL that ends the list.
        s = s[:-2] if s.endswith("\0\0") else s[:-1] if s.endswith("\0") else s
        return s.split("\0") if s else []

    @property
    def dword(self) -> int:
        return int.from_bytes(self.data[:4], "little")


def sz(text: str, type_: int = REG_SZ) -> RegValue:
    return RegValue(type_, (text + "\0").encode("utf-16-le"))


def dword(value: int) -> RegValue:
    return RegValue(REG_DWORD, (value & 0xFFFFFFFF).to_bytes(4, "little"))


def multi_sz(items: list[str]) -> RegValue:
    return RegValue(REG_MULTI_SZ, ("".join(i + "\0" for i in items) + "\0").encode("utf-16-le"))


def _unescape_reg_string(s: str) -> str:
    out, i = [], 0
    while i < len(s):
        c = s[i]
        if c == "\\" and i + 1 < len(s):
            nxt = s[i + 1]
            out.append({"n": "\n", "r": "\r", "0": "\0"}.get(nxt, nxt))
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def parse_reg_export(text: str) -> dict[str, dict[str, RegValue]]:
    """Keys (as written, case kept) to their values, from a .reg file's text."""
    lines = text.splitlines()
    joined: list[str] = []
    buf = ""
    for line in lines:
        if buf:
            line = line.lstrip()
        # Only hex data is wrapped, each continued line ending with a backslash.
        if line.endswith("\\") and re.search(r"=hex(\([0-9a-fA-F]+\))?:", buf + line):
            buf += line[:-1]
            continue
        joined.append(buf + line)
        buf = ""
    keys: dict[str, dict[str, RegValue]] = {}
    current: dict[str, RegValue] | None = None
    name_re = re.compile(r'^(@|"((?:[^"\\]|\\.)*)")=(.*)$')
    for line in joined:
        if line.startswith("[") and line.endswith("]"):
            current = keys.setdefault(line[1:-1], {})
            continue
        m = name_re.match(line)
        if not m or current is None:
            continue
        name = "" if m.group(1) == "@" else _unescape_reg_string(m.group(2))
        raw = m.group(3)
        if raw.startswith('"') and raw.endswith('"'):
            current[name] = sz(_unescape_reg_string(raw[1:-1]))
        elif raw.startswith("dword:"):
            current[name] = dword(int(raw[6:], 16))
        elif raw.startswith("hex"):
            m2 = re.match(r"hex(?:\(([0-9a-fA-F]+)\))?:(.*)$", raw)
            type_ = int(m2.group(1), 16) if m2.group(1) else REG_BINARY
            hexes = [h for h in m2.group(2).replace(" ", "").split(",") if h]
            current[name] = RegValue(type_, bytes(int(h, 16) for h in hexes))
    return keys


def format_reg_file(entries: dict[str, dict[str, RegValue | str | int] | None]) -> str:
    """A .reg file that sets the given values; a key mapped to None is deleted."""
    out = ["Windows Registry Editor Version 5.00", ""]
    for key, values in entries.items():
        # regedit knows the roots only by their full names.
        key = _full_key_name(key)
        if values is None:
            out += [f"[-{key}]", ""]
            continue
        out.append(f"[{key}]")
        for name, value in values.items():
            if isinstance(value, str):
                value = sz(value)
            elif isinstance(value, int):
                value = dword(value)
            left = "@" if name == "" else '"' + name.replace("\\", "\\\\").replace('"', '\\"') + '"'
            if value.type == REG_DWORD and len(value.data) == 4:
                out.append(f"{left}=dword:{value.dword:08x}")
            else:
                out.append(f"{left}=hex({value.type:x}):" + ",".join(f"{b:02x}" for b in value.data))
        out.append("")
    return "\r\n".join(out) + "\r\n"


# --- the machine ---------------------------------------------------------------

class WineMachine:
    """Xvfb, a fresh prefix and a persistent wineserver, from start() to stop()."""

    def __init__(self, root: Path, *, screen: str = "1024x768x24"):
        self.root = root
        self.prefix = root / "prefix"
        self.screen = screen
        self.display: str | None = None
        self._xvfb: subprocess.Popen | None = None
        self._server_started = False
        self.env: dict[str, str] = {}

    # life cycle

    def start(self) -> "WineMachine":
        for tool in ("wine", "wineserver", "wineboot", "Xvfb"):
            if not shutil.which(tool):
                raise WineError(f"{tool} is not installed (run `make deps`); the Wine suite cannot run without it")
        e2erun = E2E_TOOLS / "e2erun.exe"
        if not e2erun.exists():
            raise WineError(f"{e2erun.relative_to(REPO)} is missing; build it with `make build-windows`")
        self.root.mkdir(parents=True, exist_ok=True)
        self._start_xvfb()
        if self.prefix.exists():
            shutil.rmtree(self.prefix)
        self.env = dict(os.environ)
        for var in ("WINESERVER", "WINELOADER", "WINEDLLPATH"):
            self.env.pop(var, None)
        self.env.update({
            "DISPLAY": self.display,
            "WINEPREFIX": str(self.prefix),
            # 32-bit Windows: the product is an i686 program, and so is regsvr32 here.
            "WINEARCH": "win32",
            "WINEDEBUG": os.environ.get("DISMORA_E2E_WINEDEBUG", "-all"),
            # No Mono or Gecko installer prompts, no menu entries on the host.
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
            # UTF-8 between the host and Wine; Windows itself gets code page 1252.
            "LC_ALL": "C.UTF-8",
        })
        self.env.pop("LANG", None)
        self.prefix.mkdir(parents=True)
        server = run_quietly(["wineserver", "-p"], self.env)
        if server.returncode != 0:
            raise WineError(f"wineserver -p failed ({server.returncode}):\n{server.stderr.decode(errors='replace')}")
        self._server_started = True
        boot = run_quietly(["wineboot", "-i"], self.env, timeout=300)
        if boot.returncode != 0:
            raise WineError(f"wineboot -i failed ({boot.returncode}):\n{boot.stderr.decode(errors='replace')}")
        # Without a window manager Wine otherwise waits about 2 s after each closed box.
        self.reg("add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f")
        self.tools_dir = self.install_tools()
        return self

    def stop(self) -> None:
        if self._server_started:
            run_quietly(["wineserver", "-k"], self.env, timeout=60)
            run_quietly(["wineserver", "-w"], self.env, timeout=60)
            self._server_started = False
        if self._xvfb and self._xvfb.poll() is None:
            self._xvfb.send_signal(signal.SIGTERM)
            try:
                self._xvfb.wait(10)
            except subprocess.TimeoutExpired:
                self._xvfb.kill()
        self._xvfb = None

    def _start_xvfb(self) -> None:
        read_fd, write_fd = os.pipe()
        self._xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", self.screen, "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        number = b""
        with os.fdopen(read_fd, "rb") as pipe:
            while not number.endswith(b"\n"):
                chunk = pipe.read(1)
                if not chunk:
                    break
                number += chunk
        if not number.strip().isdigit():
            self.stop()
            raise WineError("Xvfb did not start")
        self.display = ":" + number.strip().decode()

    def install_tools(self) -> str:
        """Copies the helper programs (and the test components, once built) into drive_c.

        Returns the Windows folder of the helpers; the components go to C:\\e2e-components.
        """
        for source, folder in ((E2E_TOOLS, r"C:\e2e-tools"), (E2E_COMPONENTS, r"C:\e2e-components")):
            host = self.host_path(folder)
            host.mkdir(parents=True, exist_ok=True)
            for ext in ("exe", "dll", "ocx", "tlb"):
                for item in source.glob("*." + ext):
                    shutil.copy2(item, host / item.name)
        return r"C:\e2e-tools"

    # paths

    def host_path(self, win_path: str) -> Path:
        """The host file behind a path on drive C."""
        p = PureWindowsPath(win_path)
        if p.drive.upper() != "C:":
            raise ValueError(f"not a path on drive C: {win_path}")
        return self.prefix.joinpath("drive_c", *p.parts[1:])

    def win_path(self, host: Path) -> str:
        rel = Path(host).resolve().relative_to((self.prefix / "drive_c").resolve())
        return "C:\\" + "\\".join(rel.parts)

    # running programs

    def wine(self, *args: str, timeout: float = 60, check: bool = True,
             cwd: Path | None = None) -> subprocess.CompletedProcess:
        result = run_quietly(["wine", *args], self.env, timeout=timeout, cwd=cwd)
        if check and result.returncode != 0:
            raise WineError(f"wine {' '.join(args)} failed ({result.returncode}):\n"
                            f"{result.stdout!r}\n{result.stderr!r}")
        return result

    def e2erun_args(self, cmdline: str, *, answers=(), cwd: str | None = None, timeout_ms: int = 30000,
                    locks=(), holds=(), interactive: bool = False) -> list[str]:
        args = ["wine", self.tools_dir + r"\e2erun.exe", "--timeout", str(timeout_ms)]
        for a in answers:
            args += ["--answer", a]
        for path in locks:
            args += ["--lock", path]
        for line in holds:
            args += ["--hold", line]
        if cwd:
            args += ["--cwd", cwd]
        if interactive:
            args.append("--interactive")
        return args + ["--cmdline", cmdline]

    def run(self, cmdline: str, *, answers=(), cwd: str | None = None, timeout_ms: int = 30000,
            locks=(), holds=()) -> RunResult:
        """Runs a command line to its end, answering its boxes in order; each of holds runs
        meanwhile, started before it and ended after it."""
        args = self.e2erun_args(cmdline, answers=answers, cwd=cwd, timeout_ms=timeout_ms, locks=locks, holds=holds)
        proc = run_quietly(args, self.env, timeout=timeout_ms / 1000 + 60)
        return self.parse_report(proc.stdout.decode("ascii", errors="replace"), proc.returncode, proc.stderr)

    @staticmethod
    def parse_report(stdout: str, returncode: int, stderr: bytes = b"") -> RunResult:
        events = [json.loads(line) for line in stdout.splitlines() if line.startswith('{"event"')]
        errors = [e["message"] for e in events if e["event"] == "error"]
        if returncode != 0 or errors or not any(e["event"] == "end" for e in events):
            raise WineError(f"e2erun failed ({returncode}): {errors}\n{stdout}\n{stderr.decode(errors='replace')}")
        start = next(e for e in events if e["event"] == "start")
        end = next(e for e in events if e["event"] == "end")
        boxes = [Box.from_event(e) for e in events if e["event"] in ("box", "answered") and not e.get("awaiting")]
        processes = [Process(e["pid"], e["parent"], e["image"], e["exit_code"])
                     for e in events if e["event"] == "process"]
        return RunResult(cmdline=start["cmdline"], boxes=boxes, processes=processes, hang=end["hang"],
                         unused_answers=end["unused_answers"], acp=start["acp"], lines=stdout.splitlines())

    # files

    def write_file(self, win_path: str, data: bytes | str) -> Path:
        host = self.host_path(win_path)
        host.parent.mkdir(parents=True, exist_ok=True)
        host.write_bytes(data.encode("utf-8") if isinstance(data, str) else data)
        return host

    def exists(self, win_path: str) -> bool:
        return self.host_path(win_path).exists()

    # registry

    def reg(self, *args: str, check: bool = True) -> subprocess.CompletedProcess:
        return self.wine("reg", *args, check=check)

    def reg_key_exists(self, key: str) -> bool:
        return self.reg("query", key, check=False).returncode == 0

    def reg_import(self, entries: dict[str, dict[str, RegValue | str | int] | None]) -> None:
        """Sets values and deletes keys in one regedit run."""
        win = self._scratch_file("import.reg")
        tmp = self.host_path(win)
        tmp.write_bytes(codecs.BOM_UTF16_LE + format_reg_file(entries).encode("utf-16-le"))
        try:
            self.wine("regedit", "/S", win)
        finally:
            tmp.unlink(missing_ok=True)

    def _scratch_file(self, name: str) -> str:
        # Wine's reg and regedit take a leading "/" for a switch, so their files live on drive C.
        folder = self.host_path(r"C:\e2e-work")
        folder.mkdir(exist_ok=True)
        return rf"C:\e2e-work\{time.monotonic_ns()}-{name}"

    def reg_delete_key(self, key: str) -> None:
        self.reg("delete", key, "/f", check=False)

    def reg_export(self, key: str) -> dict[str, dict[str, RegValue]] | None:
        """The key and its subkeys with their values, or None when the key does not exist."""
        win = self._scratch_file("export.reg")
        tmp = self.host_path(win)
        try:
            if self.reg("export", key, win, "/y", check=False).returncode != 0:
                return None
            raw = tmp.read_bytes()
        finally:
            tmp.unlink(missing_ok=True)
        text = raw.decode("utf-16") if raw[:2] in (codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE) else raw.decode()
        return parse_reg_export(text)

    def reg_values(self, key: str) -> dict[str, RegValue] | None:
        """The values of one key (names as stored), or None when the key does not exist."""
        keys = self.reg_export(key)
        if keys is None:
            return None
        wanted = _full_key_name(key).lower()
        for name, values in keys.items():
            if name.lower() == wanted:
                return values
        return {}

    def pending_renames(self) -> list[tuple[str, str]]:
        """PendingFileRenameOperations as (source, target) pairs; an empty target is a deletion."""
        values = self.reg_values(r"HKLM\System\CurrentControlSet\Control\Session Manager") or {}
        for name, value in values.items():
            if name.lower() == "pendingfilerenameoperations":
                items = value.data.decode("utf-16-le", errors="surrogatepass").split("\0")
                pairs = []
                # Source and target strings in turn; an empty source ends the list.
                for i in range(0, len(items) - 1, 2):
                    if items[i] == "":
                        break
                    pairs.append((items[i], items[i + 1]))
                return pairs
        return []

    def pending_deletions(self) -> list[str]:
        """Files scheduled for deletion at restart, as Windows paths without the \\??\\ prefix."""
        return [src[4:] if src.startswith("\\??\\") else src
                for src, target in self.pending_renames() if target == ""]

    def reg_text(self, key: str, name: str) -> str | None:
        """A value's text (up to its first NUL), or None when the key or the value is missing."""
        values = self.reg_values(key) or {}
        for stored, value in values.items():
            if stored.lower() == name.lower():
                return value.text
        return None

    def reg_delete_value(self, key: str, name: str) -> None:
        self.reg("delete", key, "/v", name, "/f", check=False)

    @contextmanager
    def key_restored_afterwards(self, key: str):
        """Lets a test change a key freely; the key and its subkeys are put back as they were."""
        saved = self.reg_export(key)
        try:
            yield
        finally:
            self.reg_delete_key(key)
            if saved is not None:
                # Parents before children, so that every key is created in order.
                self.reg_import({name: saved[name] for name in sorted(saved, key=lambda k: k.count("\\"))})

    # files and folders as Windows names them

    def short_path(self, win_path: str) -> str:
        """The short (8.3) form of an existing path, as GetShortPathNameW gives it."""
        out = self.wine("winepath", "-s", win_path).stdout.decode("utf-8", errors="replace").strip()
        if not out:
            raise WineError(f"no short path for {win_path} (does it exist?)")
        return out

    def temp_folder(self) -> str:
        """The user's temporary folder as programs of the prefix see it, without a trailing backslash."""
        out = self.wine("cmd", "/c", "echo %TMP%&echo %TEMP%").stdout.decode("utf-8", errors="replace")
        for line in out.splitlines():
            line = line.strip()
            if line and "%" not in line:
                return line.rstrip("\\")
        raise WineError(f"neither TMP nor TEMP is set in the prefix: {out!r}")

    @contextmanager
    def emptied_folder(self, win_path: str):
        """Moves a folder's contents aside for a while, so that the folder itself is empty.

        Everything is moved back afterwards, and the folder is made again if it went.
        """
        folder = self.host_path(win_path)
        held = self.host_path(self._scratch_file("held"))
        held.mkdir(parents=True)
        moved = []
        try:
            for entry in sorted(folder.iterdir()):
                entry.rename(held / entry.name)
                moved.append(entry.name)
            yield
        finally:
            folder.mkdir(parents=True, exist_ok=True)
            for name in moved:
                (held / name).rename(folder / name)
            held.rmdir()

    # screen

    def screenshot(self, path: Path, rect: list[int] | None = None, margin: int = 12) -> Path:
        path.parent.mkdir(parents=True, exist_ok=True)
        args = ["import", "-display", self.display, "-window", "root"]
        if rect and rect[2] > 0 and rect[3] > 0:
            x, y = max(rect[0] - margin, 0), max(rect[1] - margin, 0)
            args += ["-crop", f"{rect[2] + 2 * margin}x{rect[3] + 2 * margin}+{x}+{y}", "+repage"]
        subprocess.run(args + [str(path)], check=True, capture_output=True, timeout=30)
        return path


_ROOTS = {
    "HKLM": "HKEY_LOCAL_MACHINE", "HKCU": "HKEY_CURRENT_USER", "HKCR": "HKEY_CLASSES_ROOT",
    "HKU": "HKEY_USERS", "HKCC": "HKEY_CURRENT_CONFIG",
}


def _full_key_name(key: str) -> str:
    root, _, rest = key.partition("\\")
    root = _ROOTS.get(root.upper(), root.upper())
    return root + ("\\" + rest if rest else "")
