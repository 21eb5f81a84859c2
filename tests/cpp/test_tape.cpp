// The tape listing, checked against hand-written text, and the sizes derived
// from kernel instructions.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "graph/error.hpp"
#include "tape/tape.hpp"
#include "tape_fixture.hpp"

using namespace vantu;
using namespace vantu::fixture;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string line_of(const std::string& text, std::size_t i) {
    std::size_t at = 0;
    for (std::size_t k = 0; k < i; ++k) at = text.find('\n', at) + 1;
    return text.substr(at, text.find('\n', at) - at);
}

}  // namespace

TEST(TapeDump, EmptyTapeListsOnlyTheOutputs) {
    Tape t;
    EXPECT_EQ(t.dump(), "outputs []\n");
    t.outputs = {in(0), s(3), in(12)};
    EXPECT_EQ(t.dump(), "outputs [i0, s3, i12]\n");
}

TEST(TapeDump, ConstantSpellings) {
    struct Row {
        double v;
        std::string text;
    } rows[] = {
        {2.0, "2"},
        {0.5, "0.5"},
        {0.0, "0"},
        {-0.0, "-0"},
        {kNaN, "NaN"},
        {-kNaN, "NaN"},
        {kInf, "inf"},
        {-kInf, "-inf"},
        {1e6, "1000000"},
        {0.1, "0.1"},
        {1e-7, "0.0000001"},
        {-1.5, "-1.5"},
        {123.456, "123.456"},
        {1.0 / 3.0, "0.3333333333333333"},
        {0x1p53, "9007199254740992"},
        {1e21, "1000000000000000000000"},
        {1e23, "100000000000000000000000"},
        {1.2345678901234568e20, "123456789012345680000"},
        {-2.5e-5, "-0.000025"},
        {5e-324, "0." + std::string(323, '0') + "5"},
        {1.7976931348623157e308, "17976931348623157" + std::string(292, '0')},
    };
    for (const Row& r : rows) {
        Builder b;
        b.add(Instr::constant(r.v), 0);
        EXPECT_EQ(b.t.dump(), "    0: s0 <- Const(" + r.text + ")\noutputs []\n") << r.text;
    }
}

TEST(TapeDump, ScalarInstructions) {
    Builder b;
    const std::uint32_t red = b.pool({s(0), in(1), s(2)});
    const std::uint32_t dot = b.pool({s(0), s(1), in(0), s(3)});
    b.add(Instr::constant(2.0), 0)
        .add(Instr::make(InstrKind::Add, in(0), s(0)), 1)
        .add(Instr::make(InstrKind::Mul, s(1), in(1)), 2)
        .add(Instr::make(InstrKind::MulAdd, in(0), s(3), s(5)), 7)
        .add(Instr::make(InstrKind::Sub, s(2), s(1)), 3)
        .add(Instr::make(InstrKind::Neg, s(3)), 4)
        .add(Instr::powi(s(4), -3), 5)
        .add(Instr::powi(s(4), std::numeric_limits<std::int32_t>::min()), 5)
        .add(Instr::make(InstrKind::Unary, s(5), 0, 0, static_cast<std::uint8_t>(UnaryOp::Sin)), 6)
        .add(Instr::make(InstrKind::Unary, s(5), 0, 0, static_cast<std::uint8_t>(UnaryOp::RandUniform)), 6)
        .add(Instr::make(InstrKind::Binary, s(6), in(2), 0, static_cast<std::uint8_t>(BinaryOp::Atan2)), 8)
        .add(Instr::make(InstrKind::Cmp, s(8), s(0), 0, static_cast<std::uint8_t>(CmpOp::Ne)), 9)
        .add(Instr::make(InstrKind::Select, s(9), s(1), in(0)), 10)
        .add(Instr::make(InstrKind::Reduce, red, 3, 0, static_cast<std::uint8_t>(ReduceOp::Max)), 11)
        .add(Instr::make(InstrKind::Reduce, red, 0, 0, static_cast<std::uint8_t>(ReduceOp::Product)), 11)
        .add(Instr::make(InstrKind::Dot, dot, 2), 12);
    b.t.outputs = {s(12), in(7)};
    EXPECT_EQ(b.t.dump(),
              "    0: s0 <- Const(2)\n"
              "    1: s1 <- Add(i0, s0)\n"
              "    2: s2 <- Mul(s1, i1)\n"
              "    3: s7 <- MulAdd(i0, s3, s5)\n"
              "    4: s3 <- Sub(s2, s1)\n"
              "    5: s4 <- Neg(s3)\n"
              "    6: s5 <- Powi(s4, -3)\n"
              "    7: s5 <- Powi(s4, -2147483648)\n"
              "    8: s6 <- Unary(Sin, s5)\n"
              "    9: s6 <- Unary(RandUniform, s5)\n"
              "   10: s8 <- Binary(Atan2, s6, i2)\n"
              "   11: s9 <- Cmp(Ne, s8, s0)\n"
              "   12: s10 <- Select(s9, s1, i0)\n"
              "   13: s11 <- Reduce(Max, [s0, i1, s2])\n"
              "   14: s11 <- Reduce(Product, [])\n"
              "   15: s12 <- Dot([s0, s1], [i0, s3])\n"
              "outputs [s12, i7]\n");
}

TEST(TapeDump, KernelInstructions) {
    Builder b;
    const std::uint32_t a_list = b.pool({s(0), s(1), in(0), in(1), s(2), s(3)});
    const std::uint32_t roles3 = b.pool({kRoleAdd, kRoleAdd, kRoleSub});
    // 5 is role 1 referencing element 0, 14 role 2 referencing element 1.
    const std::uint32_t roles4 = b.pool({kRoleKeep, 5, 14, kRoleNeg});
    const std::uint32_t src_list = b.pool({s(1), s(2), s(3), s(4)});
    b.kernel(InstrKind::Gemv, kern(list(a_list), inputs(3), 2, 0, 3), 20)
        .kernel(InstrKind::Gemv, kern(slots(0), slots(6), 3, 0, 2, 0, {2, 40, roles3}), 20)
        .kernel(InstrKind::Gemv, kern(slots(0), slots(6), 3, 0, 2, 0, {-1, 0, roles3}), 20)
        .kernel(InstrKind::Gemv, kern(slots(0), slots(6), 3, 0, 2, 0, {0, 5, roles3}), 20)
        .kernel(InstrKind::Gemm, kern(slots(0), list(a_list), 2, 3, 2, 0, {1, src_list, roles4}), 30)
        .kernel(InstrKind::Gemm, kern(inputs(0), slots(6), 2, 3, 2), 30)
        .kernel(InstrKind::Solve, kern(slots(0), slots(4), 0, 1, 2, 1), 50)
        .kernel(InstrKind::Solve, kern(slots(0), slots(4), 0, 2, 2, 1), 50)
        .kernel(InstrKind::Solve, kern(inputs(0), slots(9), 0, 1, 3, 0), 50)
        .kernel(InstrKind::Solve, kern(slots(0), slots(12), 0, 1, 2, 3), 50)
        .kernel(InstrKind::Solve, kern(slots(0), list(a_list), 0, 3, 1, 2), 50);
    EXPECT_EQ(b.t.dump(),
              "    0: s20 <- Gemv(2x3 [s0, s1, i0, i1, s2, s3], i3..i6) -> 2\n"
              "    1: s20 <- Gemv(3x2 s0..s6, s6..s8) acc s40..s43 [+,+,-] -> 3\n"
              "    2: s20 <- Gemv(3x2 s0..s6, s6..s8) acc - [+,+,-] -> 3\n"
              "    3: s20 <- Gemv(3x2 s0..s6, s6..s8) acc i5..i8 [+,+,-] -> 3\n"
              "    4: s30 <- Gemm(2x3 s0..s6, 2x3 [s0, s1, i0, i1, s2, s3]) acc pool13[4] [=,-#0,+#1,neg] -> 4\n"
              "    5: s30 <- Gemm(2x3 i0..i6, 2x3 s6..s12) -> 4\n"
              "    6: s50 <- Solve(2x2 s0..s4, s4..s6) -> 2\n"
              "    7: s50 <- SolveMany(2x2 s0..s4, 2 rhs s4..s8) -> 4\n"
              "    8: s50 <- SolveMany(3x3 i0..i9, 1 rhs s9..s12) -> 3\n"
              "    9: s50 <- SolveBatch(3 of 2x2 s0..s12, 1 rhs s12..s18) -> 6\n"
              "   10: s50 <- SolveBatch(2 of 1x1 s0..s2, 3 rhs [s0, s1, i0, i1, s2, s3]) -> 6\n"
              "outputs []\n");
}

TEST(TapeDump, IndexFieldWidens) {
    Builder b;
    for (std::uint32_t i = 0; i < 100001; ++i) b.add(Instr::constant(1.0), i);
    const std::string text = b.t.dump();
    EXPECT_EQ(line_of(text, 0), "    0: s0 <- Const(1)");
    EXPECT_EQ(line_of(text, 9999), " 9999: s9999 <- Const(1)");
    EXPECT_EQ(line_of(text, 99999), "99999: s99999 <- Const(1)");
    EXPECT_EQ(line_of(text, 100000), "100000: s100000 <- Const(1)");
    EXPECT_EQ(line_of(text, 100001), "outputs []");
}

// A broken tape stops the listing with an internal error naming the array.
TEST(TapeDump, BrokenTapesStop) {
    struct Row {
        const char* name;
        void (*breakit)(Builder&);
        const char* mentions;
    } rows[] = {
        {"missing dests entry", [](Builder& b) { b.t.dests.pop_back(); }, "dests"},
        {"reduce list past the pool",
         [](Builder& b) { b.add(Instr::make(InstrKind::Reduce, 1, 3), 0); }, "pool"},
        {"second dot list past the pool", [](Builder& b) { b.add(Instr::make(InstrKind::Dot, 0, 2), 0); }, "pool"},
        {"list block past the pool",
         [](Builder& b) { b.kernel(InstrKind::Gemv, kern(list(2), slots(0), 1, 0, 2), 0); }, "pool"},
        {"role codes past the pool",
         [](Builder& b) { b.kernel(InstrKind::Gemv, kern(slots(0), slots(0), 3, 0, 1, 0, {-1, 0, 1}), 0); },
         "pool"},
        {"accumulator list past the pool",
         [](Builder& b) { b.kernel(InstrKind::Gemv, kern(slots(0), slots(0), 2, 0, 1, 0, {1, 2, 0}), 0); },
         "pool"},
        {"kernel index past the table", [](Builder& b) { b.add(Instr::make(InstrKind::Gemm, 5), 0); }, "kernels"},
    };
    for (const Row& r : rows) {
        Builder b;
        b.pool({s(0), s(1), s(2)});
        b.add(Instr::constant(1.0), 0);
        r.breakit(b);
        try {
            b.t.dump();
            ADD_FAILURE() << r.name << ": no error";
        } catch (const InternalError& e) {
            EXPECT_NE(std::string(e.what()).find(r.mentions), std::string::npos) << r.name << ": " << e.what();
        }
    }
}

TEST(TapeSizes, KernelOutputLengths) {
    EXPECT_EQ(kernel_out_len(InstrKind::Gemv, kern({}, {}, 7, 0, 3)), 7u);
    EXPECT_EQ(kernel_out_len(InstrKind::Gemm, kern({}, {}, 7, 5, 3)), 21u);
    EXPECT_EQ(kernel_out_len(InstrKind::Solve, kern({}, {}, 0, 2, 3, 4)), 24u);
    EXPECT_EQ(kernel_out_len(InstrKind::Solve, kern({}, {}, 0, 2, 3, 0)), 0u);
    EXPECT_EQ(kernel_out_len(InstrKind::Add, kern({}, {}, 7, 5, 3)), 1u);
}

// The panel buffers appear from 65 unknowns on, twice as wide from 512.
TEST(TapeSizes, SolveWorkspace) {
    struct Row {
        std::size_t n, nrhs, len;
    } rows[] = {{0, 2, 0}, {1, 1, 2}, {64, 1, 4160}, {65, 1, 5674}, {511, 3, 272998}, {512, 3, 282348}};
    for (const Row& r : rows) EXPECT_EQ(solve_workspace(r.n, r.nrhs), r.len) << r.n << " " << r.nrhs;
}
