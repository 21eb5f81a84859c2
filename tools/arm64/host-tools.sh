#!/usr/bin/env bash
# Installs the host tools of the AArch64 pass when they are missing: the user
# mode emulator, the cross compiler and binutils (the disassembler that
# checks the encoder), plus CMake and Ninja. Needs root for apt-get.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

need=()
command -v qemu-aarch64 >/dev/null || need+=(qemu-user)
command -v aarch64-linux-gnu-g++ >/dev/null || need+=(g++-aarch64-linux-gnu)
command -v aarch64-linux-gnu-objdump >/dev/null || need+=(binutils-aarch64-linux-gnu)
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
if [ ${#need[@]} -gt 0 ]; then
    log "installing ${need[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
