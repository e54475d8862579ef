"""Runs the C++ checks of the engine's compiler, matcher, prefilters and
table scan (tests/regex/engine_checks.cpp), as the development build makes
them (under the sanitizers in the sanitizer run)."""

from __future__ import annotations


def test_engine_checks_pass(cxx_check):
    cxx_check("engine_checks")
