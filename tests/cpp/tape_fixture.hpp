// Shared helpers of the tape, kernel and interpreter tests: hand-built
// tapes, exact float comparison, and the message of an internal error.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "graph/error.hpp"
#include "graph/semantics.hpp"
#include "tape/tape.hpp"

namespace vantu::fixture {

inline Operand s(std::uint32_t i) { return i; }
inline Operand in(std::uint32_t i) { return input_operand(i); }

constexpr Block slots(std::uint32_t base) { return {BlockKind::SlotRange, base}; }
constexpr Block inputs(std::uint32_t base) { return {BlockKind::InputRange, base}; }
constexpr Block list(std::uint32_t base) { return {BlockKind::List, base}; }

inline KernelInstr kern(Block a, Block b, std::uint32_t m, std::uint32_t k, std::uint32_t n,
                        std::uint32_t batch = 0, Accumulator acc = {}) {
    KernelInstr r;
    r.a = a, r.b = b, r.acc = acc, r.m = m, r.k = k, r.n = n, r.batch = batch;
    return r;
}

// A tape assembled instruction by instruction, with its area sizes given.
struct Builder {
    Tape t;

    explicit Builder(std::size_t n_slots = 0, std::size_t n_gather = 0, std::size_t n_scratch = 0) {
        t.n_slots = n_slots, t.n_gather = n_gather, t.n_scratch = n_scratch;
    }
    Builder& add(Instr i, std::uint32_t dest) {
        t.instrs.push_back(i);
        t.dests.push_back(dest);
        return *this;
    }
    // Appends to the pool; returns the start position.
    std::uint32_t pool(const std::vector<std::uint32_t>& v) {
        const auto at = static_cast<std::uint32_t>(t.pool.size());
        t.pool.insert(t.pool.end(), v.begin(), v.end());
        return at;
    }
    Builder& kernel(InstrKind kind, KernelInstr k, std::uint32_t dest) {
        t.kernels.push_back(k);
        return add(Instr::make(kind, static_cast<std::uint32_t>(t.kernels.size() - 1)), dest);
    }
    Builder& out(std::vector<Operand> o) {
        t.outputs = std::move(o);
        return *this;
    }
};

// Bit equality, except that any two NaNs match: which NaN payload survives
// an operation with two NaN operands depends on the operand order the
// compiler picks for a commutative instruction, not on the arithmetic.
inline ::testing::AssertionResult same_bits(double got, double want) {
    if (f64_bits(got) == f64_bits(want) || (got != got && want != want)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << std::hexfloat << got << " != " << want;
}

inline ::testing::AssertionResult same_bits(const std::vector<double>& got, const std::vector<double>& want) {
    if (got.size() != want.size()) return ::testing::AssertionFailure() << "length " << got.size();
    for (std::size_t i = 0; i < got.size(); ++i)
        if (!same_bits(got[i], want[i]))
            return ::testing::AssertionFailure() << "element " << i << ": " << std::hexfloat << got[i]
                                                 << " != " << want[i];
    return ::testing::AssertionSuccess();
}

// The message of the internal error `f` stops with, or "(no error)".
inline std::string message_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const InternalError& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace vantu::fixture
