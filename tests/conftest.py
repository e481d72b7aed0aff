import os
import sys

import pytest

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



# What the run counted with, read once the tests are done (runtime_info starts the pool,
# which tests of its sizing need untouched until they count).

@pytest.fixture(scope="session", autouse=True)
def record_kernel_variant(record_testsuite_property):
    """The kernel variant the run counted with, in the JUnit XML file (--junitxml): CI
    checks it against the variant each of its stages asks for."""
    yield
    import quor
    record_testsuite_property("quor_kernel", str(quor.runtime_info()["kernel"]))


def pytest_terminal_summary(terminalreporter):
    import quor
    info = quor.runtime_info()
    terminalreporter.write_line(
        f"quor {info['version']}: kernel variant {info['kernel']} of {', '.join(info['kernels'])}; "
        f"{info['threads']} threads ({info['threads_from']})")
