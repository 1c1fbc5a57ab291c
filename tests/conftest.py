"""Hypothesis profiles for the property tests.

HYPOTHESIS_PROFILE picks one by name; otherwise "ci" when the CI variable is set (as the CI
runner does) and "default" on a developer's machine.
  ci      derandomised, a fixed budget that keeps the stateful test to a couple of minutes
  asan    the same, smaller: the whole suite also runs under AddressSanitizer
  default local runs: random, a moderate budget
  long    a long exploratory run: many examples, long programs, no deadline
"""

import os

from hypothesis import HealthCheck, settings

_ci = settings.get_profile("ci")
settings.register_profile("ci", settings(_ci, max_examples=1000, stateful_step_count=100))
settings.register_profile("asan", settings(_ci, max_examples=500, stateful_step_count=80))
settings.register_profile(
    "default",
    settings(max_examples=300, stateful_step_count=80, deadline=None),
)
settings.register_profile(
    "long",
    settings(
        max_examples=50_000,
        stateful_step_count=200,
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow],
    ),
)
settings.load_profile(
    os.environ.get("HYPOTHESIS_PROFILE", "ci" if "CI" in os.environ else "default")
)
