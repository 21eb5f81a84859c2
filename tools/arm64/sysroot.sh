#!/usr/bin/env bash
# Makes the arm64 sysroot: Debian's arm64 packages of the Python interpreter,
# its headers, numpy, pytest, hypothesis and GoogleTest, unpacked into
# $ARM64_CACHE/root. qemu-aarch64 runs the interpreter from there, and the
# cross build compiles against its headers and links its GoogleTest.
#
# Idempotent: a stamp records what the sysroot was made from, and a sysroot
# whose stamp matches is kept as it is. A new one is made beside the old and
# swapped in only when complete, so an interrupted run leaves nothing half
# made behind.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

stamp_text() {
    printf 'version %s\npackages %s\nexclude %s\n' \
        "$ARM64_SYSROOT_VERSION" "${ARM64_PACKAGES[*]}" "$ARM64_EXCLUDE"
}

# One maker at a time per cache (parallel runs share it).
mkdir -p "$ARM64_CACHE"
exec 9>"$ARM64_CACHE/lock"
flock 9

if [ -f "$ARM64_CACHE/root.stamp" ] && [ "$(cat "$ARM64_CACHE/root.stamp")" = "$(stamp_text)" ] \
        && [ -x "$ARM64_PYTHON" ] && [ -x "$ARM64_CACHE/bin/python3.11" ]; then
    log "sysroot up to date: $ARM64_SYSROOT"
    exit 0
fi

command -v qemu-aarch64 >/dev/null || die "qemu-aarch64 missing (run host-tools.sh first)"

# An arm64 package list of our own, beside the machine's, from the machine's
# configured sources; the machine's own package state is not touched.
A="$ARM64_CACHE/apt"
mkdir -p "$A/lists/partial" "$A/cache/archives/partial" "$ARM64_CACHE/debs"
touch "$A/status"
apt_opts=(-oAPT::Architecture=arm64 -oAPT::Architectures=arm64
          -oDir::State::Lists="$A/lists" -oDir::Cache="$A/cache" -oDir::State::status="$A/status"
          -oAPT::Sandbox::User=root -qq)

log "updating the arm64 package lists"
apt-get "${apt_opts[@]}" update

mapfile -t wanted < <(apt-cache "${apt_opts[@]}" depends --recurse --no-recommends --no-suggests \
        --no-conflicts --no-breaks --no-replaces --no-enhances "${ARM64_PACKAGES[@]}" \
        | grep -E '^[a-zA-Z0-9]' | sort -u | grep -Ev "$ARM64_EXCLUDE")
[ ${#wanted[@]} -gt 0 ] || die "no arm64 packages resolved"
log "${#wanted[@]} packages"

# Downloaded .deb files are kept: apt-get download skips those already here.
(cd "$ARM64_CACHE/debs" && apt-get "${apt_opts[@]}" download "${wanted[@]}")

new="$ARM64_CACHE/root.new"
rm -rf "$new"
mkdir -p "$new"
for p in "${wanted[@]}"; do
    # The newest downloaded file of the package (older versions may linger).
    deb=$(ls -t "$ARM64_CACHE/debs/${p}_"*_{arm64,all}.deb 2>/dev/null | head -n1 || true)
    [ -n "$deb" ] || die "no downloaded file for $p"
    dpkg-deb -x "$deb" "$new"
done

# Links that the packages' install scripts would have made: numpy finds BLAS
# and LAPACK through them.
lib="$new/usr/lib/aarch64-linux-gnu"
ln -sf blas/libblas.so.3 "$lib/libblas.so.3"
ln -sf lapack/liblapack.so.3 "$lib/liblapack.so.3"
# /usr/bin/python3 is a link made by python3's package; keep it relative.
[ -e "$new/usr/bin/python3" ] || ln -s python3.11 "$new/usr/bin/python3"

rm -rf "$ARM64_SYSROOT"
mv "$new" "$ARM64_SYSROOT"

# Compile the installed modules once, so every later start of the emulated
# interpreter loads bytecode instead of compiling numpy and pytest again.
log "compiling the sysroot's Python modules"
arm64_python -m compileall -q -j0 "$ARM64_SYSROOT/usr/lib/python3.11" \
    "$ARM64_SYSROOT/usr/lib/python3/dist-packages" >/dev/null || true

arm64_python -c 'import numpy, pytest, hypothesis, sysconfig
assert sysconfig.get_config_var("SOABI") == "cpython-311-aarch64-linux-gnu"' \
    || die "the sysroot's interpreter cannot import numpy, pytest and hypothesis"

# A host-runnable stand-in for the arm64 interpreter: the cross build's
# CMake asks it for the target's include directory and module suffix.
mkdir -p "$ARM64_CACHE/bin"
cat > "$ARM64_CACHE/bin/python3.11" <<WRAP
#!/bin/sh
exec env -u PYTHONHOME PYTHONNOUSERSITE=1 qemu-aarch64 -L "$ARM64_SYSROOT" "$ARM64_PYTHON" "\$@"
WRAP
chmod +x "$ARM64_CACHE/bin/python3.11"

stamp_text > "$ARM64_CACHE/root.stamp"
log "sysroot ready: $ARM64_SYSROOT ($(du -sh "$ARM64_SYSROOT" | cut -f1))"
