"""Summarises a memcheck XML report; fails on any error or leak it holds.

    python tests/memcheck/summary.py memcheck.xml

Each record is shown by kind and by owner: the native core when a frame of
its stack lies in one of the package's compiled modules, the interpreter
otherwise. The runs are arranged so that the interpreter contributes nothing
(see the Makefile's valgrind target), so every record fails, whoever owns it.
"""

from __future__ import annotations

import collections
import sys
import xml.etree.ElementTree as ET

NATIVE_MARK = "/tavrix_observe/"


def owner(error: ET.Element) -> str:
    objs = (frame.findtext("obj", "") for frame in error.iter("frame"))
    return "native core" if any(NATIVE_MARK in obj for obj in objs) else "interpreter"


def leaked(error: ET.Element) -> tuple[int, int]:
    return int(error.findtext("xwhat/leakedbytes", "0")), int(error.findtext("xwhat/leakedblocks", "0"))


def describe(error: ET.Element) -> str:
    what = error.findtext("what") or error.findtext("xwhat/text", "")
    where = next((f"{frame.findtext('fn', '?')} ({frame.findtext('file', '?')}:{frame.findtext('line', '?')})"
                  for frame in error.iter("frame") if NATIVE_MARK in frame.findtext("obj", "")), "")
    return f"{error.findtext('kind')}: {what}" + (f"; first native frame {where}" if where else "")


def main(path: str) -> int:
    root = ET.parse(path).getroot()
    errors = root.findall("error")
    command = " ".join(arg.text or "" for arg in root.iterfind("args/argv/arg"))
    rows: dict[tuple[str, str], list[int]] = collections.defaultdict(lambda: [0, 0, 0])
    for error in errors:
        row = rows[(error.findtext("kind", ""), owner(error))]
        nbytes, nblocks = leaked(error)
        row[0] += 1
        row[1] += nbytes
        row[2] += nblocks
    flags = " ".join(arg.text or "" for arg in root.iterfind("args/vargv/arg")
                     if (arg.text or "").startswith("--") and not (arg.text or "").startswith("--xml"))
    print(f"memcheck {flags}\n  of {root.findtext('args/argv/exe')} {command}")
    print(f"  {len(errors)} error records")
    for (kind, where), (count, nbytes, nblocks) in sorted(rows.items()):
        lost = f", {nbytes} bytes in {nblocks} blocks" if nblocks else ""
        print(f"  {kind} in the {where}: {count}{lost}")
    for error in errors[:20]:
        print("  FAIL " + describe(error))
    return 1 if errors else 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv[1]))
