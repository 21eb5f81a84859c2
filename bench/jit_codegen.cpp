// Shape of the generated AArch64 code: instruction words, loads and stores
// per IR node for a few typical programs, and the time to emit them. Runs on
// any host (the code is generated, not executed). Run by hand; never part of
// the tests.
//
// Built with -DVANTU_BENCH=ON as bench_jit_codegen, or standalone (from the
// repository root):
//   g++ -std=c++20 -O2 -ffp-contract=off -Isrc bench/jit_codegen.cpp src/graph/*.cpp src/tape/*.cpp
//       src/eval/*.cpp src/jit/*.cpp -lpthread -o /tmp/bench_jit_codegen
//
// Each line: the program, its IR nodes, then per node the instruction words
// of the segment bodies (prologue, epilogue and prefetch words apart), the
// work-array loads and stores, the input loads and the host calls; and the
// emission time per node.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "graph/graph.hpp"
#include "jit/aarch64.hpp"
#include "jit/host.hpp"
#include "jit/ir.hpp"
#include "jit/native.hpp"
#include "tape/compile.hpp"

using namespace vantu;

namespace {

struct Workload {
    std::string name;
    Graph g;
    std::vector<NodeId> outputs;
    std::vector<std::uint32_t> positions;

    NodeId in(const std::string& name) {
        positions.push_back(static_cast<std::uint32_t>(positions.size()));
        return g.input(name);
    }
};

// p(x) = c0 + x (c1 + x (c2 + ...)) with 1000 distinct coefficients.
void polynomial(Workload& w) {
    NodeId x = w.in("x");
    NodeId p = w.g.constant(1.0 / 1000.0);
    for (int k = 999; k >= 1; --k) p = w.g.add(w.g.mul(p, x), w.g.constant(1.0 / k));
    w.outputs.push_back(p);
}

// y = A x for a 64 x 64 input matrix: 64 dot products fused into one Gemv.
void gemv64(Workload& w) {
    std::vector<NodeId> a, x;
    for (int i = 0; i < 64 * 64; ++i) a.push_back(w.in("a" + std::to_string(i)));
    for (int i = 0; i < 64; ++i) x.push_back(w.in("x" + std::to_string(i)));
    for (int i = 0; i < 64; ++i)
        w.outputs.push_back(w.g.dot(std::span<const NodeId>(a).subspan(64 * i, 64), x));
}

// The right-hand side of a damped double pendulum with a driven cart:
// trigonometry, products, divisions and a few host calls per state.
void ode_rhs(Workload& w) {
    Graph& g = w.g;
    NodeId t1 = w.in("t1"), t2 = w.in("t2"), w1 = w.in("w1"), w2 = w.in("w2"), xc = w.in("x"), vc = w.in("v");
    NodeId m1 = w.in("m1"), m2 = w.in("m2"), l1 = w.in("l1"), l2 = w.in("l2"), grav = w.in("g"), c = w.in("c"),
           time = w.in("time");
    auto sub = [&](NodeId a, NodeId b) { return g.add(a, g.neg(b)); };
    auto div = [&](NodeId a, NodeId b) { return g.mul(a, g.powi(b, -1)); };
    NodeId d = sub(t1, t2);
    NodeId sd = g.unary(UnaryOp::Sin, d), cd = g.unary(UnaryOp::Cos, d);
    NodeId s1 = g.unary(UnaryOp::Sin, t1), s2 = g.unary(UnaryOp::Sin, t2);
    NodeId msum = g.add(m1, m2);
    NodeId den = sub(g.mul(msum, g.constant(2.0)), g.mul(m2, g.unary(UnaryOp::Cos, g.mul(g.constant(2.0), d))));
    NodeId w1s = g.mul(w1, w1), w2s = g.mul(w2, w2);
    NodeId num1 = sub(sub(g.mul(g.neg(grav), g.mul(g.mul(g.constant(2.0), msum), s1)),
                          g.mul(g.mul(m2, grav), g.unary(UnaryOp::Sin, sub(t1, g.mul(g.constant(2.0), t2))))),
                      g.mul(g.mul(g.constant(2.0), g.mul(sd, m2)), g.add(g.mul(w2s, l2), g.mul(g.mul(w1s, l1), cd))));
    NodeId num2 = g.mul(g.mul(g.constant(2.0), sd),
                        g.add(g.add(g.mul(w1s, g.mul(l1, msum)), g.mul(grav, g.mul(msum, g.unary(UnaryOp::Cos, t1)))),
                              g.mul(w2s, g.mul(l2, g.mul(m2, cd)))));
    NodeId force = g.mul(g.unary(UnaryOp::Tanh, sub(xc, g.unary(UnaryOp::Sin, time))), g.constant(-3.0));
    NodeId a1 = sub(div(num1, g.mul(l1, den)), g.mul(c, w1));
    NodeId a2 = sub(div(num2, g.mul(l2, den)), g.mul(c, w2));
    NodeId ac = sub(force, g.mul(c, g.mul(vc, g.unary(UnaryOp::Exp, g.mul(g.constant(-0.1), g.mul(vc, vc))))));
    w.outputs = {w1, w2, vc, a1, a2, ac, g.mul(s2, s1)};
}

struct Counts {
    std::size_t body = 0, loads = 0, input_loads = 0, stores = 0, calls = 0;
};

// Classifies the words of one segment (prologue and epilogue excluded).
void count(const std::vector<std::uint32_t>& words, std::size_t hosts_cached, Counts& c) {
    const std::size_t prologue = 14 + 3 * hosts_cached, epilogue = 11;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::uint32_t w = words[i];
        if (w == 0xd800400au) continue;  // prefetch
        if (i < prologue || i + epilogue >= words.size()) continue;
        ++c.body;
        const std::uint32_t rn = (w >> 5) & 31;
        if ((w & 0xffc00000u) == 0xfd400000u || (w & 0xffe00c00u) == 0xfc600800u) {
            if (rn == 20) ++c.input_loads;  // [x20, ...]
            else ++c.loads;
        }
        if ((w & 0xffc00000u) == 0xfd000000u || (w & 0xffe00c00u) == 0xfc200800u) ++c.stores;
        if ((w & 0xfffffc1fu) == 0xd63f0000u) ++c.calls;  // blr
    }
}

void report(Workload& w) {
    Tape tape = compile_tape(w.g, w.outputs, w.positions, w.positions.size());
    IrProgram ir = lower_to_ir(tape);
    HostContext ctx = build_host_context(ir);
    const auto n = static_cast<std::uint32_t>(ir.nodes.size());
    Counts c;
    double best = 1e30;
    for (int rep = 0; rep < 5; ++rep) {
        Counts here;
        auto t0 = std::chrono::steady_clock::now();
        for (std::uint32_t first = 0; first < n; first += kSegmentNodes) {
            SegmentCode seg = emit_segment(ir, ctx, first, std::min(n, first + kSegmentNodes));
            count(seg.words, std::min<std::size_t>(seg.hosts.size(), 7), here);
        }
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        best = std::min(best, s);
        c = here;
    }
    const double per = n ? 1.0 / n : 0.0;
    std::printf("%-28s %6u nodes  %5.2f words  %5.2f loads  %5.2f input loads  %5.2f stores  %5.3f calls"
                "  per node;  %6.1f ns/node to emit\n",
                w.name.c_str(), n, c.body * per, c.loads * per, c.input_loads * per, c.stores * per, c.calls * per,
                best * 1e9 * per);
}

}  // namespace

// With an argument, writes the ODE program's code to that file as raw
// words, for reading with the GNU disassembler:
//   aarch64-linux-gnu-objdump -D -b binary -m aarch64 FILE
int main(int argc, char** argv) {
    if (argc > 1) {
        Workload w;
        ode_rhs(w);
        NativeImage image = build_native_image(compile_tape(w.g, w.outputs, w.positions, w.positions.size()));
        if (FILE* f = std::fopen(argv[1], "wb")) {
            std::fwrite(image.bytes.data(), 1, image.bytes.size(), f);
            std::fclose(f);
        }
        return 0;
    }
    {
        Workload w;
        w.name = "polynomial of 1000 terms";
        polynomial(w);
        report(w);
    }
    {
        Workload w;
        w.name = "gemv 64x64";
        gemv64(w);
        report(w);
    }
    {
        Workload w;
        w.name = "ODE right-hand side";
        ode_rhs(w);
        report(w);
    }
    return 0;
}
