// The interpreter on hand-built tapes: every instruction kind against
// hand-derived values, operand and block resolution (in place, gathered,
// missing inputs), the entry and kernel checks with their messages.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "eval/interp.hpp"
#include "eval/kernels.hpp"
#include "graph/error.hpp"
#include "graph/semantics.hpp"
#include "tape_fixture.hpp"

using namespace vantu;
using namespace vantu::fixture;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::int32_t kMinInt = std::numeric_limits<std::int32_t>::min();

using Vec = std::vector<double>;

std::uint8_t code(auto op) { return static_cast<std::uint8_t>(op); }

// Copies input i exactly: a select on a missing input (NaN, so true).
Instr copy_input(std::uint32_t i) { return Instr::make(InstrKind::Select, in(1000), in(i), in(i)); }

Vec evaluate(const Tape& t, const Vec& x) {
    Vec work(t.work_len(), -99.0), out(t.outputs.size());
    eval(t, x, work, out);
    return out;
}

// The whole work array after running every instruction.
Vec run_all(const Tape& t, const Vec& x) {
    Vec work(t.work_len(), -99.0);
    run(t, x, work, 0, t.n_ops());
    return work;
}

}  // namespace

// One instruction reading inputs i0, i1, i2 into slot 0.
TEST(Interp, ScalarInstructions) {
    const double a1 = 1 + 0x1p-30, b1 = 1 - 0x1p-30;
    struct Row {
        const char* name;
        Instr instr;
        Vec x;
        double want;
    } rows[] = {
        {"const keeps -0", Instr::constant(-0.0), {}, -0.0},
        {"add", Instr::make(InstrKind::Add, in(0), in(1)), {0.1, 0.2}, 0x1.3333333333334p-2},
        {"mul", Instr::make(InstrKind::Mul, in(0), in(1)), {0.1, 3}, 0x1.3333333333334p-2},
        {"sub", Instr::make(InstrKind::Sub, in(0), in(1)), {1, 0x1p-53}, 0x1.fffffffffffffp-1},
        // a*b rounds to 1 before -1 is added; fused it would be -2^-60.
        {"muladd is not fused", Instr::make(InstrKind::MulAdd, in(0), in(1), in(2)), {a1, b1, -1}, 0.0},
        {"neg flips zero", Instr::make(InstrKind::Neg, in(0)), {0.0}, -0.0},
        {"powi 0 of NaN", Instr::powi(in(0), 0), {kNaN}, 1.0},
        {"powi negative", Instr::powi(in(0), -3), {2}, 0.125},
        {"powi most negative", Instr::powi(in(0), kMinInt), {2}, 0.0},
        {"powi most negative of -1", Instr::powi(in(0), kMinInt), {-1}, 1.0},
        {"powi most negative of 0.5", Instr::powi(in(0), kMinInt), {0.5}, kInf},
        {"powi odd", Instr::powi(in(0), 5), {-3}, -243},
        {"select NaN condition", Instr::make(InstrKind::Select, in(0), in(1), in(2)), {kNaN, 4, 5}, 4},
        {"select zero condition", Instr::make(InstrKind::Select, in(0), in(1), in(2)), {0.0, 4, 5}, 5},
        {"select -0 condition", Instr::make(InstrKind::Select, in(0), in(1), in(2)), {-0.0, 4, 5}, 5},
        {"select true", Instr::make(InstrKind::Select, in(0), in(1), in(2)), {-2, 4, 5}, 4},
        {"missing input reads NaN", Instr::make(InstrKind::Add, in(0), in(3)), {1, 2, 3}, kNaN},
    };
    for (const Row& r : rows) {
        Builder b(1);
        b.add(r.instr, 0).out({s(0)});
        EXPECT_TRUE(same_bits(evaluate(b.t, r.x)[0], r.want)) << r.name;
    }
}

// Each predicate over ordered, equal and NaN pairs.
TEST(Interp, Comparisons) {
    const std::pair<double, double> pairs[] = {{1, 2}, {2, 1}, {1, 1}, {kNaN, 1}, {-0.0, 0.0}};
    struct Row {
        CmpOp op;
        double want[5];
    } rows[] = {
        {CmpOp::Gt, {0, 1, 0, 0, 0}}, {CmpOp::Ge, {0, 1, 1, 0, 1}}, {CmpOp::Lt, {1, 0, 0, 0, 0}},
        {CmpOp::Le, {1, 0, 1, 0, 1}}, {CmpOp::Eq, {0, 0, 1, 0, 1}}, {CmpOp::Ne, {1, 1, 0, 1, 0}},
    };
    for (const Row& r : rows) {
        for (int p = 0; p < 5; ++p) {
            Builder b(1);
            b.add(Instr::make(InstrKind::Cmp, in(0), in(1), 0, code(r.op)), 0).out({s(0)});
            EXPECT_EQ(evaluate(b.t, {pairs[p].first, pairs[p].second})[0], r.want[p])
                << static_cast<int>(r.op) << " pair " << p;
        }
    }
}

// The op byte reaches the one scalar definition for every operation.
TEST(Interp, UnaryAndBinaryDecodeTheirOperation) {
    for (int op = 0; op < kUnaryOps; ++op) {
        for (double x : {0.3, -1.7, 2.5}) {
            Builder b(1);
            b.add(Instr::make(InstrKind::Unary, in(0), 0, 0, static_cast<std::uint8_t>(op)), 0).out({s(0)});
            EXPECT_TRUE(same_bits(evaluate(b.t, {x})[0], eval_unary(static_cast<UnaryOp>(op), x))) << op;
        }
    }
    for (int op = 0; op < kBinaryOps; ++op) {
        Builder b(1);
        b.add(Instr::make(InstrKind::Binary, in(0), in(1), 0, static_cast<std::uint8_t>(op)), 0).out({s(0)});
        EXPECT_TRUE(same_bits(evaluate(b.t, {2.5, -0.75})[0], eval_binary(static_cast<BinaryOp>(op), 2.5, -0.75)))
            << op;
    }
}

TEST(Interp, ReduceAndDot) {
    const double a1 = 1 + 0x1p-30, b1 = 1 - 0x1p-30;
    struct Row {
        const char* name;
        ReduceOp op;  // ignored for dot
        bool dot;
        Vec x;
        double want;
    } rows[] = {
        // The fifth value is added after the four lanes combine; left to
        // right would give 2.
        {"sum fold order", ReduceOp::Sum, false, {1e16, 1, -1e16, 1, 1}, 1.0},
        {"empty sum is +0", ReduceOp::Sum, false, {}, 0.0},
        {"empty product", ReduceOp::Product, false, {}, 1.0},
        {"empty min", ReduceOp::Min, false, {}, kInf},
        {"empty max", ReduceOp::Max, false, {}, -kInf},
        {"min ignores NaN", ReduceOp::Min, false, {kNaN, 3}, 3},
        {"min of NaN", ReduceOp::Min, false, {kNaN}, kNaN},
        {"min of zeros", ReduceOp::Min, false, {0.0, -0.0}, -0.0},
        {"max of zeros", ReduceOp::Max, false, {-0.0, 0.0}, 0.0},
        {"product", ReduceOp::Product, false, {2, 3, 4, 5, 6}, 720},
        {"dot is not fused", ReduceOp::Sum, true, {-1, a1, 1, b1}, 0.0},
    };
    for (const Row& r : rows) {
        Builder b(r.x.size() + 1, r.x.size());
        // Operands from slots and inputs alike: slot i holds input i.
        std::vector<std::uint32_t> ops;
        for (std::uint32_t i = 0; i < r.x.size(); ++i) {
            b.add(copy_input(i), i);
            ops.push_back(i % 2 ? in(i) : s(i));
        }
        const std::uint32_t at = b.pool(ops);
        const auto n = static_cast<std::uint32_t>(r.dot ? r.x.size() / 2 : r.x.size());
        b.add(r.dot ? Instr::make(InstrKind::Dot, at, n) : Instr::make(InstrKind::Reduce, at, n, 0, code(r.op)),
              static_cast<std::uint32_t>(r.x.size()))
            .out({s(static_cast<std::uint32_t>(r.x.size()))});
        EXPECT_TRUE(same_bits(evaluate(b.t, r.x)[0], r.want)) << r.name;
    }
}

TEST(Interp, OperandsAndOutputs) {
    Builder b(2);
    b.add(Instr::constant(3), 0)
        .add(Instr::make(InstrKind::Add, s(0), s(0)), 0)  // reads its own destination
        .add(Instr::make(InstrKind::Mul, s(0), in(1)), 1)
        .out({s(1), in(0), in(2), s(0)});
    const Vec got = evaluate(b.t, {7, 10});
    EXPECT_EQ(got[0], 60);
    EXPECT_EQ(got[1], 7);
    EXPECT_TRUE(std::isnan(got[2])) << "output naming a missing input";
    EXPECT_EQ(got[3], 6);
    // A half-open range runs just those instructions.
    Vec work(2, 0.0);
    run(b.t, Vec{7, 10}, work, 1, 3);
    EXPECT_EQ(work[0], 0.0);
    EXPECT_EQ(work[1], 0.0);
    run(b.t, Vec{7, 10}, work, 0, 2);
    EXPECT_EQ(work[0], 6.0);
    run(b.t, Vec{7, 10}, work, 2, 2);
    EXPECT_EQ(work[1], 0.0);
    // Only the chosen operand of a select is read: the other names a slot
    // past the slot area and is never touched.
    Builder sel(1);
    sel.add(Instr::make(InstrKind::Select, in(0), in(1), s(5)), 0).out({s(0)});
    EXPECT_EQ(evaluate(sel.t, {1, 4})[0], 4);
    EXPECT_THROW(evaluate(sel.t, {0, 4}), InternalError);
}

// Gemv with every block kind and accumulator form, against the kernels on
// hand-assembled arrays.
TEST(Interp, GemvBlocksAndAccumulators) {
    const Vec x = {0.5, -1.25, 3, 7, 11, -2, 0.1, 0.3, 4, 9, -6, 1.5};  // inputs
    // Slots 0..5 hold inputs 0..5 (A, 2x3), slots 6..8 inputs 6..8 (x),
    // slots 9..10 inputs 9..10 (source); output at 12.
    auto base = [&](std::size_t gather) {
        Builder b(14, gather);
        for (std::uint32_t i = 0; i < 11; ++i) b.add(copy_input(i), i);
        return b;
    };
    const Vec A(x.begin(), x.begin() + 6), X(x.begin() + 6, x.begin() + 9), S(x.begin() + 9, x.begin() + 11);
    Vec plain(2);
    gemv(A, X, 2, 3, plain);
    const std::vector<std::uint32_t> codes = {kRoleSub, (0u << 3) | kRoleRefBit | kRoleAdd};
    auto with_roles = [&](std::span<const double> src) {
        Vec o = plain;
        apply_roles(codes, src, o);
        return o;
    };
    struct Row {
        const char* name;
        Block a, xb;
        std::int32_t acc;
        std::uint32_t acc_base;
        Vec want;
    } rows[] = {
        {"slot blocks", slots(0), slots(6), kAccNone, 0, plain},
        {"input blocks in place", inputs(0), inputs(6), kAccNone, 0, plain},
        {"list blocks", list(0), list(6), kAccNone, 0, plain},
        {"roles without source", slots(0), slots(6), kAccNoSource, 0, with_roles({})},
        {"source in slots", slots(0), slots(6), 2, 9, with_roles(S)},
        {"source from inputs", slots(0), slots(6), 0, 9, with_roles(S)},
        {"source from a list", list(0), list(6), 1, 9, with_roles(S)},
    };
    for (const Row& r : rows) {
        Builder b = base(11);
        b.pool({s(0), in(1), s(2), in(3), s(4), in(5), s(6), in(7), s(8), in(9), s(10)});
        const std::uint32_t roles = b.pool(codes);
        b.kernel(InstrKind::Gemv, kern(r.a, r.xb, 2, 0, 3, 0, {r.acc, r.acc_base, roles}), 12).out({s(12), s(13)});
        const Vec got = evaluate(b.t, x);
        EXPECT_TRUE(same_bits(got[0], r.want[0]) && same_bits(got[1], r.want[1])) << r.name;
    }
    // Inputs past those supplied are gathered as NaN: only x[2] is missing.
    Builder b = base(3);
    b.kernel(InstrKind::Gemv, kern(slots(0), inputs(6), 2, 0, 3), 12).out({s(12), s(13)});
    const Vec got = evaluate(b.t, Vec(x.begin(), x.begin() + 8));
    EXPECT_TRUE(std::isnan(got[0]) && std::isnan(got[1]));
    Vec work = run_all(b.t, Vec(x.begin(), x.begin() + 8));
    EXPECT_EQ(work[14], x[6]);
    EXPECT_EQ(work[15], x[7]);
    EXPECT_TRUE(std::isnan(work[16]));
}

// Non-contiguous blocks are packed A, then B, then the accumulator source,
// one cursor per instruction; the kernel then reads the packed copies.
TEST(Interp, GemmGathersInOrder) {
    Builder b(12, 16);
    const std::uint32_t la = b.pool({in(0), in(1), in(2), in(3)});            // A 2x2
    const std::uint32_t lb = b.pool({in(4), in(5), in(6), in(7), in(0), in(1)});  // Bt 3x2
    const std::uint32_t ls = b.pool({in(8), in(8), in(9), in(9), in(8), in(9)});  // source 2x3
    const std::uint32_t roles = b.pool({2, 2, 2, 1, 1, 1});
    const std::uint32_t la2 = b.pool({in(9), in(8), in(9), in(8)});
    b.kernel(InstrKind::Gemm, kern(list(la), list(lb), 2, 2, 3, 0, {1, ls, roles}), 0);
    b.kernel(InstrKind::Gemm, kern(list(la2), list(lb), 2, 2, 3), 6).out({});
    const Vec x = {1, 2, 3, 4, 5, 6, 7, 8, 100, 1000};
    const Vec work = run_all(b.t, x);
    // The second gemm packs its blocks from the start of the area again.
    const Vec packed(work.begin() + 12, work.begin() + 28);
    EXPECT_EQ(packed, (Vec{1000, 100, 1000, 100, 5, 6, 7, 8, 1, 2, 100, 100, 1000, 1000, 100, 1000}));
    // A rows (1,2), (3,4) times Bt rows (5,6), (7,8), (1,2), then the roles
    // add to / subtract from the source.
    EXPECT_EQ(Vec(work.begin(), work.begin() + 6), (Vec{100 + 17, 100 + 23, 1000 + 5, 1000 - 39, 100 - 53, 1000 - 11}));
    EXPECT_EQ(Vec(work.begin() + 6, work.begin() + 12), (Vec{5600, 7800, 1200, 5600, 7800, 1200}));
}

TEST(Interp, SolveBatchFromSlotsAndInputs) {
    // Two 2x2 systems with two right-hand sides each.
    const Vec a = {0, 1, 1, 0, 2, 1, 1, 3};
    const Vec rhs = {2, 3, 4, 5, 3, 5, 1, 2};
    Vec want(8), ws(solve_workspace(2, 2));
    lu_solve(a, rhs, 2, 2, 2, want, ws);
    Builder b(16, 0, solve_workspace(2, 2));
    for (std::uint32_t i = 0; i < 8; ++i) b.add(copy_input(8 + i), i);
    b.kernel(InstrKind::Solve, kern(inputs(0), slots(0), 0, 2, 2, 2), 8);
    std::vector<Operand> outs;
    for (std::uint32_t i = 0; i < 8; ++i) outs.push_back(s(8 + i));
    b.out(outs);
    Vec x = a;
    x.insert(x.end(), rhs.begin(), rhs.end());
    EXPECT_EQ(evaluate(b.t, x), want);
    EXPECT_EQ(Vec(want.begin(), want.begin() + 4), (Vec{3, 2, 5, 4}));
}

// Failures stop before `out` is written; messages are fixed where the
// failure is the tape's own.
TEST(Interp, Failures) {
    struct Row {
        const char* name;
        std::function<void(Builder&)> build;
        std::ptrdiff_t work_delta;
        std::ptrdiff_t out_delta;
        std::string message;  // exact, or a prefix ending in ':' for range errors
    } rows[] = {
        {"work one short", [](Builder&) {}, -1, 0, "work buffer too short"},
        {"out one long", [](Builder&) {}, 0, 1, "output buffer of the wrong size (3 != 2)"},
        {"kernel output past the slots",
         [](Builder& b) { b.kernel(InstrKind::Gemv, kern(slots(0), slots(0), 3, 0, 1), 6); },
         0, 0, "kernel output block past the work array"},
        {"matrix overlaps the output",
         [](Builder& b) { b.kernel(InstrKind::Gemv, kern(slots(0), slots(6), 2, 0, 2), 3); },
         0, 0, "kernel reads its own output block"},
        {"vector overlaps the output end",
         [](Builder& b) { b.kernel(InstrKind::Gemv, kern(slots(0), slots(5), 2, 0, 2), 4); },
         0, 0, "kernel reads its own output block"},
        {"accumulator source overlaps",
         [](Builder& b) {
             const std::uint32_t r = b.pool({0, 0});
             b.kernel(InstrKind::Gemm, kern(slots(0), slots(0), 2, 1, 1, 0, {2, 5, r}), 6);
         },
         0, 0, "kernel reads its own output block"},
        {"solve rhs overlaps",
         [](Builder& b) { b.kernel(InstrKind::Solve, kern(slots(0), slots(5), 0, 1, 1, 2), 6); },
         0, 0, "kernel reads its own output block"},
        {"slot operand past the slots",
         [](Builder& b) { b.add(Instr::make(InstrKind::Add, s(8), s(0)), 1); }, 0, 0, "work slots:"},
        {"destination past the slots", [](Builder& b) { b.add(Instr::constant(1), 8); }, 0, 0, "work slots:"},
        {"operand list past the pool",
         [](Builder& b) { b.add(Instr::make(InstrKind::Reduce, 0, 1), 1); }, 0, 0, "tape pool:"},
        {"operand list longer than the gather area",
         [](Builder& b) {
             b.add(Instr::make(InstrKind::Dot, b.pool({0, 0, 0, 0, 0, 0}), 3), 1);
         },
         0, 0, "gather area:"},
        {"role codes past the pool",
         [](Builder& b) { b.kernel(InstrKind::Gemv, kern(slots(0), slots(0), 2, 0, 1, 0, {-1, 0, 0}), 6); },
         0, 0, "tape pool:"},
        {"solve workspace short",
         [](Builder& b) { b.kernel(InstrKind::Solve, kern(slots(0), slots(4), 0, 1, 2, 1), 6); },
         0, 0, "solve workspace:"},
        {"output past the slots", [](Builder& b) { b.t.outputs[1] = s(8); }, 0, 0, "work slots:"},
    };
    for (const Row& r : rows) {
        Builder b(8, 4, 5);  // solve_workspace(2, 1) is 6
        b.add(Instr::constant(2), 0).out({s(0), in(0)});
        r.build(b);
        Vec work(static_cast<std::size_t>(static_cast<std::ptrdiff_t>(b.t.work_len()) + r.work_delta), 0.0);
        Vec out(static_cast<std::size_t>(2 + r.out_delta), -5.0);
        const std::string msg = message_of([&] { eval(b.t, Vec{1}, work, out); });
        if (r.message.back() == ':')
            EXPECT_EQ(msg.rfind(r.message, 0), 0u) << r.name << ": " << msg;
        else
            EXPECT_EQ(msg, r.message) << r.name;
        for (double v : out) EXPECT_EQ(v, -5.0) << r.name << ": out written";
    }
}

// The interpreter keeps no state: two threads on one tape, each with its own
// buffers, get what one thread gets.
TEST(Interp, ThreadsShareATape) {
    Builder b(40, 8, solve_workspace(4, 1));
    std::vector<std::uint32_t> ops;
    for (std::uint32_t i = 0; i < 20; ++i) {
        b.add(Instr::make(InstrKind::MulAdd, in(i), in((i + 1) % 20), in((i + 7) % 20)), i);
        ops.push_back(s(i));
    }
    b.kernel(InstrKind::Solve, kern(slots(0), slots(16), 0, 1, 4, 1), 20);
    b.add(Instr::make(InstrKind::Dot, b.pool(ops), 4), 24);
    b.out({s(20), s(21), s(22), s(23), s(24)});
    auto inputs_for = [](int k) {
        Vec x(20);
        for (int i = 0; i < 20; ++i) x[static_cast<std::size_t>(i)] = std::sin(i * 1.7 + k);
        return x;
    };
    std::vector<Vec> serial;
    for (int k = 0; k < 400; ++k) serial.push_back(evaluate(b.t, inputs_for(k)));
    std::vector<Vec> par[2];
    std::thread th[2];
    for (int w = 0; w < 2; ++w)
        th[w] = std::thread([&, w] {
            for (int k = 0; k < 400; ++k) par[w].push_back(evaluate(b.t, inputs_for(k)));
        });
    for (auto& t : th) t.join();
    EXPECT_EQ(par[0], serial);
    EXPECT_EQ(par[1], serial);
}
