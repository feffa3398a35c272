"""Where the bytes of dismora.exe come from: its sections, the link map's
largest input contributions, the largest functions and its import table.

The link map names the objects that went in, but link-time optimisation merges
the program's own code into one object. For a per-function view the product's
final link is repeated (same objects, same options) without stripping, into a
file of the benchmark's own, and the sizes are read from its symbol table.
"""

from __future__ import annotations

import re
import shlex
import subprocess
from collections import defaultdict
from dataclasses import dataclass, field
from pathlib import Path

OBJDUMP = "i686-w64-mingw32-objdump"
NM = "i686-w64-mingw32-nm"


@dataclass
class SizeReport:
    exe_bytes: int = 0
    sections: list[tuple[str, int, int]] = field(default_factory=list)          # name, size, size on disk
    contributors: list[tuple[str, int, str]] = field(default_factory=list)      # input, bytes, sections
    functions: list[tuple[str, int]] = field(default_factory=list)              # name, bytes
    functions_note: str = ""
    imports: list[tuple[str, list[str]]] = field(default_factory=list)          # dll, functions


def _run(args: list[str], cwd: Path | None = None) -> str:
    return subprocess.run(args, cwd=cwd, check=True, capture_output=True, text=True).stdout


def pe_sections(exe: Path) -> list[tuple[str, int, int]]:
    """Each section with its size and the bytes it takes in the file (rounded to the file alignment)."""
    out = _run([OBJDUMP, "-h", str(exe)])
    alignment = 0x200
    headers = _run([OBJDUMP, "-p", str(exe)])
    m = re.search(r"^FileAlignment\s+([0-9a-fA-F]+)", headers, re.M)
    if m:
        alignment = int(m.group(1), 16)
    sections = []
    for m in re.finditer(r"^\s*\d+\s+(\S+)\s+([0-9a-f]{8})\s+[0-9a-f]{8}\s+[0-9a-f]{8}\s+[0-9a-f]{8}", out, re.M):
        size = int(m.group(2), 16)
        sections.append((m.group(1), size, (size + alignment - 1) // alignment * alignment))
    return sections


_MAP_INPUT = re.compile(r"^ (\.[^\s*]+)?\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$")


def map_contributors(map_file: Path) -> list[tuple[str, int, str]]:
    """Bytes each input object put into the image's loaded sections, largest first."""
    sizes: dict[str, int] = defaultdict(int)
    sections: dict[str, set[str]] = defaultdict(set)
    output_section = None
    pending_name = None
    in_discarded = False
    for line in map_file.read_text(errors="replace").splitlines():
        if line.startswith("Discarded input sections"):
            in_discarded = True
            continue
        if line.startswith("Memory map") or line.startswith("Linker script and memory map"):
            in_discarded = False
            continue
        if in_discarded:
            continue
        m = re.match(r"^(\.[\w$.]+)\s+0x[0-9a-f]+\s+0x[0-9a-f]+", line)
        if m:
            output_section = m.group(1)
            continue
        if re.match(r"^(\.[\w$.]+)\s*$", line):
            output_section = line.strip()
            continue
        if output_section is None or output_section.startswith((".debug", ".zdebug", ".stab")):
            continue
        # A long input section name stands alone; its address, size and file follow on the next line.
        if re.match(r"^ \.[^\s]+$", line):
            pending_name = line.strip()
            continue
        m = _MAP_INPUT.match(line)
        if not m or (m.group(1) is None and pending_name is None):
            pending_name = None
            continue
        pending_name = None
        size = int(m.group(3), 16)
        source = m.group(4).strip()
        if size == 0 or source.startswith(("LONG ", "BYTE ", "SHORT ", "QUAD ")):
            continue
        source = re.sub(r"^.*/", "", source)                 # the archive or object's own name
        source = re.sub(r"^cc\w+\.ltrans\d*\.ltrans\.o$", "(program code after LTO)", source)
        sizes[source] += size
        sections[source].add(output_section)
    # The import libraries add a few bytes per imported function: one line per library.
    grouped: dict[str, int] = defaultdict(int)
    grouped_sections: dict[str, set[str]] = defaultdict(set)
    for name, size in sizes.items():
        m = re.match(r"^(lib(?:kernel32|advapi32|user32|shell32|oleaut32|ole32|msvcrt)\.a)\(", name)
        key = f"{m.group(1)} (import entries)" if m else name
        if key == "dll stuff":
            key = "(linker: base relocations)"
        grouped[key] += size
        grouped_sections[key] |= sections[name]
    sizes, sections = grouped, grouped_sections
    ranked = sorted(sizes.items(), key=lambda item: -item[1])
    return [(name, size, " ".join(sorted(sections[name]))) for name, size in ranked]


def link_with_symbols(windows_build: Path, out_exe: Path) -> str | None:
    """Repeats the product's final link without -s into out_exe; None on success, else why not."""
    link_txt = windows_build / "CMakeFiles" / "dismora.dir" / "link.txt"
    if not link_txt.exists():
        return f"{link_txt.name} not found"
    commands = [line for line in link_txt.read_text().splitlines() if " -o dismora.exe" in line]
    if not commands:
        return "no link command for dismora.exe"
    args = []
    for arg in shlex.split(commands[-1]):
        if arg == "-s" or arg.startswith("-Wl,--out-implib"):
            continue
        if arg.startswith("-Wl,-Map="):
            arg = "-Wl,-Map=" + str(out_exe.with_suffix(".map"))
        args.append(arg)
    try:
        args[args.index("-o") + 1] = str(out_exe)
    except (ValueError, IndexError):
        return "no -o in the link command"
    result = subprocess.run(args, cwd=windows_build, capture_output=True, text=True)
    if result.returncode != 0:
        return "the link failed: " + result.stderr.strip().splitlines()[-1] if result.stderr.strip() else "failed"
    return None


def largest_functions(exe: Path, limit: int) -> list[tuple[str, int]]:
    """Code symbols by the distance to the next one: their size, padding included."""
    out = _run([NM, "-n", "-C", "--defined-only", str(exe)])
    text_end = None
    for name, size, _disk in pe_sections(exe):
        if name == ".text":
            start = int(_run([OBJDUMP, "-h", str(exe)]).split(".text", 1)[1].split()[1], 16)
            text_end = start + size
    symbols = []
    for line in out.splitlines():
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[1] in "tT":
            symbols.append((int(parts[0], 16), parts[2]))
    sizes = []
    for i, (address, name) in enumerate(symbols):
        end = symbols[i + 1][0] if i + 1 < len(symbols) else (text_end or address)
        if end > address:
            sizes.append((name, end - address))
    merged: dict[str, int] = defaultdict(int)
    for name, size in sizes:
        name = name.replace("std::__cxx11::basic_string<char16_t, std::char_traits<char16_t>, "
                            "std::allocator<char16_t> >", "std::u16string")
        name = name.replace("std::basic_string_view<char16_t, std::char_traits<char16_t> >", "std::u16string_view")
        name = name.replace("[abi:cxx11]", "")
        merged[name] += size
    return sorted(merged.items(), key=lambda item: -item[1])[:limit]


def import_table(exe: Path) -> list[tuple[str, list[str]]]:
    out = _run([OBJDUMP, "-p", str(exe)])
    tables: list[tuple[str, list[str]]] = []
    in_imports = False
    for line in out.splitlines():
        if line.startswith("The Import Tables"):
            in_imports = True
            continue
        if in_imports and line and not line[0].isspace():
            in_imports = False
        if not in_imports:
            continue
        m = re.search(r"DLL Name: (\S+)", line)
        if m:
            tables.append((m.group(1), []))
            continue
        m = re.match(r"^\t[0-9a-f]+\t\s*[0-9a-f]+\s+(\S+)", line)
        if m and tables:
            tables[-1][1].append(m.group(1))
    return tables


def analyse(exe: Path, map_file: Path, windows_build: Path, work: Path, limit: int = 20) -> SizeReport:
    report = SizeReport(exe_bytes=exe.stat().st_size)
    report.sections = pe_sections(exe)
    if map_file.exists():
        report.contributors = map_contributors(map_file)[:limit]
    report.imports = import_table(exe)
    twin = work / "dismora-symbols.exe"
    why_not = link_with_symbols(windows_build, twin)
    if why_not is None:
        report.functions = largest_functions(twin, limit)
        report.functions_note = (f"from the product's link repeated without stripping ({twin.stat().st_size} bytes "
                                 "with its symbol table)")
    else:
        report.functions_note = f"not available: {why_not}"
    return report
