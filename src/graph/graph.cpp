#include "graph/graph.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "graph/error.hpp"
#include "graph/semantics.hpp"

namespace vantu {

// -- Structural hash ---------------------------------------------------------

std::uint64_t structural_mix(std::uint64_t z) {
    z = z ^ (z >> 30);
    z = z * 0xbf58476d1ce4e5b9ull;
    z = z ^ (z >> 27);
    z = z * 0x94d049bb133111ebull;
    z = z ^ (z >> 31);
    return z;
}

std::uint64_t structural_step(std::uint64_t h, std::uint64_t v) {
    return structural_mix(h * 0x9e3779b97f4a7c15ull + 0x6a09e667f3bcc909ull + v);
}

std::uint64_t structural_hash_bytes(std::string_view s) {
    std::uint64_t h = 0;
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t k = std::min<std::size_t>(8, s.size() - i);
        std::uint64_t chunk = 0;
        for (std::size_t j = 0; j < k; ++j)
            chunk |= static_cast<std::uint64_t>(static_cast<unsigned char>(s[i + j])) << (8 * j);
        h = structural_step(h, chunk ^ (static_cast<std::uint64_t>(k) << 56));
        i += k;
    }
    return structural_step(h, 0xffull ^ (1ull << 56));
}

std::uint64_t Graph::structural_hash(const Node& r) const {
    auto H = [&](NodeId id) { return hashes_[id]; };
    auto over_list = [&](std::uint64_t h, std::uint32_t start, std::uint32_t len) {
        for (std::uint32_t i = 0; i < len; ++i) h = structural_step(h, H(lists_[start + i]));
        return h;
    };
    switch (r.kind) {
        case NodeKind::Const:
            return structural_mix(structural_mix(constant_bits_[r.a] + 0x6a09e667f3bcc909ull) +
                                  0x084160217307451eull);
        case NodeKind::Input:
            return structural_mix(structural_hash_bytes(input_names_[r.a]) + 0xa678d9daf251c133ull);
        case NodeKind::Add:
        case NodeKind::Mul: {
            std::uint64_t ha = H(r.a), hb = H(r.b);
            std::uint64_t lo = std::min(ha, hb), hi = std::max(ha, hb);
            std::uint64_t salt = r.kind == NodeKind::Add ? 0x44b05394719c3d48ull : 0xe2e7cd4df0e6b95dull;
            return structural_step(structural_mix(lo + salt), hi);
        }
        case NodeKind::Neg:
            return structural_mix(H(r.a) + 0x811f470770313572ull);
        case NodeKind::Powi:
            return structural_step(
                structural_mix(static_cast<std::uint64_t>(powi_exponent(r)) + 0x1f56c0c0ef7bb187ull), H(r.a));
        case NodeKind::Unary:
            return structural_step(structural_mix(r.op + 0xbd8e3a7a6ec62d9cull), H(r.a));
        case NodeKind::Binary:
            return structural_step(structural_step(structural_mix(r.op + 0x5bc5b433ee10a9b1ull), H(r.a)),
                                   H(r.b));
        case NodeKind::Cmp:
            return structural_step(structural_step(structural_mix(r.op + 0xf9fd2ded6d5b25c6ull), H(r.a)),
                                   H(r.b));
        case NodeKind::Select:
            return structural_step(structural_step(structural_mix(H(r.a) + 0x9834a7a6eca5a1dbull), H(r.b)),
                                   H(r.c));
        case NodeKind::Reduce:
            return over_list(structural_mix(r.op + 0x366c21606bf01df0ull), r.a, r.b);
        case NodeKind::Dot:
            return over_list(0xe2c2311ba18cfd93ull, r.a, r.b);
        case NodeKind::Solve:
            return over_list(structural_mix(r.a + 0x72db14d36a85161aull), r.b, r.c);
    }
    fail("structural hash of an unknown node kind");
}

// -- Store -------------------------------------------------------------------

namespace {

std::uint64_t record_hash(const Node& r) {
    std::uint64_t h = static_cast<std::uint64_t>(r.kind) | (static_cast<std::uint64_t>(r.op) << 8);
    h = table_mix(h ^ (static_cast<std::uint64_t>(r.a) << 16));
    h = table_mix(h ^ ((static_cast<std::uint64_t>(r.b) << 32) | r.c));
    return h;
}

// A constant node is found by its value's bit pattern, which stands one to
// one for its pool index: one table lookup per constant.
std::uint64_t constant_key_hash(std::uint64_t bits) { return table_mix(bits ^ 0x2545f4914f6cdd1dull); }

std::uint64_t list_hash(std::span<const NodeId> ids) {
    std::uint64_t h = table_mix(ids.size() + 0x51afd7ed558ccdull);
    for (NodeId id : ids) h = table_mix(h ^ id);
    return h;
}

}  // namespace

Graph::Graph() {
    constant(0.0);
    constant(1.0);
}

std::uint64_t Graph::hash(NodeId id) const {
    check_id(id);
    return hashes_[id];
}

double Graph::constant_value(NodeId id) const {
    const Node& n = node(id);
    check(n.kind == NodeKind::Const, "constant_value of a node that is not a constant");
    return constants_[n.a];
}

const std::string& Graph::input_name(std::uint32_t index) const {
    check_index("input index", index, input_names_.size());
    return input_names_[index];
}

NodeId Graph::intern(const Node& record) {
    std::uint64_t h = record_hash(record);
    NodeId found = node_table_.find(h, [&](std::uint32_t id) { return nodes_[id] == record; });
    if (found != kNoId) return found;
    return append(record, h);
}

NodeId Graph::append(const Node& record, std::uint64_t table_hash) {
    check(nodes_.size() < kNoId, "graph node count exceeds 32 bits");
    NodeId id = static_cast<NodeId>(nodes_.size());
    std::uint64_t sh = structural_hash(record);
    nodes_.push_back(record);
    hashes_.push_back(sh);
    node_table_.insert(table_hash, id);
    return id;
}

std::pair<std::uint32_t, std::uint32_t> Graph::intern_list(std::span<const NodeId> ids) {
    std::uint64_t h = list_hash(ids);
    std::uint32_t found = list_table_.find(h, [&](std::uint32_t index) {
        auto [start, len] = list_ranges_[index];
        return len == ids.size() && std::equal(ids.begin(), ids.end(), lists_.begin() + start);
    });
    if (found != kNoId) return list_ranges_[found];
    for (NodeId id : ids) check_id(id);
    check(lists_.size() + ids.size() < kNoId, "operand-list arena exceeds 32 bits");
    // The ids may point into the arena itself, so copy before growing it.
    scratch_.assign(ids.begin(), ids.end());
    auto start = static_cast<std::uint32_t>(lists_.size());
    lists_.insert(lists_.end(), scratch_.begin(), scratch_.end());
    auto range = std::make_pair(start, static_cast<std::uint32_t>(scratch_.size()));
    list_table_.insert(h, static_cast<std::uint32_t>(list_ranges_.size()));
    list_ranges_.push_back(range);
    return range;
}

double Graph::canonical_value(double v) { return canonical(v); }

// -- Constructors --------------------------------------------------------------

NodeId Graph::constant(double value) {
    const std::uint64_t bits = f64_bits(value);
    const std::uint64_t h = constant_key_hash(bits);
    NodeId found = node_table_.find(h, [&](std::uint32_t id) {
        const Node& n = nodes_[id];
        return n.kind == NodeKind::Const && constant_bits_[n.a] == bits;
    });
    if (found != kNoId) return found;
    Node r;
    r.kind = NodeKind::Const;
    r.a = static_cast<std::uint32_t>(constants_.size());
    constants_.push_back(value);
    constant_bits_.push_back(bits);
    return append(r, h);
}

NodeId Graph::cached_constant(std::uint64_t key, double value) {
    // Every caller presents a value that is a function of its key, so a key
    // that is the value's own bit pattern always answers constant(value):
    // only the other keys (-0.0, NaN payloads) need remembering.
    if (key == f64_bits(value)) return constant(value);
    NodeId hit = constant_cache_.find(key);
    if (hit != kNoId) return hit;
    NodeId id = constant(value);
    constant_cache_.insert(key, id);
    return id;
}

NodeId Graph::input(std::string_view name) {
    std::string key(name);
    auto it = input_index_.find(key);
    std::uint32_t index;
    if (it != input_index_.end()) {
        index = it->second;
    } else {
        index = static_cast<std::uint32_t>(input_names_.size());
        input_names_.push_back(key);
        input_index_.emplace(std::move(key), index);
    }
    Node r;
    r.kind = NodeKind::Input;
    r.a = index;
    return intern(r);
}

NodeId Graph::add(NodeId x, NodeId y) {
    check_id(x);
    check_id(y);
    if (x == kZero) return y;  // 0 + y = y
    if (y == kZero) return x;  // x + 0 = x
    if (is_const(x) && is_const(y)) return fold(constant_value(x) + constant_value(y));
    Node r;
    r.kind = NodeKind::Add;  // commutative: smaller id first
    r.a = std::min(x, y);
    r.b = std::max(x, y);
    return intern(r);
}

NodeId Graph::mul(NodeId x, NodeId y) {
    check_id(x);
    check_id(y);
    // 0 * y = 0 even for infinite or NaN y: a deliberate trade of IEEE
    // exactness for simpler graphs and derivatives.
    if (x == kZero || y == kZero) return kZero;
    if (x == kOne) return y;  // 1 * y = y
    if (y == kOne) return x;  // x * 1 = x
    if (is_const(x) && is_const(y)) return fold(constant_value(x) * constant_value(y));
    Node r;
    r.kind = NodeKind::Mul;
    r.a = std::min(x, y);
    r.b = std::max(x, y);
    return intern(r);
}

NodeId Graph::neg(NodeId x) {
    const Node& n = node(x);
    if (x == kZero) return kZero;                                           // -0 is the zero node
    if (n.kind == NodeKind::Const) return fold(-constants_[n.a]);           // fold, canonical zero
    if (n.kind == NodeKind::Neg) return n.a;                                // --y = y
    Node r;
    r.kind = NodeKind::Neg;
    r.a = x;
    return intern(r);
}

NodeId Graph::powi(NodeId x, std::int64_t n) {
    for (;;) {
        const Node xn = node(x);
        if (n == 1) return x;     // x^1 = x
        if (n == 0) return kOne;  // x^0 = 1, NaN included
        constexpr std::int64_t lo = std::numeric_limits<std::int32_t>::min();
        constexpr std::int64_t hi = std::numeric_limits<std::int32_t>::max();
        if (n < lo || n > hi) {
            // Beyond 32 bits the exponent becomes a real power.
            double k = static_cast<double>(n);
            return binary(BinaryOp::Powf, x, cached_constant(f64_bits(k), k));
        }
        if (xn.kind == NodeKind::Const) {
            double c = constants_[xn.a];
            // A zero base with a negative exponent stays a node, so that no
            // infinity appears from folding.
            if (!(c == 0.0 && n < 0)) return fold(powi_value(c, static_cast<std::int32_t>(n)));
        }
        if (xn.kind == NodeKind::Powi) {
            // (y^d)^n = y^(d*n) while the product stays in 32 bits.
            std::int64_t d = powi_exponent(xn);
            std::int64_t product;
            if (!__builtin_mul_overflow(d, n, &product) && product >= lo && product <= hi) {
                x = xn.a;
                n = product;
                continue;
            }
        }
        Node r;
        r.kind = NodeKind::Powi;
        r.a = x;
        auto bits = static_cast<std::uint64_t>(n);
        r.b = static_cast<std::uint32_t>(bits);
        r.c = static_cast<std::uint32_t>(bits >> 32);
        return intern(r);
    }
}

NodeId Graph::unary(UnaryOp op, NodeId x) {
    auto fold_const = [&](NodeId c, NodeId* out) {
        double v = eval_unary(op, constant_value(c));
        if (v != v) return false;  // a NaN result is not folded: the node is built
        *out = constant(v == 0.0 ? 0.0 : v);
        return true;
    };
    NodeId folded;
    if (is_const(x) && fold_const(x, &folded)) return folded;
    if (op == UnaryOp::Abs) {
        // |-y| = |y|, through a chain of negations.
        if (kind(x) == NodeKind::Neg) {
            while (kind(x) == NodeKind::Neg) x = node(x).a;
            if (is_const(x) && fold_const(x, &folded)) return folded;
        }
        // |sqrt y| = sqrt y and ||y|| = |y|: both are never negative.
        const Node& xn = node(x);
        if (xn.kind == NodeKind::Unary &&
            (xn.op == static_cast<std::uint8_t>(UnaryOp::Sqrt) || xn.op == static_cast<std::uint8_t>(UnaryOp::Abs)))
            return x;
    }
    Node r;
    r.kind = NodeKind::Unary;
    r.op = static_cast<std::uint8_t>(op);
    r.a = x;
    return intern(r);
}

NodeId Graph::binary(BinaryOp op, NodeId x, NodeId y) {
    check_id(x);
    const Node& yn = node(y);
    if (op == BinaryOp::Powf) {
        if (y == kZero) return kOne;  // x^0 = 1
        if (y == kOne) return x;      // x^1 = x
        if (yn.kind == NodeKind::Const) {
            // A small integral exponent becomes an integer power.
            double c = constants_[yn.a];
            if (std::fabs(c) <= 64.0 && c - std::trunc(c) == 0.0) {
                auto k = static_cast<std::int64_t>(c);
                if (f64_bits(static_cast<double>(k)) == f64_bits(c)) return powi(x, k);
            }
        }
    }
    if (is_const(x) && is_const(y)) {
        double v = eval_binary(op, constant_value(x), constant_value(y));
        if (v == v) return constant(v == 0.0 ? 0.0 : v);  // NaN results are not folded
    }
    Node r;
    r.kind = NodeKind::Binary;
    r.op = static_cast<std::uint8_t>(op);
    r.a = x;
    r.b = y;
    return intern(r);
}

NodeId Graph::cmp(CmpOp op, NodeId x, NodeId y) {
    check_id(x);
    check_id(y);
    if (is_const(x) && is_const(y))
        return eval_cmp(op, constant_value(x), constant_value(y)) != 0.0 ? kOne : kZero;
    Node r;
    r.kind = NodeKind::Cmp;  // no reordering, no canonical direction
    r.op = static_cast<std::uint8_t>(op);
    r.a = x;
    r.b = y;
    return intern(r);
}

NodeId Graph::select(NodeId cond, NodeId then_, NodeId else_) {
    check_id(then_);
    check_id(else_);
    if (is_const(cond)) return constant_value(cond) != 0.0 ? then_ : else_;  // NaN selects then
    if (then_ == else_) return then_;
    Node r;
    r.kind = NodeKind::Select;
    r.a = cond;
    r.b = then_;
    r.c = else_;
    return intern(r);
}

NodeId Graph::reduce(ReduceOp op, std::span<const NodeId> list) {
    std::vector<NodeId> kept;
    kept.reserve(list.size() + 1);
    if (op == ReduceOp::Min || op == ReduceOp::Max) {
        for (NodeId id : list) check_id(id);
        kept.assign(list.begin(), list.end());  // no folding, duplicates kept
        if (kept.empty()) return constant(op == ReduceOp::Min ? std::numeric_limits<double>::infinity()
                                                              : -std::numeric_limits<double>::infinity());
    } else {
        const bool sum = op == ReduceOp::Sum;
        const NodeId identity = sum ? kZero : kOne;
        bool folded = false;
        double value = 0.0;
        for (NodeId id : list) {
            check_id(id);
            if (!sum && id == kZero) return kZero;  // a zero factor ends the product
            if (id == identity) continue;
            if (is_const(id)) {
                double c = constants_[nodes_[id].a];
                if (!folded)
                    value = c;
                else
                    value = canonical(sum ? value + c : value * c);
                folded = true;
                continue;
            }
            kept.push_back(id);
        }
        if (folded) {
            if (sum) {
                if (!(value == 0.0)) kept.push_back(constant(value));
            } else {
                if (value == 0.0) return kZero;
                if (!(value == 1.0)) kept.push_back(constant(value));
            }
        }
        if (kept.empty()) return identity;
    }
    if (kept.size() == 1) return kept[0];
    // Operand order by (structural hash, id): independent of how the user
    // ordered the operands, so the fold order is too.
    auto less = [&](NodeId p, NodeId q) {
        std::uint64_t hp = hashes_[p], hq = hashes_[q];
        return hp != hq ? hp < hq : p < q;
    };
    if (kept.size() <= 20) {
        for (std::size_t i = 1; i < kept.size(); ++i) {
            NodeId v = kept[i];
            std::size_t j = i;
            for (; j > 0 && less(v, kept[j - 1]); --j) kept[j] = kept[j - 1];
            kept[j] = v;
        }
    } else {
        std::sort(kept.begin(), kept.end(), less);
    }
    auto [start, len] = intern_list(kept);
    Node r;
    r.kind = NodeKind::Reduce;
    r.op = static_cast<std::uint8_t>(op);
    r.a = start;
    r.b = len;
    return intern(r);
}

NodeId Graph::dot(std::span<const NodeId> left, std::span<const NodeId> right) {
    check(left.size() == right.size(), "dot: operand lists differ in length");
    if (left.empty()) return kZero;
    if (left.size() == 1) return mul(left[0], right[0]);
    std::vector<NodeId> both;
    both.reserve(left.size() * 2);
    both.insert(both.end(), left.begin(), left.end());
    both.insert(both.end(), right.begin(), right.end());
    auto [start, len] = intern_list(both);
    Node r;
    r.kind = NodeKind::Dot;
    r.a = start;
    r.b = len;
    return intern(r);
}

std::vector<NodeId> Graph::solve(std::span<const NodeId> matrix, std::span<const NodeId> rhs) {
    const std::size_t n = rhs.size();
    check(matrix.size() == n * n, "solve: a square matrix over the right-hand side");
    std::vector<NodeId> x;
    if (n == 0) return x;
    if (n == 1) {
        NodeId inv = powi(matrix[0], -1);
        x.push_back(mul(rhs[0], inv));
        return x;
    }
    std::vector<NodeId> all;
    all.reserve(n * n + n);
    all.insert(all.end(), matrix.begin(), matrix.end());
    all.insert(all.end(), rhs.begin(), rhs.end());
    auto [start, len] = intern_list(all);
    x.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        Node r;
        r.kind = NodeKind::Solve;
        r.a = static_cast<std::uint32_t>(i);
        r.b = start;
        r.c = len;
        x.push_back(intern(r));
    }
    return x;
}

}  // namespace vantu
