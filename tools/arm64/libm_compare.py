"""Compares two result files of libm_survey (x86-64 and AArch64) operand by
operand and prints, per operation, how many results differ and by how many
units in the last place. NaN against NaN counts as equal (the sign and payload
of a NaN made by an invalid operation differ between the architectures).

    python3 libm_compare.py OPS_HPP X86_FILE ARM_FILE
"""

import re
import struct
import sys

RECORD = struct.Struct("<BB6xQQQ")


def op_names(ops_hpp):
    text = open(ops_hpp).read()
    names = {}
    for kind, macro in ((0, "VANTU_UNARY_OPS"), (1, "VANTU_BINARY_OPS")):
        block = re.search(r"#define %s\(X\)(.*?)\n\n" % macro, text, re.S).group(1)
        names[kind] = re.findall(r'X\((\w+),\s*"([^"]*)"', block)
    return names


def is_nan(bits):
    return (bits >> 52) & 0x7FF == 0x7FF and bits & ((1 << 52) - 1) != 0


def ordered(bits):
    """Maps a double's bits to an integer that is monotonic in its value."""
    return -(bits & ~(1 << 63)) if bits >> 63 else bits


def as_float(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def main(ops_hpp, x86_path, arm_path):
    names = op_names(ops_hpp)
    x86 = open(x86_path, "rb").read()
    arm = open(arm_path, "rb").read()
    if len(x86) != len(arm):
        sys.exit("the two surveys differ in length")
    stats = {}
    for off in range(0, len(x86), RECORD.size):
        code, kind, a, b, rx = RECORD.unpack_from(x86, off)
        code2, kind2, a2, b2, ra = RECORD.unpack_from(arm, off)
        if (code, kind, a, b) != (code2, kind2, a2, b2):
            sys.exit("the two surveys evaluated different operands")
        s = stats.setdefault((kind, code), {"n": 0, "diff": 0, "nan_sign": 0, "ulps": {}, "example": None})
        s["n"] += 1
        if rx == ra:
            continue
        if is_nan(rx) and is_nan(ra):
            s["nan_sign"] += 1
            continue
        s["diff"] += 1
        if is_nan(rx) or is_nan(ra):
            u = "nan"
        else:
            u = abs(ordered(rx) - ordered(ra))
        s["ulps"][u] = s["ulps"].get(u, 0) + 1
        rank = float("inf") if u == "nan" else u
        if s["example"] is None or rank > s["example"][0]:
            s["example"] = (rank, u, a, b, rx, ra)
    print("%-14s %8s %8s %9s  %s" % ("operation", "operands", "differ", "nan-bits", "ulps (count), example"))
    for (kind, code), s in sorted(stats.items()):
        name = names[kind][code][1]
        detail = ""
        if s["diff"]:
            ulps = ", ".join("%s (%d)" % (u, c) for u, c in sorted(s["ulps"].items(), key=str))
            _, u, a, b, rx, ra = s["example"]
            args = repr(as_float(a)) if kind == 0 else "%r, %r" % (as_float(a), as_float(b))
            detail = "%s; %s(%s): x86 %s, arm %s" % (ulps, name, args, float.hex(as_float(rx)), float.hex(as_float(ra)))
        print("%-14s %8d %8d %9d  %s" % (name, s["n"], s["diff"], s["nan_sign"], detail))


if __name__ == "__main__":
    main(*sys.argv[1:])
