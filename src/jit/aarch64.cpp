#include "jit/aarch64.hpp"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <span>
#include <string>

#include "graph/error.hpp"
#include "jit/aarch64_enc.hpp"

// Define VANTU_DEBUG_RA to trace every allocator decision on stderr.
#ifdef VANTU_DEBUG_RA
#include <cstdio>
#define RA_TRACE(...) std::fprintf(stderr, __VA_ARGS__)
#else
#define RA_TRACE(...) ((void)0)
#endif

namespace vantu {

using namespace a64;

namespace {

// -- Register positions -------------------------------------------------------

// Position p lives in d(p + 8): positions 0 .. 7 are the callee-saved
// d8 .. d15, which survive host calls; 8 .. 23 the caller-saved d16 .. d31.
constexpr std::uint32_t kPositions = 24;
constexpr std::uint32_t kRangeFirst[2] = {0, 8};
constexpr std::uint32_t kRangeSize[2] = {8, 16};
enum Range : std::uint32_t { Callee = 0, Caller = 1 };

DReg reg(std::uint32_t p) { return DReg{p + 8}; }
std::uint32_t position(DReg r) { return r.n - 8; }

// Temporaries inside one node (never live across nodes, never allocated):
// d0 and d6, d7 for products, d1 .. d4 for the four fold lanes, d5 for the
// fold's identity.
constexpr DReg kTmp{0};
constexpr DReg kLane[4] = {DReg{1}, DReg{2}, DReg{3}, DReg{4}};
constexpr DReg kIdentity{5};
constexpr DReg kProductTmp[3] = {DReg{0}, DReg{6}, DReg{7}};

constexpr std::uint32_t kMinMaxInline = 16;

struct Position {
    bool live = false;
    Operand key = 0;  // a slot, or an input operand word
    bool dirty = false;
    bool pinned = false;
    // A node at or after which the value is next read (refreshed lazily
    // once it lies in the past), and the first node after the value came
    // into the register that writes the slot: the end of its life.
    std::uint32_t next_read = kNoNode;
    std::uint32_t next_write = kNoNode;
};

// One argument of a host call, placed in order: floating-point values into
// d0, d1, ..., everything else into x0, x1, ...
struct Arg {
    enum Kind { Fp, Imm, WorkAddr, InputAddr, Ctx } kind;
    DReg reg{0};
    std::uint64_t value = 0;

    static Arg fp(DReg r) { return {Fp, r, 0}; }
    static Arg imm(std::uint64_t v) { return {Imm, DReg{0}, v}; }
    static Arg work(std::uint64_t byte_offset) { return {WorkAddr, DReg{0}, byte_offset}; }
    static Arg inputs(std::uint64_t byte_offset) { return {InputAddr, DReg{0}, byte_offset}; }
    static Arg ctx() { return {Ctx, DReg{0}, 0}; }
};

bool is_min_max(const IrNode& n) {
    return n.kind == IrKind::Reduce &&
           (n.op == static_cast<std::uint8_t>(ReduceOp::Min) || n.op == static_cast<std::uint8_t>(ReduceOp::Max));
}

std::uint64_t unary_row(std::uint8_t code) {
    for (int i = 0; i < kUnaryOps; ++i)
        if (kUnaryTable[i].code == code) return static_cast<std::uint64_t>(i);
    fail("unary operation code in the catalogue");
}

Cond cmp_cond(std::uint8_t op) {
    switch (static_cast<CmpOp>(op)) {
        case CmpOp::Gt: return Cond::gt;
        case CmpOp::Ge: return Cond::ge;
        case CmpOp::Lt: return Cond::mi;
        case CmpOp::Le: return Cond::ls;
        case CmpOp::Eq: return Cond::eq;
        case CmpOp::Ne: return Cond::ne;
    }
    fail("comparison code in the catalogue");
}

FpImm fp_imm(double v) { return *FpImm::from(v); }

// -- Segment generator ------------------------------------------------------

class SegmentGen {
public:
    SegmentGen(const IrProgram& ir, const HostContext& ctx, std::uint32_t first, std::uint32_t end)
        : ir_(ir), ctx_(ctx), first_(first), end_(end) {
        for (Operand o : ir.outputs)
            if (!is_input(o)) output_slots_.push_back(o);
        std::sort(output_slots_.begin(), output_slots_.end());
        // The next node at or after each node that calls a host function.
        next_call_.assign(end - first + 1, kNoNode);
        for (std::uint32_t i = end; i-- > first;)
            next_call_[i - first] = emits_call(ir.nodes[i]) ? i : next_call_[i - first + 1];
        cached_.fill(-1);
    }

    SegmentCode run() {
        plan_hosts();
        std::vector<std::uint64_t> addresses;
        for (std::size_t i = 0; i < code_.hosts.size() && i < kCachedHosts; ++i)
            addresses.push_back(host_address(code_.hosts[i]));
        emit_prologue(a_, addresses);
        for (cur_ = first_; cur_ < end_; ++cur_) {
            emit_node(ir_.nodes[cur_]);
            for (Position& r : regs_) r.pinned = false;
        }
        // Live-out values go back to the work array; the next segment
        // starts with empty registers.
        for (std::uint32_t p = 0; p < kPositions; ++p)
            if (regs_[p].live && regs_[p].dirty && needed(p, end_)) store(p);
        emit_epilogue(a_);
        check(kernels_emitted_ == kernels_counted_, "kernel descriptors counted before emission");
        code_.words = std::move(a_.words);
        return std::move(code_);
    }

private:
    // -- Host calls planned before emission --

    void plan_hosts() {
        std::array<std::uint32_t, kHostFns> count{};
        for (std::uint32_t i = first_; i < end_; ++i) {
            const IrNode& n = ir_.nodes[i];
            if (n.kind == IrKind::Kernel) ++kernels_counted_;
            if (!emits_call(n)) continue;
            ++count[static_cast<std::size_t>(*host_call(n))];
        }
        std::vector<HostFn> used;
        for (int f = 0; f < kHostFns; ++f)
            if (count[f] > 0) used.push_back(static_cast<HostFn>(f));
        // The most called functions get the cached registers.
        std::stable_sort(used.begin(), used.end(), [&](HostFn x, HostFn y) {
            return count[static_cast<std::size_t>(x)] > count[static_cast<std::size_t>(y)];
        });
        for (std::size_t i = 0; i < used.size() && i < kCachedHosts; ++i)
            cached_[static_cast<std::size_t>(used[i])] = static_cast<int>(i);
        code_.hosts = used;
    }

    // -- Register allocator --

    bool is_output(std::uint32_t slot) const {
        return std::binary_search(output_slots_.begin(), output_slots_.end(), slot);
    }

    // Whether the value in p is read at or after node `at` before the slot
    // is written again, or is an output nothing overwrites.
    bool needed(std::uint32_t p, std::uint32_t at) {
        Position& r = regs_[p];
        if (!r.live) return false;
        if (r.next_read != kNoNode && r.next_read < at) {
            r.next_read = is_input(r.key) ? ir_.input_uses.first_from(operand_index(r.key), at)
                                          : ir_.uses.first_from(r.key, at);
        }
        if (is_input(r.key)) return r.next_read != kNoNode;
        // The value lives until next_write (whose reads still see it); that
        // bound is fixed when the value enters the register.
        if (r.next_read != kNoNode && r.next_read <= r.next_write) return true;
        return r.next_write == kNoNode && is_output(r.key);
    }

    void store(std::uint32_t p) {
        RA_TRACE("ra: node %u store d%u -> s%u\n", cur_, reg(p).n, regs_[p].key);
        emit_store(a_, reg(p), kWorkBase, std::uint64_t{regs_[p].key} * 8);
        regs_[p].dirty = false;
    }

    // Empties p, writing its value back first when it is dirty and needed
    // at or after `at`. An input is never written back.
    void ra_evict(std::uint32_t p, std::uint32_t at) {
        Position& r = regs_[p];
        if (r.live && r.dirty && needed(p, at)) store(p);
        r.live = false;
        r.dirty = false;
    }

    std::uint32_t ra_pick(Range pref) {
        const Range order[2] = {pref, pref == Callee ? Caller : Callee};
        // A position that is empty or holds a value nobody needs any more.
        for (Range rg : order)
            for (std::uint32_t p = kRangeFirst[rg]; p < kRangeFirst[rg] + kRangeSize[rg]; ++p)
                if (!regs_[p].pinned && (!regs_[p].live || !needed(p, cur_))) {
                    regs_[p].live = false;
                    regs_[p].dirty = false;
                    return p;
                }
        // Otherwise evict round-robin, in the preferred range first.
        for (Range rg : order)
            for (std::uint32_t tries = 0; tries < kRangeSize[rg]; ++tries) {
                std::uint32_t p = kRangeFirst[rg] + rr_[rg]++ % kRangeSize[rg];
                if (regs_[p].pinned) continue;
                RA_TRACE("ra: node %u evict d%u (key %x)\n", cur_, reg(p).n, regs_[p].key);
                ra_evict(p, cur_);
                return p;
            }
        fail("an op pins fewer than " + std::to_string(kPositions) + " registers");
    }

    // Callee-saved when slot `slot`, as it stands from node `from` on, is
    // still read after the next host call at or after `from`; caller-saved
    // when all its reads come before that call (or there is none).
    Range ra_range(std::uint32_t slot, std::uint32_t from) const {
        if (from >= end_) return Caller;
        const std::uint32_t call = next_call_[from - first_];
        if (call == kNoNode) return Caller;
        // Reads at the node that overwrites the slot still see this value.
        const std::uint32_t last = ir_.uses.last_at_most(slot, ir_.writes.first_from(slot, from));
        return last != kNoNode && last >= from && last > call ? Callee : Caller;
    }

    int find(Operand key) const {
        for (std::uint32_t p = 0; p < kPositions; ++p)
            if (regs_[p].live && regs_[p].key == key) return static_cast<int>(p);
        return -1;
    }

    // The register holding operand `w`, loaded if needed, pinned for the
    // current node.
    DReg use(Operand w) {
        int found = find(w);
        std::uint32_t p;
        if (found >= 0) {
            p = static_cast<std::uint32_t>(found);
        } else {
            const bool input = is_input(w);
            const std::uint32_t index = input ? operand_index(w) : w;
            Range range = Caller;
            if (!input) range = ra_range(index, cur_);
            p = ra_pick(range);
            emit_load(a_, reg(p), input ? kInputBase : kWorkBase, std::uint64_t{index} * 8);
            Position& r = regs_[p];
            r.live = true;
            r.key = w;
            r.dirty = false;
            r.next_write = input ? kNoNode : ir_.writes.first_from(index, cur_);
            RA_TRACE("ra: node %u load %s%u -> d%u\n", cur_, input ? "i" : "s", index, reg(p).n);
        }
        // Read at this node: needed at least until the node ends.
        regs_[p].next_read = cur_;
        regs_[p].pinned = true;
        return reg(p);
    }

    void unpin(DReg r) {
        if (r.n >= 8) regs_[position(r)].pinned = false;
    }

    // A register for the result of the current node, pinned and empty
    // until bind().
    DReg def(std::uint32_t dest) {
        const std::uint32_t p = ra_pick(ra_range(dest, cur_ + 1));
        regs_[p].pinned = true;
        return reg(p);
    }

    // Makes r the only register copy of slot `dest`, dirty.
    void bind(DReg r, std::uint32_t dest) {
        const std::uint32_t p = position(r);
        for (std::uint32_t q = 0; q < kPositions; ++q)
            if (q != p && regs_[q].live && regs_[q].key == dest) {
                regs_[q].live = false;
                regs_[q].dirty = false;
            }
        Position& pos = regs_[p];
        pos.live = true;
        pos.key = dest;
        pos.dirty = true;
        pos.next_read = ir_.uses.first_from(dest, cur_ + 1);
        pos.next_write = ir_.writes.first_from(dest, cur_ + 1);
    }

    // -- Host calls --

    void emit_call(HostFn fn, std::initializer_list<Arg> args) {
        // Caller-saved registers do not survive the call. The arguments have
        // all been read, so only later needs count.
        for (std::uint32_t p = kRangeFirst[Caller]; p < kPositions; ++p) ra_evict(p, cur_ + 1);
        std::uint32_t fp = 0, gp = 0;
        for (const Arg& arg : args) {
            switch (arg.kind) {
                case Arg::Fp:
                    check(fp < 8, "host call arguments fit the argument registers");
                    if (arg.reg.n != fp) a_.put(fmov(DReg{fp}, arg.reg));
                    ++fp;
                    break;
                case Arg::Imm: emit_mov_imm(a_, XReg{gp++}, arg.value); break;
                case Arg::WorkAddr: emit_address(a_, XReg{gp++}, kWorkBase, arg.value); break;
                case Arg::InputAddr: emit_address(a_, XReg{gp++}, kInputBase, arg.value); break;
                case Arg::Ctx: a_.put(mov_reg(XReg{gp++}, kHostCtx)); break;
            }
        }
        check(gp <= 8, "host call arguments fit the argument registers");
        const int slot = cached_[static_cast<std::size_t>(fn)];
        if (slot >= 0) {
            a_.put(blr(XReg{kFirstCachedHost + static_cast<std::uint32_t>(slot)}));
        } else {
            emit_mov_imm(a_, kCallTarget, host_address(fn));
            a_.put(blr(kCallTarget));
        }
        a_.x9_high = -1;  // x9 is not preserved across calls
    }

    // The call's result (d0) as the value of slot `dest`.
    void take_result(std::uint32_t dest) {
        DReg d = def(dest);
        a_.put(fmov(d, DReg{0}));
        bind(d, dest);
    }

    // -- Instruction selection --

    void emit_node(const IrNode& n) {
        switch (n.kind) {
            case IrKind::Const: {
                DReg d = def(n.dest);
                emit_fconst(a_, d, n.value);
                bind(d, n.dest);
                return;
            }
            case IrKind::Add:
            case IrKind::Sub:
            case IrKind::Mul: {
                DReg x = use(n.a), y = use(n.b);
                DReg d = def(n.dest);
                a_.put(n.kind == IrKind::Add ? fadd(d, x, y) : n.kind == IrKind::Sub ? fsub(d, x, y) : fmul(d, x, y));
                bind(d, n.dest);
                return;
            }
            case IrKind::MulAdd: {
                // Product rounded, then the sum rounded: never fused.
                DReg x = use(n.a), y = use(n.b), z = use(n.c);
                a_.put(fmul(kTmp, x, y));
                DReg d = def(n.dest);
                a_.put(fadd(d, kTmp, z));
                bind(d, n.dest);
                return;
            }
            case IrKind::Neg: {
                DReg x = use(n.a);
                DReg d = def(n.dest);
                a_.put(fneg(d, x));
                bind(d, n.dest);
                return;
            }
            case IrKind::Powi: return emit_powi(n);
            case IrKind::Unary: return emit_unary(n);
            case IrKind::Binary: {
                DReg x = use(n.a), y = use(n.b);
                emit_call(HostFn::Binary, {Arg::imm(n.op), Arg::fp(x), Arg::fp(y)});
                take_result(n.dest);
                return;
            }
            case IrKind::Cmp: {
                DReg x = use(n.a), y = use(n.b);
                a_.put(fmov_imm(DReg{1}, fp_imm(1.0)));
                a_.put(fmov_from_x(DReg{2}, xzr));
                a_.put(fcmp(x, y));
                DReg d = def(n.dest);
                a_.put(fcsel(d, DReg{1}, DReg{2}, cmp_cond(n.op)));
                bind(d, n.dest);
                return;
            }
            case IrKind::Select: {
                // A NaN condition compares unordered, which "ne" accepts.
                DReg c = use(n.a), x = use(n.b), y = use(n.c);
                a_.put(fcmp_zero(c));
                DReg d = def(n.dest);
                a_.put(fcsel(d, x, y, Cond::ne));
                bind(d, n.dest);
                return;
            }
            case IrKind::Reduce:
                if (is_min_max(n)) return emit_min_max(n);
                return emit_fold(n, false, n.op == static_cast<std::uint8_t>(ReduceOp::Product));
            case IrKind::Dot: return emit_fold(n, true, false);
            case IrKind::Kernel: return emit_kernel(n);
        }
        fail("unknown IR node kind");
    }

    void emit_powi(const IrNode& n) {
        DReg x = use(n.a);
        if (n.n == 2 || n.n == -1) {
            if (n.n == -1) a_.put(fmov_imm(kTmp, fp_imm(1.0)));
            DReg d = def(n.dest);
            a_.put(n.n == 2 ? fmul(d, x, x) : fdiv(d, kTmp, x));
            bind(d, n.dest);
            return;
        }
        emit_call(HostFn::Powi, {Arg::imm(static_cast<std::uint64_t>(static_cast<std::int64_t>(n.n))), Arg::fp(x)});
        take_result(n.dest);
    }

    void emit_unary(const IrNode& n) {
        DReg x = use(n.a);
        const auto op = static_cast<UnaryOp>(n.op);
        if (auto fn = host_call(n)) {
            if (*fn == HostFn::Unary)
                emit_call(HostFn::Unary, {Arg::imm(unary_row(n.op)), Arg::fp(x)});
            else
                emit_call(*fn, {Arg::fp(x)});
            take_result(n.dest);
            return;
        }
        switch (op) {
            case UnaryOp::Sqrt: {
                // sqrt for x > 0, 0.0 for x <= 0, x itself for NaN.
                a_.put(fsqrt(kTmp, x));
                a_.put(fcmp_zero(x));
                a_.put(fmov_from_x(DReg{1}, xzr));
                a_.put(fcsel(kTmp, DReg{1}, kTmp, Cond::ls));
                DReg d = def(n.dest);
                a_.put(fcsel(d, x, kTmp, Cond::vs));
                bind(d, n.dest);
                return;
            }
            case UnaryOp::Sign: {
                // -1 below zero, +1 above, zeros and NaN pass through.
                a_.put(fcmp_zero(x));
                a_.put(fmov_imm(kTmp, fp_imm(1.0)));
                a_.put(fcsel(kTmp, kTmp, x, Cond::gt));
                a_.put(fmov_imm(DReg{1}, fp_imm(-1.0)));
                DReg d = def(n.dest);
                a_.put(fcsel(d, DReg{1}, kTmp, Cond::mi));
                bind(d, n.dest);
                return;
            }
            case UnaryOp::Floor:
            case UnaryOp::Ceil:
            case UnaryOp::Trunc:
            case UnaryOp::Abs: {
                DReg d = def(n.dest);
                a_.put(op == UnaryOp::Floor  ? frintm(d, x)
                       : op == UnaryOp::Ceil ? frintp(d, x)
                       : op == UnaryOp::Trunc ? frintz(d, x)
                                              : fabs(d, x));
                bind(d, n.dest);
                return;
            }
            default: break;
        }
        fail("unary operation without code");
    }

    // Sum, Product and Dot in the reference fold order: four lanes over
    // whole groups of four, combined as (l0 . l1) . (l2 . l3), then the
    // leftovers one by one; fewer than four values fold one by one from the
    // identity. The last operation writes the result register.
    void emit_fold(const IrNode& n, bool dot, bool product) {
        auto xs = ir_.list(n.list0);
        auto ys = dot ? ir_.list(n.list1) : std::span<const std::uint32_t>();
        const std::size_t len = xs.size();
        auto op = [&](DReg d, DReg l, DReg r) { a_.put(product ? fmul(d, l, r) : fadd(d, l, r)); };
        auto load_identity = [&](DReg d) {
            a_.put(product ? fmov_imm(d, fp_imm(1.0)) : fmov_from_x(d, xzr));
        };
        if (len == 0) {
            DReg d = def(n.dest);
            load_identity(d);
            bind(d, n.dest);
            return;
        }
        std::uint32_t tmp_turn = 0;
        // Term i in a register: the operand itself, or the rounded product.
        auto term = [&](std::size_t i) {
            if (!dot) return use(xs[i]);
            DReg x = use(xs[i]), y = use(ys[i]);
            DReg t = kProductTmp[tmp_turn++ % 3];
            a_.put(fmul(t, x, y));
            unpin(x);
            unpin(y);
            return t;
        };
        DReg result{0};
        // Applies dst = l . term(i); the final step of the fold goes to the result.
        auto step = [&](DReg dst, DReg l, std::size_t i, bool last) {
            DReg t = term(i);
            if (last) dst = result = def(n.dest);
            op(dst, l, t);
            unpin(t);
        };
        load_identity(kIdentity);
        const std::size_t groups = len / 4;
        if (groups == 0) {
            for (std::size_t i = 0; i < len; ++i) step(kLane[0], i == 0 ? kIdentity : kLane[0], i, i + 1 == len);
        } else {
            for (std::size_t j = 0; j < 4; ++j) step(kLane[j], kIdentity, j, false);
            for (std::size_t g = 1; g < groups; ++g)
                for (std::size_t j = 0; j < 4; ++j) step(kLane[j], kLane[j], 4 * g + j, false);
            const bool leftovers = len % 4 != 0;
            op(kLane[0], kLane[0], kLane[1]);
            op(kLane[2], kLane[2], kLane[3]);
            if (!leftovers) {
                result = def(n.dest);
                op(result, kLane[0], kLane[2]);
            } else {
                op(kLane[0], kLane[0], kLane[2]);
                for (std::size_t i = 4 * groups; i < len; ++i) step(kLane[0], kLane[0], i, i + 1 == len);
            }
        }
        bind(result, n.dest);
    }

    void emit_min_max(const IrNode& n) {
        auto xs = ir_.list(n.list0);
        const bool is_min = n.op == static_cast<std::uint8_t>(ReduceOp::Min);
        const std::size_t len = xs.size();
        if (len == 0 || len > kMinMaxInline) {
            // Gathered into the work array for the reduction host function.
            const std::uint64_t base = gather_offset(ir_);
            for (std::size_t i = 0; i < len; ++i) {
                DReg x = use(xs[i]);
                emit_store(a_, x, kWorkBase, (base + i) * 8);
                unpin(x);
            }
            emit_call(HostFn::Reduce, {Arg::imm(n.op), Arg::work(base * 8), Arg::imm(len)});
            take_result(n.dest);
            return;
        }
        // minNum/maxNum ignore a quiet NaN operand, like the reference fold.
        auto op = [&](DReg d, DReg l, DReg r) { a_.put(is_min ? fminnm(d, l, r) : fmaxnm(d, l, r)); };
        DReg first = use(xs[0]);
        if (len == 1) {
            DReg d = def(n.dest);
            a_.put(fmov(d, first));
            bind(d, n.dest);
            return;
        }
        DReg acc = first;
        for (std::size_t i = 1; i < len; ++i) {
            DReg x = use(xs[i]);
            DReg d = i + 1 == len ? def(n.dest) : kLane[0];
            op(d, acc, x);
            unpin(x);
            unpin(acc);
            acc = d;
        }
        bind(acc, n.dest);
    }

    void emit_kernel(const IrNode& n) {
        ++kernels_emitted_;
        check(kernels_emitted_ <= kernels_counted_, "kernel descriptors counted before emission");
        check_index("kernel descriptor", n.kernel, ctx_.kernels.size());
        const IrKernel& k = ir_.kernels[n.kernel];
        const KernelDesc& desc = ctx_.kernels[n.kernel];
        // List blocks are gathered to where the descriptor says.
        auto gather = [&](const IrBlock& b, const DescBlock& at) {
            if (b.kind != BlockKind::List) return;
            auto words = ir_.list(b.list);
            for (std::size_t i = 0; i < words.size(); ++i) {
                DReg x = use(words[i]);
                emit_store(a_, x, kWorkBase, (at.offset + i) * 8);
                unpin(x);
            }
        };
        gather(k.a, desc.a);
        gather(k.b, desc.b);
        if (k.acc_kind >= 0) gather(k.source, desc.source);
        // The kernel reads slot blocks from memory: their dirty values go
        // there first.
        for (std::uint32_t p = 0; p < kPositions; ++p) {
            Position& r = regs_[p];
            if (r.live && r.dirty && needed(p, cur_) && r.next_read == cur_) store(p);
        }
        emit_call(HostFn::Kernel, {Arg::work(0), Arg::inputs(0), Arg::ctx(), Arg::imm(n.kernel)});
        // Register copies of the output block are stale now.
        const std::uint64_t out_end = std::uint64_t{n.dest} + kernel_out_len(k);
        for (Position& r : regs_)
            if (r.live && !is_input(r.key) && r.key >= n.dest && r.key < out_end) {
                r.live = false;
                r.dirty = false;
            }
    }

    const IrProgram& ir_;
    const HostContext& ctx_;
    const std::uint32_t first_;
    const std::uint32_t end_;
    std::uint32_t cur_ = 0;
    Asm a_;
    SegmentCode code_;
    std::array<Position, kPositions> regs_{};
    std::uint32_t rr_[2] = {0, 0};  // round-robin eviction counters per range
    std::vector<std::uint32_t> output_slots_;
    std::vector<std::uint32_t> next_call_;
    std::array<int, kHostFns> cached_{};  // cached register index per host function, or -1
    std::size_t kernels_counted_ = 0;
    std::size_t kernels_emitted_ = 0;
};

}  // namespace

bool emits_call(const IrNode& node) {
    if (is_min_max(node)) return node.list0.len == 0 || node.list0.len > kMinMaxInline;
    return host_call(node).has_value();
}

SegmentCode emit_segment(const IrProgram& ir, const HostContext& ctx, std::uint32_t first, std::uint32_t end) {
    check(first <= end && end <= ir.nodes.size(), "segment inside the node list");
    return SegmentGen(ir, ctx, first, end).run();
}

}  // namespace vantu
