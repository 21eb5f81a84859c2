// The emission phase ("tape emit"): the scheduled elements become the tape's
// instructions and every value gets its place in the work array.
//
// Emission guarantees to the executors:
//  - one instruction per element in schedule order, every operand written
//    by an earlier instruction or an input, every slot below n_slots;
//  - a slot is reused only after the last reader of its value has run (the
//    reader itself may write it); program outputs are never overwritten;
//  - a kernel writes a block of fresh slots, so it never reads its own
//    output block; runs of at least 4 scalar values that a kernel reads get
//    consecutive slots reserved up front, so the kernel reads them in place;
//  - n_gather covers the largest single instruction's gathered operands and
//    n_scratch the largest Solve workspace.
#include <algorithm>

#include "graph/error.hpp"
#include "tape/lowered.hpp"

namespace vantu {

namespace {

bool is_kernel(InstrKind kind) {
    return kind == InstrKind::Gemv || kind == InstrKind::Gemm || kind == InstrKind::Solve;
}

// The operand blocks a kernel element reads, as (first operand, length)
// pairs: matrix, vector or second matrix, then the accumulator sources.
struct BlockSpans {
    std::uint32_t start[3] = {0, 0, 0};
    std::uint32_t len[3] = {0, 0, 0};
    int count = 0;
};

BlockSpans kernel_blocks(const Elem& e) {
    BlockSpans b;
    std::uint32_t first = 0, second = 0;
    switch (e.kind) {
        case InstrKind::Gemv:
            first = e.m * e.n;
            second = e.n;
            break;
        case InstrKind::Gemm:
            first = e.m * e.k;
            second = e.n * e.k;
            break;
        case InstrKind::Solve:
            first = e.batch * e.n * e.n;
            second = e.batch * e.k * e.n;
            break;
        default: fail("operand blocks of an element that is no kernel");
    }
    check(!e.has_acc() || e.kind != InstrKind::Solve, "an accumulator on an element that is neither Gemv nor Gemm");
    b.start[0] = 0;
    b.len[0] = first;
    b.start[1] = first;
    b.len[1] = second;
    b.count = 2;
    if (e.has_acc()) {
        b.start[2] = first + second;
        b.len[2] = e.width;
        b.count = 3;
    }
    check_eq("kernel operand count", e.ref_count, first + second + (e.has_acc() ? e.width : 0));
    return b;
}

// Where an element's value lives and how long. One record per element, so
// the per-operand bookkeeping touches one cache line.
struct Value {
    std::uint32_t slot = kNoId;        // first slot of the value block, once emitted
    std::uint32_t last_use = 0;        // last schedule position that reads it; kNoId: kept for ever
    std::uint32_t block_slot = kNoId;  // slot reserved for a kernel operand run
    std::uint32_t width = 1;
};

// The last_use of a value already freed: no schedule position matches it.
constexpr std::uint32_t kFreed = kNoId - 1;

struct Emitter {
    const Lowered& prog;
    Tape tape;
    std::vector<Value> values;
    std::uint32_t next_slot = 0;  // F: the next never-used slot

    explicit Emitter(const Lowered& p) : prog(p) {}

    std::uint32_t take_fresh(std::uint32_t width) {
        check(static_cast<std::uint64_t>(next_slot) + width < kInputBit, "more work slots than an operand can name");
        std::uint32_t s = next_slot;
        next_slot += width;
        return s;
    }

    Operand translate(const Ref& r) const {
        if (r.tag() == RefTag::Input) {
            check(r.index < kInputBit, "an input number past 31 bits");
            return input_operand(r.index);
        }
        check(r.tag() == RefTag::Elem && r.index < values.size() && values[r.index].slot != kNoId,
              "an operand precedes its consumer");
        const Value& v = values[r.index];
        check_index("element output", r.offset(), v.width);
        return v.slot + r.offset();
    }

    // InputRange for consecutive inputs, SlotRange for consecutive slots,
    // otherwise a List of the operands in the pool.
    Block block(std::span<const Operand> ops) {
        bool inputs = !ops.empty(), slots = !ops.empty();
        for (std::size_t i = 0; i < ops.size(); ++i) {
            inputs = inputs && is_input(ops[i]) && (i == 0 || ops[i] == ops[i - 1] + 1);
            slots = slots && !is_input(ops[i]) && (i == 0 || ops[i] == ops[i - 1] + 1);
        }
        if (inputs) return Block{BlockKind::InputRange, operand_index(ops[0])};
        if (slots) return Block{BlockKind::SlotRange, ops[0]};
        Block b{BlockKind::List, pool_append(ops)};
        return b;
    }

    std::uint32_t pool_append(std::span<const Operand> ops) {
        check(tape.pool.size() + ops.size() < kNoId, "the pool exceeds 32 bits");
        auto start = static_cast<std::uint32_t>(tape.pool.size());
        tape.pool.insert(tape.pool.end(), ops.begin(), ops.end());
        return start;
    }

    Instr build(const Elem& e, std::span<const Operand> ops);
};

Instr Emitter::build(const Elem& e, std::span<const Operand> ops) {
    auto need = [&](std::size_t count) {
        check_eq("element operand count", ops.size(), count);
    };
    auto gather = [&](std::size_t n) { tape.n_gather = std::max(tape.n_gather, n); };
    switch (e.kind) {
        case InstrKind::Const: need(0); return Instr::constant(e.value);
        case InstrKind::Add:
        case InstrKind::Mul:
        case InstrKind::Sub: need(2); return Instr::make(e.kind, ops[0], ops[1]);
        case InstrKind::MulAdd:
        case InstrKind::Select: need(3); return Instr::make(e.kind, ops[0], ops[1], ops[2]);
        case InstrKind::Neg: need(1); return Instr::make(e.kind, ops[0]);
        case InstrKind::Powi: need(1); return Instr::powi(ops[0], e.exponent);
        case InstrKind::Unary: need(1); return Instr::make(e.kind, ops[0], 0, 0, e.op);
        case InstrKind::Binary:
        case InstrKind::Cmp: need(2); return Instr::make(e.kind, ops[0], ops[1], 0, e.op);
        case InstrKind::Reduce: {
            auto len = static_cast<std::uint32_t>(ops.size());
            gather(len);
            return Instr::make(e.kind, pool_append(ops), len, 0, e.op);
        }
        case InstrKind::Dot: {
            need(2 * static_cast<std::size_t>(e.n));
            gather(ops.size());
            return Instr::make(e.kind, pool_append(ops), e.n);
        }
        case InstrKind::Gemv:
        case InstrKind::Gemm:
        case InstrKind::Solve: {
            BlockSpans spans = kernel_blocks(e);
            KernelInstr k;
            k.a = block(ops.subspan(spans.start[0], spans.len[0]));
            k.b = block(ops.subspan(spans.start[1], spans.len[1]));
            if (e.has_acc()) {
                std::span<const std::uint32_t> codes(prog.roles.data() + e.roles, e.width);
                check_range("accumulator roles", e.roles, e.width, prog.roles.size());
                bool reads_source = false;
                for (std::uint32_t c : codes)
                    reads_source = reads_source || (((c & 3) == kRoleSub || (c & 3) == kRoleAdd) && !(c & kRoleRefBit));
                if (reads_source) {
                    Block src = block(ops.subspan(spans.start[2], spans.len[2]));
                    k.acc.kind = static_cast<std::int32_t>(src.kind);
                    k.acc.base = src.base;
                } else {
                    k.acc.kind = kAccNoSource;
                }
                k.acc.roles = pool_append(codes);
            }
            std::size_t m = e.m, kk = e.k, n = e.n, batch = e.batch;
            if (e.kind == InstrKind::Gemv) {
                k.m = e.m;
                k.n = e.n;
                gather(m * n + n + m);
            } else if (e.kind == InstrKind::Gemm) {
                k.m = e.m;
                k.k = e.k;
                k.n = e.n;
                gather(m * kk + kk * n + m * n);
            } else {
                k.n = e.n;
                k.k = e.k;
                k.batch = e.batch;
                gather(batch * n * (n + kk));
                tape.n_scratch = std::max(tape.n_scratch, solve_workspace(n, kk));
            }
            check(tape.kernels.size() < kNoId, "more kernels than an index can name");
            tape.kernels.push_back(k);
            return Instr::make(e.kind, static_cast<std::uint32_t>(tape.kernels.size() - 1));
        }
    }
    fail("an element of an unknown kind");
}

}  // namespace

Tape emit(const Lowered& prog, std::span<const std::uint32_t> order) {
    const auto n = static_cast<std::uint32_t>(prog.elems.size());
    check_eq("schedule length", order.size(), n);
    Emitter em(prog);

    {
        std::vector<std::uint8_t> scheduled(n, 0);
        for (std::uint32_t x : order) {
            check_index("scheduled element", x, n);
            check(!scheduled[x], "an element scheduled twice");
            scheduled[x] = 1;
        }
    }
    // The last schedule position that reads each element; outputs live on.
    em.values.assign(n, Value{});
    std::vector<Value>& val = em.values;
    for (std::uint32_t e = 0; e < n; ++e) val[e].width = prog.elems[e].width;
    for (std::uint32_t p = 0; p < n; ++p)
        for (const Ref& r : prog.operands(prog.elems[order[p]]))
            if (r.is_elem()) {
                check_index("element reference", r.index, n);
                val[r.index].last_use = std::max(val[r.index].last_use, p);
            }
    for (const Ref& r : prog.outputs)
        if (r.is_elem()) {
            check_index("output element", r.index, n);
            val[r.index].last_use = kNoId;
        }

    // Reserve consecutive slots for runs of at least 4 single values, read at
    // offset 0, that no earlier run claimed. A value repeated inside one run
    // is reserved once per occurrence and keeps its last slot: every reader
    // goes through that one slot, the earlier ones stay unused (such a block
    // is never consecutive, so it is read as a List anyway).
    {
        std::vector<std::uint32_t> run;
        auto close_run = [&] {
            if (run.size() >= 4)
                for (std::uint32_t e : run) val[e].block_slot = em.take_fresh(1);
            run.clear();
        };
        auto qualifies = [&](const Ref& r) {
            return r.is_elem() && r.offset() == 0 && val[r.index].width == 1 && val[r.index].block_slot == kNoId;
        };
        for (std::uint32_t x : order) {
            const Elem& e = prog.elems[x];
            if (!is_kernel(e.kind)) continue;
            BlockSpans spans = kernel_blocks(e);
            auto ops = prog.operands(e);
            for (int b = 0; b < spans.count; ++b) {
                for (std::uint32_t i = 0; i < spans.len[b]; ++i) {
                    const Ref& r = ops[spans.start[b] + i];
                    if (qualifies(r))
                        run.push_back(r.index);
                    else
                        close_run();
                }
                close_run();
            }
        }
    }

    std::vector<std::uint32_t> free_slots;
    std::vector<std::uint32_t> dying;
    std::vector<Operand> ops;
    em.tape.instrs.reserve(n);
    em.tape.dests.reserve(n);
    for (std::uint32_t p = 0; p < n; ++p) {
        const std::uint32_t x = order[p];
        const Elem& e = prog.elems[x];
        ops.clear();
        dying.clear();
        for (const Ref& r : prog.operands(e)) {
            ops.push_back(em.translate(r));
            if (!r.is_elem()) continue;
            Value& v = val[r.index];
            if (v.last_use == p && v.block_slot == kNoId) {
                v.last_use = kFreed;
                dying.push_back(r.index);
            }
        }
        // Values whose last reader is x free their slots before x takes one,
        // so x may write over an operand it reads.
        std::sort(dying.begin(), dying.end());
        for (std::uint32_t d : dying)
            for (std::uint32_t i = 0; i < val[d].width; ++i) free_slots.push_back(val[d].slot + i);

        std::uint32_t dest;
        if (val[x].block_slot != kNoId) {
            dest = val[x].block_slot;
        } else if (e.width == 1 && !free_slots.empty()) {
            dest = free_slots.back();
            free_slots.pop_back();
        } else {
            // Blocks always take fresh slots: a kernel never writes over a
            // value it reads.
            check(e.width >= 1, "an element without a value");
            dest = em.take_fresh(e.width);
        }
        val[x].slot = dest;
        em.tape.dests.push_back(dest);
        em.tape.instrs.push_back(em.build(e, ops));
    }
    for (const Ref& r : prog.outputs) em.tape.outputs.push_back(em.translate(r));
    em.tape.n_slots = em.next_slot;
    return std::move(em.tape);
}

}  // namespace vantu
