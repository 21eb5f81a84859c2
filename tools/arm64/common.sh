# Shared settings of the AArch64 emulation scripts; sourced, not run.
#
# Everything downloaded or unpacked lives in one cache directory outside the
# checkout (VANTU_ARM64_CACHE, default /var/cache/vantu-arm64), so repeated
# runs, and runs from other clones, reuse it.

VANTU_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
ARM64_TOOLS="$VANTU_ROOT/tools/arm64"
ARM64_CACHE="${VANTU_ARM64_CACHE:-/var/cache/vantu-arm64}"
ARM64_SYSROOT="$ARM64_CACHE/root"
ARM64_BUILD="${VANTU_ARM64_BUILD:-$VANTU_ROOT/build/arm64}"
ARM64_PYTHON="$ARM64_SYSROOT/usr/bin/python3.11"

# The Debian arm64 packages the sysroot is made from (their dependencies come
# along): the interpreter with its headers, the test tools, GoogleTest.
ARM64_PACKAGES=(python3.11 libpython3.11-dev python3-numpy python3-pytest python3-hypothesis
                libgtest-dev libstdc++6 libgcc-s1)

# Dependencies left out of the sysroot. The C library's own headers would
# shadow the cross compiler's; the package tools and perl are only needed to
# configure packages, which we never do; numpy uses the reference BLAS and
# LAPACK (libblas3, liblapack3), so the optimised alternatives are not needed.
ARM64_EXCLUDE='^(libc6-dev|libc-dev-bin|linux-libc-dev|libcrypt-dev|libnsl-dev|libtirpc-dev|rpcsvc-proto|libexpat1-dev|zlib1g-dev|perl|perl-base|perl-modules-[0-9.]+|libperl[0-9.]+|dpkg|tar|install-info|debconf|cdebconf|libdebian-installer4|libnewt[0-9.]+|libslang2|libtextwrap1|tzdata|libatlas3-base|libblis4-.*|libopenblas0-.*)$'

# Bump when the way the sysroot is made changes, so caches are rebuilt.
ARM64_SYSROOT_VERSION=1

# Log lines carry the seconds since the entry script started (ARM64_T0).
export ARM64_T0="${ARM64_T0:-$(date +%s)}"
log() { printf '[arm64 %4ss] %s\n' "$(( $(date +%s) - ARM64_T0 ))" "$*" >&2; }
die() { printf '[arm64] error: %s\n' "$*" >&2; exit 1; }

# qemu-aarch64 with the sysroot as the library root; arguments follow.
arm64_run() { qemu-aarch64 -L "$ARM64_SYSROOT" "$@"; }

# The emulated interpreter, isolated from the host's Python settings.
arm64_python() {
    env -u PYTHONHOME -u PYTHONSTARTUP PYTHONNOUSERSITE=1 PYTHONDONTWRITEBYTECODE=1 \
        qemu-aarch64 -L "$ARM64_SYSROOT" "$ARM64_PYTHON" "$@"
}
