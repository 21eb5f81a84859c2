// Hand-built tapes for the native backend's tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "tape/tape.hpp"

namespace jit_test {

using namespace vantu;

inline Operand in(std::uint32_t k) { return input_operand(k); }

struct TapeBuilder {
    Tape t;

    // Appends an instruction writing `dest`; the slot and gather areas grow
    // to cover it.
    std::uint32_t put(Instr instr, std::uint32_t dest, std::size_t out_len = 1) {
        t.instrs.push_back(instr);
        t.dests.push_back(dest);
        t.n_slots = std::max<std::size_t>(t.n_slots, dest + out_len);
        return dest;
    }
    std::uint32_t constant(double v, std::uint32_t dest) { return put(Instr::constant(v), dest); }
    std::uint32_t op(InstrKind kind, std::uint32_t dest, Operand a, Operand b = 0, Operand c = 0,
                     std::uint8_t code = 0) {
        return put(Instr::make(kind, a, b, c, code), dest);
    }
    std::uint32_t pool(std::initializer_list<std::uint32_t> words) { return pool(std::vector<std::uint32_t>(words)); }
    std::uint32_t pool(const std::vector<std::uint32_t>& words) {
        auto start = static_cast<std::uint32_t>(t.pool.size());
        t.pool.insert(t.pool.end(), words.begin(), words.end());
        return start;
    }
    std::uint32_t reduce(ReduceOp op, std::uint32_t dest, const std::vector<Operand>& xs) {
        std::uint32_t start = pool(xs);
        t.n_gather = std::max(t.n_gather, xs.size());
        return put(Instr::make(InstrKind::Reduce, start, static_cast<std::uint32_t>(xs.size()), 0,
                               static_cast<std::uint8_t>(op)),
                   dest);
    }
    std::uint32_t dot(std::uint32_t dest, const std::vector<Operand>& xs, const std::vector<Operand>& ys) {
        std::uint32_t start = pool(xs);
        pool(ys);
        t.n_gather = std::max(t.n_gather, 2 * xs.size());
        return put(Instr::make(InstrKind::Dot, start, static_cast<std::uint32_t>(xs.size())), dest);
    }
    std::uint32_t kernel(InstrKind kind, const KernelInstr& k, std::uint32_t dest) {
        t.kernels.push_back(k);
        auto idx = static_cast<std::uint32_t>(t.kernels.size() - 1);
        std::size_t out = kernel_len(kind, k);
        // List blocks are gathered, and so are input blocks when inputs are missing.
        auto gathered = [&](Block b, std::size_t len) { return b.kind == BlockKind::SlotRange ? 0 : len; };
        std::size_t a_len = kind == InstrKind::Gemv   ? std::size_t{k.m} * k.n
                            : kind == InstrKind::Gemm ? std::size_t{k.m} * k.k
                                                      : std::size_t{k.batch} * k.n * k.n;
        std::size_t b_len = kind == InstrKind::Gemv   ? k.n
                            : kind == InstrKind::Gemm ? std::size_t{k.n} * k.k
                                                      : std::size_t{k.batch} * k.k * k.n;
        std::size_t g = gathered(k.a, a_len) + gathered(k.b, b_len);
        if (kind != InstrKind::Solve && (k.acc.kind == 0 || k.acc.kind == 1)) g += out;
        t.n_gather = std::max(t.n_gather, g);
        if (kind == InstrKind::Solve) t.n_scratch = std::max(t.n_scratch, solve_workspace(k.n, k.k));
        return put(Instr::make(kind, idx), dest, out);
    }
    static std::size_t kernel_len(InstrKind kind, const KernelInstr& k) {
        if (kind == InstrKind::Gemv) return k.m;
        if (kind == InstrKind::Gemm) return std::size_t{k.m} * k.n;
        return std::size_t{k.batch} * k.k * k.n;
    }
    void outputs(std::initializer_list<Operand> outs) { t.outputs.assign(outs.begin(), outs.end()); }
};

inline KernelInstr gemv(std::uint32_t m, std::uint32_t n, Block a, Block x, Accumulator acc = {}) {
    KernelInstr k;
    k.a = a;
    k.b = x;
    k.acc = acc;
    k.m = m;
    k.n = n;
    return k;
}

inline KernelInstr gemm(std::uint32_t m, std::uint32_t kk, std::uint32_t n, Block a, Block bt,
                        Accumulator acc = {}) {
    KernelInstr k = gemv(m, n, a, bt, acc);
    k.k = kk;
    return k;
}

inline KernelInstr solve(std::uint32_t n, std::uint32_t nrhs, std::uint32_t batch, Block a, Block b) {
    KernelInstr k;
    k.a = a;
    k.b = b;
    k.n = n;
    k.k = nrhs;
    k.batch = batch;
    return k;
}

inline Block slots(std::uint32_t base) { return Block{BlockKind::SlotRange, base}; }
inline Block inputs(std::uint32_t base) { return Block{BlockKind::InputRange, base}; }
inline Block listed(std::uint32_t pool_start) { return Block{BlockKind::List, pool_start}; }

}  // namespace jit_test
