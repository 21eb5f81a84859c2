#!/usr/bin/env bash
# Measures where the C math library of x86-64 and of AArch64 (both glibc, the
# AArch64 one under qemu from the sysroot) give different bits for the
# catalogue's operations. The results are information, not a test: they
# tell which operations the cross-architecture test may compare exactly.
#
#   bash tools/arm64/libm-survey.sh [operands per operation, default 20000]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
n="${1:-20000}"

bash "$ARM64_TOOLS/host-tools.sh"
bash "$ARM64_TOOLS/sysroot.sh"
out="$ARM64_CACHE/survey"
mkdir -p "$out"
flags=(-std=c++20 -O2 -ffp-contract=off -fno-fast-math -I"$VANTU_ROOT/src")
srcs=("$ARM64_TOOLS/libm_survey.cpp" "$VANTU_ROOT/src/graph/semantics.cpp")
g++ "${flags[@]}" "${srcs[@]}" -o "$out/survey-x86_64"
aarch64-linux-gnu-g++ "${flags[@]}" "${srcs[@]}" -o "$out/survey-aarch64"
"$out/survey-x86_64" "$n" "$out/x86_64.bin"
arm64_run "$out/survey-aarch64" "$n" "$out/aarch64.bin"
python3 "$ARM64_TOOLS/libm_compare.py" "$VANTU_ROOT/src/graph/ops.hpp" "$out/x86_64.bin" "$out/aarch64.bin"
