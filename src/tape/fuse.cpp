// The fusion phase ("tape fuse"): scalar Add, Sub and Neg elements that are
// the only reader of one Gemv or Gemm output fold into that kernel's
// accumulator, so b - A*x, c + A*x or -A*x runs as one kernel instruction.
//
// Fusion guarantees to scheduling and emission:
//  - a kernel with an accumulator has one role code per output and, after
//    its own operands, one source reference per output (the NaN placeholder
//    where the role reads no source);
//  - no fold makes an element depend on itself: a source that reaches the
//    kernel is refused, and the program stays acyclic;
//  - folded elements are gone and every reference to one names the kernel
//    output that now holds its value; survivors keep their relative order,
//    renumbered from 0;
//  - a program with a Gemv or Gemm gains one placeholder Const NaN element,
//    the highest index, whether or not an accumulator reads it;
//  - a kernel output that is also a program output is never folded.
#include <algorithm>
#include <utility>

#include "graph/error.hpp"
#include "graph/semantics.hpp"
#include "tape/lowered.hpp"
#include "tape/topo.hpp"

namespace vantu {

namespace {

bool is_matrix_kernel(InstrKind kind) { return kind == InstrKind::Gemv || kind == InstrKind::Gemm; }

struct Fusion {
    Lowered& prog;
    std::uint32_t placeholder = kNoId;

    // Per output of a matrix kernel (from out_base[kernel] on): the number
    // of reads (a program output counts 2) and the last element that read it.
    std::vector<std::uint32_t> out_base;
    std::vector<std::uint32_t> use_count;
    std::vector<std::uint32_t> last_reader;

    std::vector<std::uint8_t> removed;
    std::vector<Ref> replacement;  // of a removed element: the kernel output holding its value

    // The dependency order, built the first time a source's index is not
    // below its kernel's; until then every edge runs from a lower index to a
    // higher one (or from the placeholder, which reads nothing).
    bool have_order = false;
    IncrementalOrder order;

    explicit Fusion(Lowered& p) : prog(p) {}

    Ref resolve(Ref r) const {
        while (r.is_elem() && removed[r.index]) r = replacement[r.index];
        return r;
    }

    void build_order(std::uint32_t kernel, std::span<const std::uint32_t> accepted) {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;
        for (std::uint32_t e = 0; e < prog.elems.size(); ++e)
            for (const Ref& r : prog.operands(prog.elems[e]))
                if (r.is_elem()) edges.emplace_back(r.index, e);
        for (std::uint32_t s : accepted) edges.emplace_back(s, kernel);
        order.build(static_cast<std::uint32_t>(prog.elems.size()), edges);
        have_order = true;
    }

    // Whether the kernel may read `source` without depending on itself.
    bool may_read(std::uint32_t kernel, std::uint32_t source, std::span<const std::uint32_t> accepted) {
        if (!have_order) {
            if (source < kernel) return true;
            build_order(kernel, accepted);
        }
        return order.add_edge(source, kernel);
    }

    void fold_kernel(std::uint32_t kernel);
    void compact();
};

void Fusion::fold_kernel(std::uint32_t kernel) {
    const std::uint32_t w = prog.elems[kernel].width;
    std::vector<std::uint32_t> roles(w, kRoleKeep);
    std::vector<Ref> sources(w, Ref::elem(placeholder));
    std::vector<std::uint8_t> locked(w, 0);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> folded;  // (offset, reader)
    std::vector<std::uint32_t> accepted;                          // element sources

    for (std::uint32_t j = 0; j < w; ++j) {
        const std::uint32_t u = out_base[kernel] + j;
        if (use_count[u] != 1 || locked[j]) continue;
        const std::uint32_t r = last_reader[u];
        if (removed[r]) continue;
        const Elem& reader = prog.elems[r];
        const Ref mine = Ref::elem(kernel, j);
        std::uint32_t code = 0;
        Ref source = Ref::elem(placeholder);
        bool reads_source = true;
        switch (reader.kind) {
            case InstrKind::Neg:
                check(reader.ref_count == 1, "a Neg element without its operand");
                code = kRoleNeg;
                reads_source = false;
                break;
            case InstrKind::Sub: {
                check(reader.ref_count == 2, "a Sub element without two operands");
                auto ops = prog.operands(reader);
                if (!(ops[1] == mine)) continue;  // kernel value minus b stays a Sub
                code = kRoleSub;
                source = ops[0];
                break;
            }
            case InstrKind::Add: {
                check(reader.ref_count == 2, "an Add element without two operands");
                auto ops = prog.operands(reader);
                code = kRoleAdd;
                source = ops[0] == mine ? ops[1] : ops[0];
                break;
            }
            default: continue;
        }
        if (reads_source) {
            source = resolve(source);
            if (source.tag() == RefTag::Input) {
                // accepted as it is
            } else if (source.tag() != RefTag::Elem) {
                fail("an operand precedes its consumer");
            } else if (source.index == kernel) {
                // Another output of the same kernel: read it from the block.
                std::uint32_t k = source.offset();
                if (k == j || roles[k] != kRoleKeep) continue;
                locked[k] = 1;
                code |= k << 3 | kRoleRefBit;
                source = Ref::elem(placeholder);
            } else {
                if (!may_read(kernel, source.index, accepted)) continue;
                accepted.push_back(source.index);
            }
        }
        roles[j] = code;
        sources[j] = source;
        folded.emplace_back(j, r);
    }
    if (folded.empty()) return;

    // The kernel's operands move to the end of the reference vector,
    // followed by its w sources.
    Elem& k = prog.elems[kernel];
    const auto start = static_cast<std::uint32_t>(prog.refs.size());
    prog.refs.reserve(prog.refs.size() + k.ref_count + w);
    for (std::uint32_t i = 0; i < k.ref_count; ++i) prog.refs.push_back(prog.refs[k.ref_start + i]);
    prog.refs.insert(prog.refs.end(), sources.begin(), sources.end());
    k.ref_start = start;
    k.ref_count += w;
    k.roles = static_cast<std::uint32_t>(prog.roles.size());
    prog.roles.insert(prog.roles.end(), roles.begin(), roles.end());
    for (auto [j, r] : folded) {
        removed[r] = 1;
        replacement[r] = Ref::elem(kernel, j);
    }
}

void Fusion::compact() {
    const auto n = static_cast<std::uint32_t>(prog.elems.size());
    std::vector<std::uint32_t> new_index(n, kNoId);
    std::uint32_t next = 0;
    for (std::uint32_t e = 0; e < n; ++e)
        if (!removed[e]) new_index[e] = next++;
    auto rewrite = [&](Ref& r) {
        if (!r.is_elem()) return;
        r = resolve(r);
        r.index = new_index[r.index];
    };
    std::uint32_t to = 0;
    for (std::uint32_t e = 0; e < n; ++e) {
        if (removed[e]) continue;
        for (Ref& r : prog.operands(prog.elems[e])) rewrite(r);
        prog.elems[to++] = prog.elems[e];
    }
    prog.elems.resize(to);
    for (Ref& r : prog.outputs) rewrite(r);
}

}  // namespace

void fuse(Lowered& prog) {
    const auto n = static_cast<std::uint32_t>(prog.elems.size());
    Fusion fu(prog);
    fu.out_base.assign(n, kNoId);
    std::vector<std::uint32_t> candidates;
    std::uint32_t total = 0;
    for (std::uint32_t e = 0; e < n; ++e) {
        const Elem& el = prog.elems[e];
        if (!is_matrix_kernel(el.kind)) continue;
        fu.out_base[e] = total;
        total += el.width;
        if (!el.has_acc()) candidates.push_back(e);
    }
    if (candidates.empty()) return;

    fu.use_count.assign(total, 0);
    fu.last_reader.assign(total, kNoId);
    auto count = [&](const Ref& r, std::uint32_t weight, std::uint32_t reader) {
        if (!r.is_elem()) return;
        check_index("element reference", r.index, n);
        std::uint32_t base = fu.out_base[r.index];
        if (base == kNoId) return;
        check_index("kernel output", r.offset(), prog.elems[r.index].width);
        fu.use_count[base + r.offset()] += weight;
        fu.last_reader[base + r.offset()] = reader;
    };
    for (std::uint32_t e = 0; e < n; ++e)
        for (const Ref& r : prog.operands(prog.elems[e])) count(r, 1, e);
    for (const Ref& r : prog.outputs) count(r, 2, kNoId);

    Elem nan;
    nan.kind = InstrKind::Const;
    nan.value = f64_from_bits(kCanonicalNanBits);
    prog.elems.push_back(nan);
    fu.placeholder = n;
    fu.removed.assign(n + 1, 0);
    fu.replacement.assign(n + 1, Ref{});

    bool any = false;
    for (std::uint32_t kernel : candidates) {
        fu.fold_kernel(kernel);
        any = any || prog.elems[kernel].has_acc();
    }
    if (any) fu.compact();
}

}  // namespace vantu
