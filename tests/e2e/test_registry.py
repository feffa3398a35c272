"""Registry removal by the real dismora.exe under Wine: whole uninstall runs whose
registry trees, dumped before and after, must differ in exactly what the log names."""

from __future__ import annotations

import contextlib

import pytest

from logs import DeploymentLog
from registry_scenarios import (MACHINE_CLASSES, SHARED_DLLS, USER_CLASSES, assert_registry_change,
                                counts_key_made_by_per_user_run, expected_diff, full_key, registry,  # noqa: F401
                                snapshot, subtree_keys, uninstall_silently, unique_guid, unique_name, user_hives)
from wine_env import dword

TAB = "\t"


def test_per_user_installation_loses_exactly_what_its_log_names(dismora, machine, registry):
    base = dismora.key[len("HKCU\\"):]           # Software\Dismora E2E\<test>
    vendor = base + r"\Vendor ✓"                 # a version 4 log is UTF-8: names beyond ANSI come through
    app = vendor + r"\App"
    uninstall = r"Software\Microsoft\Windows\CurrentVersion\Uninstall" + "\\" + unique_name(dismora, "app")
    cls = unique_name(dismora, "Document").replace(" ", ".")
    top = unique_name(dismora, "top")            # a key directly under HKEY_CURRENT_USER
    shared_dll, own_dll, plain = (dismora.write(rel, b"MZ" + bytes(30)) for rel in
                                  (r"app\bin\shared.dll", r"app\bin\own.dll", r"app\plain.txt"))
    registry.put({
        "HKCU\\" + app: {"": "Demo application", "InstallDir": dismora.path("app"), "Version": "2.1",
                         "Language": "en", "Keep": "stays", "**": "two asterisks",
                         " *": "a blank and an asterisk", "Tab\tName": "a TAB in the name"},
        "HKCU\\" + app + r"\Settings": {"": "window settings", "Theme": "dark"},
        "HKCU\\" + app + r"\Settings\Window": {"Left": 10, "Top": 20},
        "HKCU\\" + app + r"\Cache": {"Size": 5},
        "HKCU\\" + app + r"\Cache\Thumbs\Small": {"Count": 3},
        "HKCU\\" + app + r"\Cache\Thumbs\Large": {},
        "HKCU\\" + app + r"\Plugins": {"Order": "export"},
        "HKCU\\" + app + r"\Plugins\Export": {"Enabled": 1},
        "HKCU\\" + app + r"\Plugins\Export\Formats": {"csv": 1},
        "HKCU\\" + vendor + r"\Other Tool": {"Owner": "another product of the vendor"},
        "HKCU\\" + base + r"\Auto": {"Mode": "per user", "Other": "stays"},
        "HKCU\\" + base + r"\Auto\Tree\Leaf": {"Depth": 2},
        "HKCU\\" + uninstall: {"DisplayName": "Demo application", "UninstallString": dismora.path("dismora.exe")},
        rf"{USER_CLASSES}\{cls}": {"": "per-user document"},
        rf"{USER_CLASSES}\{cls}\shell\open\command": {"": "app.exe %1"},
        "HKCU\\" + top: {"": "top default", "TopValue": "stays"},
        "HKCU\\" + top + r"\Child\Grandchild": {"Deep": 1},
        "HKCU\\" + top + r"\Second": {},
        # The machine-wide twins of some of these keys belong to no per-user line.
        "HKLM\\" + app: {"Language": "machine", "Version": "machine 2.1"},
        "HKLM\\" + base + r"\Auto\Tree": {"Mode": "machine"},
        rf"{MACHINE_CLASSES}\{cls}": {"": "machine-wide document"},
        "HKCU\\" + SHARED_DLLS: {shared_dll: 2, own_dll: 1},
        "HKEY_CURRENT_USER": {"": "the root's own default value"},
    })
    hkcu = "HKEY_CURRENT_USER\\"
    log = DeploymentLog(version=4, scope="CURRENT", files=[shared_dll, own_dll, plain], registry=[
        hkcu + app + r"\Cache" + TAB + "*",                  # a whole key with its subkeys, under a parent
        hkcu + app + TAB + "InstallDir",                     # a named value
        hkcu + app + TAB,                                    # the default value: empty value field
        hkcu + app + r"\Settings",                           # the default value: no TAB at all
        "hKeY_cUrReNt_UsEr\\" + app + TAB + "Version",       # root names in any letter case
        hkcu + app + TAB + "**",                             # not the whole-key marker: a value name
        hkcu + app + TAB + " *",
        hkcu + app + TAB + "Tab\tName",                      # further TABs belong to the value name
        hkcu + app + r"\Plugins\Export" + TAB + "*",
        "HKEY_AUTO\\" + base + r"\Auto\Tree" + TAB + "*",  # a per-user log: HKEY_CURRENT_USER
        "Hkey_Auto\\" + base + r"\Auto" + TAB + "Mode",
        "HKEY_CLASSES_ROOT\\" + cls + TAB + "*",             # a per-user log: HKEY_CURRENT_USER\Software\Classes;
                                                             # directly under that root: emptied, but it stays
        hkcu + uninstall + TAB + "*",
        hkcu + top + TAB + "*",                              # directly under the root: emptied, but it stays
        "HKEY_LOCAL_MACHINE\\" + app + TAB + "Version",      # a named root acts whatever the scope
        "HKEY_CURRENT_USER",                                 # no backslash: the root's default value
        # None of these names a key and value the program may touch.
        "HKLM\\" + app + TAB + "Language",
        "HKCU\\" + app + TAB + "Language",
        "HKEY_CURRENT_USERS\\" + app + TAB + "Language",
        " HKEY_CURRENT_USER\\" + app + TAB + "Language",
        "\\" + app + TAB + "Language",
        "HKEY_CURRENT_CONFIG\\" + app + TAB + "Language",
        hkcu + app + r"\Missing" + TAB + "*",
        hkcu + app + TAB + "No such value",
        hkcu + app + r"\Settings\Window" + TAB + "Left" + TAB,
        hkcu + app + TAB + "Keep\0Extra",
        hkcu + app + "\\Settings\0" + r"\Window" + TAB + "*",
    ])
    trees = ["HKEY_CURRENT_USER", "HKLM\\" + base, rf"{MACHINE_CLASSES}\{cls}"]
    before = snapshot(machine, *trees)

    uninstall_silently(dismora, log)

    after = snapshot(machine, *trees)
    assert_registry_change(before, after, expected_diff(
        removed_keys=[*subtree_keys(before, "HKCU\\" + app + r"\Cache"),
                      *subtree_keys(before, "HKCU\\" + app + r"\Plugins\Export"),
                      *subtree_keys(before, "HKCU\\" + base + r"\Auto\Tree"),
                      *subtree_keys(before, rf"{USER_CLASSES}\{cls}\shell"),
                      *subtree_keys(before, "HKCU\\" + uninstall),
                      *subtree_keys(before, "HKCU\\" + top + r"\Child"),
                      "HKCU\\" + top + r"\Second"],
        removed_values=[("HKCU\\" + app, name) for name in ("InstallDir", "", "Version", "**", " *", "Tab\tName")]
        + [("HKCU\\" + app + r"\Settings", ""), ("HKCU\\" + base + r"\Auto", "Mode"),
           ("HKLM\\" + app, "Version"), ("HKCU\\" + SHARED_DLLS, own_dll), ("HKEY_CURRENT_USER", "")],
        changed_values=[("HKCU\\" + SHARED_DLLS, shared_dll)],
    ))
    assert after.value("HKCU\\" + SHARED_DLLS, shared_dll) == dword(1)
    for emptied in ("HKCU\\" + top, rf"{USER_CLASSES}\{cls}"):
        assert [k.lower() for k in after.under(emptied)] == [full_key(emptied).lower()], after.under(emptied)
    assert (machine.exists(shared_dll), machine.exists(own_dll), machine.exists(plain)) == (True, False, False)


def test_all_users_installation_loses_exactly_what_its_log_names(dismora, machine, registry):
    base = dismora.key[len("HKCU\\"):]
    app = base + r"\Café App"                    # a version 3 log is ANSI (code page 1252)
    uninstall = r"Software\Microsoft\Windows\CurrentVersion\Uninstall" + "\\" + unique_name(dismora, "app")
    cls = unique_name(dismora, "Document").replace(" ", ".")
    shared_dll, own_dll = (dismora.write(rel, b"MZ" + bytes(30)) for rel in (r"bin\shared.dll", r"bin\own.dll"))
    registry.put({
        "HKLM\\" + app: {"": "Café application", "InstallDir": dismora.path(), "Version": "3.0", "Edition": "Pro",
                         "Keep": "stays"},
        "HKLM\\" + app + r"\Components": {"": "components", "Count": 2},
        "HKLM\\" + app + r"\Components\Core\Files": {"Main": "core.dll"},
        "HKLM\\" + app + r"\Components\Extras": {"Enabled": 0},
        "HKLM\\" + app + r"\Licences": {"": "licences", "Seat": "one"},
        "HKLM\\" + base + r"\Auto": {"Mode": "all users", "Other": "stays"},
        "HKLM\\" + base + r"\Auto\Tree\Leaf": {"Depth": 2},
        "HKLM\\" + uninstall: {"DisplayName": "Café application", "UninstallString": dismora.path("dismora.exe")},
        rf"{MACHINE_CLASSES}\{cls}": {"": "machine-wide document"},
        rf"{MACHINE_CLASSES}\{cls}\DefaultIcon": {"": "app.exe,1"},
        # The per-user twins belong to no all-users line, except the one named with its root.
        "HKCU\\" + app: {"Version": "user 3.0", "Edition": "user edition"},
        "HKCU\\" + base + r"\Auto\Tree": {"Mode": "per user"},
        rf"{USER_CLASSES}\{cls}": {"": "per-user document"},
        "HKLM\\" + SHARED_DLLS: {shared_dll: 5, own_dll: 1},
    })
    hklm = "HKEY_LOCAL_MACHINE\\"
    log = DeploymentLog(version=3, scope="ALL", files=[shared_dll, own_dll], registry=[
        hklm + app + r"\Components" + TAB + "*",
        hklm + app + TAB + "InstallDir",
        hklm + app + TAB,
        "hkey_local_machine\\" + app + r"\Licences",
        "HKEY_AUTO\\" + base + r"\Auto\Tree" + TAB + "*",   # an all-users log: HKEY_LOCAL_MACHINE
        "HKEY_AUTO\\" + base + r"\Auto" + TAB + "Mode",
        "HKEY_AUTO\\" + app + TAB + "Version",
        "HKEY_CLASSES_ROOT\\" + cls + TAB + "*",              # emptied, but it stays with its values
        hklm + uninstall + TAB + "*",
        "HKEY_CURRENT_USER\\" + app + TAB + "Edition",       # a named root acts whatever the scope
        "HKLM\\" + app + TAB + "Keep",
        "HKEY_LOCAL\\" + app + TAB + "Keep",
        hklm + app + r"\Licences" + TAB + "Seat ",
    ])
    trees = ["HKEY_CURRENT_USER", "HKLM\\" + base, "HKLM\\" + uninstall, rf"{MACHINE_CLASSES}\{cls}",
             "HKLM\\" + SHARED_DLLS]
    before = snapshot(machine, *trees)

    uninstall_silently(dismora, log)

    after = snapshot(machine, *trees)
    assert_registry_change(before, after, expected_diff(
        removed_keys=[*subtree_keys(before, "HKLM\\" + app + r"\Components"),
                      *subtree_keys(before, "HKLM\\" + base + r"\Auto\Tree"),
                      *subtree_keys(before, rf"{MACHINE_CLASSES}\{cls}\DefaultIcon"),
                      *subtree_keys(before, "HKLM\\" + uninstall)],
        removed_values=[("HKLM\\" + app, "InstallDir"), ("HKLM\\" + app, ""), ("HKLM\\" + app + r"\Licences", ""),
                        ("HKLM\\" + base + r"\Auto", "Mode"), ("HKLM\\" + app, "Version"),
                        ("HKCU\\" + app, "Edition"), ("HKLM\\" + SHARED_DLLS, own_dll)],
        changed_values=[("HKLM\\" + SHARED_DLLS, shared_dll)],
    ))
    assert after.value("HKLM\\" + SHARED_DLLS, shared_dll) == dword(4)
    assert (machine.exists(shared_dll), machine.exists(own_dll)) == (True, False)


SCOPES = {
    # id: (format version, install scope line or None for none, HKEY_AUTO root, classes root)
    "version 4, CURRENT": (4, "CURRENT", "HKCU", USER_CLASSES),
    "version 3, CURRENT": (3, "CURRENT", "HKCU", USER_CLASSES),
    "version 4, ALL": (4, "ALL", "HKLM", MACHINE_CLASSES),
    "version 3, ALL": (3, "ALL", "HKLM", MACHINE_CLASSES),
    "version 4, current in lower case": (4, "current", "HKCU", USER_CLASSES),
    "version 4, All in mixed case": (4, "All", "HKCU", USER_CLASSES),
    "version 4, empty scope line": (4, "", "HKCU", USER_CLASSES),
    "version 2, no scope line": (2, None, "HKLM", MACHINE_CLASSES),
    "version 1, no scope line": (1, None, "HKLM", MACHINE_CLASSES),
}


@pytest.mark.parametrize("version,scope,auto_root,classes_root", SCOPES.values(), ids=list(SCOPES))
def test_auto_and_classes_roots_follow_the_install_scope(dismora, machine, registry, version, scope, auto_root,
                                                         classes_root):
    base = dismora.key[len("HKCU\\"):]
    cls = unique_name(dismora, "Type").replace(" ", ".")
    entries = {}
    for root in ("HKCU", "HKLM"):
        entries[root + "\\" + base] = {"Setting": root, "Other": root}
        entries[root + "\\" + base + r"\Tree\Leaf"] = {"Depth": 1}
    for classes in (USER_CLASSES, MACHINE_CLASSES):
        entries[rf"{classes}\{cls}\shell\open\command"] = {"": classes}
    registry.put(entries)
    log = DeploymentLog(version=version, scope=scope or "", registry=[
        "HKEY_AUTO\\" + base + TAB + "Setting",
        "HKEY_AUTO\\" + base + r"\Tree" + TAB + "*",
        "HKEY_CLASSES_ROOT\\" + cls + r"\shell" + TAB + "*",
    ])
    trees = ["HKCU\\" + base, "HKLM\\" + base, rf"{USER_CLASSES}\{cls}", rf"{MACHINE_CLASSES}\{cls}"]
    before = snapshot(machine, *trees)

    uninstall_silently(dismora, log)

    assert_registry_change(before, snapshot(machine, *trees), expected_diff(
        removed_keys=[*subtree_keys(before, auto_root + "\\" + base + r"\Tree"),
                      *subtree_keys(before, rf"{classes_root}\{cls}\shell")],
        removed_values=[(auto_root + "\\" + base, "Setting")],
    ))


def test_user_hive_lines_act_in_every_hive(dismora, machine, registry):
    hives = user_hives(machine)
    assert ".default" in [h.lower() for h in hives], hives
    assert any(h.startswith("S-1-5-21-") for h in hives), hives
    rel = dismora.key[len("HKCU\\"):]
    entries = {}
    for hive in hives:
        key = rf"HKEY_USERS\{hive}\{rel}"
        entries[key] = {"Seen": hive, "Kept": hive}
        entries[key + r"\Tree\Leaf"] = {"Depth": 1}
        entries[key + r"\Stays"] = {"Depth": 1}
    registry.put(entries)
    before = snapshot(machine, "HKEY_USERS")
    for hive in hives:
        assert before.value(rf"HKEY_USERS\{hive}\{rel}", "Seen") is not None, f"no test value in {hive}"
    log = DeploymentLog(version=4, scope="ALL", registry=[
        "HKEY_USERS\\" + rel + TAB + "Seen",
        "hkey_users\\" + rel + r"\Tree" + TAB + "*",
        "HKEY_USERS\\" + rel + TAB + "Missing",
    ])

    uninstall_silently(dismora, log)

    assert_registry_change(before, snapshot(machine, "HKEY_USERS"), expected_diff(
        removed_keys=[k for hive in hives for k in subtree_keys(before, rf"HKEY_USERS\{hive}\{rel}\Tree")],
        removed_values=[(rf"HKEY_USERS\{hive}\{rel}", "Seen") for hive in hives],
    ))


# Whole-key lines that would take every program's settings with them, each with a canary
# key below the key it names: (line, canary key).
REFUSED = {
    "Software": (r"HKEY_CURRENT_USER\Software", r"HKCU\Software\{c}"),
    "Software with a trailing backslash": ("HKEY_CURRENT_USER\\Software\\", r"HKCU\Software\{c}"),
    "SOFTWARE in capitals": (r"HKEY_CURRENT_USER\SOFTWARE", r"HKCU\Software\{c}"),
    "Software\\Classes": (r"HKEY_CURRENT_USER\software\classes", r"HKCU\Software\Classes\{c}"),
    "Software\\Microsoft through HKEY_AUTO": (r"HKEY_AUTO\Software\Microsoft", r"HKCU\Software\Microsoft\{c}"),
    "Software\\Microsoft\\Windows": (r"HKEY_CURRENT_USER\Software\Microsoft\Windows",
                                     r"HKCU\Software\Microsoft\Windows\{c}"),
    "...\\CurrentVersion": (r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion",
                            r"HKCU\Software\Microsoft\Windows\CurrentVersion\{c}"),
    "Windows NT": (r"HKEY_CURRENT_USER\Software\Microsoft\Windows NT", r"HKCU\Software\Microsoft\Windows NT\{c}"),
    "Windows NT\\CurrentVersion": (r"HKEY_CURRENT_USER\Software\Microsoft\Windows NT\CurrentVersion\\",
                                   r"HKCU\Software\Microsoft\Windows NT\CurrentVersion\{c}"),
    "Policies": (r"HKEY_CURRENT_USER\Software\Policies", r"HKCU\Software\Policies\{c}"),
    "Wow6432Node": (r"HKEY_CURRENT_USER\Software\Wow6432Node", r"HKCU\Software\Wow6432Node\{c}"),
    "System": (r"HKEY_CURRENT_USER\System", r"HKCU\System\{c}"),
    "System\\CurrentControlSet": (r"HKEY_CURRENT_USER\System\CurrentControlSet",
                                  r"HKCU\System\CurrentControlSet\{c}"),
    "Control Panel": (r"HKEY_CURRENT_USER\Control Panel", r"HKCU\Control Panel\{c}"),
    "Environment": (r"HKEY_CURRENT_USER\Environment", r"HKCU\Environment\{c}"),
    "empty key path": ("HKEY_CURRENT_USER\\", r"HKCU\{c}"),
    "only backslashes": ("HKEY_CURRENT_USER\\\\\\", r"HKCU\{c}"),
    "classes root itself": ("HKEY_CLASSES_ROOT\\", USER_CLASSES + r"\{c}"),
    "CLSID": (r"HKEY_CLASSES_ROOT\CLSID", USER_CLASSES + r"\CLSID\{c}"),
    "Interface": (r"HKEY_CLASSES_ROOT\interface", USER_CLASSES + r"\Interface\{c}"),
    "TypeLib": ("HKEY_CLASSES_ROOT\\TypeLib\\", USER_CLASSES + r"\TypeLib\{c}"),
    "AppID": (r"HKEY_CLASSES_ROOT\AppID", USER_CLASSES + r"\AppID\{c}"),
    "every file type": (r"HKEY_CLASSES_ROOT\*", USER_CLASSES + r"\*\{c}"),
    "Directory": (r"HKEY_CLASSES_ROOT\Directory", USER_CLASSES + r"\Directory\{c}"),
    "Folder": (r"HKEY_CLASSES_ROOT\Folder", USER_CLASSES + r"\Folder\{c}"),
    "CLSID by its full path": (r"HKEY_CURRENT_USER\Software\Classes\CLSID", USER_CLASSES + r"\CLSID\{c}"),
    "machine Software": (r"HKEY_LOCAL_MACHINE\Software", r"HKLM\Software\{c}"),
    "machine System": (r"HKEY_LOCAL_MACHINE\SYSTEM", r"HKLM\System\{c}"),
    "machine CurrentControlSet": (r"HKEY_LOCAL_MACHINE\System\CurrentControlSet",
                                  r"HKLM\System\CurrentControlSet\{c}"),
    "every hive's Software": (r"HKEY_USERS\Software", r"HKEY_USERS\.DEFAULT\Software\{c}"),
    "every hive itself": ("HKEY_USERS\\", r"HKEY_USERS\.DEFAULT\{c}"),
}


def test_whole_key_lines_for_keys_every_program_shares_are_refused(dismora, machine, registry):
    canary = unique_name(dismora, "canary")
    control = unique_name(dismora, "control")
    guid = unique_guid(dismora, "class")
    canaries = sorted({key.format(c=canary) for _, key in REFUSED.values()})
    # Keys right below the shared ones are an installation's own: those lines still act.
    controls = [rf"HKCU\Software\{control}", rf"{USER_CLASSES}\{control}", rf"{USER_CLASSES}\CLSID\{guid}",
                rf"HKCU\Software\Microsoft\Windows\CurrentVersion\{control}"]
    entries = {}
    for key in canaries + controls:
        entries[key] = {"Canary": "alive"}
        entries[key + r"\Below"] = {"Canary": "alive"}
    entries[r"HKCU\Software"] = {control: "a value of a shared key"}
    registry.put(entries)
    lines = [line + TAB + "*" for line, _ in REFUSED.values()]
    lines += ["HKEY_CURRENT_USER\\" + controls[0][len("HKCU\\"):] + TAB + "*",
              "HKEY_CLASSES_ROOT\\" + control + TAB + "*",
              "HKEY_CLASSES_ROOT\\CLSID\\" + guid + TAB + "*",
              r"HKEY_AUTO\Software\Microsoft\Windows\CurrentVersion" + "\\" + control + TAB + "*",
              r"HKEY_CURRENT_USER\Software" + TAB + control]   # a value, not the whole key
    trees = ["HKEY_CURRENT_USER", r"HKEY_USERS\.DEFAULT"] + [k for k in canaries if k.startswith("HKLM")]
    before = snapshot(machine, *trees)
    for key in canaries:
        assert before.has_key(key + r"\Below"), f"canary {key} was not set up"

    uninstall_silently(dismora, DeploymentLog(version=4, scope="CURRENT", registry=lines))

    after = snapshot(machine, *trees)
    assert_registry_change(before, after, expected_diff(
        # The class key stands directly under the classes root: emptied, but it stays.
        removed_keys=[k for key in controls[:1] + [controls[1] + r"\Below"] + controls[2:]
                      for k in subtree_keys(before, key)],
        removed_values=[(r"HKCU\Software", control)],
        added_keys=counts_key_made_by_per_user_run(before),
    ))


# Keys Windows itself owns just below the shared ones: (line, the key it names). Each is put
# back by the suite's backup whatever the run does to it.
WINDOWS_KEYS = {
    "Winlogon": (r"HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\Winlogon",
                 r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\Winlogon"),
    "the machine's PATH": (r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Session Manager\Environment",
                           r"HKLM\System\CurrentControlSet\Control\Session Manager\Environment"),
    "KnownDLLs": (r"HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs\\",
                  r"HKLM\System\CurrentControlSet\Control\Session Manager\KnownDLLs"),
    "ShellExecuteHooks through HKEY_AUTO": (
        r"HKEY_AUTO\Software\Microsoft\Windows\CurrentVersion\Explorer\ShellExecuteHooks",
        r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\ShellExecuteHooks"),
    "exefile": (r"HKEY_CLASSES_ROOT\exefile", USER_CLASSES + r"\exefile"),
    ".exe": (r"HKEY_CLASSES_ROOT\.EXE", USER_CLASSES + r"\.exe"),
}


def test_whole_key_lines_for_keys_windows_owns_are_refused(dismora, machine, registry):
    keys = [key for _, key in WINDOWS_KEYS.values()]
    canary = unique_name(dismora, "canary")
    with contextlib.ExitStack() as backups:
        for key in keys:
            backups.enter_context(machine.key_restored_afterwards(key))
        registry.put({key + "\\" + canary: {"Canary": "alive"} for key in keys})
        before = snapshot(machine, *keys)
        for key in keys:
            assert before.has_key(key + "\\" + canary), f"canary below {key} was not set up"

        uninstall_silently(dismora, DeploymentLog(version=4, scope="CURRENT",
                                                  registry=[line + TAB + "*" for line, _ in WINDOWS_KEYS.values()]))

        assert_registry_change(before, snapshot(machine, *keys), expected_diff())
