"""The test-only extension module over the regular-expression engine
(`regex_probe`, over its search, substitution and table scan), as the
development build makes it beside the package's modules, with the same
flags (and the sanitizers in the sanitizer run)."""

from __future__ import annotations

import importlib.util
import sysconfig

import pytest


@pytest.fixture(scope="session")
def probe(native_build):
    """The test-only module over the engine."""
    path = native_build / f"regex_probe{sysconfig.get_config_var('EXT_SUFFIX')}"
    if not path.is_file():
        pytest.skip(f"{native_build} has no {path.name}: built for another interpreter")
    module_spec = importlib.util.spec_from_file_location("regex_probe", path)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module
