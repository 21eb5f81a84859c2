// Compile throughput of the tape compiler: graph nodes compiled per second
// for random scalar graphs of 10^4, 10^5 and 10^6 nodes and for a 200x200
// matrix product (40000 dot products of length 200, which become one Gemm).
// Run by hand; never part of the tests.
//
// Built with -DVANTU_BENCH=ON as bench_compile, or standalone (from the
// repository root):
//   g++ -std=c++20 -O2 -ffp-contract=off -Isrc bench/compile.cpp src/graph/*.cpp src/tape/*.cpp -o /tmp/bench_compile
//   /tmp/bench_compile [seconds per measurement, default 0.5; 0 runs each once] [workload name filter]
//
// Each line: the graph, its reachable node count, the best time of one
// compilation (thread CPU time, so a shared machine's other load does not
// count) and the nodes per second; then the time per phase.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "graph/graph.hpp"
#include "tape/compile.hpp"
#include "tape/lowered.hpp"

using namespace vantu;

namespace {

double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

struct Workload {
    std::string name;
    Graph g;
    std::vector<NodeId> outputs;
    std::vector<std::uint32_t> positions;
};

// A seeded random scalar DAG of about `target` nodes over 64 inputs: each
// step combines recent and older values by a common operation (with single
// use products and negations under sums, so MulAdd and Sub form). The
// outputs are the values nothing else reads, so every node is reachable.
void scalar_graph(Workload& w, std::size_t target) {
    Graph& g = w.g;
    std::vector<NodeId> pool;
    for (std::uint32_t i = 0; i < 64; ++i) {
        pool.push_back(g.input("x" + std::to_string(i)));
        w.positions.push_back(i);
    }
    std::uint64_t s = 0x2545f4914f6cdd1dull;
    auto next = [&](std::size_t n) {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return static_cast<std::size_t>(s % n);
    };
    auto pick = [&] {
        std::size_t n = pool.size();
        return next(4) != 0 ? pool[n - 1 - next(std::min<std::size_t>(n, 32))] : pool[next(n)];
    };
    while (g.n_nodes() < target) {
        NodeId a = pick(), b = pick(), r;
        switch (next(8)) {
            case 0: r = g.add(a, b); break;
            case 1: r = g.mul(a, b); break;
            case 2: r = g.add(g.mul(a, b), pick()); break;
            case 3: r = g.add(a, g.neg(b)); break;
            case 4: r = g.unary(UnaryOp::Sin, a); break;
            case 5: r = g.mul(a, g.powi(b, -1)); break;
            case 6: r = g.select(g.cmp(CmpOp::Lt, a, b), a, pick()); break;
            default: r = g.add(g.mul(a, g.constant(static_cast<double>(next(100)) * 0.25)), b); break;
        }
        pool.push_back(r);
    }
    std::vector<std::uint8_t> used(g.n_nodes(), 0);
    for (NodeId id = 0; id < g.n_nodes(); ++id)
        for (NodeId op : g.operands(id)) used[op] = 1;
    for (NodeId id = 2; id < g.n_nodes(); ++id)
        if (!used[id] && g.kind(id) != NodeKind::Input) w.outputs.push_back(id);
}

void matmul_graph(Workload& w, std::uint32_t n) {
    Graph& g = w.g;
    std::vector<NodeId> a(n * n), bt(n * n);
    for (std::uint32_t i = 0; i < n * n; ++i) {
        a[i] = g.input("a" + std::to_string(i));
        w.positions.push_back(i);
    }
    for (std::uint32_t i = 0; i < n * n; ++i) {
        bt[i] = g.input("b" + std::to_string(i));
        w.positions.push_back(n * n + i);
    }
    for (std::uint32_t i = 0; i < n; ++i)
        for (std::uint32_t j = 0; j < n; ++j) {
            std::vector<NodeId> row(a.begin() + i * n, a.begin() + (i + 1) * n);
            std::vector<NodeId> col(bt.begin() + j * n, bt.begin() + (j + 1) * n);
            w.outputs.push_back(g.dot(row, col));
        }
}

void measure(Workload& w, double budget) {
    auto run_once = [&] {
        return compile_tape(w.g, w.outputs, w.positions, w.positions.size());
    };
    Tape t = run_once();  // warm the thread's scratch maps
    double best = 1e30;
    int runs = 0;
    double start = cpu_seconds();
    const int min_runs = budget > 0 ? 3 : 1;
    while (runs < min_runs || (cpu_seconds() - start < budget && runs < 50)) {
        double t0 = cpu_seconds();
        Tape tape = run_once();
        best = std::min(best, cpu_seconds() - t0);
        ++runs;
    }
    // Phase split of one more compilation.
    double p[6];
    p[0] = cpu_seconds();
    Analysis an = analyze(w.g, w.outputs, w.positions);
    p[1] = cpu_seconds();
    Lowered low = lower(an, w.g, w.outputs);
    p[2] = cpu_seconds();
    fuse(low);
    p[3] = cpu_seconds();
    std::vector<std::uint32_t> order = schedule(low);
    p[4] = cpu_seconds();
    Tape tape = emit(low, order);
    p[5] = cpu_seconds();
    std::size_t reachable = an.order.size();
    give_back_scratch_maps(std::move(an.maps));

    std::printf("%-16s nodes %8zu  instrs %8zu  best %9.3f ms  %6.2f M nodes/s   "
                "(analyze %.1f, lower %.1f, fuse %.1f, schedule %.1f, emit %.1f ms)\n",
                w.name.c_str(), reachable, t.instrs.size(), best * 1e3, reachable / best * 1e-6,
                (p[1] - p[0]) * 1e3, (p[2] - p[1]) * 1e3, (p[3] - p[2]) * 1e3, (p[4] - p[3]) * 1e3,
                (p[5] - p[4]) * 1e3);
}

}  // namespace

int main(int argc, char** argv) {
    double budget = argc > 1 ? std::atof(argv[1]) : 0.5;
    // An optional second argument picks the workloads whose name contains it.
    std::string only = argc > 2 ? argv[2] : "";
    auto wanted = [&](const std::string& name) { return name.find(only) != std::string::npos; };
    for (std::size_t n : {10000u, 100000u, 1000000u}) {
        Workload w;
        w.name = "scalar " + std::to_string(n);
        if (!wanted(w.name)) continue;
        scalar_graph(w, n);
        measure(w, budget);
    }
    Workload mm;
    mm.name = "matmul 200x200";
    if (!wanted(mm.name)) return 0;
    matmul_graph(mm, 200);
    measure(mm, budget);
}
