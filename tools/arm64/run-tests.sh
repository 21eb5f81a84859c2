#!/usr/bin/env bash
# The AArch64 test pass under user-mode emulation, from nothing to results:
# installs the host tools, makes (or reuses) the arm64 sysroot, cross-builds
# _vantu and vantu_tests, then runs the C++ tests and the pytest suite on the
# emulated arm64 Python. Extra arguments go to pytest.
#
#   bash tools/arm64/run-tests.sh [pytest arguments]
#
# Environment: VANTU_ARM64_CACHE (default /var/cache/vantu-arm64) holds the
# sysroot between runs; VANTU_ARM64_BUILD (default build/arm64) is the cross
# build directory; VANTU_ARM64_JOBS limits parallel compile jobs.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

bash "$ARM64_TOOLS/host-tools.sh"
bash "$ARM64_TOOLS/sysroot.sh"
bash "$ARM64_TOOLS/build.sh"

log "C++ tests (vantu_tests under qemu-aarch64)"
arm64_run "$ARM64_BUILD/vantu_tests" --gtest_brief=1

log "Python tests (pytest on the emulated arm64 interpreter)"
cd "$VANTU_ROOT"
# tests/python/conftest.py reads VANTU_TEST_EMULATED: it relaxes timing-based
# checks and skips the tests marked slow_under_emulation.
status=0
VANTU_TEST_EMULATED=1 PYTHONPATH="$ARM64_BUILD:$VANTU_ROOT/python" \
    arm64_python -m pytest -q -p no:cacheprovider "$@" || status=$?
if [ "$status" -eq 5 ]; then
    log "pytest collected no tests"
    status=0
fi
log "done (pytest status $status)"
exit "$status"
