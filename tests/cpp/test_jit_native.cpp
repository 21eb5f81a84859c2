// Native code against the interpreter, bit for bit. The execution tests need
// an AArch64 host (or the emulator) and skip elsewhere; the code-shape tests
// run everywhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "eval/interp.hpp"
#include "eval/pool.hpp"
#include "graph/error.hpp"
#include "graph/graph.hpp"
#include "graph/semantics.hpp"
#include "jit/aarch64.hpp"
#include "jit/host.hpp"
#include "jit/ir.hpp"
#include "jit/native.hpp"
#include "tape/compile.hpp"
#include "test_jit_tapes.hpp"

using namespace vantu;
using namespace jit_test;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

template <class F>
std::string failure_of(F f) {
    try {
        f();
    } catch (const InternalError& e) {
        return e.what();
    }
    return "no failure";
}

std::string hex(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%a (0x%016llx)", v, static_cast<unsigned long long>(f64_bits(v)));
    return buf;
}

// Every slot the tape writes becomes an output, so every intermediate value
// is compared, not only the final ones.
void output_every_written_slot(Tape& t) {
    std::vector<bool> written(t.n_slots, false);
    for (std::size_t i = 0; i < t.instrs.size(); ++i) {
        std::size_t len = 1;
        const Instr& in = t.instrs[i];
        if (in.kind == InstrKind::Gemv || in.kind == InstrKind::Gemm || in.kind == InstrKind::Solve)
            len = kernel_out_len(in.kind, t.kernels[in.a]);
        for (std::size_t s = 0; s < len; ++s) written[t.dests[i] + s] = true;
    }
    for (std::uint32_t s = 0; s < t.n_slots; ++s)
        if (written[s]) t.outputs.push_back(s);
}

std::vector<double> run_interp(const Tape& t, const std::vector<double>& inputs) {
    std::vector<double> work(t.work_len() + 1, 0.0), out(t.outputs.size());
    eval(t, inputs, work, out);
    return out;
}

// Inputs padded with NaN to the code's input width, as the callers do.
std::vector<double> run_native(const NativeCode& code, std::vector<double> inputs) {
    if (inputs.size() < code.input_width) inputs.resize(code.input_width, kNaN);
    std::vector<double> work(code.work_len, 0.0), out(code.n_outputs());
    eval_native(code, inputs, work, out);
    return out;
}

std::unique_ptr<NativeCode> compile_or_skip(const Tape& t) {
    NativeCompile c = compile_native_code(t);
    if (c.error) return nullptr;
    return std::move(c.code);
}

#define NATIVE_OR_SKIP(var, tape)                                                                 \
    auto var = compile_or_skip(tape);                                                             \
    if (!var) {                                                                                   \
        NativeCompile again = compile_native_code(tape);                                          \
        ASSERT_EQ(again.error->kind, NativeError::Kind::Unsupported) << debug_form(*again.error); \
        GTEST_SKIP() << "native code runs on AArch64 only";                                       \
    }

// Same bits, or NaN on both sides. Which NaN an operation with two NaN
// operands returns depends on their order, and the C++ compiler may swap
// the operands of an addition or product in the interpreter's folds, so
// the sign and payload of a NaN result are not reproducible.
bool same_value(double a, double b) { return f64_bits(a) == f64_bits(b) || (a != a && b != b); }

// The first output that differs, or -1.
long first_difference(const Tape& t, const NativeCode& code, const std::vector<double>& inputs) {
    std::vector<double> want = run_interp(t, inputs), got = run_native(code, inputs);
    for (std::size_t i = 0; i < want.size(); ++i)
        if (!same_value(got[i], want[i])) return static_cast<long>(i);
    return -1;
}

// The last instructions of a short prefix of the tape that still differs,
// found by bisection (a difference usually persists once it appears).
std::string shortest_failing_prefix(const Tape& t, const std::vector<double>& inputs) {
    auto prefix = [&](std::size_t n) {
        Tape p = t;
        p.instrs.resize(n);
        p.dests.resize(n);
        p.outputs.clear();
        output_every_written_slot(p);
        return p;
    };
    auto differs = [&](std::size_t n) {
        Tape p = prefix(n);
        NativeCompile c = compile_native_code(p);
        return c.code && first_difference(p, *c.code, inputs) >= 0;
    };
    std::size_t lo = 0, hi = t.instrs.size();  // prefix lo agrees, prefix hi differs
    if (!differs(hi)) return "(no prefix differs)";
    while (hi - lo > 1) {
        std::size_t mid = lo + (hi - lo) / 2;
        (differs(mid) ? hi : lo) = mid;
    }
    std::string listing = prefix(hi).dump();
    listing.resize(listing.rfind("outputs ["));
    std::size_t at = listing.size();
    for (int lines = 0; lines < 6 && at > 0; ++lines) at = listing.rfind('\n', at - 1);
    return listing.substr(at == std::string::npos ? 0 : at);
}

// Interpreter and native results agree on every input vector.
void expect_same(const Tape& t, const NativeCode& code, const std::vector<std::vector<double>>& cases,
                 const std::string& what) {
    for (const auto& inputs : cases) {
        long i = first_difference(t, code, inputs);
        if (i < 0) continue;
        double want = run_interp(t, inputs)[i], got = run_native(code, inputs)[i];
        FAIL() << what << ": output " << i << " (" << (is_input(t.outputs[i]) ? "i" : "s")
               << operand_index(t.outputs[i]) << ") native " << hex(got) << " interpreter " << hex(want)
               << "\nshortest failing prefix:\n"
               << shortest_failing_prefix(t, inputs);
    }
}

// Input vectors of `n` values: ordinary numbers of both signs and sizes, and
// every special value in every position.
std::vector<std::vector<double>> input_cases(std::size_t n) {
    const double specials[] = {0.0, -0.0, kNaN, -kNaN, kInf, -kInf, 1.0, -1.0, 0.5, -2.5, 3.75, 1e300, -1e-300, 81.0,
                               -7.0, 1e-310, 100.0, 0.1};
    const std::size_t ns = sizeof specials / sizeof specials[0];
    std::vector<std::vector<double>> cases;
    for (std::size_t shift = 0; shift < ns; ++shift) {
        std::vector<double> v(n);
        for (std::size_t i = 0; i < n; ++i) v[i] = specials[(i * 7 + shift) % ns];
        cases.push_back(v);
    }
    std::uint64_t s = 12345;
    for (int r = 0; r < 6; ++r) {
        std::vector<double> v(n);
        for (double& x : v) {
            s = s * 6364136223846793005ull + 1442695040888963407ull;
            x = (static_cast<double>(s >> 11) * 0x1.0p-53 - 0.5) * 8.0;
        }
        cases.push_back(v);
    }
    return cases;
}

// -- Programs that use every instruction kind and host function ----------

struct Program {
    const char* name;
    std::size_t n_inputs;
    std::function<void(TapeBuilder&)> build;
};

std::vector<Operand> inputs_list(std::uint32_t from, std::uint32_t count) {
    std::vector<Operand> v;
    for (std::uint32_t i = 0; i < count; ++i) v.push_back(in(from + i));
    return v;
}

std::vector<std::uint32_t> role_codes(std::size_t len, std::uint32_t salt) {
    std::vector<std::uint32_t> codes(len);
    for (std::size_t e = 0; e < len; ++e) {
        std::uint32_t c = static_cast<std::uint32_t>((e * 5 + salt) % 4);
        if ((e + salt) % 3 == 0 && c != kRoleKeep && c != kRoleNeg)
            c |= kRoleRefBit | static_cast<std::uint32_t>(((e * 7 + salt) % len) << 3);
        codes[e] = c;
    }
    return codes;
}

const std::vector<Program>& programs() {
    static const std::vector<Program> table = {
        {"arithmetic", 3,
         [](TapeBuilder& b) {
             b.op(InstrKind::Add, 0, in(0), in(1));
             b.op(InstrKind::Mul, 1, 0, in(2));
             b.op(InstrKind::MulAdd, 2, in(0), in(1), 1);
             b.op(InstrKind::Sub, 3, 2, in(0));
             b.op(InstrKind::Neg, 4, 3);
             b.op(InstrKind::Sub, 4, 4, 4);  // reads and writes the same slot
             b.constant(0.0, 5);
             b.constant(-0.0, 6);
             b.constant(1.0, 7);
             b.constant(0.1, 8);
             b.constant(kNaN, 9);
             b.constant(-kInf, 10);
         }},
        {"powi", 2,
         [](TapeBuilder& b) {
             const std::int32_t exps[] = {2, -1, 3, 0, 1, -2, 7, -5, 31, INT_MIN, INT_MAX};
             std::uint32_t d = 0;
             for (std::int32_t e : exps) {
                 b.put(Instr::powi(in(0), e), d++);
                 b.put(Instr::powi(in(1), e), d++);
             }
         }},
        {"every unary operation", 2,
         [](TapeBuilder& b) {
             for (std::uint8_t op = 0; op < kUnaryOps; ++op) {
                 b.op(InstrKind::Unary, 2u * op, in(0), 0, 0, op);
                 b.op(InstrKind::Unary, 2u * op + 1, in(1), 0, 0, op);
             }
         }},
        {"binary and comparisons", 2,
         [](TapeBuilder& b) {
             std::uint32_t d = 0;
             for (std::uint8_t op = 0; op < kBinaryOps; ++op) {
                 b.op(InstrKind::Binary, d++, in(0), in(1), 0, op);
                 b.op(InstrKind::Binary, d++, in(1), in(0), 0, op);
             }
             for (std::uint8_t op = 0; op < kCmpOps; ++op) {
                 b.op(InstrKind::Cmp, d++, in(0), in(1), 0, op);
                 b.op(InstrKind::Cmp, d++, in(1), in(1), 0, op);
             }
             b.op(InstrKind::Select, d++, in(0), in(1), 0);
             b.op(InstrKind::Select, d++, in(1), 0, in(0));
         }},
        {"reductions and dots of every length", 20,
         [](TapeBuilder& b) {
             std::uint32_t d = 0;
             for (std::uint32_t len : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 8u, 9u, 16u, 17u, 20u}) {
                 for (ReduceOp op : {ReduceOp::Sum, ReduceOp::Product, ReduceOp::Min, ReduceOp::Max})
                     b.reduce(op, d++, inputs_list(0, len));
                 if (len <= 10) b.dot(d++, inputs_list(0, len), inputs_list(10, len));
             }
             // Repeated operands and slots among inputs.
             b.reduce(ReduceOp::Sum, d, {in(0), 0, in(0), 1, in(0)});
             b.dot(d + 1, {in(3), d, in(3), 2, in(4), in(5)}, {d, in(3), 3, in(3), in(4), 0});
         }},
        {"small and large gemv with every accumulator kind", 40,
         [](TapeBuilder& b) {
             std::uint32_t d = 0;
             std::uint32_t salt = 0;
             for (std::uint32_t m : {3u, 7u, 8u, 9u}) {
                 for (std::int32_t acc : {kAccNone, kAccNoSource, 0, 1, 2}) {
                     const std::uint32_t n = 3;
                     // Source blocks: inputs 30.., a List of inputs, or slots written before.
                     std::uint32_t src_base = 0;
                     if (acc == 0) src_base = 30;
                     if (acc == 1) src_base = b.pool(inputs_list(31, m));
                     if (acc == 2) {
                         for (std::uint32_t e = 0; e < m; ++e) b.op(InstrKind::Mul, 500 + e, in(e), in(e + 1));
                         src_base = 500;
                     }
                     std::uint32_t roles = b.pool(role_codes(m, salt++));
                     Accumulator a{acc, src_base, acc == kAccNone ? 0 : roles};
                     Block ab = (salt % 2) ? inputs(0) : listed(b.pool(inputs_list(1, m * n)));
                     b.kernel(InstrKind::Gemv, gemv(m, n, ab, inputs(27), a), d);
                     d += m;
                 }
             }
         }},
        {"gemm below and above eight rows", 30,
         [](TapeBuilder& b) {
             std::uint32_t d = 0;
             for (std::uint32_t m : {3u, 8u, 10u}) {
                 for (std::int32_t acc : {kAccNone, 2, kAccNoSource}) {
                     const std::uint32_t k = 5, n = 3;
                     std::uint32_t src = 0;
                     if (acc == 2) {
                         for (std::uint32_t e = 0; e < m * n; ++e) b.op(InstrKind::Add, 900 + e, in(e % 30), in(1));
                         src = 900;
                     }
                     std::uint32_t roles = b.pool(role_codes(m * n, m + static_cast<std::uint32_t>(acc + 3)));
                     // Bt rows from a slot block written before.
                     for (std::uint32_t e = 0; e < n * k; ++e) b.op(InstrKind::Sub, 800 + e, in((e * 3) % 30), in(2));
                     b.kernel(InstrKind::Gemm, gemm(m, k, n, inputs(0), slots(800), Accumulator{acc, src, roles}), d);
                     d += m * n;
                 }
             }
         }},
        {"solves", 40,
         [](TapeBuilder& b) {
             std::uint32_t d = 0;
             struct S {
                 std::uint32_t n, k, batch;
             };
             for (S s : {S{1, 1, 1}, S{2, 1, 1}, S{3, 2, 1}, S{2, 1, 3}, S{4, 2, 2}}) {
                 std::uint32_t a_len = s.batch * s.n * s.n, b_len = s.batch * s.k * s.n;
                 Block a = listed(b.pool(inputs_list(0, a_len)));
                 b.kernel(InstrKind::Solve, solve(s.n, s.k, s.batch, a, inputs(40 - b_len)), d);
                 d += b_len;
             }
         }},
        {"small products whose lists name their own output slots", 6,
         [](TapeBuilder& b) {
             // Slots 0 .. 5 hold values; the products then write over them.
             for (std::uint32_t s = 0; s < 6; ++s) b.op(InstrKind::Mul, s, in(s), in((s + 1) % 6));
             std::uint32_t a = b.pool({1, in(0), 2, 0, in(3), 1});
             std::uint32_t src = b.pool({2, 0, 1});
             std::uint32_t roles = b.pool({kRoleAdd, kRoleSub, kRoleAdd | kRoleRefBit | (0u << 3)});
             b.kernel(InstrKind::Gemv, gemv(3, 2, listed(a), listed(b.pool({0, 2})), Accumulator{1, src, roles}), 0);
             std::uint32_t bt = b.pool({4, 3, in(1), 5});
             b.kernel(InstrKind::Gemm, gemm(1, 2, 2, listed(b.pool({3, 4})), listed(bt)), 3);
         }},
        {"singular solve", 4,
         [](TapeBuilder& b) {
             std::uint32_t a = b.pool({in(0), in(0), in(0), in(0)});
             b.kernel(InstrKind::Solve, solve(2, 1, 1, listed(a), inputs(2)), 0);
         }},
    };
    return table;
}

}  // namespace

TEST(JitNative, EveryKindMatchesTheInterpreter) {
    for (const Program& p : programs()) {
        TapeBuilder b;
        b.t.n_inputs = p.n_inputs;
        p.build(b);
        output_every_written_slot(b.t);
        b.t.outputs.push_back(in(0));
        NATIVE_OR_SKIP(code, b.t);
        expect_same(b.t, *code, input_cases(p.n_inputs), p.name);
    }
}

// A product and a sum whose exact value differs from the rounded one: a
// fused multiply-add anywhere would give -2^-60 instead of 0.
TEST(JitNative, ProductsAreRoundedBeforeTheyAreAdded) {
    TapeBuilder b;
    b.op(InstrKind::MulAdd, 0, in(0), in(1), in(2));
    b.dot(1, {in(0), in(3)}, {in(1), in(4)});
    b.outputs({0, 1});
    NATIVE_OR_SKIP(code, b.t);
    const double a = 0x1.00000004p0, c = 0x1.fffffff8p-1;  // 1 + 2^-30, 1 - 2^-30
    std::vector<double> out = run_native(*code, {a, c, -1.0, -1.0, 1.0});
    EXPECT_EQ(f64_bits(out[0]), f64_bits(0.0)) << hex(out[0]);
    EXPECT_EQ(f64_bits(out[1]), f64_bits(0.0)) << hex(out[1]);
}

TEST(JitNative, KnownValues) {
    TapeBuilder b;
    b.op(InstrKind::Unary, 0, in(0), 0, 0, static_cast<std::uint8_t>(UnaryOp::Sqrt));
    b.op(InstrKind::Unary, 1, in(1), 0, 0, static_cast<std::uint8_t>(UnaryOp::Sqrt));
    b.op(InstrKind::Unary, 2, in(2), 0, 0, static_cast<std::uint8_t>(UnaryOp::Sqrt));
    b.reduce(ReduceOp::Min, 3, {in(1), in(2), in(0)});
    b.reduce(ReduceOp::Sum, 4, {in(3), in(4), in(5), in(4), in(4)});
    b.op(InstrKind::Cmp, 5, in(1), in(1), 0, static_cast<std::uint8_t>(CmpOp::Ne));
    b.op(InstrKind::Select, 6, in(1), in(0), in(2));
    b.outputs({0, 1, 2, 3, 4, 5, 6});
    NATIVE_OR_SKIP(code, b.t);
    std::vector<double> out = run_native(*code, {-4.0, kNaN, 9.0, 1e16, 1.0, -1e16});
    EXPECT_EQ(f64_bits(out[0]), f64_bits(0.0));       // sqrt(-4) is 0
    EXPECT_TRUE(std::isnan(out[1]));                   // sqrt(NaN) is NaN
    EXPECT_EQ(out[2], 3.0);
    EXPECT_EQ(out[3], -4.0);                           // Min ignores NaN
    EXPECT_EQ(out[4], 1.0);                            // four lanes, then the fifth
    EXPECT_EQ(out[5], 1.0);                            // NaN != NaN
    EXPECT_EQ(out[6], -4.0);                           // a NaN condition selects the first
}

// Random tapes: scalar instructions that overwrite slots at random, lists,
// and kernels, long enough for several segments and heavy register pressure.
TEST(JitNative, RandomTapesMatchTheInterpreter) {
    std::uint64_t state = 0x9e3779b97f4a7c15ull;
    auto next = [&] {
        state += 0x9e3779b97f4a7c15ull;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    };
    auto below = [&](std::uint64_t n) { return static_cast<std::uint32_t>(next() % n); };
    struct Shape {
        std::size_t instrs, slots, inputs;
    };
    for (Shape shape : {Shape{60, 12, 4}, Shape{400, 40, 6}, Shape{2500, 300, 8}, Shape{3000, 5000, 10}}) {
        for (int round = 0; round < 3; ++round) {
            TapeBuilder b;
            b.t.n_inputs = shape.inputs;
            std::vector<std::uint32_t> written;
            std::vector<bool> is_written(shape.slots, false);
            auto operand = [&]() -> Operand {
                if (written.empty() || below(5) == 0) return in(below(shape.inputs + 1));  // one past: NaN
                return written[below(written.size())];
            };
            auto operands = [&](std::size_t n) {
                std::vector<Operand> v;
                for (std::size_t i = 0; i < n; ++i) v.push_back(operand());
                return v;
            };
            auto wrote = [&](std::uint32_t s, std::size_t len) {
                for (std::size_t i = 0; i < len; ++i)
                    if (!is_written[s + i]) {
                        is_written[s + i] = true;
                        written.push_back(static_cast<std::uint32_t>(s + i));
                    }
            };
            for (std::size_t i = 0; i < shape.instrs; ++i) {
                const std::uint32_t d = below(shape.slots);
                const std::uint32_t pick = below(100);
                if (pick < 8) {
                    b.constant(static_cast<double>(below(9)) - 4.0, d);
                } else if (pick < 50) {
                    const InstrKind kinds[] = {InstrKind::Add, InstrKind::Mul, InstrKind::Sub, InstrKind::MulAdd,
                                               InstrKind::Neg, InstrKind::Select, InstrKind::Cmp};
                    InstrKind k = kinds[below(7)];
                    b.op(k, d, operand(), operand(), operand(), static_cast<std::uint8_t>(below(kCmpOps)));
                } else if (pick < 62) {
                    // Not RandUniform: it hashes the bits of a NaN argument, and
                    // which NaN a sum of two NaNs gives is not reproducible.
                    b.op(InstrKind::Unary, d, operand(), 0, 0, static_cast<std::uint8_t>(below(kUnaryOps - 1)));
                } else if (pick < 66) {
                    b.op(InstrKind::Binary, d, operand(), operand(), 0, static_cast<std::uint8_t>(below(kBinaryOps)));
                } else if (pick < 72) {
                    const std::int32_t e[] = {2, -1, 3, -3, 0, 5};
                    b.put(Instr::powi(operand(), e[below(6)]), d);
                } else if (pick < 84) {
                    b.reduce(static_cast<ReduceOp>(below(4)), d, operands(below(pick < 78 ? 9 : 30)));
                } else if (pick < 94) {
                    std::size_t n = below(12);
                    b.dot(d, operands(n), operands(n));
                } else {
                    // A kernel over gathered lists and inputs, written at a free place.
                    const std::uint32_t kind = below(3);
                    KernelInstr k;
                    InstrKind ik = InstrKind::Gemv;
                    std::size_t out_len = 0;
                    if (kind == 2) {
                        ik = InstrKind::Solve;
                        k = solve(1 + below(3), 1 + below(2), 1 + below(2), {}, {});
                        out_len = std::size_t{k.batch} * k.k * k.n;
                        k.a = listed(b.pool(operands(std::size_t{k.batch} * k.n * k.n)));
                        k.b = listed(b.pool(operands(out_len)));
                    } else {
                        const std::uint32_t m = below(2) ? 2 + below(6) : 8 + below(3);
                        const std::uint32_t kk = 1 + below(4), n = 1 + below(3);
                        if (kind == 0) {
                            k = gemv(m, kk, {}, {});
                            out_len = m;
                            k.a = listed(b.pool(operands(std::size_t{m} * kk)));
                            k.b = below(2) ? inputs(0) : listed(b.pool(operands(kk)));
                            if (kk > shape.inputs) k.b = listed(b.pool(operands(kk)));
                        } else {
                            ik = InstrKind::Gemm;
                            k = gemm(m, kk, n, {}, {});
                            out_len = std::size_t{m} * n;
                            k.a = listed(b.pool(operands(std::size_t{m} * kk)));
                            k.b = listed(b.pool(operands(std::size_t{n} * kk)));
                        }
                        const std::int32_t acc = static_cast<std::int32_t>(below(4)) - 2;  // -2 .. 1
                        if (acc != kAccNone) {
                            k.acc.kind = acc;
                            if (acc == 1) k.acc.base = b.pool(operands(out_len));
                            if (acc == 0) k.acc.kind = kAccNoSource;
                            k.acc.roles = b.pool(role_codes(out_len, below(50)));
                        }
                    }
                    if (out_len > shape.slots) continue;
                    const std::uint32_t at = below(static_cast<std::uint64_t>(shape.slots - out_len + 1));
                    b.kernel(ik, k, at);
                    wrote(at, out_len);
                    continue;
                }
                wrote(d, 1);
            }
            b.t.n_slots = shape.slots;
            std::sort(written.begin(), written.end());
            b.t.outputs.assign(written.begin(), written.end());
            b.t.outputs.push_back(in(0));
            b.t.outputs.push_back(in(static_cast<std::uint32_t>(shape.inputs)));  // past the inputs: NaN
            NATIVE_OR_SKIP(code, b.t);
            EXPECT_GE(code->entries.size(), (b.t.instrs.size() + kSegmentNodes - 1) / kSegmentNodes);
            auto cases = input_cases(shape.inputs);
            cases.resize(4);
            expect_same(b.t, *code, cases,
                        "random tape of " + std::to_string(shape.instrs) + " round " + std::to_string(round));
        }
    }
}

// Random graphs through the whole tape compiler: its slot reuse, fused
// kernels with accumulators, shared rows and solves reach native code as
// they will from Python.
TEST(JitNative, CompiledGraphsMatchTheInterpreter) {
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
        std::uint64_t state = seed * 0x9e3779b97f4a7c15ull;
        auto below = [&](std::uint64_t n) {
            std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
            return static_cast<std::uint32_t>((z ^ (z >> 31)) % n);
        };
        Graph g;
        const std::uint32_t n_in = 6;
        std::vector<NodeId> pool;
        std::vector<std::uint32_t> positions;
        for (std::uint32_t i = 0; i < n_in; ++i) {
            pool.push_back(g.input("x" + std::to_string(i)));
            positions.push_back(i);
        }
        auto pick = [&] {
            std::size_t window = std::min<std::size_t>(pool.size(), 10);
            return below(2) ? pool[pool.size() - 1 - below(window)] : pool[below(pool.size())];
        };
        auto picks = [&](std::size_t n) {
            std::vector<NodeId> v;
            for (std::size_t i = 0; i < n; ++i) v.push_back(pick());
            return v;
        };
        for (int step = 0; step < 120; ++step) {
            const std::uint32_t what = below(100);
            if (what < 35) {
                NodeId a = pick(), b = pick();
                switch (below(5)) {
                    case 0: pool.push_back(g.add(a, b)); break;
                    case 1: pool.push_back(g.mul(a, b)); break;
                    case 2: pool.push_back(g.add(a, g.neg(b))); break;
                    case 3: pool.push_back(g.mul(a, g.powi(b, -1))); break;
                    default: pool.push_back(g.add(g.mul(a, b), pick())); break;
                }
            } else if (what < 50) {
                pool.push_back(g.unary(static_cast<UnaryOp>(below(kUnaryOps - 1)), pick()));
            } else if (what < 55) {
                pool.push_back(g.binary(static_cast<BinaryOp>(below(kBinaryOps)), pick(), pick()));
            } else if (what < 62) {
                pool.push_back(g.select(g.cmp(static_cast<CmpOp>(below(kCmpOps)), pick(), pick()), pick(), pick()));
            } else if (what < 70) {
                pool.push_back(g.reduce(static_cast<ReduceOp>(below(4)), picks(1 + below(20))));
            } else if (what < 90) {
                // A matrix product as dot products sharing rows and columns,
                // with sums and differences around some results.
                const std::size_t m = 1 + below(12), k = 1 + below(5), n = 1 + below(3);
                std::vector<std::vector<NodeId>> rows, cols;
                for (std::size_t i = 0; i < m; ++i) rows.push_back(picks(k));
                for (std::size_t j = 0; j < n; ++j) cols.push_back(picks(k));
                for (std::size_t i = 0; i < m; ++i)
                    for (std::size_t j = 0; j < n; ++j) {
                        NodeId d = g.dot(rows[i], cols[j]);
                        switch (below(4)) {
                            case 0: d = g.add(d, pick()); break;
                            case 1: d = g.add(pick(), g.neg(d)); break;
                            case 2: d = g.neg(d); break;
                            default: break;
                        }
                        pool.push_back(d);
                    }
            } else {
                const std::size_t n = 1 + below(4);
                std::vector<NodeId> a = picks(n * n);
                for (std::size_t i = 0; i < n; ++i) a[i * n + i] = g.add(a[i * n + i], g.constant(4.0));
                for (NodeId x : g.solve(a, picks(n))) pool.push_back(x);
            }
        }
        std::vector<NodeId> outputs(pool.end() - 30, pool.end());
        for (int i = 0; i < 10; ++i) outputs.push_back(pick());
        Tape t = compile_tape(g, outputs, positions, n_in);
        NATIVE_OR_SKIP(code, t);
        auto cases = input_cases(n_in);
        cases.resize(8);
        expect_same(t, *code, cases, "compiled graph " + std::to_string(seed));
    }
}

// One node reads 24 and more distinct values while all of them are live in
// registers; the allocator must never pin every register.
TEST(JitNative, NodesReadingManyValues) {
    TapeBuilder b;
    std::vector<Operand> many;
    for (std::uint32_t i = 0; i < 40; ++i) {
        b.op(InstrKind::Mul, i, in(i % 5), in((i + 1) % 5));
        many.push_back(i);
    }
    std::uint32_t d = 40;
    std::vector<Operand> half(many.begin(), many.begin() + 20);
    std::vector<Operand> other(many.begin() + 20, many.end());
    for (ReduceOp op : {ReduceOp::Sum, ReduceOp::Product, ReduceOp::Min, ReduceOp::Max}) {
        b.reduce(op, d++, many);
        b.reduce(op, d++, std::vector<Operand>(many.begin(), many.begin() + 16));
    }
    b.dot(d++, half, other);
    std::uint32_t a = b.pool(many);
    b.kernel(InstrKind::Gemv, gemv(8, 5, listed(a), inputs(0)), d);
    d += 8;
    // The 40 values are still needed after the wide nodes.
    for (std::uint32_t i = 0; i < 40; ++i) b.op(InstrKind::Add, d++, i, in(0));
    output_every_written_slot(b.t);
    NATIVE_OR_SKIP(code, b.t);
    auto cases = input_cases(5);
    cases.resize(6);
    expect_same(b.t, *code, cases, "wide nodes");
}

// Values cross segment boundaries through the work array.
TEST(JitNative, LongChainsAcrossSegments) {
    TapeBuilder b;
    b.op(InstrKind::Add, 0, in(0), in(1));
    for (std::uint32_t i = 1; i < 3000; ++i)
        b.op(i % 3 ? InstrKind::Add : InstrKind::Mul, i, i - 1, i >= 1500 ? i - 1500 : in(i % 2));
    b.outputs({2999, 1023, 1024, 2048});
    NATIVE_OR_SKIP(code, b.t);
    EXPECT_EQ(code->entries.size(), 3u);
    expect_same(b.t, *code, {{0.5, 0.25}, {1.0, -1.0}}, "chain");
}

// An input index past the program's inputs reads as NaN in both evaluators;
// native callers pad the inputs to the code's input width.
TEST(JitNative, MissingInputsReadAsNaN) {
    TapeBuilder b;
    b.t.n_inputs = 3;
    b.op(InstrKind::Add, 0, in(0), in(5));
    b.kernel(InstrKind::Gemv, gemv(8, 1, inputs(0), inputs(4)), 1);
    b.outputs({0, 1, 8, in(5)});
    IrProgram ir = lower_to_ir(b.t);
    EXPECT_EQ(ir.input_width, 8u);
    NATIVE_OR_SKIP(code, b.t);
    EXPECT_EQ(code->input_width, 8u);
    std::vector<double> interp = run_interp(b.t, {1.0, 2.0, 3.0});
    std::vector<double> native = run_native(*code, {1.0, 2.0, 3.0});
    for (std::size_t i = 0; i < interp.size(); ++i) {
        EXPECT_TRUE(std::isnan(interp[i])) << i;
        EXPECT_EQ(f64_bits(native[i]), f64_bits(interp[i])) << i;
    }
}

TEST(JitNative, BufferChecks) {
    TapeBuilder b;
    b.op(InstrKind::Add, 3, in(0), in(2));
    b.reduce(ReduceOp::Max, 0, std::vector<Operand>(20, 3));
    b.outputs({0});
    NATIVE_OR_SKIP(code, b.t);
    EXPECT_EQ(code->work_len, 4u + 20u);
    std::vector<double> inputs(3, 1.0), work(code->work_len), out(1);
    eval_native(*code, inputs, work, out);
    EXPECT_EQ(out[0], 2.0);
    std::vector<double> short_work(code->work_len - 1);
    EXPECT_EQ(failure_of([&] { eval_native(*code, inputs, short_work, out); }), "buffers not prepared by this tape");
    std::vector<double> short_inputs(2);
    EXPECT_EQ(failure_of([&] { eval_native(*code, short_inputs, work, out); }), "buffers not prepared by this tape");
    std::vector<double> long_out(2);
    EXPECT_EQ(failure_of([&] { eval_native(*code, inputs, work, long_out); }).rfind("output buffer of the wrong size", 0),
              0u);
}

// A failed check inside a host function called from generated code comes
// back as an internal error of the evaluation, after the segment returned.
TEST(JitNative, HostFailuresSurfaceAfterTheSegment) {
    TapeBuilder b;
    b.kernel(InstrKind::Solve, solve(2, 1, 1, inputs(0), inputs(4)), 0);
    b.op(InstrKind::Add, 2, 0, 1);
    b.outputs({2});
    NATIVE_OR_SKIP(code, b.t);
    std::vector<double> inputs = {2.0, 1.0, 1.0, 3.0, 1.0, 2.0};
    EXPECT_EQ(run_native(*code, inputs), run_interp(b.t, inputs));
    code->host.kernels[0].workspace_len = 3;  // less than the 2 x 3 values the solve needs
    EXPECT_NE(failure_of([&] { run_native(*code, inputs); }).find("solve workspace"), std::string::npos);
    code->host.kernels[0].workspace_len = 6;
    EXPECT_EQ(run_native(*code, inputs), run_interp(b.t, inputs));
}

TEST(JitNative, EmptyProgramMapsAndEvaluates) {
    TapeBuilder b;
    b.outputs({in(1), in(0)});
    NATIVE_OR_SKIP(code, b.t);
    EXPECT_GE(code->mapping.len(), 1u);
    EXPECT_TRUE(code->entries.empty());
    EXPECT_EQ(run_native(*code, {4.0, 5.0}), (std::vector<double>{5.0, 4.0}));
}

TEST(JitNative, ThreadsShareOneCompiledProgram) {
    TapeBuilder b;
    for (std::uint32_t i = 0; i < 50; ++i) b.op(InstrKind::Unary, i, in(i % 3), 0, 0, static_cast<std::uint8_t>(i % 33));
    b.kernel(InstrKind::Solve, solve(3, 1, 1, inputs(0), inputs(0)), 50);
    output_every_written_slot(b.t);
    NATIVE_OR_SKIP(code, b.t);
    const std::size_t runs = 64;
    std::vector<std::vector<double>> results(runs);
    parallel_for(runs, [&](std::size_t r) { results[r] = run_native(*code, {0.5 + double(r % 4), -1.5, 2.0}); });
    for (std::size_t r = 0; r < runs; ++r) {
        std::vector<double> want = run_interp(b.t, {0.5 + double(r % 4), -1.5, 2.0});
        ASSERT_EQ(results[r].size(), want.size());
        for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(f64_bits(results[r][i]), f64_bits(want[i])) << r;
    }
}

// -- Host functions, called directly ----------------------------------------

TEST(JitHost, FailuresAreRecordedNotThrown) {
    EXPECT_TRUE(std::isnan(vantu_host_unary(33, 1.0)));
    EXPECT_TRUE(std::isnan(vantu_host_binary(4, 1.0, 2.0)));  // only the first failure is kept
    EXPECT_EQ(failure_of([] { host_raise_pending(); }), "unary operation table index out of range");
    EXPECT_EQ(failure_of([] { host_raise_pending(); }), "no failure");
    // A kernel index past the descriptors.
    HostContext ctx;
    vantu_host_kernel(nullptr, nullptr, &ctx, 0);
    EXPECT_NE(failure_of([] { host_raise_pending(); }).find("kernel descriptor"), std::string::npos);
}

TEST(JitHost, ReductionCodesAboveThreeAreMax) {
    const double xs[] = {1.0, kNaN, 3.0, -2.0};
    EXPECT_EQ(vantu_host_reduce(7, xs, 4), 3.0);
    EXPECT_EQ(vantu_host_reduce(2, xs, 4), -2.0);
    EXPECT_EQ(vantu_host_reduce(2, xs, 0), kInf);
    EXPECT_EQ(vantu_host_powi(-3, 2.0), 0.125);
}

// -- Code shape, checked on any host ------------------------------------------

namespace {

std::vector<std::uint32_t> body_words(const Tape& t) {
    IrProgram ir = lower_to_ir(t);
    HostContext ctx = build_host_context(ir);
    return emit_segment(ir, ctx, 0, static_cast<std::uint32_t>(ir.nodes.size())).words;
}

bool contains(const std::vector<std::uint32_t>& words, std::initializer_list<std::uint32_t> seq) {
    return std::search(words.begin(), words.end(), seq.begin(), seq.end()) != words.end();
}

}  // namespace

TEST(JitCodegen, ConstantsAndLargeOffsets) {
    TapeBuilder b;
    b.constant(0.0, 0);
    b.constant(1.0, 1);
    b.op(InstrKind::Add, 2, 0, 1);
    b.op(InstrKind::Neg, 5000, 2);  // byte offset 40000
    b.outputs({5000});
    std::vector<std::uint32_t> w = body_words(b.t);
    bool zero = false, one = false;
    for (std::size_t i = 0; i + 1 < w.size(); ++i) {
        zero |= (w[i] & ~0x1fu) == 0x9e6703e0u && (w[i] & 0x1f) >= 8;  // fmov dN, xzr
        one |= w[i] == 0xd2e7fe0au && (w[i + 1] & ~0x1fu) == 0x9e670140u;  // mov x10, #0x3ff0 << 48; fmov dN, x10
    }
    EXPECT_TRUE(zero);
    EXPECT_TRUE(one);
    // The result of slot 5000 is stored through x9 = x19 + 32768 at 7232.
    EXPECT_TRUE(contains(w, {0x91402269}));  // add x9, x19, #8, lsl #12
    bool stored = false;
    for (std::uint32_t word : w) stored |= (word & 0xffffffe0u) == 0xfd0e2120u;  // str dN, [x9, #7232]
    EXPECT_TRUE(stored);
}

TEST(JitCodegen, NeverFusesAndPrefetchesEvery32Words) {
    TapeBuilder b;
    for (std::uint32_t i = 0; i < 900; ++i) {
        b.op(InstrKind::MulAdd, i % 200, in(i % 7), i ? (i - 1) % 200 : in(1), in(2));
        if (i % 5 == 0) b.dot(i % 200, {in(0), (i + 3) % 200, in(2), in(3), in(4)}, {in(5), in(6), i % 200, in(1), in(0)});
    }
    b.outputs({0, 199});
    std::vector<std::uint32_t> w = body_words(b.t);
    ASSERT_GT(w.size(), 1000u);
    for (std::size_t i = 0; i < w.size(); ++i) {
        // Floating-point data processing with three sources (fmadd and its kin).
        EXPECT_NE(w[i] & 0x1f000000u, 0x1f000000u) << "word " << i;
        EXPECT_EQ(w[i] == 0xd800400au, i % 32 == 0 && i > 0) << "word " << i;
    }
}
