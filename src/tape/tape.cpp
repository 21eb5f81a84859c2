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

void put_operand(std::string& s, Operand o) {
    s += is_input(o) ? 'i' : 's';
    put(s, operand_index(o));
}

// Operand texts of pool[start .. start+count] joined by ", ".
void put_list(std::string& s, const Tape& t, std::size_t start, std::size_t count) {
    check_range("tape pool", start, count, t.pool.size());
    for (std::size_t i = 0; i < count; ++i) {
        if (i) s += ", ";
        put_operand(s, t.pool[start + i]);
    }
}

void put_range(std::string& s, char prefix, std::size_t base, std::size_t len) {
    s += prefix;
    put(s, base);
    s += "..";
    s += prefix;
    put(s, base + len);
}

void put_block(std::string& s, const Tape& t, Block b, std::size_t len) {
    switch (b.kind) {
        case BlockKind::InputRange: put_range(s, 'i', b.base, len); return;
        case BlockKind::SlotRange: put_range(s, 's', b.base, len); return;
        case BlockKind::List:
            s += '[';
            put_list(s, t, b.base, len);
            s += ']';
            return;
    }
    fail("tape block of unknown kind");
}

void put_role(std::string& s, std::uint32_t code) {
    static constexpr std::string_view kNames[] = {"=", "-", "+", "neg"};
    s += kNames[code & 3u];
    if (code & kRoleRefBit) {
        s += '#';
        put(s, code >> 3);
    }
}

// Empty without an accumulator, else " acc <source> [<roles>]".
void put_accumulator(std::string& s, const Tape& t, const Accumulator& acc, std::size_t len) {
    if (acc.kind == kAccNone) return;
    s += " acc ";
    switch (acc.kind) {
        case kAccNoSource: s += '-'; break;
        case static_cast<std::int32_t>(BlockKind::InputRange): put_range(s, 'i', acc.base, len); break;
        case static_cast<std::int32_t>(BlockKind::SlotRange): put_range(s, 's', acc.base, len); break;
        case static_cast<std::int32_t>(BlockKind::List):
            check_range("tape pool", acc.base, len, t.pool.size());
            s += "pool";
            put(s, acc.base);
            s += '[';
            put(s, len);
            s += ']';
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
    const std::size_t m = k.m, kk = k.k, n = k.n, batch = k.batch;
    if (kind == InstrKind::Gemv) {
        s += "Gemv(";
        put(s, m);
        s += 'x';
        put(s, n);
        s += ' ';
        put_block(s, t, k.a, size_mul(m, n));
        s += ", ";
        put_block(s, t, k.b, n);
        s += ')';
        put_accumulator(s, t, k.acc, m);
        s += " -> ";
        put(s, m);
    } else if (kind == InstrKind::Gemm) {
        s += "Gemm(";
        put(s, m);
        s += 'x';
        put(s, kk);
        s += ' ';
        put_block(s, t, k.a, size_mul(m, kk));
        s += ", ";
        put(s, n);
        s += 'x';
        put(s, kk);
        s += ' ';
        put_block(s, t, k.b, size_mul(n, kk));
        s += ')';
        put_accumulator(s, t, k.acc, size_mul(m, n));
        s += " -> ";
        put(s, size_mul(m, n));
    } else if (batch > 1) {
        s += "SolveBatch(";
        put(s, batch);
        s += " of ";
        put(s, n);
        s += 'x';
        put(s, n);
        s += ' ';
        put_block(s, t, k.a, size_mul(batch, size_mul(n, n)));
        s += ", ";
        put(s, kk);
        s += " rhs ";
        put_block(s, t, k.b, size_mul(batch, size_mul(kk, n)));
        s += ") -> ";
        put(s, size_mul(batch, size_mul(kk, n)));
    } else {
        // One system (a batch of 0 lists like one).
        const bool single = kk == 1 && batch == 1;
        s += single ? "Solve(" : "SolveMany(";
        put(s, n);
        s += 'x';
        put(s, n);
        s += ' ';
        put_block(s, t, k.a, size_mul(n, n));
        s += ", ";
        if (!single) {
            put(s, kk);
            s += " rhs ";
        }
        put_block(s, t, k.b, size_mul(kk, n));
        s += ") -> ";
        put(s, size_mul(kk, n));
    }
}

void put_instr(std::string& s, const Tape& t, const Instr& in) {
    auto two = [&](const char* name) {
        s += name;
        s += '(';
        put_operand(s, in.a);
        s += ", ";
        put_operand(s, in.b());
        s += ')';
    };
    auto three = [&](const char* name, Operand x, Operand y, Operand z) {
        s += name;
        s += '(';
        put_operand(s, x);
        s += ", ";
        put_operand(s, y);
        s += ", ";
        put_operand(s, z);
        s += ')';
    };
    auto named = [&](const char* name, std::string_view op) {
        s += name;
        s += '(';
        s += op;
        s += ", ";
        put_operand(s, in.a);
        s += ", ";
        put_operand(s, in.b());
        s += ')';
    };
    switch (in.kind) {
        case InstrKind::Const:
            s += "Const(";
            put_number(s, in.value);
            s += ')';
            return;
        case InstrKind::Add: return two("Add");
        case InstrKind::Mul: return two("Mul");
        case InstrKind::Sub: return two("Sub");
        case InstrKind::MulAdd: return three("MulAdd", in.a, in.b(), in.c());
        case InstrKind::Select: return three("Select", in.a, in.b(), in.c());
        case InstrKind::Neg:
            s += "Neg(";
            put_operand(s, in.a);
            s += ')';
            return;
        case InstrKind::Powi:
            s += "Powi(";
            put_operand(s, in.a);
            s += ", ";
            put_signed(s, in.powi_n());
            s += ')';
            return;
        case InstrKind::Unary:
            s += "Unary(";
            s += variant_name(static_cast<UnaryOp>(in.op));
            s += ", ";
            put_operand(s, in.a);
            s += ')';
            return;
        case InstrKind::Binary: return named("Binary", variant_name(static_cast<BinaryOp>(in.op)));
        case InstrKind::Cmp: return named("Cmp", variant_name(static_cast<CmpOp>(in.op)));
        case InstrKind::Reduce:
            s += "Reduce(";
            s += variant_name(static_cast<ReduceOp>(in.op));
            s += ", [";
            put_list(s, t, in.a, in.b());
            s += "])";
            return;
        case InstrKind::Dot:
            check_range("tape pool", in.a, 2 * std::size_t{in.b()}, t.pool.size());
            s += "Dot([";
            put_list(s, t, in.a, in.b());
            s += "], [";
            put_list(s, t, std::size_t{in.a} + in.b(), in.b());
            s += "])";
            return;
        case InstrKind::Gemv:
        case InstrKind::Gemm:
        case InstrKind::Solve:
            check_index("tape kernels", in.a, t.kernels.size());
            put_kernel(s, t, in.kind, t.kernels[in.a]);
            return;
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
        s += ": s";
        put(s, dests[i]);
        s += " <- ";
        put_instr(s, *this, instrs[i]);
        s += '\n';
    }
    s += "outputs [";
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        if (i) s += ", ";
        put_operand(s, outputs[i]);
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
