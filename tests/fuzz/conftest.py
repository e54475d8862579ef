"""Hypothesis profiles for the fuzz tests: a bounded run in the normal
suite (the sanitizer build runs it too), a long one under `make fuzz`
(TAVRIX_FUZZ=long, TAVRIX_FUZZ_EXAMPLES examples per function, 1000 unless
set)."""

from __future__ import annotations

import os
import pathlib
import sys

from hypothesis import HealthCheck, Phase, settings

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

_SLOW_INPUTS = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much,
                HealthCheck.large_base_example, HealthCheck.function_scoped_fixture]
# No explain phase: it traces every line of the deep inputs' construction.
_PHASES = [Phase.explicit, Phase.reuse, Phase.generate, Phase.target, Phase.shrink]
settings.register_profile("suite", max_examples=40, deadline=None, suppress_health_check=_SLOW_INPUTS,
                          phases=_PHASES, derandomize=True, database=None)
settings.register_profile("long", max_examples=int(os.environ.get("TAVRIX_FUZZ_EXAMPLES", "1000")), deadline=None, suppress_health_check=_SLOW_INPUTS,
                          phases=_PHASES)
settings.load_profile("long" if os.environ.get("TAVRIX_FUZZ") == "long" else "suite")
