// Interpreted batch evaluation against a plain loop of single evaluations,
// each on a fresh work buffer filled with junk: whichever way a batch is
// split over work buffers, every instance must give the bits of its own
// evaluation.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "eval/batch.hpp"
#include "eval/interp.hpp"
#include "eval/pool.hpp"
#include "graph/error.hpp"
#include "graph/graph.hpp"
#include "tape/compile.hpp"

using namespace vantu;

namespace {

struct Program {
    Tape tape;
    std::size_t n_inputs;
};

// Scalar work beside the kernels that use the gather and scratch areas: a
// reduction over a list, two dot products sharing a column, a 3x3 system.
// Outputs include an input read straight through. Without inputs the
// program is constants only.
Program make_program(std::size_t n) {
    Graph g;
    std::vector<std::uint32_t> positions;
    std::vector<NodeId> outputs;
    if (n == 0) {
        outputs = {g.unary(UnaryOp::Sin, g.constant(3.0)), g.constant(2.5)};
    } else {
        std::vector<NodeId> x;
        for (std::size_t i = 0; i < n; ++i) {
            x.push_back(g.input("x" + std::to_string(i)));
            positions.push_back(static_cast<std::uint32_t>(i));
        }
        auto in = [&](std::size_t i) { return x[i % n]; };
        NodeId a = g.add(g.mul(g.unary(UnaryOp::Sin, in(0)), in(1)), in(2));
        std::vector<NodeId> list = {in(0), a, in(1), in(2)};
        NodeId r = g.reduce(ReduceOp::Max, list);
        std::vector<NodeId> col = {a, r, in(0)}, row1 = {in(0), in(1), in(2)}, row2 = {in(1), in(2), in(0)};
        NodeId d1 = g.dot(row1, col), d2 = g.dot(row2, col);
        std::vector<NodeId> m = {a, in(0), in(1), in(1), r, in(2), in(2), d1, d2};
        std::vector<NodeId> rhs = {in(0), in(1), in(2)};
        std::vector<NodeId> sol = g.solve(m, rhs);
        outputs = {sol[0], sol[2], g.add(d1, d2), a, in(n - 1)};
    }
    return {compile_tape(g, outputs, positions, positions.size()), n};
}

std::vector<double> make_inputs(std::size_t count) {
    std::vector<double> v(count);
    std::uint64_t s = 0x243f6a8885a308d3ull;
    for (double& d : v) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        d = static_cast<double>(static_cast<std::int64_t>(s >> 11) % 2000001 - 1000000) / 250000.0;
    }
    return v;
}

// The oracle: each instance alone on a fresh work buffer of junk.
std::vector<double> one_by_one(const Program& p, const std::vector<double>& inputs) {
    const std::size_t w = p.n_inputs == 0 ? 1 : p.n_inputs, n_out = p.tape.outputs.size();
    const std::size_t instances = inputs.size() / w;
    std::vector<double> out(instances * n_out);
    std::vector<double> work(p.tape.work_len());
    for (std::size_t i = 0; i < instances; ++i) {
        work.assign(work.size(), i % 2 ? -1234.5 : std::numeric_limits<double>::quiet_NaN());
        eval(p.tape, std::span(inputs).subspan(i * w, w), work, std::span(out).subspan(i * n_out, n_out));
    }
    return out;
}

void expect_same_bits(const std::vector<double>& got, const std::vector<double>& want, const std::string& what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    for (std::size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i]), std::bit_cast<std::uint64_t>(want[i]))
            << what << ", value " << i;
}

}  // namespace

TEST(Batch, EveryInstanceAsIfAlone) {
    const std::size_t p4 = 4 * pool_threads();
    // Around the parallel threshold, the chunk cap of 4096 with a partial
    // last chunk, and sizes no chunk length divides.
    const std::size_t sizes[] = {0, 1, 5, kParallelBatch - 1, kParallelBatch, kParallelBatch + 1,
                                 p4 * 4096 + 4095, 40009};
    for (std::size_t n_inputs : {0u, 1u, 3u}) {
        const Program p = make_program(n_inputs);
        ASSERT_GE(p.tape.n_gather + p.tape.n_scratch, n_inputs ? 1u : 0u);
        const std::size_t w = n_inputs == 0 ? 1 : n_inputs;
        for (std::size_t instances : sizes) {
            const std::vector<double> inputs = make_inputs(instances * w);
            std::vector<double> out(3, 99.0);  // replaced whatever it held
            eval_many_interpreted(p.tape, inputs, n_inputs, out);
            expect_same_bits(out, one_by_one(p, inputs),
                             std::to_string(n_inputs) + " inputs, " + std::to_string(instances) + " instances");
        }
    }
}

TEST(Batch, NoOutputsGivesNothing) {
    Graph g;
    g.input("x");
    const std::vector<std::uint32_t> positions = {0};
    const Tape t = compile_tape(g, {}, positions, 1);
    std::vector<double> out(4, 1.0);
    eval_many_interpreted(t, make_inputs(kParallelBatch * 2), 1, out);
    EXPECT_TRUE(out.empty());
}

TEST(Batch, PartialTrailingVectorIsRefused) {
    const Program p = make_program(3);
    std::vector<double> out;
    try {
        eval_many_interpreted(p.tape, make_inputs(7), 3, out);
        FAIL() << "no failure";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "input values not a whole number of vectors (1 != 0)");
    }
}
