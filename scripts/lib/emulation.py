"""pytest plugin for test runs under qemu-user emulation (loaded by scripts/install_test.sh).

Emulation runs everything several times slower than native, so Hypothesis' per-example
deadline and its too-slow health check, which measure wall time, are lifted.
"""


def pytest_configure(config):
    try:
        from hypothesis import HealthCheck, settings
    except ImportError:
        return
    current = settings.default
    settings.register_profile(
        "emulation",
        parent=current,
        deadline=None,
        suppress_health_check=[*current.suppress_health_check, HealthCheck.too_slow],
    )
    settings.load_profile("emulation")
