"""Fixtures of the Wine suite: one Wine machine per run, one scenario per test."""

from __future__ import annotations

import os
import re
import shutil
from pathlib import Path

import pytest

from scenario import Scenario
from wine_env import BUILD, WineMachine


def pytest_configure(config):
    # A skipped case always shows its reason in the summary, even under -q.
    if "s" not in config.option.reportchars and "a" not in config.option.reportchars:
        config.option.reportchars += "s"


def _remove_stale_runs(parent: Path) -> None:
    """Deletes the prefixes of earlier runs whose pytest process has ended."""
    for old in parent.glob("run-*"):
        pid = old.name[4:]
        if pid.isdigit() and not Path(f"/proc/{pid}").exists():
            shutil.rmtree(old, ignore_errors=True)


@pytest.fixture(scope="session")
def machine():
    parent = BUILD / "e2e"
    _remove_stale_runs(parent)
    # Each run has its own prefix, so two runs at once do not meet; the last one
    # stays until the next run, for a look after a failure.
    m = WineMachine(parent / f"run-{os.getpid()}")
    try:
        m.start()
    except Exception:
        m.stop()
        raise
    yield m
    m.stop()


_used_names: set[str] = set()


@pytest.fixture
def scenario(machine, request) -> Scenario:
    base = re.sub(r"[^A-Za-z0-9_.-]+", "_", request.node.name).strip("_")
    if len(base) > 64:
        # Keep the end too: it holds the case's parameters.
        base = base[:40] + "_" + base[-23:]
    name, n = base, 1
    while name.lower() in _used_names:
        n += 1
        name = f"{base}_{n}"
    _used_names.add(name.lower())
    return Scenario(machine, name)


@pytest.fixture
def dismora(scenario) -> Scenario:
    """A scenario with dismora.exe in its folder."""
    scenario.install_dismora()
    return scenario
