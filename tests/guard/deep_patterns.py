"""Run as ``python deep_patterns.py DEPTH STACK_KIB``: on a new thread with a
STACK_KIB stack (the main thread when 0), the detectors and the redaction
over tables holding a pattern of DEPTH nested groups and one of DEPTH
nested repeats (built, like everything re compiles, on the main thread);
prints whether every answer equals re's."""

from __future__ import annotations

import re
import sys
import threading

from tavrix_observe.instrumentors import _guard


def main() -> None:
    depth, stack_kib = map(int, sys.argv[1:3])
    groups = re.compile("(" * depth + "a" + ")" * depth)
    repeats = re.compile("(?:" * depth + "b" + ")?" * depth)
    text = "xa ab b"
    expected = [f"Prompt injection pattern: '{m.group()}'" for p in (groups, repeats) if (m := p.search(text))]
    answers = []

    def run() -> None:
        _guard._INJECTION_PATTERNS = [groups, repeats]
        _guard._PII_PATTERNS = {"groups": groups, "repeats": repeats}
        _guard._CREDENTIAL_PATTERNS = {}
        answers.append(_guard._detect_injection(text) == expected)
        answers.append(_guard._detect_pii(text) == ["PII detected: groups", "PII detected: repeats"])
        answers.append(_guard._redact_text(text) == repeats.sub("##REPEATS##", groups.sub("##GROUPS##", text)))

    if stack_kib == 0:
        run()
    else:
        threading.stack_size(stack_kib * 1024)
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
    print("same" if answers == [True, True, True] else f"different: {answers}")


if __name__ == "__main__":
    main()
