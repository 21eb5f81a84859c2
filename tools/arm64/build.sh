#!/usr/bin/env bash
# Cross-compiles the extension module _vantu and the C++ tests vantu_tests for
# AArch64 into $VANTU_ARM64_BUILD (default build/arm64), with the project's
# own CMakeLists.txt and warnings as errors. Needs the sysroot (sysroot.sh).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

if [ ! -f "$ARM64_BUILD/build.ninja" ]; then
    log "configuring $ARM64_BUILD"
    cmake -S "$VANTU_ROOT" -B "$ARM64_BUILD" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$ARM64_TOOLS/toolchain.cmake" -DVANTU_ARM64_CACHE="$ARM64_CACHE" \
        -DCMAKE_POLICY_DEFAULT_CMP0190=NEW \
        -DCMAKE_BUILD_TYPE=Release -DVANTU_PYTHON=ON -DVANTU_TESTS=ON -DVANTU_WERROR=ON >/dev/null
fi
log "building in $ARM64_BUILD"
cmake --build "$ARM64_BUILD" -- -j"${VANTU_ARM64_JOBS:-$(nproc)}"
