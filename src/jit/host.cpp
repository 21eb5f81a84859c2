#include "jit/host.hpp"

#include <cstring>
#include <exception>
#include <limits>
#include <span>

#include "eval/kernels.hpp"
#include "graph/error.hpp"
#include "graph/semantics.hpp"

namespace vantu {

namespace {

// The calling thread's pending failure. A fixed buffer: recording must not
// allocate (it runs inside noexcept functions).
struct PendingFailure {
    bool set = false;
    char message[256] = {};
};
thread_local PendingFailure pending;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Runs f, recording any exception instead of letting it escape.
template <class F>
void contained(F f) noexcept {
    try {
        f();
    } catch (const std::exception& e) {
        host_fail(e.what());
    } catch (...) {
        host_fail("a host function failed");
    }
}

template <UnaryOp op>
double unary_fixed(double x) noexcept {
    return eval_unary(op, x);
}

DescBlock desc_block(const IrBlock& b, std::size_t len, std::size_t gather_base, std::size_t& cursor) {
    switch (b.kind) {
        case BlockKind::InputRange: return {DescBase::Inputs, b.start};
        case BlockKind::SlotRange: return {DescBase::Work, b.start};
        case BlockKind::List: break;
    }
    DescBlock d{DescBase::Work, gather_base + cursor};
    cursor += len;
    return d;
}

const double* resolve(DescBlock b, double* work, const double* inputs) {
    switch (b.base) {
        case DescBase::Work: return work + b.offset;
        case DescBase::Inputs: return inputs + b.offset;
        case DescBase::None: break;
    }
    return nullptr;
}

void run_kernel(double* work, const double* inputs, const HostContext* ctx, std::uint64_t index) {
    check_index("kernel descriptor", index, ctx->kernels.size());
    const KernelDesc& d = ctx->kernels[index];
    const double* a = resolve(d.a, work, inputs);
    if (a == nullptr) fail("a kernel's first operand");
    const double* b = resolve(d.b, work, inputs);
    if (b == nullptr) fail("its second");
    const double* src = resolve(d.source, work, inputs);
    const std::size_t m = d.m, k = d.k, n = d.n, batch = d.batch;
    switch (d.kind) {
        case KernelKind::Gemv: {
            std::span<double> out(work + d.out, m);
            gemv({a, m * n}, {b, n}, m, n, out);
            if (d.has_roles) {
                check_range("kernel role codes", d.roles, m, ctx->roles.size());
                apply_roles({ctx->roles.data() + d.roles, m},
                            src ? std::span<const double>(src, m) : std::span<const double>(), out);
            }
            return;
        }
        case KernelKind::Gemm: {
            std::span<double> out(work + d.out, m * n);
            if (!d.has_roles) {
                gemm({a, m * k}, {b, n * k}, m, k, n, out);
                return;
            }
            check_range("kernel role codes", d.roles, m * n, ctx->roles.size());
            gemm_with_roles({a, m * k}, {b, n * k}, m, k, n,
                            src ? std::span<const double>(src, m * n) : std::span<const double>(),
                            {ctx->roles.data() + d.roles, m * n}, out);
            return;
        }
        case KernelKind::Solve: {
            const std::size_t need = solve_workspace(n, k);
            check_range("solve workspace", 0, need, d.workspace_len);
            lu_solve({a, batch * n * n}, {b, batch * k * n}, n, k, batch, {work + d.out, batch * k * n},
                     {work + d.workspace, need});
            return;
        }
    }
    fail("unknown kernel kind");
}

}  // namespace

HostContext build_host_context(const IrProgram& ir) {
    HostContext ctx;
    ctx.kernels.reserve(ir.kernels.size());
    for (const IrNode& node : ir.nodes) {
        if (node.kind != IrKind::Kernel) continue;
        check_eq("kernel nodes in kernel order", node.kernel, ctx.kernels.size());
        const IrKernel& k = ir.kernels[node.kernel];
        KernelDesc d;
        d.kind = k.kind;
        d.m = k.m;
        d.k = k.k;
        d.n = k.n;
        d.batch = k.batch;
        const std::size_t out_len = kernel_out_len(k);
        std::size_t cursor = 0;
        d.a = desc_block(k.a, kernel_a_len(k), gather_offset(ir), cursor);
        d.b = desc_block(k.b, kernel_b_len(k), gather_offset(ir), cursor);
        if (k.acc_kind >= 0) d.source = desc_block(k.source, out_len, gather_offset(ir), cursor);
        check(cursor <= ir.gather, "gathered kernel blocks fit the gather area");
        if (k.acc_kind != kAccNone) {
            d.has_roles = true;
            d.roles = ctx.roles.size();
            auto codes = ir.list(k.roles);
            ctx.roles.insert(ctx.roles.end(), codes.begin(), codes.end());
        }
        d.out = node.dest;
        d.workspace = scratch_offset(ir);
        d.workspace_len = ir.scratch;
        ctx.kernels.push_back(d);
    }
    return ctx;
}

extern "C" {

double vantu_host_exp(double x) noexcept { return unary_fixed<UnaryOp::Exp>(x); }
double vantu_host_ln(double x) noexcept { return unary_fixed<UnaryOp::Ln>(x); }
double vantu_host_sin(double x) noexcept { return unary_fixed<UnaryOp::Sin>(x); }
double vantu_host_cos(double x) noexcept { return unary_fixed<UnaryOp::Cos>(x); }
double vantu_host_sinh(double x) noexcept { return unary_fixed<UnaryOp::Sinh>(x); }
double vantu_host_cosh(double x) noexcept { return unary_fixed<UnaryOp::Cosh>(x); }
double vantu_host_tanh(double x) noexcept { return unary_fixed<UnaryOp::Tanh>(x); }
double vantu_host_atan(double x) noexcept { return unary_fixed<UnaryOp::Atan>(x); }

double vantu_host_unary(std::uint64_t row, double x) noexcept {
    if (row >= static_cast<std::uint64_t>(kUnaryOps)) {
        host_fail("unary operation table index out of range");
        return kNaN;
    }
    return eval_unary(static_cast<UnaryOp>(kUnaryTable[row].code), x);
}

double vantu_host_binary(std::uint64_t code, double a, double b) noexcept {
    if (code >= static_cast<std::uint64_t>(kBinaryOps)) {
        host_fail("binary operation table index out of range");
        return kNaN;
    }
    return eval_binary(static_cast<BinaryOp>(code), a, b);
}

double vantu_host_powi(std::int32_t n, double x) noexcept { return powi_value(x, n); }

double vantu_host_reduce(std::uint64_t code, const double* values, std::uint64_t count) noexcept {
    const auto op = static_cast<ReduceOp>(code > 3 ? 3 : code);
    return reduce_values(op, values, static_cast<std::size_t>(count));
}

void vantu_host_kernel(double* work, const double* inputs, const HostContext* ctx, std::uint64_t index) noexcept {
    contained([&] { run_kernel(work, inputs, ctx, index); });
}

}  // extern "C"

std::uint64_t host_address(HostFn fn) {
    auto addr = [](auto* f) { return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(f)); };
    switch (fn) {
        case HostFn::Exp: return addr(&vantu_host_exp);
        case HostFn::Ln: return addr(&vantu_host_ln);
        case HostFn::Sin: return addr(&vantu_host_sin);
        case HostFn::Cos: return addr(&vantu_host_cos);
        case HostFn::Sinh: return addr(&vantu_host_sinh);
        case HostFn::Cosh: return addr(&vantu_host_cosh);
        case HostFn::Tanh: return addr(&vantu_host_tanh);
        case HostFn::Atan: return addr(&vantu_host_atan);
        case HostFn::Unary: return addr(&vantu_host_unary);
        case HostFn::Binary: return addr(&vantu_host_binary);
        case HostFn::Powi: return addr(&vantu_host_powi);
        case HostFn::Reduce: return addr(&vantu_host_reduce);
        case HostFn::Kernel: return addr(&vantu_host_kernel);
    }
    fail("unknown host function");
}

void host_fail(const char* message) noexcept {
    if (pending.set) return;
    pending.set = true;
    std::strncpy(pending.message, message, sizeof pending.message - 1);
    pending.message[sizeof pending.message - 1] = '\0';
}

void host_clear_pending() noexcept { pending.set = false; }

void host_raise_pending() {
    if (!pending.set) return;
    pending.set = false;
    fail(pending.message);
}

}  // namespace vantu
