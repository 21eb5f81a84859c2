// Lowering tapes to the native IR: product expansion, widths, use maps,
// host-call classification and the malformed-tape stops.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "graph/error.hpp"
#include "jit/ir.hpp"
#include "test_jit_tapes.hpp"

using namespace vantu;
using namespace jit_test;

namespace {

std::vector<Operand> words(const IrProgram& ir, IrList l) {
    auto s = ir.list(l);
    return {s.begin(), s.end()};
}

template <class F>
std::string failure_of(F f) {
    try {
        f();
    } catch (const InternalError& e) {
        return e.what();
    }
    return "no failure";
}

}  // namespace

TEST(JitIr, GemvBelowEightRowsBecomesDotNodes) {
    for (std::uint32_t m : {7u, 8u}) {
        TapeBuilder b;
        // A in slots 0 .. 3m, x as inputs 0 .. 2, result block at 100.
        KernelInstr k = gemv(m, 3, slots(0), inputs(0));
        b.kernel(InstrKind::Gemv, k, 100);
        IrProgram ir = lower_to_ir(b.t);
        if (m == 7) {
            ASSERT_EQ(ir.nodes.size(), 7u);
            for (std::uint32_t i = 0; i < 7; ++i) {
                const IrNode& node = ir.nodes[i];
                EXPECT_EQ(node.kind, IrKind::Dot);
                EXPECT_EQ(node.dest, 100 + i);
                EXPECT_EQ(words(ir, node.list0), (std::vector<Operand>{3 * i, 3 * i + 1, 3 * i + 2}));
                EXPECT_EQ(words(ir, node.list1), (std::vector<Operand>{in(0), in(1), in(2)}));
            }
            EXPECT_TRUE(ir.kernels.empty());
        } else {
            ASSERT_EQ(ir.nodes.size(), 1u);
            EXPECT_EQ(ir.nodes[0].kind, IrKind::Kernel);
            ASSERT_EQ(ir.kernels.size(), 1u);
            EXPECT_EQ(ir.kernels[0].kind, KernelKind::Gemv);
            EXPECT_EQ(ir.kernels[0].m, 8u);
            EXPECT_EQ(ir.kernels[0].acc_kind, kAccNone);
            // A kernel's whole output block is written, its whole A block read.
            EXPECT_EQ(next_write(ir, 107, kNoNode - 1), kNoNode);
            EXPECT_EQ(ir.writes.of(107).size(), 1u);
            EXPECT_EQ(ir.uses.of(23).size(), 1u);
            EXPECT_EQ(ir.input_uses.of(2).size(), 1u);
        }
    }
}

// 3 x 4 product with k = 2: twelve Dot nodes in row-major element order,
// then one scalar node per role that is not "keep", in element order.
TEST(JitIr, SmallGemmExpandsWithRoles) {
    TapeBuilder b;
    const std::uint32_t d = 50;
    // Roles: e0 "+" source, e2 "-" element 5, e3 "neg", e4 "+" element 0, e11 "-" source.
    std::vector<std::uint32_t> codes(12, kRoleKeep);
    codes[0] = kRoleAdd;
    codes[2] = kRoleSub | kRoleRefBit | (5u << 3);
    codes[3] = kRoleNeg;
    codes[4] = kRoleAdd | kRoleRefBit | (0u << 3);
    codes[11] = kRoleSub;
    std::uint32_t roles = b.pool(codes);
    std::uint32_t a_list = b.pool({in(0), in(1), 7, 8, in(2), 9});  // A as a List block
    KernelInstr k = gemm(3, 2, 4, listed(a_list), slots(10), Accumulator{2, 30, roles});  // Bt slots 10..17, source 30..41
    b.kernel(InstrKind::Gemm, k, d);
    IrProgram ir = lower_to_ir(b.t);
    ASSERT_EQ(ir.nodes.size(), 12u + 5u);
    const std::vector<std::vector<Operand>> a_rows = {{in(0), in(1)}, {7, 8}, {in(2), 9}};
    for (std::uint32_t i = 0; i < 3; ++i)
        for (std::uint32_t j = 0; j < 4; ++j) {
            const IrNode& node = ir.nodes[i * 4 + j];
            ASSERT_EQ(node.kind, IrKind::Dot);
            EXPECT_EQ(node.dest, d + i * 4 + j);
            EXPECT_EQ(words(ir, node.list0), a_rows[i]);
            EXPECT_EQ(words(ir, node.list1), (std::vector<Operand>{10 + 2 * j, 11 + 2 * j}));
        }
    struct Role {
        IrKind kind;
        std::uint32_t dest;
        Operand a, b;
    };
    const Role expect[] = {
        {IrKind::Add, d + 0, 30, d + 0},      // source element 0 + out
        {IrKind::Sub, d + 2, d + 5, d + 2},   // element 5 - out
        {IrKind::Neg, d + 3, d + 3, 0},       // -out
        {IrKind::Add, d + 4, d + 0, d + 4},   // element 0 (already with its role) + out
        {IrKind::Sub, d + 11, 41, d + 11},    // source element 11 - out
    };
    for (std::size_t r = 0; r < 5; ++r) {
        const IrNode& node = ir.nodes[12 + r];
        EXPECT_EQ(node.kind, expect[r].kind) << r;
        EXPECT_EQ(node.dest, expect[r].dest) << r;
        EXPECT_EQ(node.a, expect[r].a) << r;
        if (node.kind != IrKind::Neg) {
            EXPECT_EQ(node.b, expect[r].b) << r;
        }
    }
}

// A small product whose List operands name slots of its own output block
// stays a kernel: the kernel gathers them before writing, Dot nodes would
// read slots that earlier elements already overwrote.
TEST(JitIr, SmallProductReadingItsOwnOutputStaysAKernel) {
    struct Row {
        const char* name;
        std::vector<Operand> a, x, source;
        bool expands;
    };
    const Row rows[] = {
        {"no overlap", {in(0), in(1), 7, 8}, {in(2), 9}, {}, true},
        {"A names an output slot", {in(0), in(1), 2, 8}, {in(2), 9}, {}, false},
        {"x names an output slot", {in(0), in(1), 7, 8}, {in(2), 3}, {}, false},
        {"source names an output slot", {in(0), in(1), 7, 8}, {in(2), 9}, {7, 3}, false},
        {"slot just past the block", {in(0), in(1), 4, 8}, {in(2), 9}, {4, 1}, true},
    };
    for (const Row& r : rows) {
        TapeBuilder b;
        Accumulator acc;
        if (!r.source.empty()) acc = Accumulator{1, b.pool(r.source), b.pool({kRoleAdd, kRoleAdd})};
        b.kernel(InstrKind::Gemv, gemv(2, 2, listed(b.pool(r.a)), listed(b.pool(r.x)), acc), 2);
        b.t.n_slots = 10;
        IrProgram ir = lower_to_ir(b.t);
        EXPECT_EQ(ir.kernels.empty(), r.expands) << r.name;
        EXPECT_EQ(product_lists_meet_output(b.t, b.t.instrs[0], 2), !r.expands) << r.name;
    }
}

TEST(JitIr, RolesWithoutSourceUseTheElementItself) {
    TapeBuilder b;
    std::uint32_t roles = b.pool({kRoleAdd, kRoleSub});
    b.kernel(InstrKind::Gemv, gemv(2, 1, inputs(0), inputs(2), Accumulator{kAccNoSource, 0, roles}), 0);
    IrProgram ir = lower_to_ir(b.t);
    ASSERT_EQ(ir.nodes.size(), 4u);
    EXPECT_EQ(ir.nodes[2].kind, IrKind::Add);
    EXPECT_EQ(ir.nodes[2].a, 0u);
    EXPECT_EQ(ir.nodes[2].b, 0u);
    EXPECT_EQ(ir.nodes[3].kind, IrKind::Sub);
    EXPECT_EQ(ir.nodes[3].a, 1u);
    EXPECT_EQ(ir.nodes[3].b, 1u);
}

TEST(JitIr, InputWidthGatherAndScratch) {
    {
        // Reads input 5 although the program declares 3 inputs.
        TapeBuilder b;
        b.t.n_inputs = 3;
        b.op(InstrKind::Add, 0, in(0), in(5));
        b.outputs({0});
        EXPECT_EQ(lower_to_ir(b.t).input_width, 6u);
    }
    {
        // Input blocks reaching input 17; then also an output naming input 30.
        TapeBuilder b;
        b.kernel(InstrKind::Gemv, gemv(8, 2, inputs(0), inputs(16)), 0);
        b.outputs({0, in(12)});
        IrProgram ir = lower_to_ir(b.t);
        EXPECT_EQ(ir.input_width, 18u);
        b.outputs({in(30)});
        EXPECT_EQ(lower_to_ir(b.t).input_width, 31u);
        EXPECT_EQ(ir.gather, 0u);
        EXPECT_EQ(ir.scratch, 0u);
    }
    {
        TapeBuilder b;
        b.constant(1.0, 0);
        b.outputs({0});
        EXPECT_EQ(lower_to_ir(b.t).input_width, 0u);
    }
    {
        // Min lists and List blocks gather; a Solve needs its workspace.
        TapeBuilder b;
        std::vector<Operand> xs(20, in(0));
        b.reduce(ReduceOp::Min, 0, xs);
        b.reduce(ReduceOp::Sum, 1, std::vector<Operand>(40, in(0)));
        std::uint32_t a = b.pool({in(0), in(1), in(2), in(3)});
        b.kernel(InstrKind::Solve, solve(2, 1, 1, listed(a), inputs(4)), 2);
        IrProgram ir = lower_to_ir(b.t);
        EXPECT_EQ(ir.gather, 20u);
        EXPECT_EQ(ir.scratch, 2u * 3u);
        EXPECT_EQ(ir.work_len(), 4u + 20u + 6u);
    }
}

TEST(JitIr, NextUseByBinarySearch) {
    TapeBuilder b;
    b.constant(2.0, 0);
    for (std::uint32_t i = 1; i <= 20; ++i) {
        bool reads = i == 3 || i == 9 || i == 20;
        // Node 9 reads slot 0 twice; it is listed once.
        b.op(InstrKind::Mul, i, reads ? 0 : in(0), i == 9 ? 0 : in(1));
    }
    b.op(InstrKind::Add, 0, in(0), in(1));  // node 21 writes slot 0 again
    IrProgram ir = lower_to_ir(b.t);
    EXPECT_EQ(std::vector<std::uint32_t>(ir.uses.of(0).begin(), ir.uses.of(0).end()),
              (std::vector<std::uint32_t>{3, 9, 20}));
    struct Row {
        std::uint32_t after, expect;
    };
    for (Row r : {Row{0, 3}, Row{3, 9}, Row{8, 9}, Row{9, 20}, Row{20, kNoNode}, Row{kNoNode, kNoNode}})
        EXPECT_EQ(next_use(ir, 0, r.after), r.expect) << "after " << r.after;
    EXPECT_EQ(next_write(ir, 0, 0), 21u);
    EXPECT_EQ(next_write(ir, 0, 21), kNoNode);
    EXPECT_EQ(next_input_use(ir, 1, 9), 10u);
    EXPECT_EQ(next_input_use(ir, 7, 0), kNoNode);  // past the input width
}

TEST(JitIr, HostCallClassification) {
    auto unary = [](UnaryOp op) {
        IrNode n;
        n.kind = IrKind::Unary;
        n.op = static_cast<std::uint8_t>(op);
        return host_call(n);
    };
    for (UnaryOp op : {UnaryOp::Sqrt, UnaryOp::Floor, UnaryOp::Abs, UnaryOp::Sign, UnaryOp::Ceil, UnaryOp::Trunc})
        EXPECT_FALSE(unary(op)) << int(op);
    const std::pair<UnaryOp, HostFn> dedicated[] = {
        {UnaryOp::Exp, HostFn::Exp},   {UnaryOp::Ln, HostFn::Ln},     {UnaryOp::Sin, HostFn::Sin},
        {UnaryOp::Cos, HostFn::Cos},   {UnaryOp::Sinh, HostFn::Sinh}, {UnaryOp::Cosh, HostFn::Cosh},
        {UnaryOp::Tanh, HostFn::Tanh}, {UnaryOp::Atan, HostFn::Atan},
    };
    for (auto [op, fn] : dedicated) EXPECT_EQ(unary(op), fn) << int(op);
    for (UnaryOp op : {UnaryOp::Tan, UnaryOp::Log10, UnaryOp::Log2, UnaryOp::Log1p, UnaryOp::Expm1, UnaryOp::Cbrt,
                       UnaryOp::Round, UnaryOp::Asin, UnaryOp::Digamma, UnaryOp::Trigamma, UnaryOp::RandUniform})
        EXPECT_EQ(unary(op), HostFn::Unary) << int(op);

    IrNode n;
    n.kind = IrKind::Powi;
    for (std::int32_t e : {2, -1}) {
        n.n = e;
        EXPECT_FALSE(host_call(n)) << e;
    }
    for (std::int32_t e : {3, 0, 1, -2}) {
        n.n = e;
        EXPECT_EQ(host_call(n), HostFn::Powi) << e;
    }
    n.kind = IrKind::Reduce;
    for (ReduceOp op : {ReduceOp::Sum, ReduceOp::Product, ReduceOp::Min, ReduceOp::Max}) {
        n.op = static_cast<std::uint8_t>(op);
        bool minmax = op == ReduceOp::Min || op == ReduceOp::Max;
        EXPECT_EQ(host_call(n), minmax ? std::optional<HostFn>(HostFn::Reduce) : std::nullopt) << int(op);
    }
    n.kind = IrKind::Binary;
    EXPECT_EQ(host_call(n), HostFn::Binary);
    n.kind = IrKind::Kernel;
    EXPECT_EQ(host_call(n), HostFn::Kernel);
    for (IrKind kind : {IrKind::Const, IrKind::Add, IrKind::MulAdd, IrKind::Neg, IrKind::Cmp, IrKind::Select,
                        IrKind::Dot}) {
        n.kind = kind;
        EXPECT_FALSE(host_call(n)) << int(kind);
    }
}

TEST(JitIr, MalformedTapesStop) {
    struct Row {
        const char* name;
        std::function<void(TapeBuilder&)> build;
        std::string message;
    };
    const Row rows[] = {
        {"output block past the slots",
         [](TapeBuilder& b) {
             b.kernel(InstrKind::Gemv, gemv(8, 1, inputs(0), inputs(8)), 0);
             b.t.n_slots = 7;
         },
         "kernel output block past the work array"},
        {"A overlaps the output",
         [](TapeBuilder& b) {
             b.constant(1.0, 20);
             b.kernel(InstrKind::Gemv, gemv(8, 2, slots(4), inputs(0)), 10);
         },
         "kernel reads its own output block"},
        {"small product overlaps too",
         [](TapeBuilder& b) { b.kernel(InstrKind::Gemm, gemm(2, 1, 2, slots(3), inputs(0)), 2); },
         "kernel reads its own output block"},
        {"source overlaps the output",
         [](TapeBuilder& b) {
             std::uint32_t r = b.pool(std::vector<std::uint32_t>(8, kRoleAdd));
             b.kernel(InstrKind::Gemv, gemv(8, 1, inputs(0), inputs(8), Accumulator{2, 7, r}), 0);
             b.t.n_slots = 20;
         },
         "kernel reads its own output block"},
    };
    for (const Row& r : rows) {
        TapeBuilder b;
        r.build(b);
        EXPECT_EQ(failure_of([&] { lower_to_ir(b.t); }), r.message) << r.name;
    }
    // Operand lists past the pool stop with a range error.
    TapeBuilder b;
    b.reduce(ReduceOp::Sum, 0, {in(0), in(1)});
    b.t.pool.pop_back();
    EXPECT_NE(failure_of([&] { lower_to_ir(b.t); }).find("out of range"), std::string::npos);

    TapeBuilder s;
    s.kernel(InstrKind::Solve, solve(1, 1, 1, inputs(0), inputs(1)), 0);
    IrProgram ir;
    EXPECT_EQ(failure_of([&] { expand_product(s.t, s.t.instrs[0], 0, ir); }), "a solve is no product");
}
