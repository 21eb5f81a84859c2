"""Suite-wide settings: the AArch64 emulated pass and the hypothesis profiles.

tools/arm64/run-tests.sh runs this suite on an emulated arm64 interpreter and
sets VANTU_TEST_EMULATED=1. Emulation is some ten times slower, so there:
- tests marked ``slow_under_emulation`` are skipped. Use the mark only for
  tests whose cost is volume (long loops, big sizes, thread hammering), never
  for a bit-exactness test: those must run on both architectures;
- hypothesis keeps its example counts but drops its per-example deadline,
  which would otherwise fail healthy tests on timing alone.

Tests that execute generated machine code take the ``needs_aarch64`` mark and
are skipped on other machines (natively or under emulation they run).
"""

import math
import os
import platform
import threading

import numpy
import pytest

EMULATED = os.environ.get("VANTU_TEST_EMULATED") == "1"
AARCH64 = platform.machine() in ("aarch64", "arm64")

try:
    from hypothesis import HealthCheck, settings
except ImportError:  # hypothesis is a test extra; suites without it still run
    settings = None
else:
    settings.register_profile(
        "emulated", deadline=None, suppress_health_check=[HealthCheck.too_slow]
    )
    if EMULATED:
        settings.load_profile("emulated")


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "slow_under_emulation: skipped in the emulated AArch64 pass (volume only, never bit-exactness)",
    )
    config.addinivalue_line(
        "markers", "needs_aarch64: runs only on an AArch64 interpreter (native or emulated)"
    )


def pytest_report_header(config):
    where = "emulated" if EMULATED else "native"
    return f"vantu: {platform.machine()} ({where})"


def pytest_collection_modifyitems(config, items):
    slow = pytest.mark.skip(reason="slow under emulation (VANTU_TEST_EMULATED=1)")
    not_arm = pytest.mark.skip(reason="needs an AArch64 interpreter")
    for item in items:
        if EMULATED and "slow_under_emulation" in item.keywords:
            item.add_marker(slow)
        if not AARCH64 and "needs_aarch64" in item.keywords:
            item.add_marker(not_arm)


@pytest.fixture
def seen_inside_unlocked():
    """Whether another thread ever runs while `call` is inside the module.

    `call(out)` must fill the float64 array `out` completely. A watcher
    thread looks for a moment when the caller is inside `call` while `out`
    still holds its NaN marks: with the interpreter lock held for the whole
    call that moment cannot be observed (the watcher only runs before the
    call or after `out` is filled). Tries up to `rounds` calls and returns
    whether the moment was seen; `out` is filled when it returns.
    """

    def run(call, out, rounds):
        state = {"inside": False}
        seen = threading.Event()
        stop = threading.Event()

        def watch():
            while not stop.is_set():
                if state["inside"] and math.isnan(out[-1]):
                    seen.set()
                    return

        watcher = threading.Thread(target=watch)
        watcher.start()
        try:
            for _ in range(rounds):
                out.fill(math.nan)
                state["inside"] = True
                call(out)
                state["inside"] = False
                if seen.is_set():
                    break
        finally:
            stop.set()
            watcher.join()
        assert not numpy.isnan(out).any()
        return seen.is_set()

    return run
