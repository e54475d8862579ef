"""Runs the C++ checks of the owned-reference type and of the error
convention (tests/support/ref_owner.cpp), as the development build makes
them."""

from __future__ import annotations


def test_owner_type_moves_and_releases_exactly(cxx_check):
    cxx_check("ref_owner_check")
