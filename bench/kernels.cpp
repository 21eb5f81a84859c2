// Hand-run benchmark of the interpreter and the dense kernels. Prints one
// line per measurement, "<what> <size> <value>", which bench/kernels.py
// reads and sets beside numpy's rates; it is never part of the tests.
//
//   interp_random|interp_cyclic <n_instrs> <instructions per second>
//   gemv|gemm|solve <n> <GFLOP/s>                 (n x n operands)
//   solve_batch <n> <nanoseconds per system>      (batched n x n systems)
//
// Usage: bench_kernels [seconds per measurement, default 0.3]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

#include "eval/interp.hpp"
#include "eval/kernels.hpp"
#include "tape/tape.hpp"

using namespace vantu;

namespace {

// Thread CPU time, not wall time: the machines these run on are shared, and
// a descheduled thread should not count as a slow kernel.
double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double g_seconds = 0.3;
volatile double g_sink = 0.0;

// Runs `body` (which does `work` units per call) until g_seconds have
// passed and returns units per second of the fastest of three rounds.
template <class F>
double rate(double work, F&& body) {
    body();  // warm-up
    double best = 0.0;
    for (int round = 0; round < 3; ++round) {
        std::size_t calls = 0;
        const double t0 = cpu_seconds();
        double dt = 0.0;
        do {
            body();
            ++calls;
            dt = cpu_seconds() - t0;
        } while (dt < g_seconds / 3);
        best = std::max(best, work * static_cast<double>(calls) / dt);
    }
    return best;
}

std::vector<double> random_values(std::size_t n, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> v(n);
    for (double& x : v) x = u(rng);
    return v;
}

// Enough instances of an n x n problem to cover about 4 MB, so the small
// sizes are measured over many different operands, as numpy's stacked
// batches are.
std::size_t instances(std::size_t n) { return std::max<std::size_t>(1, (1u << 19) / (n * n)); }

// A long straight-line tape of cheap arithmetic over a ring of 1024 slots:
// the interpreter's dispatch and operand reading are what it measures.
// Kinds in random order defeat branch prediction (the worst case); a
// repeating cycle of kinds is what an unrolled loop traces to.
Tape scalar_tape(std::size_t len, bool random_kinds) {
    Tape t;
    const std::uint32_t ring = 1024;
    t.n_slots = ring;
    for (std::uint32_t i = 0; i < ring; ++i) {
        t.instrs.push_back(Instr::constant(1.0 + i * 1e-3));
        t.dests.push_back(i);
    }
    std::mt19937 rng(1);
    for (std::size_t i = ring; i < len; ++i) {
        const std::uint32_t a = rng() % ring, b = rng() % ring, c = rng() % ring;
        Instr in;
        switch (random_kinds ? rng() % 6 : i % 6) {
            case 0: in = Instr::make(InstrKind::Add, a, b); break;
            case 1: in = Instr::make(InstrKind::Mul, a, input_operand(b % 8)); break;
            case 2: in = Instr::make(InstrKind::MulAdd, a, b, c); break;
            case 3: in = Instr::make(InstrKind::Sub, a, b); break;
            case 4: in = Instr::make(InstrKind::Neg, a); break;
            default: in = Instr::make(InstrKind::Select, a, b, c); break;
        }
        t.instrs.push_back(in);
        t.dests.push_back(static_cast<std::uint32_t>(i % ring));
    }
    t.outputs = {0};
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) g_seconds = std::atof(argv[1]);
    std::mt19937_64 rng(42);

    for (bool random_kinds : {true, false}) {
        const std::size_t len = 1 << 20;
        const Tape t = scalar_tape(len, random_kinds);
        std::vector<double> work(t.work_len()), in(8, 0.5), out(1);
        std::printf("%s %zu %.4g\n", random_kinds ? "interp_random" : "interp_cyclic", len,
                    rate(static_cast<double>(len), [&] { eval(t, in, work, out); }));
    }

    for (std::size_t n : {4, 8, 32, 128, 512}) {
        const std::size_t b = instances(n);
        const std::vector<double> a = random_values(b * n * n, rng), x = random_values(b * n * n, rng);
        std::vector<double> y(b * n * n);
        const double flops = 2.0 * static_cast<double>(n * n * b);
        std::printf("gemv %zu %.4g\n", n, 1e-9 * rate(flops, [&] {
                        for (std::size_t i = 0; i < b; ++i)
                            gemv({a.data() + i * n * n, n * n}, {x.data() + i * n, n}, n, n, {y.data() + i * n, n});
                    }));
        std::printf("gemm %zu %.4g\n", n, 1e-9 * rate(flops * static_cast<double>(n), [&] {
                        for (std::size_t i = 0; i < b; ++i)
                            gemm({a.data() + i * n * n, n * n}, {x.data() + i * n * n, n * n}, n, n, n,
                                 {y.data() + i * n * n, n * n});
                    }));
        // One call over the whole batch, so batches of small systems take the
        // lane path as a SolveBatch instruction would.
        std::vector<double> ws(solve_workspace(n, 1));
        const double nd = static_cast<double>(n);
        const double solve_flops = (2.0 / 3.0 * nd * nd * nd + 2.0 * nd * nd) * static_cast<double>(b);
        std::printf("solve %zu %.4g\n", n, 1e-9 * rate(solve_flops, [&] {
                        lu_solve({a.data(), b * n * n}, {x.data(), b * n}, n, 1, b, {y.data(), b * n}, ws);
                    }));
        g_sink = g_sink + y[0];
    }

    for (std::size_t n : {2, 3, 4, 8, 16}) {
        const std::size_t b = 4096;
        const std::vector<double> a = random_values(b * n * n, rng), x = random_values(b * n, rng);
        std::vector<double> y(b * n), ws(solve_workspace(n, 1));
        const double per_sec = rate(static_cast<double>(b), [&] { lu_solve(a, x, n, 1, b, y, ws); });
        std::printf("solve_batch %zu %.4g\n", n, 1e9 / per_sec);
    }
    return 0;
}
