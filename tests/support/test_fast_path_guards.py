"""Every way of breaking a fast path's guard, against every fast path that
stands for Python code: the SDK span reads, the URL parser of display names
and the replay's diff. While the code a fast path stands for is patched, the
general path runs (the patched code's Python frames are seen) and the answer
is the patched code's; once the patch is undone the fast path is back (none
of those frames run) with the original answer.

Not every way applies to every fast path: the URL parser's result classes
have no instance namespace (`__slots__ = ()`) and the diff's matcher is made
inside the call, so neither has an instance whose attribute could shadow."""

from __future__ import annotations

import _collections_abc
import builtins
import contextlib
import difflib
import json
import subprocess
import sys
import textwrap
import urllib.parse

import opentelemetry.attributes
import pytest
from opentelemetry.attributes import BoundedAttributes
from opentelemetry.sdk.trace import ReadableSpan, SpanProcessor, TracerProvider

from tavrix_observe.instrumentors import _guard
from tavrix_observe.tracing import spanbridge


@contextlib.contextmanager
def setting(owner, name, value):
    """`owner.<name> = value` for the block, then as it was (or unbound)."""
    missing = object()
    original = vars(owner).get(name, missing)
    setattr(owner, name, value)
    try:
        yield
    finally:
        if original is missing:
            delattr(owner, name)
        else:
            setattr(owner, name, original)


@contextlib.contextmanager
def code_of(function, replacement):
    original = function.__code__
    function.__code__ = replacement.__code__
    try:
        yield
    finally:
        function.__code__ = original


def altered_builtin(name, module, alteration):
    """The builtin `name`, answering `alteration(...)` to calls from `module`."""
    original = getattr(builtins, name)

    def altered(*args):
        if sys._getframe(1).f_globals.get("__name__") == module:
            return alteration(*args)
        return original(*args)

    return altered


def run_watching(run, files):
    """run(), and whether Python code of the given library files, or of a
    patch defined here, ran in it."""
    frames = []

    def profile(frame, event, arg):
        code = frame.f_code
        if event == "call" and (code.co_filename.endswith(files) or code.co_filename == __file__ and code is not run.__code__):
            frames.append(code.co_name)

    sys.setprofile(profile)
    try:
        result = run()
    finally:
        sys.setprofile(None)
    return result, bool(frames)


# --- the SDK span reads ----------------------------------------------------


def sdk_span():
    class Capture(SpanProcessor):
        def on_end(self, span):
            self.span = span

    capture = Capture()
    provider = TracerProvider()
    provider.add_span_processor(capture)
    provider.get_tracer("tests.guards").start_span("op", attributes={"k": "v", "n": 1}).end()
    return capture.span


SPAN = sdk_span()
MAPPING = SPAN._attributes


class OnlyFirstKey(_collections_abc.KeysView):
    def __iter__(self):
        yield next(iter(self._mapping))


class PatchedMapping(BoundedAttributes):
    def __getitem__(self, key):
        return "patched"


def name_and_attributes():
    record = spanbridge._span_to_dict(SPAN)
    return record["name"], record["attributes"]


reversed_iter = altered_builtin("iter", "opentelemetry.attributes", lambda items: iter(list(items)[::-1]))
SDK_WAYS = {
    "patched method": (lambda: setting(BoundedAttributes, "__getitem__", lambda self, key: "patched"),
                       ("op", {"k": "patched", "n": "patched"})),
    "replaced property": (lambda: setting(ReadableSpan, "name", property(lambda self: "renamed")),
                          ("renamed", {"k": "v", "n": 1})),
    "subclass": (lambda: setting(SPAN, "_attributes", PatchedMapping(attributes={"k": "v", "n": 1}, immutable=True)),
                 ("op", {"k": "patched", "n": "patched"})),
    "instance attribute": (lambda: setting(MAPPING, "keys", lambda: ["n"]), ("op", {"n": 1})),
    "replaced code": (lambda: code_of(ReadableSpan.name.fget, lambda self: "recoded"), ("recoded", {"k": "v", "n": 1})),
    "rebound module global": (lambda: setting(_collections_abc, "KeysView", OnlyFirstKey), ("op", {"k": "v"})),
    "rebound builtin": (lambda: setting(builtins, "iter", reversed_iter), ("op", {"n": 1, "k": "v"})),
    "module name hiding a builtin": (lambda: setting(opentelemetry.attributes, "iter", reversed_iter),
                                     ("op", {"n": 1, "k": "v"})),
}

# --- the URL parser of display names -------------------------------------


def display_name():
    return spanbridge._build_display_name("GET", {"http.request.method": "GET", "url.full": URL})


URL = "https://Api.Example.COM:8443/v1"
ParseResult = urllib.parse.ParseResult


class SubResult(ParseResult):
    __slots__ = ()
    hostname = property(lambda self: "sub.example")


@contextlib.contextmanager
def uncached(patch):
    """The patch, with urlsplit's cache emptied before and after: what it
    remembers from before is not what the patched code would answer."""
    urllib.parse.urlsplit.cache_clear()
    try:
        with patch:
            yield
    finally:
        urllib.parse.urlsplit.cache_clear()


no_min = altered_builtin("min", "urllib.parse", lambda a, b: 0)
URL_WAYS = {
    "patched method": (lambda: setting(ParseResult, "__new__", staticmethod(
        lambda cls, *parts: tuple.__new__(cls, (parts[0], "method.example", *parts[2:])))), "GET method.example"),
    "replaced property": (lambda: setting(ParseResult, "hostname", property(lambda self: "prop.example")),
                          "GET prop.example"),
    "patched base class": (lambda: setting(urllib.parse._NetlocResultMixinBase, "hostname",
                                           property(lambda self: "base.example")), "GET base.example"),
    "subclass": (lambda: setting(urllib.parse, "ParseResult", SubResult), "GET sub.example"),
    "replaced code": (lambda: code_of(urllib.parse._splitnetloc, lambda url, start=0: ("code.example", "")),
                      "GET code.example"),
    "rebound module global": (lambda: setting(urllib.parse, "_splitnetloc", lambda url, start=0: ("global.example", "")),
                              "GET global.example"),
    "rebound builtin": (lambda: setting(builtins, "min", no_min), "GET " + URL),
    "module name hiding a builtin": (lambda: setting(urllib.parse, "min", no_min), "GET " + URL),
}
URL_WAYS = {way: (lambda patch=patch: uncached(patch()), answer) for way, (patch, answer) in URL_WAYS.items()}

# --- the replay's diff -------------------------------------------------------

ORIGINAL, REDACTED = "Email bob at work and ask bob", "Email [PERSON] at work and ask [PERSON]"


def substitutions():
    return _guard._ml_substitutions(ORIGINAL, REDACTED)


class FirstTokenMatcher(difflib.SequenceMatcher):
    def get_opcodes(self):
        return [("replace", 0, 1, 0, 3)]


class RenamedMatch(difflib.Match):
    __slots__ = ()


counted_len = altered_builtin("len", "difflib", len)
FOUND = [("bob", "[PERSON]")] * 2
FIRST_TOKEN = [("Email", "Email [")]  # the first token against the first three: "Email", " ", "["
DIFF_WAYS = {
    "patched method": (lambda: setting(difflib.SequenceMatcher, "get_opcodes", FirstTokenMatcher.get_opcodes),
                       FIRST_TOKEN),
    "replaced property": (lambda: setting(difflib.Match, "size", property(lambda self: self[2])), FOUND),
    "subclass": (lambda: setting(difflib, "SequenceMatcher", FirstTokenMatcher), FIRST_TOKEN),
    "replaced code": (lambda: code_of(difflib.SequenceMatcher.get_opcodes, lambda self: [("replace", 0, 1, 0, 3)]),
                      FIRST_TOKEN),
    "rebound module global": (lambda: setting(difflib, "Match", RenamedMatch), FOUND),
    "rebound builtin": (lambda: setting(builtins, "len", counted_len), FOUND),
    "module name hiding a builtin": (lambda: setting(difflib, "len", len), FOUND),
}

FAST_PATHS = {
    "SDK span": (name_and_attributes, ("opentelemetry/attributes/__init__.py", "opentelemetry/sdk/trace/__init__.py",
                                       "_collections_abc.py"), SDK_WAYS),
    "URL parser": (display_name, ("urllib/parse.py",), URL_WAYS),
    "diff": (substitutions, ("difflib.py",), DIFF_WAYS),
}
CASES = [(path, way) for path, (_, _, ways) in FAST_PATHS.items() for way in ways]


@pytest.mark.parametrize(("path", "way"), CASES, ids=[f"{p}: {w}" for p, w in CASES])
def test_a_broken_guard_takes_the_general_path_until_undone(path, way):
    run, files, ways = FAST_PATHS[path]
    patch, patched_answer = ways[way]
    answer, general = run_watching(run, files)
    assert not general, "the fast path is taken to begin with"
    with patch():
        assert run_watching(run, files) == (patched_answer, True)
    assert run_watching(run, files) == (answer, False)


# --- lazy imports ------------------------------------------------------------

# The three fast paths in a new interpreter, their answers and whether the
# general path ran, at the first use and the next. Under 3.15's
# -X lazy_imports=all the guarded namespaces hold placeholders for what they
# import until a name's first use rebinds it (pytest itself does not run so).
LAZY_RUN = textwrap.dedent(
    """
    import json, sys
    from opentelemetry.sdk.trace import SpanProcessor, TracerProvider
    from tavrix_observe.instrumentors import _guard
    from tavrix_observe.tracing import spanbridge

    class Capture(SpanProcessor):
        def on_end(self, span):
            self.span = span

    capture = Capture()
    provider = TracerProvider()
    provider.add_span_processor(capture)
    provider.get_tracer("lazy").start_span("op", attributes={"k": "v", "n": 1}).end()
    runs = {
        "SDK span": (lambda: list(spanbridge._span_to_dict(capture.span).items())[:2],
                     ("opentelemetry/attributes/__init__.py", "opentelemetry/sdk/trace/__init__.py")),
        "URL parser": (lambda: spanbridge._build_display_name("GET", {"url.full": URL}), ("urllib/parse.py",)),
        "diff": (lambda: _guard._ml_substitutions(ORIGINAL, REDACTED), ("difflib.py",)),
    }

    def watching(run, files):
        ran = []
        def profile(frame, event, arg):
            if event == "call" and frame.f_code.co_filename.endswith(files):
                ran.append(frame.f_code.co_name)
        sys.setprofile(profile)
        try:
            answer = run()
        finally:
            sys.setprofile(None)
        return answer, bool(ran)

    print(json.dumps({path: [watching(run, files) for _ in range(2)] for path, (run, files) in runs.items()},
                     default=repr))
    """
)


@pytest.mark.skipif(sys.version_info < (3, 15), reason="lazy imports: CPython 3.15 and later")
def test_lazily_imported_names_keep_the_answers_and_the_fast_paths():
    script = f"URL, ORIGINAL, REDACTED = {URL!r}, {ORIGINAL!r}, {REDACTED!r}\n" + LAZY_RUN

    def run(*flags):
        proc = subprocess.run([sys.executable, *flags, "-c", script], capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, proc.stderr[-3000:]
        return json.loads(proc.stdout)

    eager, lazy = run(), run("-X", "lazy_imports=all")
    for path, uses in lazy.items():
        assert [answer for answer, _ in uses] == [answer for answer, _ in eager[path]], path
        assert [general for _, general in uses][1:] == [False], f"{path}: the fast path after the first use"
