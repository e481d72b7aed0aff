import os
import sys

sys.path.insert(0, os.path.dirname(__file__))

try:
    from hypothesis import HealthCheck, settings
except ImportError:  # the property tests skip themselves
    pass
else:
    # "ci" (the default) replays the same examples on every run; "thorough" explores
    # afresh with a much larger budget: HYPOTHESIS_PROFILE=thorough python -m pytest.
    slow_ok = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much]
    settings.register_profile("ci", max_examples=150, derandomize=True, database=None,
                              deadline=None, print_blob=True, suppress_health_check=slow_ok)
    settings.register_profile("thorough", max_examples=3000, deadline=None, print_blob=True,
                              suppress_health_check=slow_ok)
    settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))
