// Random graphs compiled and interpreted against a direct node-by-node
// evaluation of the graph: the two must agree bit for bit (any NaN equals
// any NaN). The generator builds the shapes the compiler treats specially:
// dot products sharing rows and columns (Gemv, Gemm), dependent rows, sums
// and differences of kernel outputs (accumulators), linear systems sharing
// a matrix or batched side by side, single-use products and negations
// under additions (MulAdd, Sub), inputs without a position and inputs
// listed twice.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <cctype>
#include <sstream>
#include <string>
#include <vector>

#include "eval/interp.hpp"
#include "graph/graph.hpp"
#include "graph/semantics.hpp"
#include "graph_eval.hpp"
#include "tape/compile.hpp"

using namespace vantu;

namespace {

// splitmix64: the same sequence on every machine and library.
struct Rng {
    std::uint64_t s;
    std::uint64_t next() {
        std::uint64_t z = (s += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }
    bool chance(std::uint32_t percent) { return below(100) < percent; }
};

struct Generator {
    Rng rng;
    Graph g;
    std::vector<NodeId> pool;       // every value built so far
    std::vector<NodeId> dots;       // results of dot products
    std::vector<NodeId> solutions;  // results of solves
    std::vector<std::vector<NodeId>> vectors;   // rows and columns to reuse
    std::vector<std::vector<NodeId>> matrices;  // system matrices to reuse
    std::uint32_t n_inputs = 0;

    explicit Generator(std::uint64_t seed) : rng{seed} {}

    NodeId pick() {
        // Favour recent values so that structures chain into each other.
        if (rng.chance(60)) {
            std::uint32_t window = std::min<std::uint32_t>(8, static_cast<std::uint32_t>(pool.size()));
            return pool[pool.size() - 1 - rng.below(window)];
        }
        return pool[rng.below(static_cast<std::uint32_t>(pool.size()))];
    }
    NodeId pick_from(const std::vector<NodeId>& v) { return v.empty() ? pick() : v[rng.below(v.size())]; }
    std::vector<NodeId> pick_vector(std::uint32_t len) {
        if (rng.chance(40))
            for (const auto& v : vectors)
                if (v.size() == len && rng.chance(50)) return v;
        std::vector<NodeId> v(len);
        // Freshly computed entries let the compiler lay the block out in
        // consecutive slots.
        bool computed = rng.chance(30);
        for (NodeId& x : v) x = computed ? g.unary(UnaryOp::Atan, pick()) : pick();
        vectors.push_back(v);
        return v;
    }
    NodeId constant() {
        static const double values[] = {2.0, -0.5, 3.25, 0.1, -0.0, 1e300, 7.0};
        return g.constant(values[rng.below(7)]);
    }
    void keep(NodeId id) { pool.push_back(id); }

    // Dot products of every row against every column, so shared columns
    // become Gemv and shared row sets Gemm.
    void dot_block() {
        std::uint32_t m = 1 + rng.below(4), n = 1 + rng.below(3), k = 2 + rng.below(5);
        std::vector<std::vector<NodeId>> rows, cols;
        for (std::uint32_t i = 0; i < m; ++i) rows.push_back(pick_vector(k));
        for (std::uint32_t j = 0; j < n; ++j) cols.push_back(pick_vector(k));
        for (const auto& r : rows)
            for (const auto& c : cols)
                if (rng.chance(90)) {
                    NodeId d = g.dot(r, c);
                    dots.push_back(d);
                    keep(d);
                }
        if (rng.chance(25)) {
            // A row that reads another row's value against the same column.
            std::vector<NodeId> r = rows[0];
            r[rng.below(k)] = dots.empty() ? pick() : dots.back();
            NodeId d = g.dot(r, cols[0]);
            dots.push_back(d);
            keep(d);
        }
    }

    // Additions, differences and negations of kernel outputs.
    void kernel_readers() {
        NodeId d = pick_from(dots);
        NodeId other = rng.chance(30) ? pick_from(dots) : rng.chance(30) ? g.unary(UnaryOp::Cos, pick()) : pick();
        switch (rng.below(5)) {
            case 0: keep(g.add(other, d)); break;
            case 1: keep(g.add(other, g.neg(d))); break;
            case 2: keep(g.add(d, g.neg(other))); break;
            case 3: keep(g.neg(d)); break;
            default:
                // A source that itself reads a kernel output.
                keep(g.add(g.unary(UnaryOp::Sin, pick_from(dots)), g.neg(d)));
                break;
        }
    }

    void solve_block() {
        std::uint32_t n = 2 + rng.below(3);
        if (rng.chance(10)) n = 5 + rng.below(4);
        if (rng.chance(2)) n = 17;
        std::uint32_t systems = 1 + rng.below(3);
        for (std::uint32_t s = 0; s < systems; ++s) {
            std::vector<NodeId> a;
            bool reuse = rng.chance(40);
            for (const auto& mat : matrices)
                if (reuse && mat.size() == n * n) a = mat;
            if (a.empty()) {
                a.resize(n * n);
                for (NodeId& x : a) x = pick();
                // A symmetric matrix repeats values inside the block.
                if (rng.chance(30))
                    for (std::uint32_t i = 0; i < n; ++i)
                        for (std::uint32_t j = 0; j < i; ++j) a[i * n + j] = a[j * n + i];
                matrices.push_back(a);
            }
            std::vector<NodeId> b(n);
            for (NodeId& x : b) x = rng.chance(20) && !solutions.empty() ? pick_from(solutions) : pick();
            std::vector<NodeId> x = g.solve(a, b);
            for (NodeId c : x)
                if (rng.chance(80)) {
                    solutions.push_back(c);
                    keep(c);
                }
        }
    }

    void step() {
        std::uint32_t r = rng.below(100);
        NodeId a = pick(), b = pick();
        if (r < 10) {
            keep(g.add(a, b));
        } else if (r < 18) {
            keep(g.add(g.mul(a, b), pick()));
        } else if (r < 24) {
            keep(g.add(a, g.neg(b)));
        } else if (r < 30) {
            keep(g.mul(a, b));
        } else if (r < 33) {
            keep(g.mul(a, g.powi(b, -1)));
        } else if (r < 36) {
            keep(g.neg(a));
        } else if (r < 42) {
            static const UnaryOp ops[] = {UnaryOp::Sin, UnaryOp::Exp,  UnaryOp::Sqrt, UnaryOp::Abs,
                                          UnaryOp::Ln,  UnaryOp::Tanh, UnaryOp::Floor, UnaryOp::Atan};
            keep(g.unary(ops[rng.below(8)], a));
        } else if (r < 45) {
            keep(g.binary(static_cast<BinaryOp>(rng.below(4)), a, b));
        } else if (r < 48) {
            keep(g.select(g.cmp(static_cast<CmpOp>(rng.below(6)), a, b), pick(), pick()));
        } else if (r < 51) {
            keep(g.powi(a, static_cast<std::int64_t>(rng.below(7)) - 3));
        } else if (r < 56) {
            std::vector<NodeId> xs(1 + rng.below(7));
            for (NodeId& x : xs) x = pick();
            keep(g.reduce(static_cast<ReduceOp>(rng.below(4)), xs));
        } else if (r < 72) {
            dot_block();
        } else if (r < 84) {
            kernel_readers();
        } else if (r < 92) {
            solve_block();
        } else {
            keep(constant());
        }
    }
};

double input_value(Rng& rng) {
    static const double special[] = {0.0, -0.0, 1.0, -2.5, 1e-3, 4.0, 0.75, -7.0};
    if (rng.chance(85)) return static_cast<double>(static_cast<std::int64_t>(rng.below(2001)) - 1000) / 97.0;
    return special[rng.below(8)];
}

bool same(double a, double b) { return f64_bits(a) == f64_bits(b) || (a != a && b != b); }

std::string hex(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%a", v);
    return buf;
}

struct Case {
    std::vector<NodeId> outputs;
    std::vector<std::uint32_t> positions;  // graph input number per positional input
};

// One random program over a random graph; returns a failure description or
// "", and the listing in `listing`.
std::string check_seed(std::uint64_t seed, std::string& listing) {
    Generator gen(seed);
    Rng& rng = gen.rng;
    gen.n_inputs = 1 + rng.below(6);
    for (std::uint32_t i = 0; i < gen.n_inputs; ++i) gen.keep(gen.g.input("x" + std::to_string(i)));
    gen.keep(gen.constant());
    std::uint32_t steps = 5 + rng.below(40);
    for (std::uint32_t s = 0; s < steps; ++s) gen.step();

    Case c;
    std::uint32_t n_out = 1 + rng.below(6);
    for (std::uint32_t i = 0; i < n_out; ++i)
        c.outputs.push_back(i == 0 ? gen.pool.back() : gen.pick());
    // Mostly every graph input at its own position; sometimes one missing
    // (it reads NaN), one listed twice (the later position wins) or a
    // number past the graph's inputs (ignored).
    for (std::uint32_t i = 0; i < gen.n_inputs; ++i) c.positions.push_back(i);
    if (rng.chance(20)) c.positions.erase(c.positions.begin() + rng.below(c.positions.size()));
    if (rng.chance(20)) c.positions.push_back(rng.below(gen.n_inputs));
    if (rng.chance(5)) c.positions.push_back(gen.n_inputs + 3);

    Tape tape = compile_tape(gen.g, c.outputs, c.positions, c.positions.size());
    Tape again = compile_tape(gen.g, c.outputs, c.positions, c.positions.size());
    listing = tape.dump();
    if (listing != again.dump()) return "the same trace gave two different tapes";

    std::vector<double> work(tape.work_len());
    std::vector<double> out(tape.outputs.size());
    for (int round = 0; round < 3; ++round) {
        std::vector<double> values(c.positions.size());
        for (double& v : values) v = input_value(rng);
        // Supplying fewer values than positions leaves the rest NaN.
        if (round == 2 && !values.empty()) values.pop_back();
        std::vector<double> by_graph_input(gen.n_inputs, f64_from_bits(kCanonicalNanBits));
        for (std::size_t i = 0; i < c.positions.size(); ++i)
            if (c.positions[i] < gen.n_inputs)
                by_graph_input[c.positions[i]] = i < values.size() ? values[i] : f64_from_bits(kCanonicalNanBits);
        ref::GraphEval reference(gen.g, by_graph_input);

        // A poisoned work array: a slot read before it is written shows.
        std::fill(work.begin(), work.end(), 12345.678);
        eval(tape, values, work, out);
        for (std::size_t i = 0; i < out.size(); ++i) {
            double want = reference(c.outputs[i]);
            if (!same(out[i], want))
                return "output " + std::to_string(i) + " differs in round " + std::to_string(round) + ": got " + hex(out[i]) +
                       ", want " + hex(want) + "\n" + tape.dump();
        }
    }
    return "";
}

// Whether some Gemv, Gemm or Solve line of a listing reads a block in place
// from the slots ("s3..s7").
bool kernel_reads_slot_range(const std::string& listing) {
    std::istringstream in(listing);
    std::string line;
    while (std::getline(in, line)) {
        std::size_t arrow = line.find("<- ");
        if (arrow == std::string::npos) continue;
        std::string text = line.substr(arrow + 3);
        if (text.rfind("Gemv(", 0) != 0 && text.rfind("Gemm(", 0) != 0 && text.rfind("Solve", 0) != 0) continue;
        for (std::size_t p = text.find("..s"); p != std::string::npos; p = text.find("..s", p + 1)) {
            std::size_t q = p;
            while (q > 0 && std::isdigit(static_cast<unsigned char>(text[q - 1]))) --q;
            if (q < p && q > 0 && text[q - 1] == 's' && (q < 2 || !std::isalnum(static_cast<unsigned char>(text[q - 2]))))
                return true;
        }
    }
    return false;
}

}  // namespace

TEST(CompileFuzz, CompiledProgramsMatchTheGraph) {
    // The shapes the generator must keep producing for the comparison to
    // mean something, with how many listings showed each.
    auto has = [](const char* text) {
        return [text](const std::string& listing) { return listing.find(text) != std::string::npos; };
    };
    struct Shape {
        const char* name;
        std::function<bool(const std::string&)> seen_in;
        int count = 0;
    } shapes[] = {
        {"Gemv", has("Gemv(")},
        {"Gemm", has("Gemm(")},
        {"shared-matrix solve", has("SolveMany(")},
        {"batched solve", has("SolveBatch(")},
        {"single solve", has("Solve(")},
        {"plain Dot", has("Dot(")},
        {"MulAdd", has("MulAdd(")},
        {"Sub", has("Sub(")},
        {"accumulator without source", has(" acc - [")},
        {"accumulator reading another output", has("#")},
        {"accumulator reading a List", has(" acc pool")},
        {"accumulator reading slots", has(" acc s")},
        {"kernel reading a slot range", kernel_reads_slot_range},
        {"NaN constant", has("Const(NaN)")},
    };
    int failures = 0;
    for (std::uint64_t seed = 1; seed <= 3000 && failures < 3; ++seed) {
        std::string listing;
        std::string why = check_seed(seed, listing);
        if (!why.empty()) {
            ++failures;
            ADD_FAILURE() << "seed " << seed << ": " << why;
        }
        for (Shape& sh : shapes) sh.count += sh.seen_in(listing);
    }
    for (const Shape& sh : shapes) EXPECT_GE(sh.count, 10) << sh.name;
}
