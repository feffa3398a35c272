"""Writes build/bench/report.md and the chart from the figures the benchmarks left,
and prints the main table.

    python3 bench/report.py [--dir build/bench]

Reads wine.json (bench/wine_bench.py) and micro.json (dismora_microbench); looks
at build/windows/dismora.exe and its link map for the size section.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "bench"))

import size_report  # noqa: E402

WINDOWS_BUILD = REPO / "build" / "windows"

# The goals the figures are held against.
SIZE_GOAL_BYTES = 44 * 1024   # with the record, the journal and the progress window
RATIO_GOAL = 1.15
WAITED_GOAL = 1.2
RECORDED_GOAL = 1.2
WINDOW_GOAL = 1.05           # a run with the progress window over the same run without it
RATIO_GOAL_N = 10000
FLAT_SPREAD = 1.10          # largest ratio over smallest, across the sizes
LOOKUP_GOAL_S = 0.050
READER_GOAL = 1 / 3         # reader speed over memchr split speed


def met(ok: bool) -> str:
    return "met" if ok else "**not met**"


def machine_lines(wine: dict) -> list[str]:
    cpu = "unknown"
    memory = "unknown"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemTotal"):
                memory = f"{int(line.split()[1]) / 1024 / 1024:.1f} GiB"
                break
    except OSError:
        pass
    load = ""
    if "load_before" in wine:
        load = (f"; load average {wine['load_before'][0]:.2f} before the Wine runs, "
                f"{wine['load_after'][0]:.2f} after")
    return [
        f"- Date: {datetime.datetime.now().astimezone().strftime('%Y-%m-%d %H:%M %Z')}",
        f"- Machine: {os.cpu_count()} cores (nproc), {cpu}, {memory} memory, Linux {platform.release()}{load}",
        f"- Wine: {wine.get('wine', 'unknown')}, 32-bit prefix, persistent wineserver",
    ]


def chart(wine: dict, path: Path) -> None:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sizes = wine["sizes"]
    n = [s["n"] for s in sizes]
    fig, ax = plt.subplots(figsize=(7.5, 4.5), dpi=120)
    for program, label, colour in (("dismora", "Dismora", "tab:blue"), ("floor", "floor (bare calls)", "tab:gray")):
        per_file = [s[program + "_median_s"] / s["files"] * 1e3 for s in sizes]
        low = [s[program + "_min_s"] / s["files"] * 1e3 for s in sizes]
        high = [max(r["seconds"] for r in s[program]) / s["files"] * 1e3 for s in sizes]
        ax.errorbar(n, per_file, yerr=[[p - lo for p, lo in zip(per_file, low)],
                                       [hi - p for p, hi in zip(per_file, high)]],
                    marker="o", capsize=4, label=label, color=colour)
    for s in sizes:
        ax.annotate(f"{s['ratio']:.2f}x", (s["n"], s["dismora_median_s"] / s["files"] * 1e3),
                    textcoords="offset points", xytext=(6, 8), fontsize=9, color="tab:blue")
    ax.set_xscale("log")
    ax.set_xticks(n)
    ax.set_xticklabels([f"{x:,}" for x in n])
    ax.set_xlabel("installed files (with 2,000 registry values)")
    ax.set_ylabel("ms per file (median; bars: fastest, slowest)")
    ax.set_ylim(bottom=0)
    ax.set_title("Removing an installation under Wine: time per file")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def removal_table(wine: dict) -> list[str]:
    rows = ["| N | files | folders | values | Dismora median s | floor median s | ratio | per-file ms (Dismora / floor) |",
            "|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for s in (wine["sizes"] + [dict(w, n_label=f"{w['n']:,} waited") for w in wine.get("waited", [])]
              + [dict(w, n_label=f"{w['n']:,} with /log=") for w in wine.get("recorded", [])]):
        files = s["files"] + 1          # the log is deleted too
        label = s.get("n_label", f"{s['n']:,}")
        rows.append(f"| {label} | {files:,} | {s['folders']:,} | {s['values'] + s['shared_counts']:,} | "
                    f"{s['dismora_median_s']:.3f} | {s['floor_median_s']:.3f} | {s['ratio']:.2f} | "
                    f"{s['dismora_median_s'] / files * 1e3:.4f} / {s['floor_median_s'] / files * 1e3:.4f} |")
    return rows


def goals(wine: dict, micro: dict, exe_bytes: int) -> tuple[list[str], list[tuple[str, bool]]]:
    rows = ["| goal | figure | |", "|---|---|---|"]
    verdicts = []

    def add(goal: str, figure: str, ok: bool) -> None:
        rows.append(f"| {goal} | {figure} | {met(ok)} |")
        verdicts.append((goal, ok))

    add(f"stripped i686 dismora.exe at most {SIZE_GOAL_BYTES // 1024} KiB", f"{exe_bytes:,} bytes ({exe_bytes / 1024:.1f} KiB)",
        exe_bytes <= SIZE_GOAL_BYTES)
    sizes = {s["n"]: s for s in wine.get("sizes", [])}
    if RATIO_GOAL_N in sizes:
        ratio = sizes[RATIO_GOAL_N]["ratio"]
        add(f"Dismora at most {RATIO_GOAL}x the floor at N = {RATIO_GOAL_N:,}", f"{ratio:.2f}x", ratio <= RATIO_GOAL)
    for waited in wine.get("waited", []):
        if waited["n"] == RATIO_GOAL_N:
            add(f"`/silent /wait` from the first start to its end at most {WAITED_GOAL}x the floor at "
                f"N = {RATIO_GOAL_N:,}", f"{waited['ratio']:.2f}x", waited["ratio"] <= WAITED_GOAL)
    for recorded in wine.get("recorded", []):
        if recorded["n"] == RATIO_GOAL_N:
            add(f"the same run with a record (`/log=`) at most {RECORDED_GOAL}x the floor at N = {RATIO_GOAL_N:,}",
                f"{recorded['ratio']:.2f}x", recorded["ratio"] <= RECORDED_GOAL)
    for window in wine.get("window", []):
        add(f"progress window: a run to its final message with the window at most {WINDOW_GOAL}x the same run "
            f"without it at N = {window['n']:,} (window shown in {window['window_shown_runs']} of {window['runs']} runs)",
            f"{window['shown_median_s']:.3f} s / {window['off_median_s']:.3f} s = {window['ratio']:.3f}x",
            window["ratio"] <= WINDOW_GOAL)
    if len(sizes) >= 2:
        ratios = [s["ratio"] for s in wine["sizes"]]
        spread = max(ratios) / min(ratios)
        add(f"ratio flat from {min(sizes):,} to {max(sizes):,} files (largest / smallest at most {FLAT_SPREAD})",
            " → ".join(f"{r:.2f}" for r in ratios) + f" (spread {spread:.2f})", spread <= FLAT_SPREAD)
    if micro:
        lookup = micro["lookup"]
        total = statistics.median(lookup["total_s"])
        add(f"component lookup: {lookup['paths']:,} listed files, {lookup['lookups']:,} component lines, "
            f"under {LOOKUP_GOAL_S * 1e3:.0f} ms natively", f"{total * 1e3:.1f} ms", total < LOOKUP_GOAL_S)
        for key, log in (("reader", "paths in several scripts"), ("reader_ascii", "ASCII paths")):
            reader = micro.get(key)
            if not reader:
                continue
            speed = statistics.median(reader["memchr_s"]) / statistics.median(reader["reader_s"])
            add(f"log reader at least 1/3 of the speed of a memchr line split ({log})",
                f"{speed:.3f} of it (1/{1 / speed:.1f})", speed >= READER_GOAL)
    return rows, verdicts


def micro_section(micro: dict) -> list[str]:
    lookup = micro["lookup"]
    build, find, total = (statistics.median(lookup[k]) * 1e3 for k in ("build_s", "find_s", "total_s"))
    walk_total = lookup["walk_per_lookup_s"] * lookup["lookups"]
    rows = [
        f"Host build (g++ -O2) of the core over a lean backend (bench/native/lean_win.cpp); "
        f"median of {micro['runs']} runs after one warm-up run. Every answer is checked.",
        "",
        "| micro-benchmark | figure |",
        "|---|---|",
        f"| component lookup: RemovalIndex over {lookup['paths']:,} paths | build {build:.1f} ms |",
        f"| {lookup['lookups']:,} lookups ({lookup['hits']:,} found, the rest missing) | {find:.1f} ms |",
        f"| component section total | **{total:.1f} ms** |",
        f"| for scale: a walk from the head per line ({lookup['walk_sample']} sampled) | "
        f"{lookup['walk_per_lookup_s'] * 1e3:.2f} ms per line, {walk_total:.1f} s for all |",
    ]
    logs = (("reader", "paths in several scripts (43% of the lines beyond ASCII)"), ("reader_ascii", "ASCII paths"))
    for key, log in logs:
        reader = micro.get(key)
        if not reader:
            continue
        mib = reader["bytes"] / 2**20
        reader_s = statistics.median(reader["reader_s"])
        memchr_s = statistics.median(reader["memchr_s"])
        rows += [
            f"| LogReader::ReadLineInto, {mib:.0f} MiB UTF-8 log of {log}, {reader['lines']:,} lines, CR LF | "
            f"{reader_s:.3f} s ({mib / reader_s:.0f} MiB/s) |",
            f"| memchr line split of the same file, same 64 KiB reads | {memchr_s:.3f} s ({mib / memchr_s:.0f} MiB/s) |",
            f"| reader speed / split speed | **{memchr_s / reader_s:.3f}** |",
        ]
        if reader.get("convert_s"):
            convert_s = statistics.median(reader["convert_s"])
            rows.append(f"| for scale: that split plus two MultiByteToWideChar calls per line into a reused buffer | "
                        f"{convert_s:.3f} s ({mib / convert_s:.0f} MiB/s) |")
    return rows


def calls_section(wine: dict) -> list[str]:
    calls = wine.get("calls")
    if not calls:
        return []
    d, f = calls["dismora"]["calls"], calls["floor"]["calls"]
    files = calls["files"]
    out = [f"One extra run of each program at N = {calls['n']:,} ({files:,} files with the log, "
           f"{calls['folders']:,} folders, {calls['values']:,} values) under Wine's relay trace, counting the "
           "calls made from the program's own code:",
           "",
           "| function | Dismora | floor | Dismora per file | floor per file |",
           "|---|---:|---:|---:|---:|"]
    for name in d:
        if d[name] == 0 and f[name] == 0:
            continue
        out.append(f"| {name} | {d[name]:,} | {f[name]:,} | {d[name] / files:.2f} | {f[name] / files:.2f} |")
    out += ["", f"The log has {calls['log_lines']:,} lines. Dismora's pause (no file goes earlier than 100 ms "
            f"after the start of a temporary-copy run) was {calls.get('dismora_pause_ms', 0)} ms in a run at "
            f"N = {calls['n']:,} with only Sleep traced."]
    return out


def size_section(report: size_report.SizeReport) -> list[str]:
    out = ["Sections of the shipped file:", "", "| section | size | in the file |", "|---|---:|---:|"]
    for name, size, disk in report.sections:
        out.append(f"| {name} | {size:,} | {disk:,} |")
    out += ["", "Largest contributors in the link map (build/windows/dismora.map), loaded sections only:", "",
            "| input | bytes | sections |", "|---|---:|---|"]
    for name, size, sections in report.contributors[:12]:
        out.append(f"| {name} | {size:,} | {sections} |")
    out += ["", f"Largest functions, {report.functions_note}:", ""]
    if report.functions:
        out += ["| function | bytes |", "|---|---:|"]
        out += [f"| `{name}` | {size:,} |" for name, size in report.functions]
    out += ["", "Import table:", "", "| DLL | functions |", "|---|---|"]
    for dll, functions in report.imports:
        out.append(f"| {dll} ({len(functions)}) | {', '.join(functions)} |")
    return out


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dir", type=Path, default=REPO / "build" / "bench")
    args = parser.parse_args()
    out_dir = args.dir.resolve()
    wine_file, micro_file = out_dir / "wine.json", out_dir / "micro.json"
    wine = json.loads(wine_file.read_text()) if wine_file.exists() else {}
    micro = json.loads(micro_file.read_text()) if micro_file.exists() else {}
    exe = WINDOWS_BUILD / "dismora.exe"
    size = size_report.analyse(exe, WINDOWS_BUILD / "dismora.map", WINDOWS_BUILD, out_dir)

    lines = ["# Dismora benchmark", ""]
    lines += machine_lines(wine)
    lines += [f"- Product: build/windows/dismora.exe, {size.exe_bytes:,} bytes ({size.exe_bytes / 1024:.1f} KiB), "
              "stripped i686", ""]

    goal_rows, verdicts = goals(wine, micro, size.exe_bytes)
    lines += ["## Goals", ""] + goal_rows + [""]

    if wine.get("sizes"):
        runs = ", ".join(f"{s['runs']} at {s['n']:,}" for s in wine["sizes"])
        left = sum(r["left_total"] - r.get("expected_left", 0) for s in wine["sizes"] for p in ("dismora", "floor")
                   for r in s[p])
        bad_exits = sum(r["exit_code"] != 0 for s in wine["sizes"] for p in ("dismora", "floor") for r in s[p])
        lines += ["## Removal under Wine", "",
                  "Each installation: N files in a folder tree (about one folder per 20 files, depth up to 4) with "
                  "its deployment log (version 4, UTF-8, per-user scope), 2,000 registry values under 200 keys of "
                  "HKEY_CURRENT_USER\\Software\\Dismora Bench, 10 files with a shared count of 1, and from "
                  "10,000 files up 100 files with a count of 2, which stay with their folders (the floor does "
                  "not ask for those). Timed: "
                  "`dismora.exe \"<log>\" /temp /silent` against the floor program (one DeleteFileW per file, "
                  "one RemoveDirectoryW per folder, one RegDeleteValueW per value, each key opened once), both "
                  "started with `wine` beside a persistent wineserver, from start to exit as the host sees it, "
                  "nothing subtracted. Before every run the tree is hard-linked into the prefix afresh and the "
                  "registry restored with one regedit run; the two programs alternate.",
                  "", f"Runs per size: {runs}; after one untimed run of each. Files, folders and values left "
                  f"after all timed runs together, beyond what the counts keep: **{left}**; runs that did not exit with 0: **{bad_exits}**.", ""]
        lines += removal_table(wine)
        fixed = wine.get("fixed")
        floor_exe = out_dir / "floor.exe"
        floor_dlls = {d.lower() for d, _ in size_report.import_table(floor_exe)} if floor_exe.exists() else set()
        own = [d for d, _ in size.imports if d.lower() not in floor_dlls]
        extra_dlls = f", and the loading of {', '.join(own)}, which the floor does not import" if own else ""
        if fixed:
            lines += ["", f"Fixed cost, a log that lists nothing (the log and its folder are still removed): Dismora "
                      f"{fixed['dismora_median_s']:.3f} s, floor {fixed['floor_median_s']:.3f} s (median of "
                      f"{fixed['runs']}). Dismora's includes its pause of up to 100 ms before the first deletion "
                      f"in a temporary-copy run{extra_dlls}."]
            first = wine["sizes"][0]
            dismora_share = fixed["dismora_median_s"] / first["dismora_median_s"]
            floor_share = fixed["floor_median_s"] / first["floor_median_s"]
            lines += ["", f"At N = {first['n']:,} that fixed cost is {dismora_share:.0%} of Dismora's median time and "
                      f"{floor_share:.0%} of the floor's."]
        sizes = wine["sizes"]
        if len(sizes) > 1:
            # What one more file costs between two sizes: the fixed costs cancel out, and a
            # term growing faster than the file count would show as a rising ratio.
            steps = []
            for a, b in zip(sizes, sizes[1:]):
                added = b["n"] - a["n"]
                d = (b["dismora_median_s"] - a["dismora_median_s"]) / added
                f = (b["floor_median_s"] - a["floor_median_s"]) / added
                steps.append(f"{a['n']:,} → {b['n']:,}: Dismora {d * 1e3:.4f} ms, floor {f * 1e3:.4f} ms, "
                             f"ratio {d / f:.2f}" if f > 0 else f"{a['n']:,} → {b['n']:,}: not measurable")
            lines += ["", "The cost of each further file, from the difference between two sizes (fixed costs "
                      "cancel out): " + "; ".join(steps) + "."]
        lines += ["", "CPU time, less sensitive to whatever else the machine is doing: the program's process "
                  "(user + system) plus the wineserver's, median s:", "",
                  "| N | Dismora CPU s | floor CPU s | ratio |", "|---:|---:|---:|---:|"]
        for s in wine["sizes"]:
            lines.append(f"| {s['n']:,} | {s['dismora_cpu_median_s']:.3f} | {s['floor_cpu_median_s']:.3f} | "
                         f"{s['dismora_cpu_median_s'] / max(s['floor_cpu_median_s'], 1e-9):.2f} |")
        lines += ["", "Fastest runs (s): " + "; ".join(
            f"N = {s['n']:,}: Dismora {s['dismora_min_s']:.3f}, floor {s['floor_min_s']:.3f}" for s in wine["sizes"]),
            "", "![time per file](time_per_file.png)", ""]
        chart(wine, out_dir / "time_per_file.png")
        calls = calls_section(wine)
        if calls:
            lines += ["### Win32 calls", ""] + calls + [""]
    if micro:
        lines += ["## Micro-benchmarks", ""] + micro_section(micro) + [""]
    lines += ["## Size", ""] + size_section(size) + [""]
    (out_dir / "report.md").write_text("\n".join(lines))

    print()
    print("\n".join(removal_table(wine)) if wine.get("sizes") else "no Wine figures")
    print()
    print("\n".join(goal_rows))
    print(f"\nreport: {(out_dir / 'report.md').relative_to(REPO)}, chart: "
          f"{(out_dir / 'time_per_file.png').relative_to(REPO)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
