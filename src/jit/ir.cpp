#include "jit/ir.hpp"

#include <algorithm>

#include "graph/error.hpp"

namespace vantu {

namespace {

constexpr std::uint32_t kExpandRows = 8;  // products with fewer rows become Dot nodes

// Lengths of a kernel's A and B blocks.
std::size_t block_a_len(KernelKind kind, std::size_t m, std::size_t k, std::size_t n, std::size_t batch) {
    switch (kind) {
        case KernelKind::Gemv: return m * n;
        case KernelKind::Gemm: return m * k;
        case KernelKind::Solve: return batch * n * n;
    }
    return 0;
}

std::size_t block_b_len(KernelKind kind, std::size_t k, std::size_t n, std::size_t batch) {
    switch (kind) {
        case KernelKind::Gemv: return n;
        case KernelKind::Gemm: return n * k;
        case KernelKind::Solve: return batch * k * n;
    }
    return 0;
}

KernelKind kernel_kind(InstrKind kind) {
    switch (kind) {
        case InstrKind::Gemv: return KernelKind::Gemv;
        case InstrKind::Gemm: return KernelKind::Gemm;
        default: return KernelKind::Solve;
    }
}

IrList copy_list(const Tape& tape, std::size_t start, std::size_t count, IrProgram& ir) {
    check_range("tape operand pool", start, count, tape.pool.size());
    IrList l{static_cast<std::uint32_t>(ir.lists.size()), static_cast<std::uint32_t>(count)};
    ir.lists.insert(ir.lists.end(), tape.pool.begin() + static_cast<std::ptrdiff_t>(start),
                    tape.pool.begin() + static_cast<std::ptrdiff_t>(start + count));
    return l;
}

// Operand word of element `index` of a block.
Operand block_operand(const Tape& tape, Block b, std::size_t index) {
    switch (b.kind) {
        case BlockKind::InputRange: return input_operand(static_cast<std::uint32_t>(b.base + index));
        case BlockKind::List:
            check_index("tape operand pool", b.base + index, tape.pool.size());
            return tape.pool[b.base + index];
        case BlockKind::SlotRange: break;
    }
    return static_cast<Operand>(b.base + index);
}

void check_block(const Tape& tape, Block b, std::size_t len) {
    switch (b.kind) {
        case BlockKind::List: check_range("tape operand pool", b.base, len, tape.pool.size()); break;
        case BlockKind::SlotRange: check_range("kernel slot block", b.base, len, tape.n_slots); break;
        case BlockKind::InputRange: check_range("kernel input block", b.base, len, 0x80000000u); break;
        default: fail("unknown block kind");
    }
}

// A slot block read by a kernel must not meet the kernel's own output.
void check_no_overlap(Block b, std::size_t len, std::size_t dest, std::size_t out_len) {
    if (b.kind != BlockKind::SlotRange || len == 0 || out_len == 0) return;
    if (b.base < dest + out_len && dest < b.base + len) fail("kernel reads its own output block");
}

struct KernelShape {
    KernelKind kind;
    std::size_t a_len, b_len, out_len;
};

// Checks every range of a kernel instruction against the tape.
KernelShape check_kernel(const Tape& tape, const Instr& instr, std::uint32_t dest) {
    check_index("tape kernel table", instr.a, tape.kernels.size());
    const KernelInstr& k = tape.kernels[instr.a];
    const KernelKind kind = kernel_kind(instr.kind);
    KernelShape s{kind, block_a_len(kind, k.m, k.k, k.n, k.batch), block_b_len(kind, k.k, k.n, k.batch),
                  kernel_out_len(instr.kind, k)};
    if (dest + s.out_len > tape.n_slots) fail("kernel output block past the work array");
    check_block(tape, k.a, s.a_len);
    check_block(tape, k.b, s.b_len);
    check_no_overlap(k.a, s.a_len, dest, s.out_len);
    check_no_overlap(k.b, s.b_len, dest, s.out_len);
    if (kind != KernelKind::Solve && k.acc.kind != kAccNone) {
        if (k.acc.kind >= 0) {
            check(k.acc.kind <= 2, "unknown accumulator kind");
            Block src{static_cast<BlockKind>(k.acc.kind), k.acc.base};
            check_block(tape, src, s.out_len);
            check_no_overlap(src, s.out_len, dest, s.out_len);
        } else {
            check(k.acc.kind == kAccNoSource, "unknown accumulator kind");
        }
        check_range("tape operand pool", k.acc.roles, s.out_len, tape.pool.size());
    }
    return s;
}

IrBlock lower_block(const Tape& tape, Block b, std::size_t len, IrProgram& ir) {
    IrBlock out;
    out.kind = b.kind;
    out.start = b.base;
    if (b.kind == BlockKind::List) out.list = copy_list(tape, b.base, len, ir);
    return out;
}

// Calls f(word) for every operand word a node reads, kernel blocks included
// element by element.
template <class F>
void for_each_read(const IrProgram& ir, const IrNode& node, F f) {
    switch (node.kind) {
        case IrKind::Const: break;
        case IrKind::Neg:
        case IrKind::Powi:
        case IrKind::Unary: f(node.a); break;
        case IrKind::Add:
        case IrKind::Mul:
        case IrKind::Sub:
        case IrKind::Binary:
        case IrKind::Cmp:
            f(node.a);
            f(node.b);
            break;
        case IrKind::MulAdd:
        case IrKind::Select:
            f(node.a);
            f(node.b);
            f(node.c);
            break;
        case IrKind::Reduce:
            for (Operand o : ir.list(node.list0)) f(o);
            break;
        case IrKind::Dot:
            for (Operand o : ir.list(node.list0)) f(o);
            for (Operand o : ir.list(node.list1)) f(o);
            break;
        case IrKind::Kernel: {
            const IrKernel& k = ir.kernels[node.kernel];
            auto block = [&](const IrBlock& b, std::size_t len) {
                if (b.kind == BlockKind::List) {
                    for (Operand o : ir.list(b.list)) f(o);
                    return;
                }
                const Operand base = b.kind == BlockKind::InputRange ? kInputBit : 0;
                for (std::size_t i = 0; i < len; ++i) f(base | static_cast<Operand>(b.start + i));
            };
            block(k.a, kernel_a_len(k));
            block(k.b, kernel_b_len(k));
            if (k.acc_kind >= 0) block(k.source, kernel_out_len(k));
            break;
        }
    }
}

// Builds a compressed map in two passes (count, accumulate, fill); a node
// touching a key several times is listed once.
template <class ForEach>
UseMap build_map(std::size_t n_keys, std::size_t n_nodes, ForEach for_each) {
    UseMap map;
    map.offsets.assign(n_keys + 1, 0);
    std::vector<std::uint32_t> last(n_keys, kNoNode);
    for (std::uint32_t i = 0; i < n_nodes; ++i)
        for_each(i, [&](std::uint32_t key) {
            if (last[key] == i) return;
            last[key] = i;
            ++map.offsets[key + 1];
        });
    for (std::size_t s = 0; s < n_keys; ++s) map.offsets[s + 1] += map.offsets[s];
    map.nodes.resize(map.offsets[n_keys]);
    std::vector<std::uint32_t> cursor(map.offsets.begin(), map.offsets.end() - 1);
    std::fill(last.begin(), last.end(), kNoNode);
    for (std::uint32_t i = 0; i < n_nodes; ++i)
        for_each(i, [&](std::uint32_t key) {
            if (last[key] == i) return;
            last[key] = i;
            map.nodes[cursor[key]++] = i;
        });
    return map;
}

IrNode scalar(IrKind kind, std::uint32_t dest, Operand a, Operand b = 0, Operand c = 0) {
    IrNode node;
    node.kind = kind;
    node.dest = dest;
    node.a = a;
    node.b = b;
    node.c = c;
    return node;
}

}  // namespace

std::uint32_t UseMap::first_from(std::uint32_t key, std::uint32_t from) const {
    std::span<const std::uint32_t> list = of(key);
    auto it = std::lower_bound(list.begin(), list.end(), from);
    return it == list.end() ? kNoNode : *it;
}

std::uint32_t UseMap::last_at_most(std::uint32_t key, std::uint32_t bound) const {
    std::span<const std::uint32_t> list = of(key);
    auto it = std::upper_bound(list.begin(), list.end(), bound);
    return it == list.begin() ? kNoNode : *(it - 1);
}

std::size_t IrProgram::work_len() const { return std::max<std::size_t>(n_slots + gather + scratch, 1); }

std::size_t kernel_a_len(const IrKernel& k) { return block_a_len(k.kind, k.m, k.k, k.n, k.batch); }

std::size_t kernel_b_len(const IrKernel& k) { return block_b_len(k.kind, k.k, k.n, k.batch); }

std::size_t kernel_out_len(const IrKernel& k) {
    switch (k.kind) {
        case KernelKind::Gemv: return k.m;
        case KernelKind::Gemm: return std::size_t{k.m} * k.n;
        case KernelKind::Solve: return std::size_t{k.batch} * k.k * k.n;
    }
    return 0;
}

bool product_lists_meet_output(const Tape& tape, const Instr& instr, std::uint32_t dest) {
    check_index("tape kernel table", instr.a, tape.kernels.size());
    const KernelInstr& k = tape.kernels[instr.a];
    const KernelKind kind = kernel_kind(instr.kind);
    const std::size_t out_len = kernel_out_len(instr.kind, k);
    auto meets = [&](Block b, std::size_t len) {
        if (b.kind != BlockKind::List) return false;
        check_range("tape operand pool", b.base, len, tape.pool.size());
        for (std::size_t i = 0; i < len; ++i) {
            const Operand o = tape.pool[b.base + i];
            if (!is_input(o) && o >= dest && o - dest < out_len) return true;
        }
        return false;
    };
    return meets(k.a, block_a_len(kind, k.m, k.k, k.n, k.batch)) || meets(k.b, block_b_len(kind, k.k, k.n, k.batch)) ||
           (k.acc.kind == 1 && meets(Block{BlockKind::List, k.acc.base}, out_len));
}

void expand_product(const Tape& tape, const Instr& instr, std::uint32_t dest, IrProgram& ir) {
    if (instr.kind == InstrKind::Solve) fail("a solve is no product");
    check(!product_lists_meet_output(tape, instr, dest), "an expanded product reads its own output block");
    const KernelInstr& k = tape.kernels[instr.a];
    const bool gemv = instr.kind == InstrKind::Gemv;
    const std::size_t rows = k.m;
    const std::size_t cols = gemv ? 1 : k.n;
    const std::size_t depth = gemv ? k.n : k.k;  // the dot product length
    // Element (i, j): row i of A against x (Gemv) or row j of Bt (Gemm).
    for (std::size_t i = 0; i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j) {
            IrNode node;
            node.kind = IrKind::Dot;
            node.dest = static_cast<std::uint32_t>(dest + i * cols + j);
            node.list0 = {static_cast<std::uint32_t>(ir.lists.size()), static_cast<std::uint32_t>(depth)};
            for (std::size_t t = 0; t < depth; ++t) ir.lists.push_back(block_operand(tape, k.a, i * depth + t));
            node.list1 = {static_cast<std::uint32_t>(ir.lists.size()), static_cast<std::uint32_t>(depth)};
            for (std::size_t t = 0; t < depth; ++t) ir.lists.push_back(block_operand(tape, k.b, j * depth + t));
            ir.nodes.push_back(node);
        }
    if (k.acc.kind == kAccNone) return;
    // The role step in increasing element order, as the kernel applies it.
    const std::size_t len = rows * cols;
    check_range("tape operand pool", k.acc.roles, len, tape.pool.size());
    for (std::size_t e = 0; e < len; ++e) {
        const std::uint32_t code = tape.pool[k.acc.roles + e];
        const std::uint32_t role = code & 3u;
        if (role == kRoleKeep) continue;
        const Operand out = static_cast<Operand>(dest + e);
        Operand b = out;
        if (code & kRoleRefBit) {
            check_index("accumulator role reference", code >> 3, len);
            b = static_cast<Operand>(dest + (code >> 3));
        } else if (k.acc.kind >= 0) {
            b = block_operand(tape, Block{static_cast<BlockKind>(k.acc.kind), k.acc.base}, e);
        }
        if (role == kRoleAdd)
            ir.nodes.push_back(scalar(IrKind::Add, out, b, out));
        else if (role == kRoleSub)
            ir.nodes.push_back(scalar(IrKind::Sub, out, b, out));
        else
            ir.nodes.push_back(scalar(IrKind::Neg, out, out));
    }
}

IrProgram lower_to_ir(const Tape& tape) {
    check_eq("one destination per instruction", tape.dests.size(), tape.instrs.size());
    check(tape.n_slots < kInputBit, "slot area fits the operand encoding");
    IrProgram ir;
    ir.n_slots = static_cast<std::uint32_t>(tape.n_slots);
    ir.outputs = tape.outputs;
    ir.nodes.reserve(tape.instrs.size());
    for (std::size_t i = 0; i < tape.instrs.size(); ++i) {
        const Instr& in = tape.instrs[i];
        const std::uint32_t d = tape.dests[i];
        IrNode node;
        node.dest = d;
        switch (in.kind) {
            case InstrKind::Const:
                node.kind = IrKind::Const;
                node.value = in.value;
                break;
            case InstrKind::Add: node = scalar(IrKind::Add, d, in.a, in.b()); break;
            case InstrKind::Mul: node = scalar(IrKind::Mul, d, in.a, in.b()); break;
            case InstrKind::MulAdd: node = scalar(IrKind::MulAdd, d, in.a, in.b(), in.c()); break;
            case InstrKind::Sub: node = scalar(IrKind::Sub, d, in.a, in.b()); break;
            case InstrKind::Neg: node = scalar(IrKind::Neg, d, in.a); break;
            case InstrKind::Powi:
                node = scalar(IrKind::Powi, d, in.a);
                node.n = in.powi_n();
                break;
            case InstrKind::Unary:
                check(in.op < kUnaryOps, "unary operation code in the catalogue");
                node = scalar(IrKind::Unary, d, in.a);
                break;
            case InstrKind::Binary:
                check(in.op < kBinaryOps, "binary operation code in the catalogue");
                node = scalar(IrKind::Binary, d, in.a, in.b());
                break;
            case InstrKind::Cmp:
                check(in.op < kCmpOps, "comparison code in the catalogue");
                node = scalar(IrKind::Cmp, d, in.a, in.b());
                break;
            case InstrKind::Select: node = scalar(IrKind::Select, d, in.a, in.b(), in.c()); break;
            case InstrKind::Reduce:
                check(in.op < kReduceOps, "reduction code in the catalogue");
                node.kind = IrKind::Reduce;
                node.list0 = copy_list(tape, in.a, in.b(), ir);
                break;
            case InstrKind::Dot:
                node.kind = IrKind::Dot;
                check_range("tape operand pool", in.a, 2 * std::size_t{in.b()}, tape.pool.size());
                node.list0 = copy_list(tape, in.a, in.b(), ir);
                node.list1 = copy_list(tape, std::size_t{in.a} + in.b(), in.b(), ir);
                break;
            case InstrKind::Gemv:
            case InstrKind::Gemm:
            case InstrKind::Solve: {
                const KernelShape s = check_kernel(tape, in, d);
                const KernelInstr& k = tape.kernels[in.a];
                if (s.kind != KernelKind::Solve && k.m < kExpandRows && !product_lists_meet_output(tape, in, d)) {
                    expand_product(tape, in, d, ir);
                    continue;
                }
                IrKernel kern;
                kern.kind = s.kind;
                kern.m = k.m;
                kern.k = k.k;
                kern.n = k.n;
                kern.batch = k.batch;
                kern.a = lower_block(tape, k.a, s.a_len, ir);
                kern.b = lower_block(tape, k.b, s.b_len, ir);
                if (s.kind != KernelKind::Solve && k.acc.kind != kAccNone) {
                    kern.acc_kind = k.acc.kind;
                    if (k.acc.kind >= 0)
                        kern.source = lower_block(tape, Block{static_cast<BlockKind>(k.acc.kind), k.acc.base},
                                                  s.out_len, ir);
                    kern.roles = copy_list(tape, k.acc.roles, s.out_len, ir);
                }
                node.kind = IrKind::Kernel;
                node.kernel = static_cast<std::uint32_t>(ir.kernels.size());
                ir.kernels.push_back(kern);
                break;
            }
            default: fail("unknown instruction kind");
        }
        node.op = in.op;
        ir.nodes.push_back(node);
    }
    check(ir.nodes.size() < kNoNode, "node count fits 32 bits");

    // Widths and areas; every slot a node touches must lie in the slot area.
    std::size_t width = 0;
    auto note_read = [&](Operand o) {
        if (is_input(o))
            width = std::max<std::size_t>(width, std::size_t{operand_index(o)} + 1);
        else
            check_index("slot operand", o, tape.n_slots);
    };
    for (const IrNode& node : ir.nodes) {
        for_each_read(ir, node, note_read);
        if (node.kind == IrKind::Kernel) {
            const IrKernel& k = ir.kernels[node.kernel];
            std::size_t listed = 0;
            for (const IrBlock* b : {&k.a, &k.b, &k.source})
                if (b->kind == BlockKind::List && (b != &k.source || k.acc_kind >= 0)) listed += b->list.len;
            ir.gather = std::max(ir.gather, listed);
            if (k.kind == KernelKind::Solve) ir.scratch = std::max(ir.scratch, solve_workspace(k.n, k.k));
        } else {
            check_index("destination slot", node.dest, tape.n_slots);
            if (node.kind == IrKind::Reduce &&
                (node.op == static_cast<std::uint8_t>(ReduceOp::Min) ||
                 node.op == static_cast<std::uint8_t>(ReduceOp::Max)))
                ir.gather = std::max<std::size_t>(ir.gather, node.list0.len);
        }
    }
    for (Operand o : ir.outputs) note_read(o);
    check(width <= kInputBit, "input index fits the operand encoding");
    ir.input_width = static_cast<std::uint32_t>(width);

    const std::size_t n_nodes = ir.nodes.size();
    ir.uses = build_map(tape.n_slots, n_nodes, [&](std::uint32_t i, auto add) {
        for_each_read(ir, ir.nodes[i], [&](Operand o) {
            if (!is_input(o)) add(o);
        });
    });
    ir.input_uses = build_map(ir.input_width, n_nodes, [&](std::uint32_t i, auto add) {
        for_each_read(ir, ir.nodes[i], [&](Operand o) {
            if (is_input(o)) add(operand_index(o));
        });
    });
    ir.writes = build_map(tape.n_slots, n_nodes, [&](std::uint32_t i, auto add) {
        const IrNode& node = ir.nodes[i];
        if (node.kind != IrKind::Kernel) {
            add(node.dest);
            return;
        }
        const std::size_t len = kernel_out_len(ir.kernels[node.kernel]);
        for (std::size_t s = 0; s < len; ++s) add(static_cast<std::uint32_t>(node.dest + s));
    });
    return ir;
}

std::uint32_t next_use(const IrProgram& ir, std::uint32_t slot, std::uint32_t after) {
    return after == kNoNode ? kNoNode : ir.uses.first_from(slot, after + 1);
}

std::uint32_t next_write(const IrProgram& ir, std::uint32_t slot, std::uint32_t after) {
    return after == kNoNode ? kNoNode : ir.writes.first_from(slot, after + 1);
}

std::uint32_t next_input_use(const IrProgram& ir, std::uint32_t index, std::uint32_t after) {
    if (after == kNoNode || index >= ir.input_width) return kNoNode;
    return ir.input_uses.first_from(index, after + 1);
}

std::optional<HostFn> host_call(const IrNode& node) {
    switch (node.kind) {
        case IrKind::Kernel: return HostFn::Kernel;
        case IrKind::Reduce:
            if (node.op == static_cast<std::uint8_t>(ReduceOp::Min) ||
                node.op == static_cast<std::uint8_t>(ReduceOp::Max))
                return HostFn::Reduce;
            return std::nullopt;
        case IrKind::Powi:
            if (node.n == -1 || node.n == 2) return std::nullopt;
            return HostFn::Powi;
        case IrKind::Binary: return HostFn::Binary;
        case IrKind::Unary:
            switch (static_cast<UnaryOp>(node.op)) {
                case UnaryOp::Sqrt:
                case UnaryOp::Floor:
                case UnaryOp::Abs:
                case UnaryOp::Sign:
                case UnaryOp::Ceil:
                case UnaryOp::Trunc: return std::nullopt;
                case UnaryOp::Exp: return HostFn::Exp;
                case UnaryOp::Ln: return HostFn::Ln;
                case UnaryOp::Sin: return HostFn::Sin;
                case UnaryOp::Cos: return HostFn::Cos;
                case UnaryOp::Sinh: return HostFn::Sinh;
                case UnaryOp::Cosh: return HostFn::Cosh;
                case UnaryOp::Tanh: return HostFn::Tanh;
                case UnaryOp::Atan: return HostFn::Atan;
                default: return HostFn::Unary;
            }
        default: return std::nullopt;
    }
}

}  // namespace vantu
