"""The test-only extension module over the regular-expression engine
(`regex_probe`, over its search, substitution and table scan), as the
development build makes it beside the package's modules, with the same
flags (and the sanitizers in the sanitizer run)."""

from __future__ import annotations

import pytest


@pytest.fixture(scope="session")
def probe(built_module):
    """The test-only module over the engine."""
    return built_module("regex_probe")
