"""Plain-Python span processor with the same logic as the native spanbridge
module: the oracle of the tests that compare the two, and the benchmark's
baseline.

Load it as a module of the package (see `load`), as the processor imports
the run-context variable relatively, two levels up, like the native one.

It follows the native module step for step, including its choices: the
tracing SDK's read-only attribute mapping is copied into a dict before it
reaches the helper functions, strings inside lists (nested lists, list or
tuple attributes) are redacted too, and the tool merge redacts what it
copies into the SDK's entry with the run's redaction function.
"""

from __future__ import annotations

import importlib.util
import logging
import pathlib

logger = logging.getLogger(__name__)

try:
    from opentelemetry.sdk.trace import ReadableSpan, SpanProcessor

    _HAS_OTEL = True
except ImportError:
    _HAS_OTEL = False

_OTEL_KIND_MAP = {0: "chain", 1: "chain", 2: "chain", 3: "chain", 4: "chain"}

_SPAN_TYPE_MAP = {
    "agent_execution": "agent",
    "llm_call": "llm",
    "tool_call": "tool",
    "workflow_step": "chain",
    "decision": "decision",
    "reasoning": "reasoning",
    "retrieval": "retriever",
    "embedding": "llm",
    "guardrail": "governance",
    "governance": "governance",
    "retry": "retry",
}


def _resolve_kind(span: "ReadableSpan") -> str:
    attrs = span.attributes or {}
    span_type = attrs.get("tavrix.span_type", "")
    if span_type and span_type in _SPAN_TYPE_MAP:
        return _SPAN_TYPE_MAP[span_type]
    if attrs.get("tavrix.tool.name"):
        return "tool"
    if attrs.get("gen_ai.system") or attrs.get("gen_ai.request.model"):
        return "llm"
    kind = span.kind
    kind_value = kind.value if hasattr(kind, "value") else kind
    return _OTEL_KIND_MAP.get(kind_value, "chain")


def _build_display_name(span_name: str, attrs: dict) -> str:
    tool_name = attrs.get("tavrix.tool.name")
    if tool_name:
        return tool_name
    db_system = attrs.get("db.system", "")
    http_method = attrs.get("http.request.method") or attrs.get("http.method", "")
    if http_method:
        url = attrs.get("url.full") or attrs.get("http.url") or attrs.get("server.address", "")
        if not url:
            return span_name
        try:
            from urllib.parse import urlparse

            host = urlparse(url).hostname or url
        except Exception:
            host = url
        return f"{http_method!s} {host!s}"
    if db_system:
        short_names = {
            "postgresql": "pg",
            "mysql": "mysql",
            "sqlite": "sqlite",
            "mongodb": "mongo",
            "redis": "redis",
            "memcached": "memcache",
            "elasticsearch": "es",
            "cassandra": "cassandra",
            "mssql": "mssql",
        }
        short_system = short_names.get(db_system, db_system)
        statement = attrs.get("db.statement", "")
        if statement:
            stripped = statement.strip()
            import re

            match = re.match(r"(\w+)", stripped)
            op = match.group(1).upper() if match else ""
            if op:
                return f"{short_system!s} {op!s}"
        return f"{short_system!s} {span_name!s}"
    rpc_system = attrs.get("rpc.system", "")
    if rpc_system:
        rpc_service = attrs.get("rpc.service", "")
        rpc_method = attrs.get("rpc.method", "")
        if rpc_service and rpc_method:
            return f"{rpc_system!s} {rpc_service!s}.{rpc_method!s}"
    messaging_system = attrs.get("messaging.system", "")
    if messaging_system:
        destination = attrs.get("messaging.destination.name", "")
        if destination:
            return f"{messaging_system!s} {span_name!s} {destination!s}"
    return span_name


_EXCLUDED_URL_PATTERNS = ("api/v1/observe", "api/v1/policy", "api/health")
_NOISY_INFRA_HOSTS = ("huggingface.co", "cdn-lfs.hf.co", "cdn-lfs-us-1.hf.co")
_LLM_PROVIDER_HOSTS = (
    "api.openai.com",
    "api.anthropic.com",
    "api.groq.com",
    "api.mistral.ai",
    "generativelanguage.googleapis.com",
    "api.cohere.com",
    "bedrock-runtime.",
    "api.together.xyz",
    "api.fireworks.ai",
    "api.deepseek.com",
    "openrouter.ai",
)


def _is_tavrix_api_call(attrs: dict) -> bool:
    url = attrs.get("url.full") or attrs.get("http.url") or attrs.get("http.target", "")
    if not url:
        return False
    return any(pattern in url for pattern in _EXCLUDED_URL_PATTERNS)


def _is_llm_provider_http_call(attrs: dict) -> bool:
    url = attrs.get("url.full") or attrs.get("http.url") or attrs.get("server.address", "")
    if not url:
        return False
    url_lower = url.lower()
    return any(host in url_lower for host in _LLM_PROVIDER_HOSTS)


def _is_noisy_infra_call(attrs: dict) -> bool:
    url = attrs.get("url.full") or attrs.get("http.url") or attrs.get("server.address", "")
    if not url:
        return False
    url_lower = url.lower()
    return any(host in url_lower for host in _NOISY_INFRA_HOSTS)


_FRAMEWORK_PROVIDERS = frozenset(
    {
        "langchain", "crewai", "autogen", "llamaindex", "pydanticai", "smolagents", "agno", "langroid",
        "composio", "camel", "letta", "mirascope", "dspy", "instructor", "magentic",
    }
)

_ATTR_PREFIX_INTEGRATIONS = {
    "tavrix.deepgram.": ("Deepgram", "speech"),
    "tavrix.assemblyai.": ("AssemblyAI", "speech"),
    "tavrix.google_cloud_stt.": ("Google Cloud STT", "speech"),
    "tavrix.google_cloud_tts.": ("Google Cloud TTS", "speech"),
    "tavrix.azure_speech.": ("Azure Speech", "speech"),
    "tavrix.azure_tts.": ("Azure TTS", "speech"),
    "tavrix.elevenlabs.": ("ElevenLabs", "speech"),
    "tavrix.aws_transcribe.": ("AWS Transcribe", "speech"),
    "tavrix.aws_polly.": ("AWS Polly", "speech"),
    "tavrix.whisper.": ("Whisper", "speech"),
    "tavrix.playht.": ("PlayHT", "speech"),
    "tavrix.cartesia.": ("Cartesia", "speech"),
    "tavrix.coqui_tts.": ("Coqui TTS", "speech"),
    "tavrix.langchain.": ("LangChain", "framework"),
    "tavrix.crewai.": ("CrewAI", "framework"),
    "tavrix.autogen.": ("AutoGen", "framework"),
    "tavrix.agno.": ("Agno", "framework"),
    "tavrix.langroid.": ("Langroid", "framework"),
    "tavrix.composio.": ("Composio", "framework"),
    "tavrix.camel.": ("CAMEL", "framework"),
    "tavrix.pydanticai.": ("PydanticAI", "framework"),
    "tavrix.smolagents.": ("SmolAgents", "framework"),
    "tavrix.letta.": ("Letta", "framework"),
}


def _display_name(raw: str) -> str:
    return raw.replace("_", " ").title()


def _derive_llm_provider(model_name: str) -> "str | None":
    m = model_name.lower()
    if m.startswith(("gpt", "o1", "o3", "o4", "text-embedding", "dall-e", "whisper", "tts")):
        return "Openai"
    if m.startswith("claude"):
        return "Anthropic"
    if m.startswith("gemini"):
        return "Google"
    if m.startswith(("llama", "meta-llama", "codellama")):
        return "Meta"
    if m.startswith("mistral"):
        return "Mistral"
    if m.startswith(("command", "embed-")):
        return "Cohere"
    if "groq" in m:
        return "Groq"
    return None


def _extract_integrations_from_attrs(attrs: dict) -> "list[tuple[str, str]]":
    found = []
    provider = attrs.get("gen_ai.provider.name")
    if provider:
        if provider.lower() in _FRAMEWORK_PROVIDERS:
            found.append((_display_name(provider), "framework"))
            model = attrs.get("tavrix.llm.model") or attrs.get("gen_ai.request.model")
            if model:
                derived = _derive_llm_provider(model)
                if derived:
                    found.append((derived, "llm"))
        else:
            found.append((_display_name(provider), "llm"))
    framework = attrs.get("tavrix.framework")
    if framework:
        found.append((_display_name(framework), "framework"))
    source = attrs.get("tavrix.retrieval.source") or attrs.get("tavrix.retrieval.collection")
    if source:
        found.append((_display_name(source), "retrieval"))
    embedding_model = attrs.get("tavrix.embedding.model")
    if embedding_model:
        found.append((embedding_model, "embedding"))
    guardrail = attrs.get("tavrix.guardrail.name")
    if guardrail:
        found.append((guardrail, "safety"))
    elif attrs.get("tavrix.moderation.flagged") is not None:
        found.append(("OpenAI Moderation", "safety"))
    eval_framework = attrs.get("tavrix.eval.framework")
    if eval_framework:
        found.append((_display_name(eval_framework), "eval"))
    rerank_system = attrs.get("tavrix.rerank.system")
    if rerank_system:
        found.append((_display_name(rerank_system), "reranking"))
    if not found:
        for key in attrs:
            if not isinstance(key, str) or not key.startswith("tavrix."):
                continue
            for prefix, (name, category) in _ATTR_PREFIX_INTEGRATIONS.items():
                if key.startswith(prefix):
                    found.append((name, category))
                    return found
    return found


def _redact_list(items: list, redact_fn) -> list:
    result = []
    for item in items:
        if isinstance(item, str):
            result.append(redact_fn(item))
        elif isinstance(item, dict):
            result.append(_redact_dict_values(item, redact_fn))
        elif isinstance(item, list):
            result.append(_redact_list(item, redact_fn))
        else:
            result.append(item)
    return result


def _redact_span_dict(span_dict: dict, redact_fn) -> None:
    for key in ("input_data", "output_data"):
        value = span_dict.get(key)
        if isinstance(value, str):
            span_dict[key] = redact_fn(value)
        elif isinstance(value, dict):
            span_dict[key] = _redact_dict_values(value, redact_fn)
        elif isinstance(value, list):
            span_dict[key] = _redact_list(value, redact_fn)
    attrs = span_dict.get("attributes")
    if attrs and isinstance(attrs, dict):
        for key, value in attrs.items():
            if isinstance(value, str):
                attrs[key] = redact_fn(value)
            elif isinstance(value, (list, tuple)):
                redacted = [redact_fn(v) if isinstance(v, str) else v for v in value]
                attrs[key] = redacted if isinstance(value, list) else tuple(redacted)


_OTEL_DROP_KEYS = frozenset(
    {"tavrix.span_type", "openinference.span.kind", "tavrix.tool", "tavrix.tool.name", "tavrix.tool.type"}
)


def _clean_attr_key(k: str) -> str:
    if (k.startswith("gen_ai.") or k.startswith("tavrix.")) and "." in k:
        return k.split(".", 1)[1]
    return k


def _merge_otel_attrs_into_recorded_span(ctx, span, attrs: dict) -> None:
    if attrs.get("tavrix.span_type") != "tool_call":
        return
    target_name = attrs.get("tavrix.tool")
    if not target_name:
        return
    try:
        spans = getattr(ctx, "_spans", None)
        # What is copied into the entry leaves the process as a record does:
        # redacted with the run's redaction function.
        redact_fn = getattr(ctx, "_content_redact_fn", None)
        redacting = bool(redact_fn)
        if not spans:
            return
        for entry in reversed(spans):
            if entry.get("kind") != "tool":
                continue
            if entry.get("name") != target_name:
                continue
            existing = entry.get("attributes")
            if not isinstance(existing, dict):
                existing = {}
            for k, v in attrs.items():
                if k in _OTEL_DROP_KEYS:
                    continue
                clean = _clean_attr_key(k)
                if clean not in existing:
                    if redacting:
                        if isinstance(v, str):
                            v = redact_fn(v)
                        elif type(v) is list or type(v) is tuple:
                            v = type(v)([redact_fn(x) if isinstance(x, str) else x for x in v])
                    existing[clean] = v
            entry["attributes"] = existing
            try:
                sctx = span.context
                if sctx:
                    span_id = getattr(sctx, "span_id", 0)
                    if span_id:
                        entry["_otel_span_id"] = format(span_id, "016x")
            except Exception:
                pass
            return
    except Exception:
        return


def _redact_dict_values(d: dict, redact_fn) -> dict:
    result = {}
    for k, v in d.items():
        if isinstance(v, str):
            result[k] = redact_fn(v)
        elif isinstance(v, dict):
            result[k] = _redact_dict_values(v, redact_fn)
        elif isinstance(v, list):
            result[k] = _redact_list(v, redact_fn)
        else:
            result[k] = v
    return result


def _span_to_dict(span) -> dict:
    attributes = span.attributes
    attrs = dict(attributes) if attributes else {}
    kind = _resolve_kind(span)
    start_ns = span.start_time or 0
    end_ns = span.end_time or 0
    duration_ms = int((end_ns - start_ns) / 1_000_000) if end_ns > start_ns else None
    display_name = _build_display_name(span.name, attrs)
    clean_attrs = {}
    for k, v in attrs.items():
        if k.startswith("gen_ai.") or k.startswith("tavrix."):
            clean_attrs[k.split(".", 1)[1]] = v
        else:
            clean_attrs[k] = v
    input_data = None
    output_data = None
    if kind == "tool" and "tavrix.tool.input" in attrs:
        import json

        try:
            input_data = json.loads(attrs["tavrix.tool.input"])
        except Exception:
            input_data = None
        try:
            output_data = json.loads(attrs.get("tavrix.tool.output", "{}"))
        except Exception:
            output_data = None
    if kind == "llm":
        model = attrs.get("gen_ai.request.model") or attrs.get("tavrix.llm.model", "")
        tokens_in = attrs.get("gen_ai.usage.input_tokens") or attrs.get("tavrix.llm.input_tokens", 0)
        tokens_out = attrs.get("gen_ai.usage.output_tokens") or attrs.get("tavrix.llm.output_tokens", 0)
        clean_attrs["model"] = model
        clean_attrs["tokens_in"] = tokens_in
        clean_attrs["tokens_out"] = tokens_out
        clean_attrs["total_tokens"] = tokens_in + tokens_out
        clean_attrs["cost"] = attrs.get("tavrix.llm.cost", 0)
        finish_reasons = attrs.get("gen_ai.response.finish_reasons")
        if finish_reasons:
            clean_attrs["finish_reasons"] = finish_reasons
        response_model = attrs.get("gen_ai.response.model")
        if response_model and response_model != model:
            clean_attrs["response_model"] = response_model
    trace_id = span_id = ""
    sctx = span.context
    if sctx:
        trace_id = format(sctx.trace_id, "032x")
        span_id = format(sctx.span_id, "016x")
    parent_id = ""
    parent = span.parent
    if parent and parent.span_id:
        parent_id = format(parent.span_id, "016x")
    status = "ok"
    span_status = span.status
    if span_status and span_status.status_code:
        from opentelemetry.trace import StatusCode

        if span_status.status_code == StatusCode.ERROR:
            status = "error"
    return {
        "name": display_name,
        "kind": kind,
        "status": status,
        "duration_ms": duration_ms,
        "attributes": clean_attrs,
        "input_data": input_data,
        "output_data": output_data,
        "_otel_start_ns": start_ns,
        "_otel_end_ns": end_ns,
        "_otel_trace_id": trace_id,
        "_otel_span_id": span_id,
        "_otel_parent_id": parent_id,
        "_from_processor": True,
    }


if _HAS_OTEL:

    class TavrixSpanProcessor(SpanProcessor):
        """Captures completed OTel spans into the active TavrixContext._spans buffer."""

        def on_start(self, span: "ReadableSpan", parent_context=None) -> None:
            pass

        def on_end(self, span: "ReadableSpan") -> None:
            try:
                from ..instrumentors._context_var import _current_context

                ctx = _current_context.get()
                if ctx is None or not ctx.run_id:
                    return
                attrs = span.attributes or {}
                if type(attrs) is not dict:
                    attrs = dict(attrs)
                for name, category in _extract_integrations_from_attrs(attrs):
                    ctx._record_integration(name, category)
                if attrs.get("tavrix.span_type"):
                    _merge_otel_attrs_into_recorded_span(ctx, span, attrs)
                    return
                if _is_tavrix_api_call(attrs):
                    return
                if _is_llm_provider_http_call(attrs):
                    return
                if _is_noisy_infra_call(attrs):
                    return
                span_dict = _span_to_dict(span)
                if ctx._content_redact_fn:
                    _redact_span_dict(span_dict, ctx._content_redact_fn)
                ctx._otel_spans.append(span_dict)
            except Exception:
                pass

        def shutdown(self) -> None:
            pass

        def force_flush(self, timeout_millis: int = 30000) -> bool:
            return True

else:

    class TavrixSpanProcessor:  # type: ignore[no-redef]
        """No-op processor when OTel is not installed."""

        def on_start(self, span, parent_context=None):
            pass

        def on_end(self, span):
            pass

        def shutdown(self):
            pass

        def force_flush(self, timeout_millis=30000):
            return True


def load():
    """A fresh instance of this file as tavrix_observe.tracing.pyref_spanbridge."""
    module_spec = importlib.util.spec_from_file_location(
        "tavrix_observe.tracing.pyref_spanbridge", pathlib.Path(__file__).resolve()
    )
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module
