"""The run report: what the run context and the demo's peers recorded."""

from __future__ import annotations

import re
from collections import Counter
from typing import Any

from ..context import TavrixContext
from ..tracing import spanbridge


_LOOPBACK_PORT = re.compile(r"(127\.0\.0\.1):\d+")


def _url(span: Any) -> Any:
    """The span's URL, with the loopback port (new each run) left out."""
    attrs = span.attributes or {}
    url = attrs.get("url.full") or attrs.get("http.url")
    return _LOOPBACK_PORT.sub(r"\1:<port>", url) if isinstance(url, str) else url


def _fate(span: Any, recorded_ids: set[str]) -> str:
    """What the span processor made of one finished span of the run."""
    attrs = dict(span.attributes or {})
    if f"{span.context.span_id:016x}" in recorded_ids:
        return "recorded"
    span_type = attrs.get("tavrix.span_type")
    if span_type == "tool_call":
        return "merged into the tool entry"
    if span_type:
        return f"SDK {span_type} span: integrations only"
    if spanbridge._is_tavrix_api_call(attrs):
        return "dropped: SDK server API"
    if spanbridge._is_llm_provider_http_call(attrs):
        return "dropped: LLM provider call"
    if spanbridge._is_noisy_infra_call(attrs):
        return "dropped: infrastructure noise"
    return "not recorded"


def _record_row(record: dict[str, Any]) -> dict[str, Any]:
    return {
        "origin": "processor" if record.get("_from_processor") else "sdk",
        "kind": record.get("kind"),
        "name": record.get("name"),
        "status": record.get("status"),
        "duration_ms": record.get("duration_ms"),
    }


def build_report(ctx: TavrixContext, agent: Any, provider: Any, guard_server: Any, facts: dict[str, Any],
                 warnings: list[str]) -> dict[str, Any]:
    counts = Counter(ctx.integrations)
    tool_entries = [r for r in ctx._spans if r.get("kind") == "tool"]
    redacted_step = next((g for g in agent.guard_log if g.action == "redact"), None)
    recorded_ids = {r["_otel_span_id"] for r in ctx._otel_spans}
    return {
        "run_id": ctx.run_id,
        "spans": [
            {"name": span.name, "url": _url(span), "fate": _fate(span, recorded_ids)}
            for span in facts["spans"]
        ],
        "records": [_record_row(r) for r in ctx.records()],
        "processor_records": [
            {"name": r["name"], "kind": r["kind"], "attributes": r["attributes"]} for r in ctx._otel_spans
        ],
        "merged_tool_entries": [
            {"name": r["name"], "input_data": r["input_data"], "attributes": r["attributes"],
             "span_id_set": bool(r.get("_otel_span_id"))}
            for r in tool_entries
        ],
        "integrations": [
            {"name": name, "category": category, "spans": counts[(name, category)]}
            for name, category in ctx.unique_integrations()
        ],
        "decisions": ctx.decisions,
        "guard": [
            {"step": g.step, "model": g.model, "action": g.action, "source": g.source,
             "violations": g.violations, "provider_called": g.sent}
            for g in agent.guard_log
        ],
        "blocked_calls": facts["blocked"],
        "governance": {"blocked": ctx._governance_blocked, "reason": ctx._governance_reason},
        "redacted_messages_sent": redacted_step.sent_messages if redacted_step else None,
        "provider_requests": len(provider.received),
        "guard_server_requests": len(guard_server.received),
        "cost": {
            "calls": [
                {"step": c.step, "model": c.model, "tokens_in": c.tokens_in, "tokens_out": c.tokens_out,
                 "usd": c.cost_usd}
                for c in agent.calls
            ],
            "total_usd": sum(c.cost_usd for c in agent.calls),
        },
        "log_warnings": warnings,
    }


def _table(headers: list[str], rows: list[list[Any]]) -> list[str]:
    cells = [[("-" if v is None else str(v)) for v in row] for row in rows]
    widths = [max([len(h)] + [len(r[i]) for r in cells]) for i, h in enumerate(headers)]
    lines = ["  " + "  ".join(h.ljust(w) for h, w in zip(headers, widths)).rstrip()]
    lines += ["  " + "  ".join(v.ljust(w) for v, w in zip(row, widths)).rstrip() for row in cells]
    return lines


def render_text(report: dict[str, Any]) -> str:
    out: list[str] = [f"Run {report['run_id']}", ""]

    out.append(f"OpenTelemetry spans ended during the run ({len(report['spans'])})")
    out += _table(["span", "what the processor did"],
                  [[s["name"] + (f"  {s['url']}" if s["url"] else ""), s["fate"]] for s in report["spans"]])
    out.append("")

    out.append(f"Span records ({len(report['records'])})")
    out += _table(["origin", "kind", "name", "status", "duration_ms"],
                  [[r["origin"], r["kind"], r["name"], r["status"], r["duration_ms"]] for r in report["records"]])

    out += ["", "Attributes of the processor's records (after the run's content redaction)"]
    for record in report["processor_records"]:
        shown = {k: v for k, v in record["attributes"].items()}
        out.append(f"  {record['name']}: {shown}")

    out += ["", "Tool entries enriched from their tool spans (after the run's content redaction)"]
    for entry in report["merged_tool_entries"]:
        out.append(f"  {entry['name']}  input={entry['input_data']}  span id set: {entry['span_id_set']}")
        for key, value in entry["attributes"].items():
            out.append(f"    {key:<16} {value}")

    out += ["", "Integrations"]
    out += _table(["name", "category", "spans"],
                  [[i["name"], i["category"], i["spans"]] for i in report["integrations"]])

    out += ["", "Decisions"]
    for d in report["decisions"]:
        out.append(f"  {d['name']}: chose {d['chosen']!r} from {d['options']!r} ({d['instrumentation_type']})")
        out.append(f"    {d['reasoning']}")

    out += ["", "Prompt guard"]
    out += _table(["step", "model", "action", "source", "provider called", "violations"],
                  [[g["step"], g["model"], g["action"], g["source"], "yes" if g["provider_called"] else "no",
                    "; ".join(g["violations"]) or "-"] for g in report["guard"]])
    for b in report["blocked_calls"]:
        out.append(f"  {b['step']}: PromptGuardError raised ({b['error']}); "
                   f"provider requests during the call: {b['provider_requests_during_call']}")
    gov = report["governance"]
    out.append(f"  run marked blocked by governance: {gov['blocked']} ({gov['reason']})")
    if report["redacted_messages_sent"] is not None:
        out.append("  redacted messages sent to the provider:")
        for message in report["redacted_messages_sent"]:
            out.append(f"    {message}")

    out += ["", "Cost (USD)"]
    out += _table(["step", "model", "tokens_in", "tokens_out", "usd"],
                  [[c["step"], c["model"], c["tokens_in"], c["tokens_out"], f"{c['usd']:.6f}"]
                   for c in report["cost"]["calls"]])
    out.append(f"  total {report['cost']['total_usd']:.6f}")

    out += ["", f"Provider requests: {report['provider_requests']}; "
                f"guard server requests: {report['guard_server_requests']}"]
    if report["log_warnings"]:
        out += ["", "Log warnings"] + [f"  {w}" for w in report["log_warnings"]]
    return "\n".join(out) + "\n"
