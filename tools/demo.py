#!/usr/bin/env python3
"""make demo: uninstalls a small demo application with the real dismora.exe under Wine.

It installs "Demo App" under C:\\Program Files in a fresh Wine prefix, with its
deployment log and dismora.exe beside it, starts dismora.exe the way a user
would (no arguments, from the application's folder), takes a screenshot of
each message box, answers Yes to the question and OK to anything after it,
and prints what was there before and what is left afterwards.
Builds nothing: `make demo` builds dismora.exe and the helper programs first.
"""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "e2e"))

from logs import DeploymentLog  # noqa: E402
from wine_env import BUILD, DISMORA_EXE, Box, WineMachine, q, sz  # noqa: E402

APP = r"C:\Program Files\Demo App"
OUT = BUILD / "demo"
REG_KEY = r"HKLM\Software\Demo App"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Demo App"

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
        files=[windows(rel) for rel in FILES] + [windows("dismora.exe")],
        registry=[r"HKEY_AUTO\Software\Demo App" + "\t*",
                  r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Uninstall\Demo App" + "\t*"],
    )


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


def demo(machine: WineMachine) -> int:
    log = demo_log()
    for rel, data in FILES.items():
        machine.write_file(windows(rel), data)
    machine.write_file(windows("Kelvane.log"), log.to_bytes())
    machine.write_file(windows("dismora.exe"), DISMORA_EXE.read_bytes())
    machine.reg_import({
        REG_KEY: {"InstallDir": APP, "Version": "1.0"},
        REG_KEY + r"\Settings": {"Theme": "light"},
        UNINSTALL_KEY: {"DisplayName": "Demo App", "UninstallString": q(windows("dismora.exe"))},
    })
    pending_before = set(machine.pending_deletions())

    before = listing(machine)
    keys = [REG_KEY, UNINSTALL_KEY]
    keys_before = {k: machine.reg_key_exists(k) for k in keys}
    print(f"\nInstalled Demo App in {APP}\\ (Wine prefix {OUT.relative_to(REPO)}/prefix, display {machine.display}):")
    print("\n".join("  " + line for line in before))
    for k in keys:
        print(f"  registry key {k}")

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
    keys_after = {k: machine.reg_key_exists(k) for k in keys}
    print(f"\nAfter the run, in {APP}\\:")
    print("\n".join("  " + line for line in after) if after else "  nothing: the folder is gone")
    for k in keys:
        print(f"  registry key {k}: {'still there' if keys_after[k] else 'removed'}")
    scheduled = [p for p in machine.pending_deletions() if p not in pending_before]
    for p in scheduled:
        print(f"  scheduled for deletion at the next restart: {p}")

    removed = [line for line in before if line not in after]
    print("\nSummary:")
    if not removed and all(keys_after[k] == keys_before[k] for k in keys):
        print("  Nothing was removed: this build of dismora.exe left the installation as it was.")
    else:
        print(f"  {len(removed)} of {len(before)} files and folders removed, "
              f"{sum(1 for k in keys if keys_before[k] and not keys_after[k])} of {len(keys)} registry keys removed.")
        if after:
            print(f"  Left behind: {len(after)} entries (listed above).")
    return 0 if not hang else 1


if __name__ == "__main__":
    sys.exit(main())
