#!/usr/bin/env python3
"""make demo: uninstalls a small demo application with the real dismora.exe under Wine.

It installs "Demo App" under C:\\Program Files in a fresh Wine prefix, with its
deployment log and dismora.exe beside it: files, registry keys and values (its
own settings tree, an uninstall entry, a start-up entry, shared-file counts) and
a ".demo" file association whose previous description, icon and commands the
installer overwrote. It then starts dismora.exe the way a user would (no
arguments, from the application's folder), takes a screenshot of each message
box, answers Yes to the question and OK to anything after it, and prints what
was there before and what is left afterwards, files and registry alike.
Builds nothing: `make demo` builds dismora.exe and the helper programs first.
"""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

from logs import AssociationBlock, DeploymentLog  # noqa: E402
from wine_env import BUILD, DISMORA_EXE, REG_DWORD, REG_EXPAND_SZ, REG_SZ, Box, RegValue, WineMachine, q  # noqa: E402

APP = r"C:\Program Files\Demo App"
OUT = BUILD / "demo"
REG_KEY = r"HKLM\Software\Demo App"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Demo App"
USER_KEY = r"HKCU\Software\Demo Vendor\Demo App"
VENDOR_KEY = r"HKCU\Software\Demo Vendor"
RUN_KEY = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Run"
SHARED_DLLS_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\SharedDLLs"
CLASSES = r"HKLM\Software\Classes"     # HKEY_CLASSES_ROOT of a 32-bit prefix
COMMON = r"C:\Program Files\Common Files\Demo Vendor"
SHARED_FILE = COMMON + r"\demoshared.dll"   # another installation of the vendor uses it too

FILES = {
    "DemoApp.exe": b"MZ demo program\x00" * 64,
    "readme.txt": "Demo App 1.0\r\nA tiny application installed for the Dismora demo.\r\n",
    r"bin\engine.dll": b"MZ engine\x00" * 128,
    r"bin\plugins\export.dll": b"MZ plug-in\x00" * 32,
    r"data\sample.dat": bytes(range(256)) * 4,
    r"data\images\logo.bmp": b"BM" + bytes(62),
    r"lang\en.txt": "greeting=Hello\r\n",
    r"lang\de.txt": "greeting=Hallo\r\n",
}


def windows(rel: str = "") -> str:
    return APP + ("\\" + rel if rel else "")


EXE = windows("DemoApp.exe")

# The ".demo" file type as an older viewer had registered it, and as Demo App's installer
# overwrote it; the log records both, verb by verb ("" where the installer added a verb).
FILE_TYPE = "Demo.File"
PREVIOUS = {
    "description": "Demo File (Old Viewer)",
    "icon": r"C:\Program Files\Old Viewer\viewer.exe,0",
    "open": r'"C:\Program Files\Old Viewer\viewer.exe" "%1"',
    "edit": r'%SystemRoot%\system32\notepad.exe "%1"',
    "print": "",
}
INSTALLED = {
    "description": "Demo App Document",
    "icon": EXE + ",1",
    "open": f'"{EXE}" "%1"',
    "edit": f'"{EXE}" /edit "%1"',
    "print": f'"{EXE}" /print "%1"',
}
VERBS = ["open", "edit", "print"]

# Registry content of the installation: key -> values.
REGISTRY = {
    REG_KEY: {"InstallDir": APP, "Version": "1.0"},
    REG_KEY + r"\Settings": {"Theme": "light"},
    UNINSTALL_KEY: {"DisplayName": "Demo App", "UninstallString": q(windows("dismora.exe"))},
    USER_KEY: {"": "Demo App", "Language": "en", "FirstRun": 0},
    USER_KEY + r"\Window": {"Left": 120, "Top": 80, "Maximized": 0},
    USER_KEY + r"\Recent Files": {"File1": r"C:\users\Public\Documents\report.demo",
                                  "File2": r"C:\users\Public\Documents\notes.demo"},
    USER_KEY + r"\Plugins\Export": {"Enabled": 1, "Format": "csv"},
    VENDOR_KEY + r"\Demo Tool": {"Version": "2.3"},      # another product of the vendor: it stays
    RUN_KEY: {"Demo App Tray": f'"{EXE}" /tray', "Other Startup Program": r"C:\Other\other.exe"},
    SHARED_DLLS_KEY: {SHARED_FILE: 2, windows(r"bin\engine.dll"): 1},
}


def demo_log() -> DeploymentLog:
    return DeploymentLog(
        version=4,
        scope="ALL",
        product="Demo App",
        confirmation=("Do you want to remove %s and all of its parts from this computer?",
                      "Its files, folders and registry entries will be deleted.",
                      "Press Yes to uninstall, or No to keep it."),
        completion="%s was removed from your computer.",
        restart=("Some parts could not be removed while they were in use.",
                 "They will be removed when Windows restarts."),
        admin="You need administrator rights to remove %s.",
        # The program file is listed too: the copy that does the work deletes it.
        files=[windows(rel) for rel in FILES] + [SHARED_FILE, windows("dismora.exe")],
        registry=[r"HKEY_AUTO\Software\Demo App" + "\t*",
                  r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Uninstall\Demo App" + "\t*",
                  r"HKEY_CURRENT_USER\Software\Demo Vendor\Demo App" + "\t*",
                  r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Run" + "\tDemo App Tray"],
        associations=[AssociationBlock(
            ".demo", PREVIOUS["description"], INSTALLED["description"], PREVIOUS["icon"], INSTALLED["icon"],
            [(verb, PREVIOUS[verb], INSTALLED[verb]) for verb in VERBS])],
    )


def install_association(machine: WineMachine) -> None:
    """The file type as the installer left it: every value overwritten with its own."""
    entries = {
        rf"{CLASSES}\.demo": {"": FILE_TYPE, "Content Type": "application/x-demo"},
        rf"{CLASSES}\{FILE_TYPE}": {"": INSTALLED["description"]},
        rf"{CLASSES}\{FILE_TYPE}\DefaultIcon": {"": INSTALLED["icon"]},
    }
    for verb in VERBS:
        entries[rf"{CLASSES}\{FILE_TYPE}\shell\{verb}\command"] = {"": INSTALLED[verb]}
    machine.reg_import(entries)


WATCHED = [REG_KEY, UNINSTALL_KEY, VENDOR_KEY, RUN_KEY, SHARED_DLLS_KEY, rf"{CLASSES}\.demo",
           rf"{CLASSES}\{FILE_TYPE}"]


def registry_state(machine: WineMachine) -> dict[str, dict[str, RegValue]]:
    """The watched keys and everything below them: key -> value name -> value."""
    state: dict[str, dict[str, RegValue]] = {}
    for key in WATCHED:
        for name, values in (machine.reg_export(key) or {}).items():
            if name.lower().endswith(r"\shareddlls"):
                # Only the counts of this installation's files.
                values = {n: v for n, v in values.items()
                          if n.lower() in (SHARED_FILE.lower(), windows(r"bin\engine.dll").lower())}
            state[short_key(name)] = values
    return state


def short_key(key: str) -> str:
    for full, short in (("HKEY_LOCAL_MACHINE", "HKLM"), ("HKEY_CURRENT_USER", "HKCU")):
        if key.upper().startswith(full + "\\"):
            return short + key[len(full):]
    return key


def show_value(value: RegValue) -> str:
    if value.type == REG_DWORD:
        return f"{value.dword} (REG_DWORD)"
    kind = {REG_SZ: "REG_SZ", REG_EXPAND_SZ: "REG_EXPAND_SZ"}.get(value.type, f"type {value.type}")
    return f"{value.text!r} ({kind})"


def print_registry(state: dict[str, dict[str, RegValue]]) -> None:
    for key in sorted(state, key=str.lower):
        print(f"  [{key}]")
        for name, value in sorted(state[key].items(), key=lambda item: item[0].lower()):
            print(f"      {name or '(default)'} = {show_value(value)}")


def registry_changes(before: dict[str, dict[str, RegValue]], after: dict[str, dict[str, RegValue]]) -> list[str]:
    out = []
    lower_after = {k.lower(): k for k in after}
    for key in sorted(before, key=str.lower):
        if key.lower() not in lower_after:
            out.append(f"key removed:   {key}")
            continue
        now = after[lower_after[key.lower()]]
        for name, value in sorted(before[key].items(), key=lambda item: item[0].lower()):
            label = f"{key}  {name or '(default)'}"
            if name not in now:
                out.append(f"value removed: {label}  (was {show_value(value)})")
            elif now[name] != value:
                out.append(f"value changed: {label}  {show_value(value)} -> {show_value(now[name])}")
    for key in sorted(after, key=str.lower):
        if key.lower() not in {k.lower() for k in before}:
            out.append(f"key added:     {key}")
    return out


def listing(machine: WineMachine) -> list[str]:
    root = machine.host_path(APP)
    if not root.exists():
        return []
    out = [windows() + "\\"]
    for path in sorted(root.rglob("*")):
        rel = "\\".join(path.relative_to(root).parts)
        out.append(windows(rel) + ("\\" if path.is_dir() else f"  ({path.stat().st_size} bytes)"))
    return out


def show_text(text: str, indent: str = "      ") -> str:
    # Message boxes break lines at bare carriage returns.
    return "\n".join(indent + (line if line else "") for line in text.split("\r"))


def run_interactively(machine: WineMachine, cmdline: str, cwd: str) -> tuple[list[tuple[Box, Path]], list[dict], bool]:
    """Runs the command through e2erun, photographing each box before answering it."""
    args = machine.e2erun_args(cmdline, cwd=cwd, timeout_ms=60000, interactive=True)
    proc = subprocess.Popen(args, env=machine.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)
    shots: list[tuple[Box, Path]] = []
    processes: list[dict] = []
    hang = False
    names = ["confirmation", "final-message"]
    # Read line by line up to the end event: Wine's own long-lived helpers may
    # keep the pipe open, so its end of file is not waited for.
    for line in proc.stdout:
        if not line.startswith('{"event"'):
            continue
        event = json.loads(line)
        kind = event["event"]
        if kind == "box" and event.get("awaiting"):
            box = Box.from_event(event)
            n = len(shots) + 1
            label = names[n - 1] if n <= len(names) else f"box-{n}"
            shot = machine.screenshot(OUT / f"{n:02d}-{label}.png", box.rect)
            shots.append((box, shot))
            answer = "Yes" if "Yes" in box.buttons and n == 1 else "OK" if "OK" in box.buttons else ""
            proc.stdin.write(answer + "\n")
            proc.stdin.flush()
        elif kind == "answered":
            shots[-1] = (Box.from_event(event), shots[-1][1])
        elif kind == "process":
            processes.append(event)
        elif kind == "error":
            raise SystemExit("e2erun: " + event["message"])
        elif kind == "end":
            hang = event["hang"]
            break
    proc.stdin.close()
    proc.wait(60)
    return shots, processes, hang


def main() -> int:
    if not DISMORA_EXE.exists():
        print(f"{DISMORA_EXE.relative_to(REPO)} is missing: run `make build-windows` first", file=sys.stderr)
        return 1
    OUT.mkdir(parents=True, exist_ok=True)
    for old in OUT.glob("*.png"):
        old.unlink()

    print("Preparing a fresh Wine prefix ...")
    machine = WineMachine(OUT)
    machine.start()
    try:
        return demo(machine)
    finally:
        machine.stop()


def install(machine: WineMachine) -> None:
    """Demo App as its installer leaves it, with its log and dismora.exe beside it."""
    for rel, data in FILES.items():
        machine.write_file(windows(rel), data)
    machine.write_file(windows("Kelvane.log"), demo_log().to_bytes())
    machine.write_file(windows("dismora.exe"), DISMORA_EXE.read_bytes())
    machine.write_file(SHARED_FILE, b"MZ shared by the vendor's products\x00" * 16)
    machine.reg_import(REGISTRY)
    install_association(machine)


def demo(machine: WineMachine) -> int:
    install(machine)
    pending_before = set(machine.pending_deletions())

    before = listing(machine)
    registry_before = registry_state(machine)
    print(f"\nInstalled Demo App in {APP}\\ (Wine prefix {OUT.relative_to(REPO)}/prefix, display {machine.display}):")
    print("\n".join("  " + line for line in before))
    print(f"  {SHARED_FILE}  (shared with another product of the vendor)")
    print("\nRegistry before the uninstall (Demo App's keys, its start-up entry, its shared-file counts and"
          "\nthe .demo file type, whose previous description, icon and commands the installer overwrote):")
    print_registry(registry_before)

    cmdline = q(windows("dismora.exe"))
    print(f"\nStarting {cmdline} with no arguments, from {APP}\\ ...")
    shots, processes, hang = run_interactively(machine, cmdline, APP)

    print(f"\nMessage boxes shown: {len(shots)}")
    for n, (box, shot) in enumerate(shots, 1):
        print(f"  {n}. caption: {box.caption}")
        print(f"     text:\n{show_text(box.text)}")
        print(f"     buttons: {', '.join(box.buttons)} (default {box.default}), icon: {box.icon}")
        print(f"     screenshot: {shot.relative_to(REPO)}")
        print(f"     answered: {box.answer}")
    print("\nProcesses:")
    for p in processes:
        code = "unknown" if p["exit_code"] is None else f"{p['exit_code']}" if p["exit_code"] < 0x10000 \
            else f"0x{p['exit_code']:08X}"
        image = p["image"] or "(image unknown: it ended before it was loaded)"
        print(f"  pid {p['pid']} (started by {p['parent']}): {image} -> exit code {code}")
    if any(not p["image"] and p["exit_code"] == 0xC0000135 for p in processes):
        print("  (The process that never loaded is Wine's desktop-integration helper, which Wine's shell\n"
              "   starts when a program announces changed file associations; this prefix disables it.)")
    if hang:
        print("  The run did not end within 60 s; its processes were ended.")

    after = listing(machine)
    registry_after = registry_state(machine)
    print(f"\nAfter the run, in {APP}\\:")
    print("\n".join("  " + line for line in after) if after else "  nothing: the folder is gone")
    print(f"  {SHARED_FILE}: {'still there' if machine.exists(SHARED_FILE) else 'removed'}")
    print("\nRegistry after the uninstall:")
    print_registry(registry_after)
    changes = registry_changes(registry_before, registry_after)
    print("\nRegistry changes:")
    print("\n".join("  " + line for line in changes) if changes else "  none")
    scheduled = [p for p in machine.pending_deletions() if p not in pending_before]
    for p in scheduled:
        print(f"  scheduled for deletion at the next restart: {p}")

    removed = [line for line in before if line not in after]
    print("\nSummary:")
    if not removed and not changes:
        print("  Nothing was removed: this build of dismora.exe left the installation as it was.")
    else:
        counts = {kind: sum(1 for c in changes if c.startswith(kind))
                  for kind in ("key removed", "value removed", "value changed")}
        print(f"  {len(removed)} of {len(before)} files and folders removed; {counts['key removed']} registry keys "
              f"and {counts['value removed']} values removed, {counts['value changed']} values changed.")
        print("  .demo file type: " + association_summary(registry_after))
        if after:
            print(f"  Left behind: {len(after)} entries (listed above).")
    return 0 if not hang else 1


def association_summary(state: dict[str, dict[str, RegValue]]) -> str:
    """Which parts of the file type hold the old viewer's values again."""
    type_key = rf"HKLM\Software\Classes\{FILE_TYPE}"
    lower = {k.lower(): v for k, v in state.items()}

    def current(sub: str) -> str | None:
        value = lower.get((type_key + sub).lower(), {}).get("")
        return value.text if value else None

    parts = [("description", "", PREVIOUS["description"]), ("icon", r"\DefaultIcon", PREVIOUS["icon"])]
    parts += [(f"{verb} command", rf"\shell\{verb}\command", PREVIOUS[verb]) for verb in VERBS if PREVIOUS[verb]]
    restored = [name for name, sub, previous in parts if current(sub) == previous]
    added = [verb for verb in VERBS if not PREVIOUS[verb]]
    gone = [verb for verb in added if (type_key + rf"\shell\{verb}").lower() not in lower]
    text = f"{len(restored)} of {len(parts)} overwritten values restored ({', '.join(restored) or 'none'})"
    if added:
        text += f"; of the verbs the installer added ({', '.join(added)}), {len(gone)} removed"
    return text + "."

if __name__ == "__main__":
    sys.exit(main())
