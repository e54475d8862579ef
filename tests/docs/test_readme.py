"""What the README says about the wiring and the guard, checked against the
modules: the quick start is the example's own code, the attributes and
values its tables list are the ones the modules act on; and the package's
version is pyproject.toml's."""

from __future__ import annotations

import re
import tomllib
from pathlib import Path

import pytest

import tavrix_observe
from tavrix_observe.instrumentors import _guard
from tavrix_observe.tracing import spanbridge as sb

ROOT = Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text()


def section(title: str) -> str:
    return README.split(f"\n## {title}\n", 1)[1].split("\n## ", 1)[0]


def table_rows(text: str) -> dict[str, list[str]]:
    """First cell of each table row: the row's cells."""
    rows = [[c.strip() for c in line.strip("|").split("|")] for line in text.splitlines() if line.startswith("| ")]
    return {cells[0]: cells for cells in rows}


def quoted(cell: str) -> list[str]:
    return re.findall(r"`([^`]+)`", cell)


def test_the_quick_start_is_the_example_code():
    (block,) = re.findall(r"```python\n(.*?)```", section("Quick start"), re.S)
    assert block in (ROOT / "examples" / "quickstart.py").read_text()


@pytest.mark.parametrize("row, drops, url", [
    ("dropped: SDK server", "_is_tavrix_api_call", "https://h.example/api/v1/observe/spans"),
    ("dropped: LLM provider", "_is_llm_provider_http_call", f"https://{sb._LLM_PROVIDER_HOSTS[0].upper()}/v1"),
    ("dropped: infrastructure", "_is_noisy_infra_call", f"https://{sb._NOISY_INFRA_HOSTS[-1]}/m"),
])
def test_the_drop_rows_name_the_keys_each_filter_reads(row, drops, url):
    rows = table_rows(section("How spans reach the run"))
    listed = quoted(rows[row][-1])
    every_url_key = {k for r in rows.values() if r[0].startswith("dropped") for k in quoted(r[-1])}
    for key in every_url_key:
        assert getattr(sb, drops)({key: url}) is (key in listed), key
    if row == "dropped: SDK server":
        assert tuple(quoted(rows[row][2])[:3]) == sb._EXCLUDED_URL_PATTERNS


def test_the_marks_the_merge_leaves_out():
    marks = re.search(r"except the marks(.*?)\(`_OTEL_DROP_KEYS`\)", section("How spans reach the run"), re.S)
    assert set(quoted(marks.group(1))) == sb._OTEL_DROP_KEYS


def test_the_actions_are_the_guards():
    rows = table_rows(section("The prompt guard's contract"))
    actions = {cells[0].strip('"'): cells[1] for name, cells in rows.items() if name.startswith('"')}
    assert set(actions) == {"block", "warn", "redact"}
    try:
        for action, passed in actions.items():
            _guard.configure(enabled=True, server=False, action=action)
            assert _guard._action == action
            result = _guard.check_prompt([{"role": "user", "content": "my password: hunter2"}])
            assert (result.action, str(result.passed)) == (action, passed)
        _guard.configure(enabled=True, action="Redact")  # any other str
        assert _guard._action == "block"
    finally:
        _guard.configure()


def test_the_version_is_the_projects():
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    assert tavrix_observe.__version__ == project["version"]
