"""Runs the C++ checks of the token diff (tests/diff/sequence_diff_check.cpp):
difflib's recursion ported line by line as the oracle, random and hand-made
sequences, the hard shapes counted in work done; as the development build
makes them (with AddressSanitizer and UndefinedBehaviorSanitizer under
`make test SANITIZE=ON`)."""

from __future__ import annotations


def test_token_diff_matches_difflib_port(cxx_check):
    cxx_check("sequence_diff_check")
