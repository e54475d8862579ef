"""The end-to-end demo runs one guarded agent run and reports it."""

from __future__ import annotations

import json
import re
import subprocess
import sys

import pytest


def run_demo(*args: str) -> str:
    result = subprocess.run(
        [sys.executable, "-m", "tavrix_observe.demo", *args], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr
    return result.stdout


@pytest.fixture(scope="module")
def report() -> dict:
    return json.loads(run_demo("--json"))


def test_blocked_calls_never_reach_the_provider(report):
    steps = {b["step"]: b for b in report["blocked_calls"]}
    assert set(steps) == {"policy", "block"}
    assert all(b["provider_requests_during_call"] == 0 for b in steps.values())
    assert steps["block"]["error"] == "Prompt blocked by guard: Credential detected: password"
    assert report["governance"] == {"blocked": True, "reason": "model 'gpt-4-32k' is blocked by policy"}
    # Only the three calls the guard let through reached the provider.
    assert report["provider_requests"] == 3


def test_redacted_messages_lose_local_and_server_findings(report):
    sent = json.dumps(report["redacted_messages_sent"])
    assert "Maria Gonzalez" not in sent and "@example.com" not in sent
    assert "[PERSON]" in sent and "##EMAIL##" in sent
    (redact,) = [g for g in report["guard"] if g["action"] == "redact"]
    assert redact["source"] == "both"
    assert "[server] PII detected: person name" in redact["violations"]


def test_provider_spans_are_dropped_and_the_provider_recorded(report):
    fates = [(s["url"], s["fate"]) for s in report["spans"] if s["url"] and "api.openai.com" in s["url"]]
    assert len(fates) == 3 and all(fate == "dropped: LLM provider call" for _, fate in fates)
    assert {"name": "Openai", "category": "llm", "spans": 3} in report["integrations"]
    assert all(s["fate"] == "dropped: SDK server API" for s in report["spans"] if s["url"] and "prompt-guard" in s["url"])


def test_tool_entry_is_enriched_by_its_span(report):
    (entry,) = report["merged_tool_entries"]
    assert entry["name"] == "get_weather" and entry["span_id_set"]
    assert json.loads(entry["attributes"]["tool.output"]) == {"city": "Lisbon", "forecast": "sunny", "celsius": 24}
    assert "tool" not in entry["attributes"] and "span_type" not in entry["attributes"]


def test_tool_input_leaves_redacted_from_the_entry_and_the_merge(report):
    (entry,) = report["merged_tool_entries"]
    # Recorded by the run context, and copied from the tool span by the merge.
    assert entry["input_data"] == {"city": "Lisbon", "notify": "[email]"}
    assert json.loads(entry["attributes"]["tool.input"]) == {"city": "Lisbon", "notify": "[email]"}
    assert "rita.alves@example.com" not in json.dumps(report)


def test_database_and_retrieval_spans_become_redacted_records(report):
    names = [r["name"] for r in report["processor_records"]]
    assert names == ["sqlite SELECT", "sqlite SELECT", "vector_search support_docs"]
    retrieval = report["processor_records"][-1]["attributes"]
    assert retrieval["retrieval.query"] == "refund policy for [email]"
    assert {"name": "Support Docs", "category": "retrieval", "spans": 1} in report["integrations"]


def test_one_decision_and_a_cost(report):
    (decision,) = report["decisions"]
    assert decision["name"] == "tool_call:get_weather"
    assert decision["options"] == ["get_weather", "search_docs"]
    assert [c["model"] for c in report["cost"]["calls"]] == ["gpt-4o", "gpt-4o-mini", "gpt-4o-mini"]
    assert report["cost"]["total_usd"] == pytest.approx(sum(c["usd"] for c in report["cost"]["calls"]))
    assert report["cost"]["total_usd"] > 0


def test_text_report_is_stable_apart_from_durations():
    def normalised(text: str) -> str:
        # The duration column is the only part that changes between runs.
        return re.sub(r"(ok|error)\s+(\d+|-)\s*$", r"\1", text, flags=re.M)

    first, second = run_demo(), run_demo()
    assert normalised(first) == normalised(second)
    for heading in ("Span records", "Integrations", "Decisions", "Prompt guard", "Cost (USD)"):
        assert heading in first


def test_without_the_demo_extra_it_names_the_extra():
    # As from a wheel installed without the "demo" extra.
    code = ('import runpy, sys; sys.modules["opentelemetry.instrumentation.urllib"] = None; '
            'runpy.run_module("tavrix_observe.demo", run_name="__main__")')
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 1 and "Traceback" not in result.stderr
    assert "opentelemetry.instrumentation.urllib is missing" in result.stderr
    assert "pip install 'tavrix-observe[demo]'" in result.stderr
