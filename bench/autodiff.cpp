// Derivative construction speed: how fast the sweeps add derivative nodes to
// a graph. Run by hand; never part of the tests.
//
// Standalone build (from the repository root):
//   g++ -std=c++20 -O2 -ffp-contract=off -Isrc bench/autodiff.cpp src/graph/*.cpp src/autodiff/*.cpp -o /tmp/bench_autodiff
//   /tmp/bench_autodiff
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "autodiff/autodiff.hpp"
#include "graph/graph.hpp"

using namespace vantu;

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A seeded pseudo-random scalar function of `n_inputs` inputs with about
// `target` nodes: each step combines two earlier values by one of the common
// operations, so the graph is a wide DAG rather than one chain.
NodeId random_function(Graph& g, std::size_t n_inputs, std::size_t target) {
    std::vector<NodeId> pool;
    for (std::size_t i = 0; i < n_inputs; ++i) pool.push_back(g.input("x" + std::to_string(i)));
    std::uint64_t s = 0x9e3779b97f4a7c15ull;
    auto next = [&] {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    };
    const NodeId half = g.constant(0.5);
    while (g.n_nodes() < target) {
        NodeId a = pool[next() % pool.size()];
        NodeId b = pool[pool.size() - 1 - next() % std::min<std::size_t>(pool.size(), 64)];
        NodeId v;
        switch (next() % 8) {
            case 0: v = g.add(a, b); break;
            case 1: v = g.mul(a, b); break;
            case 2: v = g.add(a, g.neg(b)); break;
            case 3: v = g.unary(UnaryOp::Sin, g.mul(a, half)); break;
            case 4: v = g.unary(UnaryOp::Exp, g.mul(a, half)); break;
            case 5: v = g.mul(a, g.powi(b, -1)); break;
            case 6: v = g.select(g.cmp(CmpOp::Gt, a, b), a, b); break;
            default: {
                const NodeId xs[] = {a, b, pool[next() % pool.size()]};
                v = g.reduce(ReduceOp::Sum, xs);
                break;
            }
        }
        pool.push_back(v);
    }
    // The root sums the last values so that most of the graph is reached.
    std::vector<NodeId> tail(pool.end() - std::min<std::size_t>(pool.size(), 256), pool.end());
    return g.reduce(ReduceOp::Sum, tail);
}

void report(const char* what, std::size_t before, std::size_t after, double secs) {
    const double added = static_cast<double>(after - before);
    std::printf("%-44s %9.0f nodes added in %8.2f ms: %6.2f M nodes/s\n", what, added, secs * 1e3,
                added / secs * 1e-6);
}

}  // namespace

int main() {
    for (std::size_t target : {100000u, 1000000u}) {
        Graph g;
        const std::size_t n_inputs = 1000;
        NodeId f = random_function(g, n_inputs, target);
        std::printf("function of %zu nodes, %zu inputs\n", g.n_nodes(), g.n_inputs());
        std::vector<std::uint32_t> wrt(n_inputs);
        for (std::uint32_t i = 0; i < n_inputs; ++i) wrt[i] = i;

        std::size_t before = g.n_nodes();
        auto t0 = std::chrono::steady_clock::now();
        gradient(g, f, wrt);
        report("  gradient (reverse sweep)", before, g.n_nodes(), seconds_since(t0));

        // Repeating it builds nothing: the cost of the sweep over shared nodes.
        before = g.n_nodes();
        t0 = std::chrono::steady_clock::now();
        gradient(g, f, wrt);
        double secs = seconds_since(t0);
        std::printf("  %-42s %8.2f ms (%zu nodes added)\n", "gradient again", secs * 1e3, g.n_nodes() - before);

        // Forward sweeps over the first ten inputs.
        const NodeId roots[] = {f};
        before = g.n_nodes();
        t0 = std::chrono::steady_clock::now();
        for (std::uint32_t i = 0; i < 10; ++i) tangents(g, roots, i);
        report("  10 forward sweeps", before, g.n_nodes(), seconds_since(t0));
    }

    // A Jacobian of many small rows: 2000 outputs over 1000 inputs, each
    // depending on 8 inputs (forward sweeps) or on 24 (reverse sweeps).
    for (std::size_t deps : {8u, 24u}) {
        Graph g;
        std::vector<NodeId> in;
        for (int i = 0; i < 1000; ++i) in.push_back(g.input("x" + std::to_string(i)));
        std::vector<NodeId> outputs;
        for (std::size_t r = 0; r < 2000; ++r) {
            NodeId acc = g.zero();
            for (std::size_t k = 0; k < deps; ++k) {
                NodeId x = in[(r * 37 + k * 101) % in.size()];
                acc = g.add(g.unary(UnaryOp::Sin, g.mul(acc, x)), x);
            }
            outputs.push_back(acc);
        }
        std::vector<std::uint32_t> wrt(in.size());
        for (std::uint32_t i = 0; i < wrt.size(); ++i) wrt[i] = i;
        const std::size_t before = g.n_nodes();
        auto t0 = std::chrono::steady_clock::now();
        std::vector<JacobianRow> rows = jacobian_rows(g, outputs, wrt);
        const double secs = seconds_since(t0);
        std::size_t entries = 0;
        for (const JacobianRow& row : rows) entries += row.size();
        std::string what = "jacobian 2000 rows x " + std::to_string(deps) + " deps (" + std::to_string(entries) +
                           " entries)";
        report(what.c_str(), before, g.n_nodes(), secs);
    }
    return 0;
}
