#include "graph/display.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "graph/error.hpp"

namespace vantu {

std::string constant_text(double value) {
    if (value != value) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buf[64];
    const double mag = std::fabs(value);
    if (value == 0.0 || (mag >= 1e-4 && mag < 1e16)) {
        // Within this range the fixed form has at most 17 integer digits and
        // ends within 25 characters, so the buffer always suffices.
        auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
        check(r.ec == std::errc{}, "constant text does not fit its buffer");
        std::string s(buf, r.ptr);
        if (s.find('.') == std::string::npos) s += ".0";
        return s;
    }
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    check(r.ec == std::errc{}, "constant text does not fit its buffer");
    // "1.5e-07" -> "1.5e-7", "1e+16" -> "1e16": no plus sign, no leading zeros.
    std::string_view s(buf, static_cast<std::size_t>(r.ptr - buf));
    std::size_t e = s.find('e');
    check(e != std::string_view::npos && e + 2 < s.size(), "scientific constant text without exponent");
    std::string out(s.substr(0, e + 1));
    if (s[e + 1] == '-') out += '-';
    std::string_view digits = s.substr(e + 2);
    while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
    out += digits;
    return out;
}

namespace {

bool is_leaf(NodeKind k) { return k == NodeKind::Const || k == NodeKind::Input; }

void leaf_text(const Graph& g, NodeId id, std::string& out) {
    const Node& n = g.node(id);
    if (n.kind == NodeKind::Const)
        out += constant_text(g.constant_value(id));
    else
        out += g.input_name(n.a);
}

// Writes one node by its kind's spelling; each operand is written by
// `operand(id, tight)`, where `tight` marks the operand of a product, a
// negation, a power or a dot product.
template <class Operand>
void write_node(const Graph& g, NodeId id, std::string& out, Operand&& operand) {
    const Node& n = g.node(id);
    switch (n.kind) {
        case NodeKind::Const:
        case NodeKind::Input:
            leaf_text(g, id, out);
            return;
        case NodeKind::Add:
            out += '(';
            operand(n.a, false);
            out += " + ";
            operand(n.b, false);
            out += ')';
            return;
        case NodeKind::Mul:
            operand(n.a, true);
            out += '*';
            operand(n.b, true);
            return;
        case NodeKind::Neg:
            out += '-';
            operand(n.a, true);
            return;
        case NodeKind::Powi:
            operand(n.a, true);
            out += '^';
            out += std::to_string(powi_exponent(n));
            return;
        case NodeKind::Unary:
            out += text_name(static_cast<UnaryOp>(n.op));
            out += '(';
            operand(n.a, false);
            out += ')';
            return;
        case NodeKind::Binary:
            out += text_name(static_cast<BinaryOp>(n.op));
            out += '(';
            operand(n.a, false);
            out += ", ";
            operand(n.b, false);
            out += ')';
            return;
        case NodeKind::Cmp:
            out += '(';
            operand(n.a, false);
            out += ' ';
            out += cmp_symbol(static_cast<CmpOp>(n.op));
            out += ' ';
            operand(n.b, false);
            out += ')';
            return;
        case NodeKind::Select:
            out += "select(";
            operand(n.a, false);
            out += ", ";
            operand(n.b, false);
            out += ", ";
            operand(n.c, false);
            out += ')';
            return;
        case NodeKind::Reduce: {
            out += text_name(static_cast<ReduceOp>(n.op));
            out += '(';
            const Operands ops = g.operands(id);
            for (std::uint32_t i = 0; i < ops.size(); ++i) {
                if (i) out += ", ";
                operand(ops[i], false);
            }
            out += ')';
            return;
        }
        case NodeKind::Dot: {
            // n left factors, then n right factors.
            const Operands ops = g.operands(id);
            const std::uint32_t half = ops.size() / 2;
            out += "dot(";
            for (std::uint32_t k = 0; k < half; ++k) {
                if (k) out += " + ";
                operand(ops[k], true);
                out += '*';
                operand(ops[half + k], true);
            }
            out += ')';
            return;
        }
        case NodeKind::Solve: {
            // The list holds n*n + n operands; the integer part of its square
            // root is n.
            const auto size = static_cast<std::uint64_t>(std::sqrt(static_cast<double>(n.c)));
            out += "solve";
            out += std::to_string(size);
            out += '[';
            out += std::to_string(n.a);
            out += ']';
            return;
        }
    }
    fail("expression text of an unknown node kind");
}

void inline_text(const Graph& g, NodeId id, bool tight, std::string& out) {
    const NodeKind k = g.kind(id);
    const bool wrap = tight && (k == NodeKind::Add || k == NodeKind::Neg);
    if (wrap) out += '(';
    write_node(g, id, out, [&](NodeId operand, bool operand_tight) { inline_text(g, operand, operand_tight, out); });
    if (wrap) out += ')';
}

// A reference to a node inside the numbered listing.
void listing_ref(const Graph& g, NodeId id, std::string& out) {
    if (is_leaf(g.kind(id))) {
        leaf_text(g, id, out);
    } else {
        out += '%';
        out += std::to_string(id);
    }
}

}  // namespace

std::string expr_text(const Graph& g, NodeId root) {
    // The reachable nodes, each once, with their size estimates.
    std::unordered_map<NodeId, std::uint32_t> estimate;
    std::vector<NodeId> ids;
    std::vector<NodeId> pending{root};
    estimate.emplace(root, 0);
    while (!pending.empty()) {
        NodeId id = pending.back();
        pending.pop_back();
        ids.push_back(id);
        for (NodeId operand : g.operands(id))
            if (estimate.emplace(operand, 0).second) pending.push_back(operand);
    }
    // Operands precede their users, so ascending ids settle every operand's
    // estimate before its users need it.
    std::sort(ids.begin(), ids.end());
    constexpr std::uint64_t kCap = kInlineTextLimit + 1;
    std::string leaf;
    for (NodeId id : ids) {
        std::uint64_t size;
        if (is_leaf(g.kind(id))) {
            leaf.clear();
            leaf_text(g, id, leaf);
            size = leaf.size();
        } else {
            // Each term is at most kCap, so the sum cannot wrap before the
            // early stop.
            size = 8;
            for (NodeId operand : g.operands(id)) {
                size += estimate.find(operand)->second;
                if (size >= kCap) break;
            }
        }
        estimate[id] = static_cast<std::uint32_t>(std::min(size, kCap));
    }

    std::string out;
    if (estimate[root] <= kInlineTextLimit) {
        inline_text(g, root, false, out);
        return out;
    }
    for (NodeId id : ids) {
        if (is_leaf(g.kind(id))) continue;
        out += '%';
        out += std::to_string(id);
        out += " = ";
        write_node(g, id, out, [&](NodeId operand, bool) { listing_ref(g, operand, out); });
        out += '\n';
    }
    listing_ref(g, root, out);
    return out;
}

bool fits(const Graph& g, NodeId root, std::size_t budget) {
    std::vector<NodeId> pending{root};
    while (!pending.empty()) {
        NodeId id = pending.back();
        pending.pop_back();
        if (budget == 0) return false;
        --budget;
        const Operands ops = g.operands(id);
        // Every pending node costs at least one more visit: stopping here
        // keeps the walk's memory within the budget.
        if (ops.size() + pending.size() > budget) return false;
        for (std::uint32_t i = ops.size(); i-- > 0;) pending.push_back(ops[i]);
    }
    return true;
}

}  // namespace vantu
