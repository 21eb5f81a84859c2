// The tape compiler's decisions, read from program listings: which nodes
// become one instruction (Gemv, Gemm, shared and batched solves, MulAdd,
// Sub), which additions fold into kernel accumulators, the execution order,
// slot reuse and operand block kinds. Each expected listing was worked out
// by hand from the compiler's rules; the values these programs compute are
// checked against a direct graph evaluation in test_compile_fuzz.cpp.
#include <gtest/gtest.h>

#include <functional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "graph/error.hpp"
#include "graph/graph.hpp"
#include "graph/semantics.hpp"
#include "tape/compile.hpp"
#include "tape/lowered.hpp"
#include "tape/topo.hpp"

using namespace vantu;

namespace {

// A program to compile: outputs and the graph input of each position
// (every graph input at its own position unless the builder says otherwise).
struct Program {
    Graph g;
    std::vector<NodeId> outputs;
    std::vector<std::uint32_t> positions;
    std::vector<NodeId> x;  // inputs x0, x1, ...

    void inputs(int n) {
        for (int i = 0; i < n; ++i) x.push_back(g.input("x" + std::to_string(i)));
    }
    NodeId sin(NodeId a) { return g.unary(UnaryOp::Sin, a); }
    NodeId sub(NodeId a, NodeId b) { return g.add(a, g.neg(b)); }
    std::vector<NodeId> xs(std::initializer_list<int> idx) const {
        std::vector<NodeId> v;
        for (int i : idx) v.push_back(x[i]);
        return v;
    }
};

struct ListingCase {
    const char* name;
    std::function<void(Program&)> build;
    const char* listing;
};

std::string compile_listing(const std::function<void(Program&)>& build) {
    Program p;
    build(p);
    if (p.positions.empty())
        for (std::uint32_t i = 0; i < p.g.n_inputs(); ++i) p.positions.push_back(i);
    return compile_tape(p.g, p.outputs, p.positions, p.positions.size()).dump();
}

void check_listings(std::span<const ListingCase> cases) {
    for (const ListingCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(compile_listing(c.build), c.listing);
    }
}

}  // namespace

// Outputs, positional inputs, and the single-use Mul or Neg that an Add absorbs.
TEST(Compile, AnalysisOutputsInputsAndAddFusion) {
    const ListingCase cases[] = {
        {"no outputs", [](Program& p) { p.inputs(2); }, "outputs []\n"},
        {"outputs repeated, an input, a constant",
         [](Program& p) {
             p.inputs(2);
             NodeId s = p.sin(p.x[0]);
             p.outputs = {p.x[1], p.g.constant(2.5), s, s, p.x[0]};
         },
         // The output-only constant has no reader and comes last.
         "    0: s0 <- Unary(Sin, i0)\n"
         "    1: s1 <- Const(2.5)\n"
         "outputs [i1, s1, s0, s0, i0]\n"},
        {"an input at two positions reads the later one",
         [](Program& p) {
             p.inputs(2);
             p.outputs = {p.g.add(p.x[0], p.x[1])};
             p.positions = {0, 1, 0};
         },
         "    0: s0 <- Add(i2, i1)\n"
         "outputs [s0]\n"},
        {"an input without a position reads NaN",
         [](Program& p) {
             p.inputs(3);
             p.outputs = {p.g.add(p.x[0], p.x[1]), p.x[1]};
             p.positions = {0, 2};
         },
         "    0: s0 <- Const(NaN)\n"
         "    1: s1 <- Add(i0, s0)\n"
         "outputs [s1, s0]\n"},
        {"single-use Mul and Neg under an Add",
         [](Program& p) {
             p.inputs(4);
             p.outputs = {p.g.add(p.g.mul(p.x[0], p.x[1]), p.x[2]), p.sub(p.x[2], p.x[3])};
         },
         "    0: s0 <- Sub(i2, i3)\n"
         "    1: s1 <- MulAdd(i0, i1, i2)\n"
         "outputs [s1, s0]\n"},
        {"a Mul used twice stays",
         [](Program& p) {
             p.inputs(4);
             NodeId m = p.g.mul(p.x[0], p.x[1]);
             p.outputs = {p.g.add(m, p.x[2]), p.g.add(m, p.x[3])};
         },
         "    0: s0 <- Mul(i0, i1)\n"
         "    1: s1 <- Add(i2, s0)\n"
         "    2: s0 <- Add(i3, s0)\n"
         "outputs [s1, s0]\n"},
        {"a Mul that is an output stays",
         [](Program& p) {
             p.inputs(3);
             NodeId m = p.g.mul(p.x[0], p.x[1]);
             p.outputs = {p.g.add(m, p.x[2]), m};
         },
         "    0: s0 <- Mul(i0, i1)\n"
         "    1: s1 <- Add(i2, s0)\n"
         "outputs [s1, s0]\n"},
        {"m + m never absorbs m",
         [](Program& p) {
             p.inputs(2);
             NodeId m = p.g.mul(p.x[0], p.x[1]);
             p.outputs = {p.g.add(m, m)};
         },
         "    0: s0 <- Mul(i0, i1)\n"
         "    1: s0 <- Add(s0, s0)\n"
         "outputs [s0]\n"},
        {"both operands qualify: the Mul is older, it is absorbed",
         [](Program& p) {
             p.inputs(3);
             NodeId m = p.g.mul(p.x[0], p.x[1]);
             NodeId n = p.g.neg(p.x[2]);
             p.outputs = {p.g.add(n, m)};
         },
         "    0: s0 <- Neg(i2)\n"
         "    1: s0 <- MulAdd(i0, i1, s0)\n"
         "outputs [s0]\n"},
        {"both operands qualify: the Neg is older, it is absorbed",
         [](Program& p) {
             p.inputs(3);
             NodeId n = p.g.neg(p.x[2]);
             NodeId m = p.g.mul(p.x[0], p.x[1]);
             p.outputs = {p.g.add(n, m)};
         },
         "    0: s0 <- Mul(i0, i1)\n"
         "    1: s0 <- Sub(s0, i2)\n"
         "outputs [s0]\n"},
    };
    check_listings(cases);
}

// Dot products gathered into Gemv and Gemm, systems into shared and batched solves.
TEST(Compile, LoweringGroupsKernels) {
    const ListingCase cases[] = {
        {"a column shared by two rows is a Gemv; a column of one row stays a Dot",
         [](Program& p) {
             p.inputs(6);
             auto col = p.xs({4, 5}), col2 = p.xs({1, 3});
             p.outputs = {p.g.dot(p.xs({2, 3}), col), p.g.dot(p.xs({0, 1}), col), p.g.dot(p.xs({0, 2}), col2)};
         },
         // Gemv rows in node order: the row [x2, x3] was built first.
         "    0: s0 <- Dot([i0, i2], [i1, i3])\n"
         "    1: s1 <- Gemv(2x2 [i2, i3, i0, i1], i4..i6) -> 2\n"
         "    2: s3 <- Const(NaN)\n"
         "outputs [s1, s2, s0]\n"},
        {"four rows by two columns: one Gemm, rows sorted by their lists",
         [](Program& p) {
             p.inputs(8);
             NodeId s = p.sin(p.x[0]);  // node id 10, past every input
             std::vector<std::vector<NodeId>> rows = {p.xs({2, 3}), p.xs({0, 1}), {s, p.x[1]}, p.xs({0, 2})};
             for (auto col : {p.xs({6, 7}), p.xs({4, 5})})
                 for (const auto& r : rows) p.outputs.push_back(p.g.dot(r, col));
         },
         // Rows by node ids: [x0,x1] < [x0,x2] < [x2,x3] < [s,x1]; columns in
         // order of their first Dot ([x6,x7] first). Row r, column c lies at r*2 + c.
         "    0: s0 <- Unary(Sin, i0)\n"
         "    1: s1 <- Gemm(4x2 [i0, i1, i0, i2, i2, i3, s0, i1], 2x2 [i6, i7, i4, i5]) -> 8\n"
         "    2: s0 <- Const(NaN)\n"
         "outputs [s5, s1, s7, s3, s6, s2, s8, s4]\n"},
        {"three of four products: a Gemv for the full column, a Dot for the other",
         [](Program& p) {
             p.inputs(8);
             auto r1 = p.xs({0, 1}), r2 = p.xs({2, 3}), c1 = p.xs({4, 5}), c2 = p.xs({6, 7});
             p.outputs = {p.g.dot(r1, c1), p.g.dot(r2, c1), p.g.dot(r1, c2)};
         },
         "    0: s0 <- Dot([i0, i1], [i6, i7])\n"
         "    1: s1 <- Gemv(2x2 i0..i4, i4..i6) -> 2\n"
         "    2: s3 <- Const(NaN)\n"
         "outputs [s1, s2, s0]\n"},
        {"a row reading another row of its column lies on a higher level",
         [](Program& p) {
             p.inputs(4);
             auto col = p.xs({2, 3});
             NodeId d1 = p.g.dot(p.xs({0, 1}), col);
             p.outputs = {p.g.dot(std::vector<NodeId>{d1, p.x[1]}, col)};
         },
         "    0: s0 <- Dot([i0, i1], [i2, i3])\n"
         "    1: s0 <- Dot([s0, i1], [i2, i3])\n"
         "outputs [s0]\n"},
        {"two systems over one matrix share one Solve",
         [](Program& p) {
             p.inputs(8);
             auto a = p.xs({0, 1, 2, 3});
             auto s1 = p.g.solve(a, p.xs({4, 5})), s2 = p.g.solve(a, p.xs({6, 7}));
             p.outputs = {s2[1], s1[0], s1[1]};
         },
         // Component i of right-hand side j at j*2 + i.
         "    0: s0 <- SolveMany(2x2 i0..i4, 2 rhs i4..i8) -> 4\n"
         "outputs [s3, s0, s1]\n"},
        {"two independent 3x3 systems form one batch",
         [](Program& p) {
             p.inputs(12);
             auto a = p.xs({0, 1, 2, 3, 4, 5, 6, 7, 8}), b = p.xs({3, 4, 5, 6, 7, 8, 9, 10, 11});
             auto rhs = p.xs({9, 10, 11});
             auto s1 = p.g.solve(a, rhs), s2 = p.g.solve(b, rhs);
             p.outputs = {s2[0], s1[2], s2[2]};
         },
         "    0: s0 <- SolveBatch(2 of 3x3 [i0, i1, i2, i3, i4, i5, i6, i7, i8, i3, i4, i5, i6, i7, i8, i9, i10, "
         "i11], 1 rhs [i9, i10, i11, i9, i10, i11]) -> 6\n"
         "outputs [s3, s2, s5]\n"},
        {"a system reading another's solution over the same matrix stays apart",
         [](Program& p) {
             p.inputs(6);
             auto a = p.xs({0, 1, 2, 3});
             auto s1 = p.g.solve(a, p.xs({4, 5}));
             auto s2 = p.g.solve(a, std::vector<NodeId>{s1[0], p.x[5]});
             p.outputs = {s2[0]};
         },
         "    0: s0 <- Solve(2x2 i0..i4, i4..i6) -> 2\n"
         "    1: s2 <- Solve(2x2 i0..i4, [s0, i5]) -> 2\n"
         "outputs [s2]\n"},
        {"a shared pair (k = 2) is not batched with a single system (k = 1)",
         [](Program& p) {
             p.inputs(8);
             auto a = p.xs({0, 1, 2, 3}), b = p.xs({3, 2, 1, 0});
             auto s1 = p.g.solve(a, p.xs({4, 5})), s2 = p.g.solve(a, p.xs({6, 7}));
             auto s3 = p.g.solve(b, p.xs({4, 5}));
             p.outputs = {s1[0], s2[0], s3[0]};
         },
         // The last output is lowered first.
         "    0: s0 <- Solve(2x2 [i3, i2, i1, i0], i4..i6) -> 2\n"
         "    1: s2 <- SolveMany(2x2 i0..i4, 2 rhs i4..i8) -> 4\n"
         "outputs [s2, s4, s0]\n"},
    };
    check_listings(cases);
}

TEST(Compile, SystemsOfSeventeenUnknownsAreNeverBatched) {
    Program p;
    p.inputs(20);
    std::vector<NodeId> a(289), b(289), rhs(17);
    for (int i = 0; i < 289; ++i) {
        a[i] = p.x[i % 20];
        b[i] = p.x[(i * 7) % 20];
    }
    for (int i = 0; i < 17; ++i) rhs[i] = p.x[i];
    auto s1 = p.g.solve(a, rhs), s2 = p.g.solve(b, rhs);
    std::vector<std::uint32_t> positions(20);
    for (std::uint32_t i = 0; i < 20; ++i) positions[i] = i;
    Tape t = compile_tape(p.g, std::vector<NodeId>{s1[0], s2[0]}, positions, 20);
    ASSERT_EQ(t.instrs.size(), 2u);
    for (const Instr& in : t.instrs) {
        ASSERT_EQ(in.kind, InstrKind::Solve);
        const KernelInstr& k = t.kernels[in.a];
        EXPECT_EQ(k.n, 17u);
        EXPECT_EQ(k.k, 1u);
        EXPECT_EQ(k.batch, 1u);
    }
    EXPECT_EQ(t.dests, (std::vector<std::uint32_t>{0, 17}));
    EXPECT_EQ(t.outputs, (std::vector<Operand>{17, 0}));
}

// Additions, differences and negations of kernel outputs folded into accumulators.
TEST(Compile, FusionFoldsReadersIntoAccumulators) {
    const ListingCase cases[] = {
        {"b - A x: one Gemv, roles all minus",
         [](Program& p) {
             p.inputs(8);
             auto col = p.xs({4, 5});
             NodeId y1 = p.g.dot(p.xs({0, 1}), col), y2 = p.g.dot(p.xs({2, 3}), col);
             NodeId b1 = p.g.unary(UnaryOp::Exp, p.x[6]), b2 = p.g.unary(UnaryOp::Exp, p.x[7]);
             p.outputs = {p.sub(b1, y1), p.sub(b2, y2)};
         },
         // The placeholder nobody reads comes last and reuses a freed slot.
         "    0: s0 <- Unary(Exp, i7)\n"
         "    1: s1 <- Unary(Exp, i6)\n"
         "    2: s2 <- Gemv(2x2 i0..i4, i4..i6) acc pool0[2] [-,-] -> 2\n"
         "    3: s1 <- Const(NaN)\n"
         "outputs [s2, s3]\n"},
        {"a kernel output that is a program output is not folded",
         [](Program& p) {
             p.inputs(8);
             auto col = p.xs({4, 5});
             NodeId y1 = p.g.dot(p.xs({0, 1}), col), y2 = p.g.dot(p.xs({2, 3}), col);
             p.outputs = {p.sub(p.x[6], y1), p.sub(p.x[7], y2), y1};
         },
         "    0: s0 <- Const(NaN)\n"
         "    1: s1 <- Gemv(2x2 i0..i4, i4..i6) acc pool0[2] [=,-] -> 2\n"
         "    2: s0 <- Sub(i6, s1)\n"
         "outputs [s0, s2, s1]\n"},
        {"no foldable reader: the placeholder still ends the program",
         [](Program& p) {
             p.inputs(6);
             auto col = p.xs({4, 5});
             NodeId y1 = p.g.dot(p.xs({0, 1}), col), y2 = p.g.dot(p.xs({2, 3}), col);
             p.outputs = {p.sin(y1), p.g.mul(y2, y2)};
         },
         // The Mul ends the kernel block and reuses its slot.
         "    0: s0 <- Gemv(2x2 i0..i4, i4..i6) -> 2\n"
         "    1: s2 <- Unary(Sin, s0)\n"
         "    2: s1 <- Mul(s1, s1)\n"
         "    3: s0 <- Const(NaN)\n"
         "outputs [s2, s1]\n"},
        {"kernel minus b stays a Sub; b plus kernel folds",
         [](Program& p) {
             p.inputs(8);
             auto col = p.xs({4, 5});
             NodeId y1 = p.g.dot(p.xs({0, 1}), col), y2 = p.g.dot(p.xs({2, 3}), col);
             p.outputs = {p.sub(y1, p.x[6]), p.g.add(p.x[7], y2)};
         },
         "    0: s0 <- Const(NaN)\n"
         "    1: s1 <- Gemv(2x2 i0..i4, i4..i6) acc pool0[2] [=,+] -> 2\n"
         "    2: s0 <- Sub(s1, i6)\n"
         "outputs [s0, s2]\n"},
        {"inputs as sources",
         [](Program& p) {
             p.inputs(6);
             auto col = p.xs({4, 5});
             NodeId y1 = p.g.dot(p.xs({0, 1}), col), y2 = p.g.dot(p.xs({2, 3}), col);
             p.outputs = {p.g.add(y1, p.x[5]), p.g.add(y2, p.x[4])};
         },
         "    0: s0 <- Gemv(2x2 i0..i4, i4..i6) acc pool0[2] [+,+] -> 2\n"
         "    1: s2 <- Const(NaN)\n"
         "outputs [s0, s1]\n"},
        {"the sum of two outputs of one kernel reads the other output",
         [](Program& p) {
             p.inputs(6);
             auto col = p.xs({4, 5});
             NodeId y1 = p.g.dot(p.xs({0, 1}), col), y2 = p.g.dot(p.xs({2, 3}), col);
             p.outputs = {p.g.add(y1, y2)};
         },
         "    0: s0 <- Const(NaN)\n"
         "    1: s1 <- Gemv(2x2 i0..i4, i4..i6) acc - [+#1,=] -> 2\n"
         "outputs [s1]\n"},
        {"negations",
         [](Program& p) {
             p.inputs(6);
             auto col = p.xs({4, 5});
             NodeId y1 = p.g.dot(p.xs({0, 1}), col), y2 = p.g.dot(p.xs({2, 3}), col);
             p.outputs = {p.g.neg(y1), p.g.neg(y2)};
         },
         "    0: s0 <- Const(NaN)\n"
         "    1: s1 <- Gemv(2x2 i0..i4, i4..i6) acc - [neg,neg] -> 2\n"
         "outputs [s1, s2]\n"},
        {"a source computed from the kernel itself is refused",
         [](Program& p) {
             p.inputs(6);
             auto col = p.xs({4, 5});
             NodeId y1 = p.g.dot(p.xs({0, 1}), col), y2 = p.g.dot(p.xs({2, 3}), col);
             p.outputs = {p.sub(p.sin(y2), y1), y2};
         },
         "    0: s0 <- Gemv(2x2 i0..i4, i4..i6) -> 2\n"
         "    1: s2 <- Unary(Sin, s1)\n"
         "    2: s2 <- Sub(s2, s0)\n"
         "    3: s3 <- Const(NaN)\n"
         "outputs [s2, s1]\n"},
        {"an Add of two kernels folds into the lower-numbered one",
         [](Program& p) {
             p.inputs(8);
             auto col = p.xs({4, 5}), col2 = p.xs({6, 7});
             NodeId y1 = p.g.dot(p.xs({0, 1}), col), y2 = p.g.dot(p.xs({2, 3}), col);
             NodeId s = p.sin(p.x[0]);
             NodeId w1 = p.g.dot(std::vector<NodeId>{s, p.x[1]}, col2);
             NodeId w2 = p.g.dot(std::vector<NodeId>{p.x[1], s}, col2);
             p.outputs = {p.g.add(y1, w1), y2, w2};
         },
         // The w kernel is lowered first (the last output leads), so it takes
         // the sum with y1 as its source; the kernel reading the Sin value
         // gets fresh slots, never the Sin's freed one.
         "    0: s0 <- Unary(Sin, i0)\n"
         "    1: s1 <- Gemv(2x2 i0..i4, i4..i6) -> 2\n"
         "    2: s3 <- Const(NaN)\n"
         "    3: s4 <- Gemv(2x2 [s0, i1, i1, s0], i6..i8) acc pool4[2] [+,=] -> 2\n"
         "outputs [s4, s2, s5]\n"},
    };
    check_listings(cases);
}

// Folding removes the readers and renumbers the survivors; sources may be
// elements lowered after the kernel (the dependency order is then checked).
TEST(Compile, FusionRenumbersSurvivorsAndRewritesOutputs) {
    Program p;
    p.inputs(8);
    auto col = p.xs({4, 5});
    NodeId y1 = p.g.dot(p.xs({0, 1}), col), y2 = p.g.dot(p.xs({2, 3}), col);
    NodeId b1 = p.g.unary(UnaryOp::Exp, p.x[6]), b2 = p.g.unary(UnaryOp::Exp, p.x[7]);
    p.outputs = {p.sub(b1, y1), p.sub(b2, y2)};
    std::vector<std::uint32_t> positions = {0, 1, 2, 3, 4, 5, 6, 7};
    Analysis an = analyze(p.g, p.outputs, positions);
    Lowered prog = lower(an, p.g, p.outputs);
    give_back_scratch_maps(std::move(an.maps));
    EXPECT_EQ(lowered_text(prog),
              "e0 = Gemv 2x2 [i0, i1, i2, i3, i4, i5]\n"
              "e1 = Unary Exp [i7]\n"
              "e2 = Sub [e1, e0.1]\n"
              "e3 = Unary Exp [i6]\n"
              "e4 = Sub [e3, e0]\n"
              "out [e4, e2]\n");
    fuse(prog);
    EXPECT_EQ(lowered_text(prog),
              "e0 = Gemv 2x2 [i0, i1, i2, i3, i4, i5, e2, e1] acc [-,-]\n"
              "e1 = Unary Exp [i7]\n"
              "e2 = Unary Exp [i6]\n"
              "e3 = Const nan\n"
              "out [e0, e0.1]\n");
}

// Slots and operand blocks.
TEST(Compile, EmissionBlocksAndSlots) {
    const ListingCase cases[] = {
        {"eight computed matrix entries are read in place",
         [](Program& p) {
             p.inputs(12);
             std::vector<NodeId> s;
             for (int i = 0; i < 8; ++i) s.push_back(p.sin(p.x[i]));
             auto col = p.xs({8, 9, 10, 11});
             p.outputs = {p.g.dot(std::vector<NodeId>(s.begin(), s.begin() + 4), col),
                          p.g.dot(std::vector<NodeId>(s.begin() + 4, s.end()), col)};
         },
         "    0: s7 <- Unary(Sin, i7)\n"
         "    1: s6 <- Unary(Sin, i6)\n"
         "    2: s5 <- Unary(Sin, i5)\n"
         "    3: s4 <- Unary(Sin, i4)\n"
         "    4: s3 <- Unary(Sin, i3)\n"
         "    5: s2 <- Unary(Sin, i2)\n"
         "    6: s1 <- Unary(Sin, i1)\n"
         "    7: s0 <- Unary(Sin, i0)\n"
         "    8: s8 <- Gemv(2x4 s0..s8, i8..i12) -> 2\n"
         "    9: s10 <- Const(NaN)\n"
         "outputs [s8, s9]\n"},
        {"three scattered computed entries are gathered from a List",
         [](Program& p) {
             p.inputs(9);
             auto col = p.xs({6, 7, 8});
             NodeId s0 = p.sin(p.x[0]), s2 = p.sin(p.x[2]), s4 = p.sin(p.x[4]);
             p.outputs = {p.g.dot(std::vector<NodeId>{s0, p.x[1], s2}, col),
                          p.g.dot(std::vector<NodeId>{p.x[3], s4, p.x[5]}, col)};
         },
         "    0: s0 <- Unary(Sin, i4)\n"
         "    1: s1 <- Unary(Sin, i2)\n"
         "    2: s2 <- Unary(Sin, i0)\n"
         "    3: s3 <- Gemv(2x3 [s2, i1, s1, i3, s0, i5], i6..i9) -> 2\n"
         "    4: s2 <- Const(NaN)\n"
         "outputs [s3, s4]\n"},
        {"a symmetric matrix repeats values: each keeps one slot",
         [](Program& p) {
             p.inputs(9);
             std::vector<NodeId> s;
             for (int i = 0; i < 6; ++i) s.push_back(p.sin(p.x[i]));
             std::vector<NodeId> a = {s[0], s[1], s[2], s[1], s[3], s[4], s[2], s[4], s[5]};
             p.outputs = p.g.solve(a, p.xs({6, 7, 8}));
         },
         // The whole matrix is one run; a value met twice keeps its later
         // reserved slot (s1, s2 and s5 stay unused).
         "    0: s8 <- Unary(Sin, i5)\n"
         "    1: s7 <- Unary(Sin, i4)\n"
         "    2: s4 <- Unary(Sin, i3)\n"
         "    3: s6 <- Unary(Sin, i2)\n"
         "    4: s3 <- Unary(Sin, i1)\n"
         "    5: s0 <- Unary(Sin, i0)\n"
         "    6: s9 <- Solve(3x3 [s0, s3, s6, s3, s4, s7, s6, s7, s8], i6..i9) -> 3\n"
         "outputs [s9, s10, s11]\n"},
        {"a kernel result takes fresh slots; its death frees them",
         [](Program& p) {
             p.inputs(6);
             auto col = std::vector<NodeId>{p.sin(p.x[4]), p.g.unary(UnaryOp::Cos, p.x[5])};
             NodeId y1 = p.g.dot(p.xs({0, 1}), col), y2 = p.g.dot(p.xs({2, 3}), col);
             p.outputs = {p.g.mul(y1, y2)};
         },
         "    0: s0 <- Unary(Cos, i5)\n"
         "    1: s1 <- Unary(Sin, i4)\n"
         "    2: s2 <- Gemv(2x2 i0..i4, [s1, s0]) -> 2\n"
         "    3: s3 <- Mul(s2, s3)\n"
         "    4: s2 <- Const(NaN)\n"
         "outputs [s3]\n"},
    };
    check_listings(cases);
}

TEST(Compile, TapeFieldsAndAreaSizes) {
    Program p;
    p.inputs(12);
    auto a = p.xs({0, 1, 2, 3, 4, 5, 6, 7, 8}), b = p.xs({3, 4, 5, 6, 7, 8, 9, 10, 11});
    auto rhs = p.xs({9, 10, 11});
    auto s1 = p.g.solve(a, rhs), s2 = p.g.solve(b, rhs);
    NodeId r = p.g.reduce(ReduceOp::Sum, std::vector<NodeId>{s1[0], s2[1], p.x[0], p.x[5], p.x[7]});
    std::vector<std::uint32_t> positions = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    Tape t = compile_tape(p.g, std::vector<NodeId>{r}, positions, 30);
    EXPECT_EQ(t.n_inputs, 30u);  // as the caller says, not as many as listed
    EXPECT_EQ(t.n_slots, 6u);    // the 6 solutions; the sum takes one of their freed slots
    EXPECT_EQ(t.dests, (std::vector<std::uint32_t>{0, 5}));
    // Gather: the batch's 2*3*(3+1) values beat the sum's 5.
    EXPECT_EQ(t.n_gather, 24u);
    EXPECT_EQ(t.n_scratch, 12u);  // one 3x3 system with 1 right-hand side: 3*(3+1)
}

// -- Scheduling on hand-built programs ----------------------------------------

namespace {

struct ElemSpec {
    InstrKind kind;
    std::vector<Ref> operands;
};

Lowered program_of(const std::vector<ElemSpec>& specs) {
    Lowered prog;
    for (const ElemSpec& s : specs) {
        Elem e;
        e.kind = s.kind;
        e.op = s.kind == InstrKind::Unary ? static_cast<std::uint8_t>(UnaryOp::Sin) : 0;
        e.ref_start = static_cast<std::uint32_t>(prog.refs.size());
        e.ref_count = static_cast<std::uint32_t>(s.operands.size());
        prog.refs.insert(prog.refs.end(), s.operands.begin(), s.operands.end());
        prog.elems.push_back(e);
    }
    return prog;
}

Ref E(std::uint32_t e) { return Ref::elem(e); }
Ref I(std::uint32_t i) { return Ref::input(i); }

}  // namespace

TEST(Compile, SchedulerOrder) {
    using K = InstrKind;
    struct Case {
        const char* name;
        std::vector<ElemSpec> elems;
        std::vector<std::uint32_t> order;
    } cases[] = {
        {"a lone constant", {{K::Const, {}}}, {0}},
        {"elements reading only inputs go lowest index first",
         {{K::Unary, {I(2)}}, {K::Unary, {I(0)}}, {K::Unary, {I(1)}}},
         {0, 1, 2}},
        // e1 and e2 are ready together after e0 with equal priority; e1
        // reads e0, just placed, so e2 goes first.
        {"equal priority: avoid reading the element just placed",
         {{K::Unary, {I(0)}}, {K::Unary, {E(0)}}, {K::Unary, {I(1)}}, {K::Add, {E(0), E(1)}}, {K::Add, {E(3), E(2)}}},
         {0, 2, 1, 3, 4}},
        // After e3, e4 (ends e0's life) and e5 (ends e1's and e2's) are both
        // ready; e5 ends more lives and runs first despite its higher index.
        {"ending more lives wins over a lower index",
         {{K::Unary, {I(3)}},
          {K::Unary, {I(1)}},
          {K::Unary, {I(2)}},
          {K::Unary, {I(0)}},
          {K::Add, {E(3), E(0)}},
          {K::Select, {E(3), E(1), E(2)}}},
         {0, 1, 2, 3, 5, 4}},
        // The constant e0 goes right before its first reader, once; the
        // constant e4 that nothing reads comes last.
        {"constants right before their first reader",
         {{K::Const, {}}, {K::Unary, {I(0)}}, {K::Mul, {E(1), E(0)}}, {K::Add, {E(0), I(1)}}, {K::Const, {}}},
         {1, 0, 2, 3, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(schedule(program_of(c.elems)), c.order);
    }
}

// -- Scratch maps ------------------------------------------------------------

TEST(Compile, ScratchGenerationWrapLeavesNoStaleEntries) {
    // On a thread of its own, so the cached maps start fresh.
    std::thread([] {
        Program p;
        p.inputs(3);
        NodeId s = p.sin(p.x[0]);
        NodeId t = p.g.add(s, p.x[1]);
        std::vector<std::uint32_t> positions = {0, 1, 2};
        const std::string want = compile_tape(p.g, std::vector<NodeId>{t, p.x[2]}, positions, 3).dump();

        compile_tape(p.g, std::vector<NodeId>{s}, positions, 3);
        EXPECT_EQ(scratch_generation_for_tests(), 2u);
        // The entries just written carry stamp 2; with the generation forced
        // to wrap past 2^32 - 1 they would read as current again unless the
        // wrap clears them.
        set_scratch_generation_for_tests(0xffffffffu);
        EXPECT_EQ(compile_tape(p.g, std::vector<NodeId>{t, p.x[2]}, positions, 3).dump(), want);
        EXPECT_EQ(scratch_generation_for_tests(), 1u);
        EXPECT_EQ(compile_tape(p.g, std::vector<NodeId>{t, p.x[2]}, positions, 3).dump(), want);
        EXPECT_EQ(compile_tape(p.g, std::vector<NodeId>{t, p.x[2]}, positions, 3).dump(), want);
        EXPECT_EQ(scratch_generation_for_tests(), 3u);
    }).join();
}

TEST(Compile, BrokenArgumentsAreInternalErrors) {
    Program p;
    p.inputs(2);
    NodeId s = p.sin(p.x[0]);
    std::vector<std::uint32_t> positions = {0, 1};
    try {
        compile_tape(p.g, std::vector<NodeId>{s, 99}, positions, 2);
        FAIL() << "no error";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "node id: index 99 out of range for length 5");
    }
    // The failed compilation left the thread's maps usable.
    EXPECT_EQ(compile_tape(p.g, std::vector<NodeId>{s}, positions, 2).dump(),
              "    0: s0 <- Unary(Sin, i0)\noutputs [s0]\n");
}

// -- Incremental topological order -------------------------------------------

namespace {

// Whether `to` reaches `from` through `edges` (so from -> to would close a cycle).
bool reaches(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& edges, std::uint32_t n, std::uint32_t a,
             std::uint32_t b) {
    std::vector<std::uint8_t> seen(n, 0);
    std::vector<std::uint32_t> stack = {a};
    seen[a] = 1;
    while (!stack.empty()) {
        std::uint32_t v = stack.back();
        stack.pop_back();
        if (v == b) return true;
        for (auto [f, t] : edges)
            if (f == v && !seen[t]) {
                seen[t] = 1;
                stack.push_back(t);
            }
    }
    return false;
}

}  // namespace

TEST(Compile, IncrementalOrderAcceptsExactlyTheAcyclicEdges) {
    std::uint64_t state = 12345;
    auto next = [&](std::uint32_t n) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>((state >> 33) % n);
    };
    for (int trial = 0; trial < 200; ++trial) {
        const std::uint32_t n = 2 + next(20);
        std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;
        for (std::uint32_t i = 0; i < n; ++i)
            if (next(2)) {
                std::uint32_t a = next(n), b = next(n);
                if (a != b) edges.emplace_back(std::min(a, b), std::max(a, b));
            }
        IncrementalOrder order;
        order.build(n, edges);
        if (trial % 3 == 0) order.set_mark_counter(0xfffffff8u - 2 * next(4));  // cross the mark wrap
        for (int k = 0; k < 40; ++k) {
            std::uint32_t from = next(n), to = next(n);
            bool cycle = from == to || reaches(edges, n, to, from);
            ASSERT_EQ(order.add_edge(from, to), !cycle) << "trial " << trial << " edge " << from << "->" << to;
            if (!cycle) edges.emplace_back(from, to);
            for (auto [f, t] : edges) ASSERT_LT(order.place(f), order.place(t));
        }
    }
}
