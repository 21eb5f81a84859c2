// The tape listing and the sizes derived from kernel instructions.
#include "tape/tape.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>

#include "graph/error.hpp"

namespace vantu {

namespace {

std::size_t sat_add(std::size_t a, std::size_t b) {
    std::size_t r;
    if (__builtin_add_overflow(a, b, &r)) return std::numeric_limits<std::size_t>::max();
    return r;
}

void put(std::string& s, std::uint64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    s.append(buf, r.ptr);
}

void put_signed(std::string& s, std::int64_t v) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    s.append(buf, r.ptr);
}

// The shortest decimal that reads back to the same double, in plain
// notation: no exponent, integral values without a fraction.
void put_number(std::string& s, double v) {
    if (std::isnan(v)) {
        s += "NaN";
        return;
    }
    if (std::isinf(v)) {
        s += v > 0 ? "inf" : "-inf";
        return;
    }
    // Scientific form gives the shortest round-trip digits as d[.ddd]e±XX.
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
    if (sci.front() == '-') {
        s += '-';
        sci.remove_prefix(1);
    }
    const std::size_t e_pos = sci.find('e');
    char digits[32];
    std::size_t nd = 0;
    for (char ch : sci.substr(0, e_pos))
        if (ch != '.') digits[nd++] = ch;
    int exp10 = 0;
    std::from_chars(sci.data() + e_pos + 1 + (sci[e_pos + 1] == '+'), sci.data() + sci.size(), exp10);
    // The value is d0.d1d2... x 10^exp10.
    if (exp10 >= 0) {
        const std::size_t int_digits = static_cast<std::size_t>(exp10) + 1;
        if (int_digits >= nd) {
            s.append(digits, nd);
            s.append(int_digits - nd, '0');
        } else {
            s.append(digits, int_digits);
            s += '.';
            s.append(digits + int_digits, nd - int_digits);
        }
    } else {
        s += "0.";
        s.append(static_cast<std::size_t>(-exp10 - 1), '0');
        s.append(digits, nd);
    }
}

// Pieces of listing text, appended by cat() in order.
struct Op {
    Operand o;
};
struct OpList {
    const Tape& t;
    std::size_t start, count;
};
struct Blk {
    const Tape& t;
    Block b;
    std::size_t len;
};
struct Range {
    char prefix;
    std::size_t base, len;
};

void add(std::string& s, std::string_view v) { s += v; }
void add(std::string& s, const char* v) { s += v; }
void add(std::string& s, char c) { s += c; }
void add(std::string& s, std::uint64_t v) { put(s, v); }
void add(std::string& s, std::uint32_t v) { put(s, v); }
void add(std::string& s, std::int32_t v) { put_signed(s, v); }
void add(std::string& s, Op x) {
    s += is_input(x.o) ? 'i' : 's';
    put(s, operand_index(x.o));
}
// "i{}..i{}" or "s{}..s{}", end exclusive.
void add(std::string& s, Range r) {
    s += r.prefix;
    put(s, r.base);
    s += "..";
    s += r.prefix;
    put(s, r.base + r.len);
}
// Operand texts of pool[start .. start+count] joined by ", ".
void add(std::string& s, const OpList& l) {
    check_range("tape pool", l.start, l.count, l.t.pool.size());
    for (std::size_t i = 0; i < l.count; ++i) {
        if (i) s += ", ";
        add(s, Op{l.t.pool[l.start + i]});
    }
}
void add(std::string& s, const Blk& x) {
    switch (x.b.kind) {
        case BlockKind::InputRange: return add(s, Range{'i', x.b.base, x.len});
        case BlockKind::SlotRange: return add(s, Range{'s', x.b.base, x.len});
        case BlockKind::List:
            s += '[';
            add(s, OpList{x.t, x.b.base, x.len});
            s += ']';
            return;
    }
    fail("tape block of unknown kind");
}

template <class... Parts>
void cat(std::string& s, const Parts&... parts) {
    (add(s, parts), ...);
}

void put_role(std::string& s, std::uint32_t code) {
    static constexpr std::string_view kNames[] = {"=", "-", "+", "neg"};
    s += kNames[code & 3u];
    if (code & kRoleRefBit) cat(s, '#', code >> 3);
}

// Empty without an accumulator, else " acc <source> [<roles>]".
void put_accumulator(std::string& s, const Tape& t, const Accumulator& acc, std::size_t len) {
    if (acc.kind == kAccNone) return;
    s += " acc ";
    switch (acc.kind) {
        case kAccNoSource: s += '-'; break;
        case static_cast<std::int32_t>(BlockKind::InputRange): add(s, Range{'i', acc.base, len}); break;
        case static_cast<std::int32_t>(BlockKind::SlotRange): add(s, Range{'s', acc.base, len}); break;
        case static_cast<std::int32_t>(BlockKind::List):
            check_range("tape pool", acc.base, len, t.pool.size());
            cat(s, "pool", acc.base, '[', std::uint64_t{len}, ']');
            break;
        default: fail("tape accumulator of unknown kind");
    }
    check_range("tape pool", acc.roles, len, t.pool.size());
    s += " [";
    for (std::size_t j = 0; j < len; ++j) {
        if (j) s += ',';
        put_role(s, t.pool[acc.roles + j]);
    }
    s += ']';
}

void put_kernel(std::string& s, const Tape& t, InstrKind kind, const KernelInstr& k) {
    const std::uint64_t m = k.m, kk = k.k, n = k.n, batch = k.batch;
    if (kind == InstrKind::Gemv) {
        cat(s, "Gemv(", m, 'x', n, ' ', Blk{t, k.a, size_mul(m, n)}, ", ", Blk{t, k.b, n}, ')');
        put_accumulator(s, t, k.acc, m);
        cat(s, " -> ", m);
    } else if (kind == InstrKind::Gemm) {
        const std::uint64_t mn = size_mul(m, n);
        cat(s, "Gemm(", m, 'x', kk, ' ', Blk{t, k.a, size_mul(m, kk)}, ", ", n, 'x', kk, ' ',
            Blk{t, k.b, size_mul(n, kk)}, ')');
        put_accumulator(s, t, k.acc, mn);
        cat(s, " -> ", mn);
    } else if (batch > 1) {
        const std::uint64_t out = size_mul(batch, size_mul(kk, n));
        cat(s, "SolveBatch(", batch, " of ", n, 'x', n, ' ', Blk{t, k.a, size_mul(batch, size_mul(n, n))}, ", ", kk,
            " rhs ", Blk{t, k.b, out}, ") -> ", out);
    } else if (kk == 1 && batch == 1) {
        cat(s, "Solve(", n, 'x', n, ' ', Blk{t, k.a, size_mul(n, n)}, ", ", Blk{t, k.b, n}, ") -> ", n);
    } else {
        // Several right-hand sides of one system; a batch of 0 lists like one.
        const std::uint64_t out = size_mul(kk, n);
        cat(s, "SolveMany(", n, 'x', n, ' ', Blk{t, k.a, size_mul(n, n)}, ", ", kk, " rhs ", Blk{t, k.b, out},
            ") -> ", out);
    }
}

void put_instr(std::string& s, const Tape& t, const Instr& in) {
    const Op a{in.a}, b{in.b()}, c{in.c()};
    switch (in.kind) {
        case InstrKind::Const:
            s += "Const(";
            put_number(s, in.value);
            s += ')';
            return;
        case InstrKind::Add: return cat(s, "Add(", a, ", ", b, ')');
        case InstrKind::Mul: return cat(s, "Mul(", a, ", ", b, ')');
        case InstrKind::Sub: return cat(s, "Sub(", a, ", ", b, ')');
        case InstrKind::MulAdd: return cat(s, "MulAdd(", a, ", ", b, ", ", c, ')');
        case InstrKind::Select: return cat(s, "Select(", a, ", ", b, ", ", c, ')');
        case InstrKind::Neg: return cat(s, "Neg(", a, ')');
        case InstrKind::Powi: return cat(s, "Powi(", a, ", ", in.powi_n(), ')');
        case InstrKind::Unary: return cat(s, "Unary(", variant_name(static_cast<UnaryOp>(in.op)), ", ", a, ')');
        case InstrKind::Binary:
            return cat(s, "Binary(", variant_name(static_cast<BinaryOp>(in.op)), ", ", a, ", ", b, ')');
        case InstrKind::Cmp: return cat(s, "Cmp(", variant_name(static_cast<CmpOp>(in.op)), ", ", a, ", ", b, ')');
        case InstrKind::Reduce:
            return cat(s, "Reduce(", variant_name(static_cast<ReduceOp>(in.op)), ", [", OpList{t, in.a, in.b()},
                       "])");
        case InstrKind::Dot:
            check_range("tape pool", in.a, 2 * std::size_t{in.b()}, t.pool.size());
            return cat(s, "Dot([", OpList{t, in.a, in.b()}, "], [", OpList{t, std::size_t{in.a} + in.b(), in.b()},
                       "])");
        case InstrKind::Gemv:
        case InstrKind::Gemm:
        case InstrKind::Solve:
            check_index("tape kernels", in.a, t.kernels.size());
            return put_kernel(s, t, in.kind, t.kernels[in.a]);
    }
    fail("tape instruction of unknown kind");
}

}  // namespace

std::string Tape::dump() const {
    std::string s;
    s.reserve(instrs.size() * 32 + 16);
    for (std::size_t i = 0; i < instrs.size(); ++i) {
        check_index("tape dests", i, dests.size());
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, i);
        const std::size_t w = static_cast<std::size_t>(r.ptr - buf);
        if (w < 5) s.append(5 - w, ' ');
        s.append(buf, r.ptr);
        cat(s, ": s", dests[i], " <- ");
        put_instr(s, *this, instrs[i]);
        s += '\n';
    }
    s += "outputs [";
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        if (i) s += ", ";
        add(s, Op{outputs[i]});
    }
    s += "]\n";
    return s;
}

std::size_t kernel_out_len(InstrKind kind, const KernelInstr& k) {
    switch (kind) {
        case InstrKind::Gemv: return k.m;
        case InstrKind::Gemm: return size_mul(k.m, k.n);
        case InstrKind::Solve: return size_mul(k.batch, size_mul(k.k, k.n));
        default: return 1;
    }
}

std::size_t solve_workspace(std::size_t n, std::size_t nrhs) {
    const std::size_t width = sat_add(n, nrhs);
    std::size_t len = size_mul(n, width);
    if (n > 64) {
        const std::size_t nb = n < 512 ? 16 : 32;
        len = sat_add(len, sat_add(size_mul(nb, sat_add(width, 4)), size_mul(4, width)));
    }
    return len;
}

}  // namespace vantu
