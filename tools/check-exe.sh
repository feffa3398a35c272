#!/usr/bin/env bash
# Inspects the product executable as it ships: a 32-bit PE of the GUI
# subsystem, importing Known DLLs only (and not the functions the program
# must look up at run time), with its manifest, stripped, relocatable and
# terminal-server aware.
# Prints what it finds and exits non-zero on any failure.
#
#   tools/check-exe.sh [--max-size BYTES] [EXE]     (default build/windows/dismora.exe)
set -uo pipefail
cd "$(dirname "$0")/.."

max_size=
exe=build/windows/dismora.exe
while [ $# -gt 0 ]; do
    case $1 in
        --max-size) max_size=${2:?--max-size needs a number of bytes}; shift 2 ;;
        -h|--help) sed -n '2,8s/^# \{0,1\}//p' "$0"; exit 0 ;;
        *) exe=$1; shift ;;
    esac
done

objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
failures=0
fail() { echo "FAIL  $*"; failures=$((failures + 1)); }
pass() { echo "ok    $*"; }

if [ ! -f "$exe" ]; then
    echo "FAIL  $exe: no such file (build it with: make build-windows)"
    exit 1
fi
if ! command -v "$objdump" >/dev/null; then
    echo "FAIL  $objdump not found (binutils-mingw-w64-i686)"
    exit 1
fi

echo "checking $exe"
file_header=$("$objdump" -f "$exe" 2>&1)
private_headers=$("$objdump" -p "$exe" 2>&1)
section_headers=$("$objdump" -h "$exe" 2>&1)
symbols=$("$objdump" -t "$exe" 2>&1)

# Format: PE32 for i386. A 64-bit build would pass every other check.
if grep -q 'file format pei-i386' <<<"$file_header" && grep -q 'architecture: i386,' <<<"$file_header" &&
    grep -Eq '^Magic[[:space:]]+010b' <<<"$private_headers"; then
    pass "i686 PE32 executable"
else
    fail "not an i686 PE32 executable: $(sed -n 's/.*file format //p' <<<"$file_header" | head -n1)"
fi

# Subsystem 2 is the Windows GUI: no console window opens behind the boxes.
subsystem=$(awk '$1 == "Subsystem" { print $2; exit }' <<<"$private_headers")
if [ "$subsystem" = 00000002 ]; then
    pass "GUI subsystem"
else
    fail "subsystem ${subsystem:-missing}, expected 00000002 (Windows GUI)"
fi

# Imports: every DLL a Known DLL on each Windows the manifest names (Vista, 7,
# 8, 8.1 and 10), and none of the functions that must be looked up at run time
# (missing on some supported Windows, or deliberately kept out of the import
# table). The elevated copy starts from the temporary folder, which the user can
# write to: the loader looks for any other imported DLL beside the program
# first, where a planted one would run elevated. A DLL that is not on this list
# must be loaded at run time from the System folder, by its full path.
allowed_dlls='kernel32.dll advapi32.dll user32.dll gdi32.dll shell32.dll ole32.dll oleaut32.dll msvcrt.dll comdlg32.dll shlwapi.dll'
runtime_only='CheckTokenMembership UnRegisterTypeLib SetDefaultDllDirectories GetDpiForWindow SystemParametersInfoForDpi InitCommonControlsEx RmStartSession RmRegisterResources RmGetList RmEndSession'
import_failures=$failures
imports=$(awk '
    /^The Import Tables/ { in_imports = 1; next }
    in_imports && /^[^[:space:]]/ { in_imports = 0 }
    in_imports && /DLL Name:/ { dll = $3; print dll; next }
    in_imports && dll != "" && /^\t[0-9a-f]+\t/ && NF >= 3 { print dll, $3 }
' <<<"$private_headers")
dlls=$(awk 'NF == 1' <<<"$imports")
if [ -z "$dlls" ]; then
    fail "no import table found"
fi
echo "imports:"
while read -r dll; do
    [ -n "$dll" ] || continue
    functions=$(awk -v d="$dll" '$1 == d && NF == 2 { printf " %s", $2 }' <<<"$imports")
    echo "  $dll:$functions" | fold -s -w 100 | sed -e "s/ *$//" -e "2,\$s/^/      /"
    lower=$(tr '[:upper:]' '[:lower:]' <<<"$dll")
    if [[ " $allowed_dlls " != *" $lower "* ]]; then
        fail "imports from $dll, which is not a Known DLL on every supported Windows"
    fi
done <<<"$dlls"
for name in $runtime_only; do
    if awk 'NF == 2 { print $2 }' <<<"$imports" | grep -qx "$name"; then
        fail "$name is in the import table; it must be looked up at run time"
    fi
done
if [ "$failures" -eq "$import_failures" ]; then
    pass "imports are Known DLLs only, without $(sed 's/ /, /g' <<<"$runtime_only")"
fi

# The manifest: RT_MANIFEST (24) with the id 1 that process creation reads.
if manifest_report=$(python3 - "$exe" <<'PYTHON'
import struct
import sys
import xml.etree.ElementTree as ET

RT_MANIFEST = 24
CREATEPROCESS_MANIFEST_RESOURCE_ID = 1
SUPPORTED_OS = {
    "e2011457-1546-43c5-a5fe-008deee3d3f0": "Windows Vista",
    "35138b9a-5d96-4fbd-8e2d-a2440225f93a": "Windows 7",
    "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38": "Windows 8",
    "1f676c76-80e1-4239-95bb-83d0f6d0da78": "Windows 8.1",
    "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a": "Windows 10",
}
ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
TRUST_NAMESPACES = ("urn:schemas-microsoft-com:asm.v3", "urn:schemas-microsoft-com:asm.v2")
COMPATIBILITY = "urn:schemas-microsoft-com:compatibility.v1"
WINDOWS_SETTINGS_2005 = "http://schemas.microsoft.com/SMI/2005/WindowsSettings"

problems = []


def read_manifest(path):
    data = open(path, "rb").read()
    (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
    if data[pe_offset:pe_offset + 4] != b"PE\0\0":
        raise ValueError("no PE signature")
    sections_count, optional_size = struct.unpack_from("<H12xH", data, pe_offset + 6)
    optional = pe_offset + 24
    # PE32: the data directories start 96 bytes into the optional header.
    resource_rva, resource_size = struct.unpack_from("<II", data, optional + 96 + 2 * 8)
    if resource_rva == 0:
        raise ValueError("no resource section")
    sections = []
    table = optional + optional_size
    for i in range(sections_count):
        virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", data, table + 40 * i + 8)
        sections.append((rva, max(virtual_size, raw_size), raw_offset))

    def offset_of(rva):
        for start, size, raw in sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("address %#x outside every section" % rva)

    root = offset_of(resource_rva)

    def entries(directory):
        named, ids = struct.unpack_from("<12xHH", data, root + directory)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, root + directory + 16 + 8 * i)
            yield name, target

    def find(directory, wanted):
        for name, target in entries(directory):
            if not name & 0x80000000 and name == wanted and target & 0x80000000:
                return target & 0x7FFFFFFF
        return None

    types = find(0, RT_MANIFEST)
    if types is None:
        raise ValueError("no RT_MANIFEST resource")
    ids = [name for name, _ in entries(types)]
    names = find(types, CREATEPROCESS_MANIFEST_RESOURCE_ID)
    if names is None:
        raise ValueError("RT_MANIFEST has ids %s, not 1" % ids)
    languages = list(entries(names))
    if len(languages) != 1 or languages[0][1] & 0x80000000:
        raise ValueError("RT_MANIFEST 1 should have exactly one language entry")
    data_rva, data_size = struct.unpack_from("<II", data, root + languages[0][1])
    start = offset_of(data_rva)
    return data[start:start + data_size]


try:
    manifest = read_manifest(sys.argv[1])
except (ValueError, struct.error, OSError) as error:
    print("manifest: %s" % error)
    sys.exit(1)

try:
    document = ET.fromstring(manifest)
except ET.ParseError as error:
    print("manifest: not well-formed XML: %s" % error)
    sys.exit(1)

if document.tag != "{%s}assembly" % ASM_V1 or document.get("manifestVersion") != "1.0":
    problems.append("root is %s, expected asm.v1 assembly with manifestVersion 1.0" % document.tag)

levels = [
    element
    for namespace in TRUST_NAMESPACES
    for element in document.iterfind(
        "{%(n)s}trustInfo/{%(n)s}security/{%(n)s}requestedPrivileges/{%(n)s}requestedExecutionLevel"
        % {"n": namespace})
]
if len(levels) != 1:
    problems.append("expected one requestedExecutionLevel, found %d" % len(levels))
else:
    level = levels[0]
    if level.get("level") != "asInvoker":
        problems.append("requestedExecutionLevel level=%r, expected 'asInvoker'" % level.get("level"))
    if (level.get("uiAccess") or "").lower() != "false":
        problems.append("requestedExecutionLevel uiAccess=%r, expected 'false'" % level.get("uiAccess"))

found_os = {
    (element.get("Id") or "").strip("{}").lower()
    for element in document.iterfind(
        "{%(n)s}compatibility/{%(n)s}application/{%(n)s}supportedOS" % {"n": COMPATIBILITY})
}
for guid, name in SUPPORTED_OS.items():
    if guid not in found_os:
        problems.append("supportedOS for %s ({%s}) missing" % (name, guid))

dpi = [
    element
    for namespace in ("urn:schemas-microsoft-com:asm.v3", ASM_V1)
    for element in document.iterfind(
        "{%(a)s}application/{%(a)s}windowsSettings/{%(w)s}dpiAware" % {"a": namespace, "w": WINDOWS_SETTINGS_2005})
]
if len(dpi) != 1:
    problems.append("expected one dpiAware in the 2005 WindowsSettings namespace, found %d" % len(dpi))
elif (dpi[0].text or "").strip().lower() != "true/pm":
    problems.append("dpiAware is %r, expected 'True/PM'" % dpi[0].text)

for problem in problems:
    print("manifest: " + problem)
if problems:
    sys.exit(1)
print("manifest: asInvoker, uiAccess false, dpiAware True/PM, supportedOS Vista, 7, 8, 8.1, 10")
PYTHON
); then
    pass "$manifest_report"
else
    while read -r line; do fail "$line"; done <<<"$manifest_report"
fi

# Stripped: no COFF symbol table and no debugging sections.
if grep -q 'no symbols' <<<"$symbols" && ! grep -Eq '^ *[0-9]+ +\.debug|^ *[0-9]+ +/[0-9]+' <<<"$section_headers"; then
    pass "stripped"
else
    fail "not stripped: symbols or debugging sections present"
fi

# Relocations kept, so that ASLR can move the image; DEP on.
if grep -Eq '^ *[0-9]+ +\.reloc ' <<<"$section_headers" && grep -q 'DYNAMIC_BASE' <<<"$private_headers"; then
    pass ".reloc present, DYNAMIC_BASE set"
else
    fail "no .reloc section or DYNAMIC_BASE not set: the image cannot be relocated (ASLR)"
fi
if grep -q 'NX_COMPAT' <<<"$private_headers"; then
    pass "NX_COMPAT set"
else
    fail "NX_COMPAT not set"
fi
# Terminal-server aware: otherwise, on a Remote Desktop host, GetWindowsDirectoryW
# gives a folder of the user's own and the protected Windows folder is the wrong one.
if grep -q 'TERMINAL_SERVICE_AWARE' <<<"$private_headers"; then
    pass "TERMINAL_SERVICE_AWARE set"
else
    fail "TERMINAL_SERVICE_AWARE not set: GetWindowsDirectoryW would give a per-user folder on a Remote Desktop host"
fi

# No prebuilt C++ code linked in: the product is compiled with -mabi=sysv, under which its
# member functions do not take `this` as libstdc++'s prebuilt ones (thiscall) do. The link
# map beside the executable names every archive member the linker took.
map="$(dirname "$exe")/dismora.map"
if [ -f "$map" ]; then
    if grep -Eq 'lib(stdc\+\+|supc\+\+)[^ ]*\.a\(' "$map"; then
        fail "libstdc++ code is linked in (see $map): it does not share the product's calling convention"
    else
        pass "no prebuilt C++ code linked in"
    fi
fi

# No static constructors and no thread-local data: the product starts at its own entry,
# without the C runtime's start-up code that would run the one and set up the other. MinGW
# folds .ctors into .text and routes thread_local through emutls, so the link map's input
# sections and archive members tell (a name too long for its column wraps to a line of its own).
if [ -f "$map" ]; then
    startup_data=$(awk '
        NF == 1 && $1 ~ /^\./ { pending = $1; next }
        pending != "" && $1 ~ /^0x/ { $0 = pending " " $0 }
        { pending = "" }
        $1 ~ /^\.(ctors|dtors|tls)/ && $2 ~ /^0x/ && $3 ~ /^0x/ && $3 !~ /^0x0+$/ { print $1, $3, $4 }
        /emutls/ { print }
    ' "$map")
    if [ -n "$startup_data" ]; then
        fail "static constructors or thread-local data, which nothing would set up (see $map):"
        sed 's/^/      /' <<<"$startup_data" | head -n 10
    else
        pass "no static constructors, no thread-local data"
    fi
fi

size=$(stat -c %s "$exe")
echo "size  $size bytes ($(( (size + 1023) / 1024 )) KiB)"
if [ -n "$max_size" ] && [ "$size" -gt "$max_size" ]; then
    fail "size $size bytes is over the limit of $max_size"
fi

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
