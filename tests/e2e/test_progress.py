"""The progress window of a long uninstall, under Wine: shown with the product's caption,
its line and its bar once the work takes longer than a second, and gone before the final
message; a short run and a silent one show none."""

from __future__ import annotations

import json

import pytest

from logs import DeploymentLog
from scenario import assert_clean_end
from wine_env import q

STAGE_WORDS = {"Preparing the removal\u2026", "Removing registry entries\u2026", "Restoring file types\u2026",
               "Unregistering components\u2026", "Removing files\u2026", "Finishing\u2026"}

RUNS = {
    # id: (files, switches, a window expected)
    "long run": (20000, ["/temp"], True),
    "long run, silent": (20000, ["/temp", "/silent"], False),
    "short run": (20, ["/temp"], False),
}


@pytest.mark.parametrize("files,switches,shown", RUNS.values(), ids=list(RUNS))
def test_progress_window_of_a_long_run_closes_before_the_final_message(scenario, files, switches, shown):
    folder = scenario.program_files_folder()
    log = DeploymentLog(product="Progress " + scenario.name[-8:])
    # A hundred files a folder, as an installation spreads them.
    app = scenario.install_application(
        folder, {f"d{i // 100}\\f{i}.dat": b"x" for i in range(files)}, log, with_program=False)

    result = scenario.run_dismora(q(app.log_path), *switches, timeout_ms=120000)

    assert_clean_end(result)
    detail = result.describe()
    assert scenario.listing(app.folder) == [], detail
    events = [json.loads(line) for line in result.lines if line.startswith('{"event"')]
    windows = [e for e in events if e["event"] == "window"]
    boxes = [e for e in events if e["event"] == "box"]
    assert len(boxes) == (0 if "/silent" in switches else 1), detail
    if not shown:
        assert windows == [], detail
        return
    assert len(windows) == 1, detail
    window = windows[0]
    assert window["caption"] == log.caption, detail
    assert [c["class"].lower() for c in window["children"]] == ["static", "msctls_progress32"], window
    assert window["children"][0]["text"] in STAGE_WORDS, window
    assert window["children"][1]["text"] == "Progress", window
    # Gone, and before the final message appeared.
    kinds = [e["event"] for e in events if e["event"] in ("window", "window_gone", "box")]
    assert kinds == ["window", "window_gone", "box"], kinds
    assert boxes[0]["windows_open"] == 0, detail
    assert (boxes[0]["caption"], boxes[0]["text"]) == (log.caption, log.completion_text), detail
