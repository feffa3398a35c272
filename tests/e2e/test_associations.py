"""File association restore by the real dismora.exe under Wine: one uninstall run
over many association blocks, with every value of every file type read byte for
byte before and after."""

from __future__ import annotations

import hashlib
from dataclasses import dataclass, field

import pytest

from logs import AssociationBlock, DeploymentLog
from registry_scenarios import (MACHINE_CLASSES, USER_CLASSES, assert_registry_change, exact_snapshot,  # noqa: F401
                                exact_tree, exact_value, expected_diff, registry, uninstall_silently)
from wine_env import REG_EXPAND_SZ, REG_SZ, RegValue, sz

APP = r"C:\Program Files\E2E Editor\editor.exe"
INSTALLED_DESCRIPTION = "E2E Editor Document"
PREVIOUS_DESCRIPTION = "Plain Text Document"
INSTALLED_ICON = APP + ",1"
PREVIOUS_ICON = r"%SystemRoot%\system32\shell32.dll,-152"      # "%" makes no difference for an icon
INSTALLED_OPEN = f'"{APP}" "%1"'
PREVIOUS_OPEN = r'%SystemRoot%\system32\notepad.exe "%1"'      # begins with "%": REG_EXPAND_SZ
INSTALLED_PRINT = f'"{APP}" /p "%1"'
PREVIOUS_PRINT = r'"C:\Program Files\Old Viewer\viewer.exe" /print "%1"'
INSTALLED_EDIT = f'"{APP}" /edit "%1"'
PREVIOUS_EDIT = r'C:\Windows\notepad.exe "%1"'


@dataclass
class Case:
    """One extension: what the registry holds under the classes root before the run (keys relative
    to it, {type} standing for the file type's key name), its block in the log, and what the run
    must do: keys that go with everything below them, default values that it writes."""

    registry: dict[str, dict[str, RegValue | str]]
    block: AssociationBlock
    written: dict[str, RegValue] = field(default_factory=dict)
    removed: list[str] = field(default_factory=list)


def restorable(ext: str) -> dict[str, dict[str, RegValue | str]]:
    """Everything as the installer left it: each value holds what the log says it wrote."""
    return {
        ext: {"": "{type}", "Content Type": "text/plain"},
        "{type}": {"": INSTALLED_DESCRIPTION, "EditFlags": 0},
        r"{type}\DefaultIcon": {"": INSTALLED_ICON},
        r"{type}\shell": {"": "open"},
        r"{type}\shell\open\command": {"": INSTALLED_OPEN},
        r"{type}\shell\print\command": {"": INSTALLED_PRINT},
    }


def full_block(ext: str, **changes) -> AssociationBlock:
    block = AssociationBlock(ext, PREVIOUS_DESCRIPTION, INSTALLED_DESCRIPTION, PREVIOUS_ICON, INSTALLED_ICON,
                             [("open", PREVIOUS_OPEN, INSTALLED_OPEN), ("print", PREVIOUS_PRINT, INSTALLED_PRINT)])
    for name, value in changes.items():
        setattr(block, name, value)
    return block


ALL_RESTORED = {
    "{type}": sz(PREVIOUS_DESCRIPTION),
    r"{type}\DefaultIcon": sz(PREVIOUS_ICON),
    r"{type}\shell\open\command": sz(PREVIOUS_OPEN, REG_EXPAND_SZ),
    r"{type}\shell\print\command": sz(PREVIOUS_PRINT),
}


def build_cases(tag: str) -> dict[str, Case]:
    """The cases in log order; every name carries the tag, so that each test has its own."""
    def ext(letter: str) -> str:
        return f".{tag}{letter}"

    cases: dict[str, Case] = {}
    # The lines of this block, read as blocks of their own, would rewrite the decoy's description.
    decoy = ext("z")
    cases["extension key missing: its block is passed over up to its %"] = Case(
        registry={decoy: {"": "{type}"}, "{type}": {"": "decoy installed"}},
        block=AssociationBlock(ext("a"), decoy, "decoy previous", "decoy installed", "",
                               [("open", decoy, "decoy installed"), ("print", "", "")]))
    cases["the block after a passed-over one"] = Case(
        registry=restorable(ext("b")), block=full_block(ext("b")), written=dict(ALL_RESTORED))
    cases["extension whose default value is empty"] = Case(
        registry={ext("c"): {"": ""}},
        block=AssociationBlock(ext("c"), "written on the classes root", "", "root icon", "",
                               [("open", "root command", "")]))
    cases["previous description empty: the description stays"] = Case(
        registry=restorable(ext("d")),
        block=full_block(ext("d"), previous_description=""),
        written={k: v for k, v in ALL_RESTORED.items() if k != "{type}"})
    cases["extension without a default value"] = Case(
        registry={ext("e"): {"Content Type": "text/plain"}},
        block=AssociationBlock(ext("e"), PREVIOUS_DESCRIPTION, "", PREVIOUS_ICON, "", []))
    cases["values differing only in letter case count as unchanged"] = Case(
        registry={ext("f"): {"": "{type}"},
                  "{type}": {"": "e2e éditeur DOCUMENT"},
                  r"{type}\DefaultIcon": {"": INSTALLED_ICON.upper()},
                  r"{type}\shell\open\command": {"": INSTALLED_OPEN.swapcase()}},
        block=AssociationBlock(ext("f"), "%Percent% description", "E2E Éditeur Document", PREVIOUS_ICON,
                               INSTALLED_ICON, [("open", PREVIOUS_PRINT, INSTALLED_OPEN)]),
        written={"{type}": sz("%Percent% description"), r"{type}\DefaultIcon": sz(PREVIOUS_ICON),
                 r"{type}\shell\open\command": sz(PREVIOUS_PRINT)})
    cases["file type key missing"] = Case(
        registry={ext("g"): {"": "{type}"}},
        block=AssociationBlock(ext("g"), PREVIOUS_DESCRIPTION, INSTALLED_DESCRIPTION, PREVIOUS_ICON, INSTALLED_ICON,
                               [("open", PREVIOUS_OPEN, INSTALLED_OPEN)]))
    cases["everything the installer wrote is put back"] = Case(
        registry=restorable(ext("h")), block=full_block(ext("h")), written=dict(ALL_RESTORED))
    cases["values the user changed since are left"] = Case(
        registry={ext("i"): {"": "{type}"},
                  "{type}": {"": "My own description"},
                  r"{type}\DefaultIcon": {"": r"C:\Users\me\mine.ico,0"},
                  r"{type}\shell\open\command": {"": sz(r'%ProgramFiles%\Mine\mine.exe "%1"', REG_EXPAND_SZ)},
                  r"{type}\shell\print\command": {"": INSTALLED_PRINT + " "}},
        block=full_block(ext("i")))
    cases["empty previous icon and command: DefaultIcon, the command and the verb go"] = Case(
        registry=restorable(ext("j")),
        block=full_block(ext("j"), previous_icon="", verbs=[("open", "", INSTALLED_OPEN),
                                                            ("print", "", INSTALLED_PRINT)]),
        written={"{type}": sz(PREVIOUS_DESCRIPTION)},
        removed=[r"{type}\DefaultIcon", r"{type}\shell\open", r"{type}\shell\print"])
    cases["empty previous icon and command, both changed since: nothing goes"] = Case(
        registry={ext("k"): {"": "{type}"},
                  "{type}": {"": INSTALLED_DESCRIPTION},
                  r"{type}\DefaultIcon": {"": r"C:\Users\me\mine.ico,0"},
                  r"{type}\shell\open\command": {"": r'C:\Users\me\mine.exe "%1"'}},
        block=full_block(ext("k"), previous_icon="", verbs=[("open", "", INSTALLED_OPEN)]),
        written={"{type}": sz(PREVIOUS_DESCRIPTION)})
    cases["a verb with another subkey keeps its key"] = Case(
        registry={**restorable(ext("l")),
                  r"{type}\shell\edit\command": {"": INSTALLED_EDIT},
                  r"{type}\shell\edit\ddeexec": {"": '[open("%1")]'}},
        block=full_block(ext("l"), verbs=[("edit", "", INSTALLED_EDIT), ("print", PREVIOUS_PRINT, INSTALLED_PRINT)]),
        written={"{type}": sz(PREVIOUS_DESCRIPTION), r"{type}\DefaultIcon": sz(PREVIOUS_ICON),
                 r"{type}\shell\print\command": sz(PREVIOUS_PRINT)},
        removed=[r"{type}\shell\edit\command"])
    cases["missing DefaultIcon and command keys skip only those items"] = Case(
        registry={ext("m"): {"": "{type}"},
                  "{type}": {"": INSTALLED_DESCRIPTION},
                  r"{type}\shell\open": {"": "Open"},
                  r"{type}\shell\view\command": {"": INSTALLED_OPEN}},
        block=full_block(ext("m"), verbs=[("open", PREVIOUS_OPEN, INSTALLED_OPEN),
                                          ("print", PREVIOUS_PRINT, INSTALLED_PRINT),
                                          ("view", PREVIOUS_EDIT, INSTALLED_OPEN)]),
        written={"{type}": sz(PREVIOUS_DESCRIPTION), r"{type}\shell\view\command": sz(PREVIOUS_EDIT)})
    cases["no verb records: description and icon only"] = Case(
        registry=restorable(ext("n")),
        block=full_block(ext("n"), verbs=[]),
        written={"{type}": sz(PREVIOUS_DESCRIPTION), r"{type}\DefaultIcon": sz(PREVIOUS_ICON)})
    return cases


def shown(value: RegValue | None) -> str:
    if value is None:
        return "nothing"
    return f"type {value.type}, {len(value.data)} bytes: {value.data.decode('utf-16-le', 'replace')!r}"


SCOPES = {
    # id: (format version, install scope line, the classes root it acts in, a root it must leave alone)
    "all users: HKEY_CLASSES_ROOT": (3, "ALL", MACHINE_CLASSES, None),
    "per user: HKEY_CURRENT_USER classes": (4, "CURRENT", USER_CLASSES, MACHINE_CLASSES),
}


@pytest.mark.parametrize("version,scope,root,untouched", SCOPES.values(), ids=list(SCOPES))
def test_associations_are_restored_exactly(dismora, machine, registry, version, scope, root, untouched):
    tag = "e2e" + hashlib.sha256(dismora.name.encode()).hexdigest()[:6]
    cases = build_cases(tag)
    # File type keys named after their cases, so that a failure names the case.
    types = {name: f"E2E {tag} {name}" for name in cases}

    def absolute(classes: str, name: str, rel: str) -> str:
        return classes + "\\" + rel.replace("{type}", types[name])

    entries = {}
    for classes in filter(None, (root, untouched)):
        for name, case in cases.items():
            for rel, values in case.registry.items():
                entries[absolute(classes, name, rel)] = {
                    n: v.replace("{type}", types[name]) if isinstance(v, str) else v for n, v in values.items()}
    registry.put(entries)
    # Every key directly under the classes root that a case names, in each root concerned.
    trees = sorted({absolute(classes, name, top) for classes in filter(None, (root, untouched))
                    for name, case in cases.items()
                    for top in [case.block.extension, "{type}"] + [rel.split("\\")[0] for rel in case.registry]})
    before = exact_snapshot(machine, *trees)
    root_values = exact_tree(machine, root, below=False)

    uninstall_silently(dismora, DeploymentLog(version=version, scope=scope,
                                              associations=[case.block for case in cases.values()]))

    after = exact_snapshot(machine, *trees)
    removed = [key for name, case in cases.items() for rel in case.removed
               for key in before.under(absolute(root, name, rel))]
    written = {absolute(root, name, rel): value for name, case in cases.items() for rel, value in case.written.items()}
    assert_registry_change(before, after, expected_diff(
        removed_keys=removed,
        # A value written back with the text it already held would not show as changed.
        changed_values=[(key, "") for key, value in written.items() if before.value(key, "") != value]))
    wrong = {key: (after.value(key, ""), value) for key, value in written.items() if after.value(key, "") != value}
    assert not wrong, "values not written exactly:\n" + "\n".join(
        f"  {key}\n    found    {shown(found)}\n    expected {shown(value)}" for key, (found, value) in wrong.items())
    # A block naming no file type never acts on the classes root itself.
    assert exact_tree(machine, root, below=False) == root_values


def test_exact_reader_sees_every_byte(machine, registry, scenario):
    # The association checks rest on this reader: it must tell apart what reg export cannot.
    key = scenario.key + r"\Exact"
    stored = {
        "one NUL": sz("text"),
        "two NULs": RegValue(REG_SZ, "text\0\0".encode("utf-16-le")),
        "odd size": RegValue(REG_SZ, "text\0".encode("utf-16-le") + b"x"),
        "expandable": sz("%TEMP%\\x", REG_EXPAND_SZ),
        "empty": RegValue(REG_SZ, b""),
    }
    registry.put({key: stored})
    assert exact_tree(machine, key) == {"": stored}
    assert exact_value(machine, key, "TWO nuls") == stored["two NULs"]
    assert exact_value(machine, key, "missing") is None
    assert exact_tree(machine, key + r"\Missing") is None
