// The interpreter: one switch over 16-byte instructions. Scalar results go
// to their destination slot; operand lists and non-contiguous kernel blocks
// are copied into the gather area, the Solve workspace is the scratch area,
// so nothing is allocated while a tape runs. Every index the tape supplies
// is checked before it is used: a malformed tape stops with an internal
// error instead of touching memory outside the arrays.
#include "eval/interp.hpp"

#include <limits>

#include "eval/kernels.hpp"
#include "graph/error.hpp"
#include "graph/semantics.hpp"

namespace vantu {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The arrays of one run. Slot operands are below n_slots <= 2^31, so one
// unsigned comparison both recognises a slot operand and bounds-checks it;
// everything else is an input (NaN past the inputs supplied) or a bad slot.
struct Frame {
    const Tape& tape;
    const double* inputs;
    std::size_t n_inputs;
    double* slots;
    std::size_t n_slots;
    double* gather;
    std::size_t n_gather;
    double* scratch;
    std::size_t n_scratch;

    [[noreturn, gnu::noinline, gnu::cold]] void bad_slot(Operand o) const { fail_index("work slots", o, n_slots); }

    double read(Operand o) const {
        if (o < n_slots) [[likely]]
            return slots[o];
        if (!is_input(o)) [[unlikely]]
            bad_slot(o);
        const std::uint32_t i = operand_index(o);
        return i < n_inputs ? inputs[i] : kNaN;
    }

    // Copies the operands pool[start .. start+count] to gather[at ..].
    void gather_list(std::size_t start, std::size_t count, std::size_t at) const {
        check_range("tape pool", start, count, tape.pool.size());
        check_range("gather area", at, count, n_gather);
        const std::uint32_t* p = tape.pool.data() + start;
        double* g = gather + at;
        for (std::size_t i = 0; i < count; ++i) g[i] = read(p[i]);
    }
};

// A kernel operand block after resolution: where its values are, and, for a
// block read in place from the slot area, its slot range for the overlap
// check.
struct Resolved {
    const double* data;
    std::size_t len;
    bool in_slots;
    std::size_t base;
};

Resolved resolve(const Frame& f, Block b, std::size_t len, std::size_t& cursor) {
    switch (b.kind) {
        case BlockKind::SlotRange:
            check_range("work slots", b.base, len, f.n_slots);
            return {f.slots + b.base, len, true, b.base};
        case BlockKind::InputRange: {
            if (len <= f.n_inputs && b.base <= f.n_inputs - len) return {f.inputs + b.base, len, false, 0};
            // Some inputs missing: a copy with NaN in their places.
            check_range("gather area", cursor, len, f.n_gather);
            double* g = f.gather + cursor;
            for (std::size_t t = 0; t < len; ++t) {
                const std::size_t i = std::size_t{b.base} + t;
                g[t] = i < f.n_inputs ? f.inputs[i] : kNaN;
            }
            cursor += len;
            return {g, len, false, 0};
        }
        case BlockKind::List: {
            f.gather_list(b.base, len, cursor);
            const double* g = f.gather + cursor;
            cursor += len;
            return {g, len, false, 0};
        }
    }
    fail("kernel block of unknown kind");
}

void check_no_overlap(const Resolved& r, std::size_t d, std::size_t out_len) {
    if (r.in_slots && r.base < d + out_len && d < r.base + r.len) fail("kernel reads its own output block");
}

// The three areas fit in `len` values (compared without forming a sum that
// could wrap).
bool work_fits(const Tape& t, std::size_t len) {
    return t.n_slots <= len && t.n_gather <= len - t.n_slots && t.n_scratch <= len - t.n_slots - t.n_gather;
}

std::span<const double> view(const Resolved& r) { return {r.data, r.len}; }

// Gemv, Gemm and Solve: resolve the blocks (A, B, accumulator source) with
// one gather cursor, check the output block, then call the kernel straight
// into the slots.
[[gnu::noinline]] void run_kernel(const Frame& f, const Instr& in, std::size_t d) {
    check_index("tape kernels", in.a, f.tape.kernels.size());
    const KernelInstr& k = f.tape.kernels[in.a];
    const std::size_t m = k.m, kk = k.k, n = k.n, batch = k.batch;
    std::size_t a_len = 0, b_len = 0;
    switch (in.kind) {
        case InstrKind::Gemv: a_len = size_mul(m, n), b_len = n; break;
        case InstrKind::Gemm: a_len = size_mul(m, kk), b_len = size_mul(n, kk); break;
        default: a_len = size_mul(batch, n * n), b_len = size_mul(batch, kk * n); break;
    }
    const std::size_t out_len = kernel_out_len(in.kind, k);
    const bool has_acc = in.kind != InstrKind::Solve && k.acc.kind != kAccNone;
    if (has_acc && (k.acc.kind < kAccNoSource || k.acc.kind > static_cast<std::int32_t>(BlockKind::SlotRange)))
        fail("accumulator of unknown kind");
    const bool has_source = has_acc && k.acc.kind >= 0;

    std::size_t cursor = 0;
    const Resolved ra = resolve(f, k.a, a_len, cursor);
    const Resolved rb = resolve(f, k.b, b_len, cursor);
    Resolved rs{nullptr, 0, false, 0};
    if (has_source) rs = resolve(f, Block{static_cast<BlockKind>(k.acc.kind), k.acc.base}, out_len, cursor);

    if (out_len > f.n_slots || d > f.n_slots - out_len) fail("kernel output block past the work array");
    check_no_overlap(ra, d, out_len);
    check_no_overlap(rb, d, out_len);
    check_no_overlap(rs, d, out_len);
    std::span<const std::uint32_t> codes;
    if (has_acc) {
        check_range("tape pool", k.acc.roles, out_len, f.tape.pool.size());
        codes = std::span<const std::uint32_t>(f.tape.pool).subspan(k.acc.roles, out_len);
    }
    const std::span<double> out(f.slots + d, out_len);

    switch (in.kind) {
        case InstrKind::Gemv:
            gemv(view(ra), view(rb), m, n, out);
            if (has_acc) apply_roles(codes, view(rs), out);
            return;
        case InstrKind::Gemm:
            if (has_acc)
                gemm_with_roles(view(ra), view(rb), m, kk, n, view(rs), codes, out);
            else
                gemm(view(ra), view(rb), m, kk, n, out);
            return;
        default:
            lu_solve(view(ra), view(rb), n, kk, batch, out, {f.scratch, f.n_scratch});
            return;
    }
}

}  // namespace

void run(const Tape& tape, std::span<const double> inputs, std::span<double> work, std::size_t from,
         std::size_t to) {
    if (from >= to) return;
    check_range("tape instructions", from, to - from, tape.instrs.size());
    check_range("tape dests", from, to - from, tape.dests.size());
    check(work_fits(tape, work.size()), "work buffer too short");
    check(tape.n_slots <= kInputBit, "slot area larger than the operand encoding");

    const Frame f{tape,
                  inputs.data(),
                  inputs.size(),
                  work.data(),
                  tape.n_slots,
                  work.data() + tape.n_slots,
                  tape.n_gather,
                  work.data() + tape.n_slots + tape.n_gather,
                  tape.n_scratch};
    double* const slots = f.slots;
    const std::size_t n_slots = f.n_slots;
    const Instr* const instrs = tape.instrs.data();
    const std::uint32_t* const dests = tape.dests.data();

    // Threaded dispatch: every handler ends in its own indirect jump, so the
    // branch predictor learns which kind tends to follow which.
    static const void* const kHandlers[16] = {
        &&op_const, &&op_add,  &&op_mul,    &&op_muladd, &&op_sub,    &&op_neg, &&op_powi, &&op_unary,
        &&op_binary, &&op_cmp, &&op_select, &&op_reduce, &&op_dot, &&op_kernel, &&op_kernel, &&op_kernel,
    };
    static_assert(static_cast<int>(InstrKind::Solve) == 15);
    std::size_t i = from;
    const Instr* in = instrs + i;
    std::uint32_t d = dests[i];

#define VANTU_DISPATCH()                                                    \
    do {                                                                    \
        const unsigned kind = static_cast<unsigned>(in->kind);              \
        if (kind > 15u) [[unlikely]]                                        \
            fail("tape instruction of unknown kind");                       \
        goto* kHandlers[kind];                                              \
    } while (0)
#define VANTU_NEXT()            \
    do {                        \
        if (++i == to) return;  \
        in = instrs + i;        \
        d = dests[i];           \
        VANTU_DISPATCH();       \
    } while (0)
    // Operands are read before the store: an instruction may name its own
    // destination slot.
#define VANTU_STORE(expr)                        \
    do {                                         \
        const double v = (expr);                 \
        if (d >= n_slots) [[unlikely]]           \
            fail_index("work slots", d, n_slots); \
        slots[d] = v;                            \
        VANTU_NEXT();                            \
    } while (0)

    VANTU_DISPATCH();
op_const:
    VANTU_STORE(in->value);
op_add:
    VANTU_STORE(f.read(in->a) + f.read(in->b()));
op_mul:
    VANTU_STORE(f.read(in->a) * f.read(in->b()));
op_muladd : {
    const double p = f.read(in->a) * f.read(in->b());
    VANTU_STORE(p + f.read(in->c()));
}
op_sub:
    VANTU_STORE(f.read(in->a) - f.read(in->b()));
op_neg:
    VANTU_STORE(-f.read(in->a));
op_powi:
    VANTU_STORE(powi_value(f.read(in->a), in->powi_n()));
op_unary:
    VANTU_STORE(eval_unary(static_cast<UnaryOp>(in->op), f.read(in->a)));
op_binary:
    VANTU_STORE(eval_binary(static_cast<BinaryOp>(in->op), f.read(in->a), f.read(in->b())));
op_cmp:
    VANTU_STORE(eval_cmp(static_cast<CmpOp>(in->op), f.read(in->a), f.read(in->b())));
op_select:
    // Only the chosen operand is read; a NaN condition chooses the first.
    VANTU_STORE(f.read(in->a) != 0.0 ? f.read(in->b()) : f.read(in->c()));
op_reduce:
    f.gather_list(in->a, in->b(), 0);
    VANTU_STORE(reduce_values(static_cast<ReduceOp>(in->op), f.gather, in->b()));
op_dot:
    f.gather_list(in->a, 2 * std::size_t{in->b()}, 0);
    VANTU_STORE(dot_ref(f.gather, f.gather + in->b(), in->b()));
op_kernel:
    run_kernel(f, *in, d);
    VANTU_NEXT();
#undef VANTU_STORE
#undef VANTU_NEXT
#undef VANTU_DISPATCH
}

void eval(const Tape& tape, std::span<const double> inputs, std::span<double> work, std::span<double> out) {
    check(work_fits(tape, work.size()), "work buffer too short");
    check_eq("output buffer of the wrong size", out.size(), tape.outputs.size());
    run(tape, inputs, work, 0, tape.instrs.size());
    // Every output is checked before the first is written, so a bad output
    // operand leaves `out` untouched.
    for (Operand o : tape.outputs)
        if (!is_input(o)) check_index("work slots", o, tape.n_slots);
    const double* slots = work.data();
    for (std::size_t i = 0; i < out.size(); ++i) {
        const Operand o = tape.outputs[i];
        if (is_input(o)) {
            const std::uint32_t k = operand_index(o);
            out[i] = k < inputs.size() ? inputs[k] : kNaN;
        } else {
            out[i] = slots[o];
        }
    }
}

}  // namespace vantu
