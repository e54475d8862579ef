"""Every way of breaking a fast path's guard, against every fast path that
stands for Python code: the SDK span reads (the attributes, the span's kind,
context and status), the URL parser of display names, the leading word of a
statement and the replay's diff. While the code a fast path stands for is patched, the
general path runs (the patched code's Python frames are seen) and the answer
is the patched code's; once the patch is undone the fast path is back (none
of those frames run) with the original answer.

Not every way applies to every fast path: the URL parser's result classes
have no instance namespace (`__slots__ = ()`) and the diff's matcher is made
inside the call, so neither has an instance whose attribute could shadow."""

from __future__ import annotations

import _collections_abc
import abc
import builtins
import contextlib
import difflib
import gc
import json
import pathlib
import re
import subprocess
import sys
import textwrap
import types
import urllib.parse

import fast_paths
import opentelemetry.attributes
import pytest
from opentelemetry.attributes import BoundedAttributes
from opentelemetry.sdk.trace import ReadableSpan
from opentelemetry.trace import SpanKind, Status, StatusCode
from opentelemetry.trace.span import SpanContext

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
def replaced(owner, name, value):
    """`owner.<name> = value` for the block, for attributes held outside the
    owner's namespace (a function's defaults, a class's bases or metaclass)."""
    original = getattr(owner, name)
    setattr(owner, name, value)
    try:
        yield
    finally:
        setattr(owner, name, original)


@contextlib.contextmanager
def member_rebound(enumeration, name, value):
    """`enumeration.<name> = value` for the block, past the enumeration's
    refusal to rebind a member, then as it was."""
    original = vars(enumeration)[name]
    type.__setattr__(enumeration, name, value)
    try:
        yield
    finally:
        type.__setattr__(enumeration, name, original)


@contextlib.contextmanager
def code_of(function, replacement):
    original = function.__code__
    function.__code__ = replacement.__code__
    try:
        yield
    finally:
        function.__code__ = original


@contextlib.contextmanager
def setting_item(mapping, key, value):
    """`mapping[key] = value` for the block, then as it was."""
    original = mapping[key]
    mapping[key] = value
    try:
        yield
    finally:
        mapping[key] = original


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
    return fast_paths.run_watching(run, files, __file__)


# --- the SDK span reads ----------------------------------------------------


SPAN = fast_paths.sdk_span()
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


class FirstKeyMeta(abc.ABCMeta):
    """Makes the first key's view of a mapping, whatever class is called."""

    def __call__(cls, mapping):
        return OnlyFirstKey(mapping)


class OnlyKeyN:
    __slots__ = ()

    def keys(self):
        return ["n"]


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
    "metaclass swapped": (lambda: replaced(_collections_abc.KeysView, "__class__", FirstKeyMeta), ("op", {"k": "v"})),
    "bases reassigned": (lambda: replaced(BoundedAttributes, "__bases__", (OnlyKeyN, *BoundedAttributes.__bases__)),
                         ("op", {"n": 1})),
}

# --- the span's kind, context and status ----------------------------------


class EqualToAll:
    def __eq__(self, other):
        return True


def kind_ids_and_status():
    record = spanbridge._span_to_dict(SPAN)
    return record["kind"], record["_otel_span_id"], record["status"]


KIND_IDS_AND_STATUS = kind_ids_and_status()
FIELD_WAYS = {
    # Every kind's value maps to "chain": the answer stays, the general path runs.
    "span kind: replaced property": (lambda: setting(SpanKind, "value", property(lambda self: 3)), KIND_IDS_AND_STATUS),
    "span context: replaced property": (lambda: setting(SpanContext, "span_id", property(lambda self: 7)),
                                        (KIND_IDS_AND_STATUS[0], "0000000000000007", KIND_IDS_AND_STATUS[2])),
    "status: replaced property": (lambda: setting(Status, "status_code", property(lambda self: StatusCode.ERROR)),
                                  (*KIND_IDS_AND_STATUS[:2], "error")),
    # The span's code is not ERROR: equal only by the patch's own comparison.
    "status code: member rebound": (lambda: member_rebound(StatusCode, "ERROR", EqualToAll()),
                                    (*KIND_IDS_AND_STATUS[:2], "error")),
    "status code: comparison replaced": (lambda: setting(StatusCode, "__eq__", lambda self, other: True),
                                         (*KIND_IDS_AND_STATUS[:2], "error")),
    "status code: member's class replaced": (lambda: replaced(StatusCode.ERROR, "__class__", EqualToAll),
                                              (*KIND_IDS_AND_STATUS[:2], "error")),
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


class HostMixin:
    __slots__ = ()
    hostname = property(lambda self: "bases.example")


def stand_in_urllib_parse():
    """A module in place of urllib.parse, whose urlparse finds another host."""
    module = types.ModuleType("urllib.parse")
    module.urlparse = lambda url, scheme="", allow_fragments=True: types.SimpleNamespace(hostname="modules.example")
    return module


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
    # Equal, not the same: the guard compares identity, the answer is the original's.
    "replaced defaults": (lambda: replaced(urllib.parse.urlparse, "__defaults__", ("",) + (True,)),
                          "GET api.example.com"),
    # A new dict of the same defaults (3.15's urlparse has a keyword-only one).
    "replaced keyword defaults": (lambda: replaced(urllib.parse.urlparse, "__kwdefaults__",
                                                   dict(urllib.parse.urlparse.__kwdefaults__ or {})),
                                  "GET api.example.com"),
    "bases reassigned": (lambda: replaced(ParseResult, "__bases__", (HostMixin, *ParseResult.__bases__)),
                         "GET bases.example"),
    "replaced sys.modules entry": (lambda: setting_item(sys.modules, "urllib.parse", stand_in_urllib_parse()),
                                   "GET modules.example"),
}
URL_WAYS = {way: (lambda patch=patch: uncached(patch()), answer) for way, (patch, answer) in URL_WAYS.items()}

# --- the leading word of a statement ------------------------------------


def statement_display_name():
    return spanbridge._build_display_name("q", {"db.system": "postgresql", "db.statement": "  select * from t"})


WORD_WAYS = {
    # No leading word: the span's own name follows the system's.
    "rebound module global": (lambda: setting(re, "match", lambda pattern, string, flags=0: None), "pg q"),
    "replaced code": (lambda: code_of(re.match, lambda pattern, string, flags=0: None), "pg q"),
    "rebound helper": (lambda: setting(re, "_compile", lambda pattern, flags: COMPILE(r"(\w)", flags)), "pg S"),
}
COMPILE = re._compile

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
    "replaced defaults": (lambda: replaced(difflib.SequenceMatcher.__init__, "__defaults__", (None, "", "") + (True,)),
                          FOUND),
}

FAST_PATHS = {
    "SDK span": (name_and_attributes, ("opentelemetry/attributes/__init__.py", "opentelemetry/sdk/trace/__init__.py",
                                       "_collections_abc.py"), SDK_WAYS),
    "span fields": (kind_ids_and_status, ("enum.py", "opentelemetry/trace/span.py", "opentelemetry/trace/status.py"),
                    FIELD_WAYS),
    "URL parser": (display_name, ("urllib/parse.py",), URL_WAYS),
    "statement verb": (statement_display_name, ("re/__init__.py",), WORD_WAYS),
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
    import json
    from fast_paths import run_watching, sdk_span
    from tavrix_observe.instrumentors import _guard
    from tavrix_observe.tracing import spanbridge

    span = sdk_span()
    runs = {
        "SDK span": (lambda: list(spanbridge._span_to_dict(span).items())[:2],
                     ("opentelemetry/attributes/__init__.py", "opentelemetry/sdk/trace/__init__.py")),
        "URL parser": (lambda: spanbridge._build_display_name("GET", {"url.full": URL}), ("urllib/parse.py",)),
        "diff": (lambda: _guard._ml_substitutions(ORIGINAL, REDACTED), ("difflib.py",)),
    }
    print(json.dumps({path: [run_watching(run, files) for _ in range(2)] for path, (run, files) in runs.items()},
                     default=repr))
    """
)


@pytest.mark.skipif(sys.version_info < (3, 15), reason="lazy imports: CPython 3.15 and later")
def test_lazily_imported_names_keep_the_answers_and_the_fast_paths():
    script = (f"import sys; sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})\n"
              f"URL, ORIGINAL, REDACTED = {URL!r}, {ORIGINAL!r}, {REDACTED!r}\n" + LAZY_RUN)

    def run(*flags):
        proc = subprocess.run([sys.executable, *flags, "-c", script], capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, proc.stderr[-3000:]
        return json.loads(proc.stdout)

    eager, lazy = run(), run("-X", "lazy_imports=all")
    for path, uses in lazy.items():
        assert [answer for answer, _ in uses] == [answer for answer, _ in eager[path]], path
        assert [general for _, general in uses][1:] == [False], f"{path}: the fast path after the first use"


# --- what makes a guard compare again --------------------------------------
#
# The code guard itself, through a test-only module of the development build
# (tests/support/guard_probe.cpp), which counts the comparisons guards make
# out of line: where dicts and classes are watched, only a change of what a
# guard depends on makes it compare again.


@pytest.fixture(scope="module")
def guard_probe(built_module):
    return built_module("guard_probe")


def watched_guard(probe, functions, classes, bindings):
    guard = probe.capture(functions, classes, bindings)
    if not probe.watched(guard):
        pytest.skip("dict and class watchers: CPython 3.12 and later")
    assert probe.holds(guard)  # its first use compares
    return guard


def test_a_guard_compares_again_only_after_a_change_it_depends_on(guard_probe):
    probe = guard_probe
    guard = watched_guard(probe, [urllib.parse.urlparse], [ParseResult], [(sys.modules, "urllib.parse")])

    def compared(action):
        """Whether the guard compared out of line at its next uses after `action`, and whether it held."""
        before = probe.comparisons()
        with action():
            held = [probe.holds(guard) for _ in range(100)]
        after = probe.comparisons()
        assert probe.holds(guard), "undone"
        return after != before, all(held) if all(held) == any(held) else None

    def unrelated_import():
        sys.modules.pop("colorsys", None)
        __import__("colorsys")
        return contextlib.nullcontext()

    assert compared(contextlib.nullcontext) == (False, True), "steady use compares nothing"
    assert compared(unrelated_import) == (False, True), "an import of an unrelated module"
    assert compared(lambda: setting(urllib.parse, "_unrelated_name", 1)) == (False, True), "a name it did not bind"
    assert compared(lambda: setting(difflib.SequenceMatcher, "extra", 1)) == (False, True), "a class it did not capture"
    assert compared(lambda: setting(urllib.parse, "_coerce_args", len)) == (True, False), "a name its code reads"
    assert compared(lambda: setting_item(sys.modules, "urllib.parse", types.ModuleType("urllib.parse"))) == (True, False)
    assert compared(lambda: setting(ParseResult, "extra", 1)) == (True, False), "a name added to its class"
    # A function's own fields are compared in line.
    assert compared(lambda: replaced(urllib.parse.urlparse, "__defaults__", ("",) + (True,))) == (False, False)
    assert compared(contextlib.nullcontext) == (False, True)


def test_a_namespace_that_keeps_changing_is_given_up(guard_probe):
    class Captured:
        pass

    namespace = {"bound": 1, "other": 2}
    guard = watched_guard(guard_probe, [], [Captured], [(namespace, "bound")])
    for i in range(1000):
        namespace["other"] = i  # not a change of what the guard bound
    assert guard_probe.watched(guard)
    for i in range(1000):
        namespace["bound"] = i
    assert not guard_probe.watched(guard)
    assert not guard_probe.holds(guard)
    namespace["bound"] = 1
    assert guard_probe.holds(guard)
    namespace["bound"] = 2
    assert not guard_probe.holds(guard), "compared on every use once given up"
    # A new guard of that namespace is not watched either.
    assert not guard_probe.watched(guard_probe.capture([], [], [(namespace, "other")]))
    # Let go once given up, the guard is forgotten by what else it watched
    # (a change of its class then reads no freed guard: AddressSanitizer).
    del guard
    gc.collect()
    Captured.changed = True


def test_a_static_class_is_compared_on_every_use(guard_probe):
    # Static classes are shared by every interpreter; watcher ids are each
    # interpreter's own.
    guard = guard_probe.capture([], [types.SimpleNamespace], [])
    assert not guard_probe.watched(guard)
    before = guard_probe.comparisons()
    assert all(guard_probe.holds(guard) for _ in range(10))
    assert guard_probe.comparisons() - before == 10


EXHAUSTED = """
import importlib.util, sys, _testcapi
for add in (_testcapi.add_dict_watcher, _testcapi.add_type_watcher):
    try:
        while True:
            add(0)
    except RuntimeError:
        pass
module_spec = importlib.util.spec_from_file_location("guard_probe", sys.argv[1])
probe = importlib.util.module_from_spec(module_spec)
module_spec.loader.exec_module(probe)
namespace = {"bound": 1}
class Captured:
    pass
guard = probe.capture([], [Captured], [(namespace, "bound")])
answers = [probe.watched(guard), probe.holds(guard)]
namespace["bound"] = 2
answers.append(probe.holds(guard))
namespace["bound"] = 1
Captured.added = 1
answers.append(probe.holds(guard))
del Captured.added
answers.append(probe.holds(guard))
print(answers)
"""


def test_without_watcher_ids_left_a_guard_compares_on_every_use(guard_probe):
    _testcapi = pytest.importorskip("_testcapi")
    if not hasattr(_testcapi, "add_type_watcher"):
        pytest.skip("dict and class watchers: CPython 3.12 and later")
    # In a process of its own: the interpreter's watcher ids stay taken.
    result = subprocess.run([sys.executable, "-c", EXHAUSTED, guard_probe.__file__], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["[False,", "True,", "False,", "False,", "True]"]
