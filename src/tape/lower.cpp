// The lowering phase ("tape lower"): reachable graph nodes become elements
// with the tape's instruction kinds.
//
// Lowering guarantees to fusion and scheduling:
//  - every element reads only inputs and elements of smaller index, and
//    each reached node is lowered once (a group of nodes into one element);
//  - dot products against a shared column at one dependency level form one
//    Gemv (two rows or more); column groups with the same set of rows form
//    one Gemm with its rows sorted by their row lists; components of one
//    linear system form one Solve, systems over one matrix share it (k
//    right-hand sides), and small independent systems of one shape are
//    batched; no group ever holds two members of which one depends on the
//    other;
//  - an Add that analysis planned to absorb a single-use Mul or Neg is one
//    MulAdd or Sub element;
//  - an input without a positional number reads as a NaN constant element;
//  - the result does not depend on hash map iteration order: groups are
//    numbered by first appearance and merged in group-number order.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>

#include "graph/error.hpp"
#include "graph/semantics.hpp"
#include "tape/lowered.hpp"

namespace vantu {

namespace {

using Span = std::span<const NodeId>;

std::uint64_t seq_hash(std::span<const std::uint32_t> s, std::uint64_t seed) {
    std::uint64_t h = table_mix(seed ^ (s.size() * 0x9e3779b97f4a7c15ull));
    for (std::uint32_t x : s) h = table_mix(h ^ x);
    return h;
}

bool seq_equal(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// Element by element, then the shorter first.
bool seq_less(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
}

// n with n*n + n == len, the size of a system whose list has len entries.
std::uint32_t system_size(std::uint32_t len) {
    auto n = static_cast<std::uint32_t>(std::sqrt(static_cast<double>(len)));
    while (static_cast<std::uint64_t>(n) * n > len) --n;
    while (static_cast<std::uint64_t>(n + 1) * (n + 1) <= len) ++n;
    check(static_cast<std::uint64_t>(n) * n + n == len, "a Solve node's list is not a square system");
    return n;
}

// A range of the graph's operand-list arena.
struct ListRange {
    std::uint32_t start = 0;
    std::uint32_t len = 0;
};

// A group of nodes lowered into one kernel element.
struct Group {
    InstrKind kind = InstrKind::Gemv;
    std::uint32_t m = 0, k = 0, n = 0, batch = 0;
    std::uint32_t operand_start = 0, operand_count = 0;  // ranges in `operand_ranges`, reading order
    std::uint32_t dep_start = 0, dep_count = 0;          // ranges in `dep_ranges`, dependency order
    std::uint32_t member_start = 0, member_count = 0;    // positions in `members`
};

// The working state of one lowering run; all tables indexed by position.
struct Lowering {
    const Analysis& an;
    const Graph& graph;
    std::size_t n = 0;

    std::vector<std::uint32_t> level;
    std::vector<std::uint32_t> group_of;       // final group, or kNoId
    std::vector<std::uint32_t> member_offset;  // value offset within the group's result block
    std::vector<Group> groups;
    std::vector<ListRange> operand_ranges;
    std::vector<ListRange> dep_ranges;
    std::vector<std::uint32_t> members;

    // Per position, side by side so that one lookup brings all three: the
    // lowered value, the Add that absorbs it (from analysis), and whether
    // the lowering walk has visited it.
    struct Slot {
        Ref value;
        std::uint32_t fuse_into = kNoId;
        std::uint32_t visited = 0;
    };
    std::vector<Slot> at;
    Lowered out;

    Lowering(const Analysis& a, const Graph& g) : an(a), graph(g), n(a.order.size()) {}

    std::uint32_t pos(NodeId id) const { return an.maps.position(id); }
    const Node& node_at(std::uint32_t p) const { return graph.node(an.order[p]); }
    Span list(ListRange r) const { return graph.list(r.start, r.len); }

    void form_groups();
    void lower_in_order(std::span<const NodeId> outputs);
    void lower_position(std::uint32_t p, std::vector<std::uint8_t>& group_done);

    Ref value_of(NodeId id) const {
        std::uint32_t p = pos(id);
        check(p != kNoId && at[p].value.tag() != RefTag::Missing, "an operand precedes its consumer");
        return at[p].value;
    }
    std::uint32_t new_elem(const Elem& e) {
        check(out.elems.size() < kNoId, "more elements than an index can name");
        check(e.width < Ref::kMaxWidth, "an element result too wide for a value reference");
        out.elems.push_back(e);
        return static_cast<std::uint32_t>(out.elems.size() - 1);
    }
    std::uint32_t push_elem(Elem e, std::initializer_list<NodeId> operands) {
        return push_elem_list(e, Span(operands.begin(), operands.size()));
    }
    std::uint32_t push_elem_list(Elem e, Span operands) {
        e.ref_start = static_cast<std::uint32_t>(out.refs.size());
        for (NodeId x : operands) out.refs.push_back(value_of(x));
        e.ref_count = static_cast<std::uint32_t>(out.refs.size()) - e.ref_start;
        return new_elem(e);
    }
    void lower_group(std::uint32_t g);
    void lower_node(std::uint32_t p);
};

// -- Groups ------------------------------------------------------------------

// Singly linked lists of indices with head, tail and next arrays, appended
// in order so that every list keeps the order of its appends.
struct Chains {
    std::vector<std::uint32_t> head, tail, next, size;

    std::uint32_t add_chain() {
        head.push_back(kNoId);
        tail.push_back(kNoId);
        size.push_back(0);
        return static_cast<std::uint32_t>(head.size() - 1);
    }
    void append(std::uint32_t chain, std::uint32_t item) {
        if (next.size() <= item) next.resize(item + 1, kNoId);
        next[item] = kNoId;
        if (tail[chain] == kNoId)
            head[chain] = item;
        else
            next[tail[chain]] = item;
        tail[chain] = item;
        ++size[chain];
    }
};

void Lowering::form_groups() {
    const Graph& g = graph;

    // Columns: the second halves of Dot lists, identified by content in
    // order of first appearance.
    std::vector<std::uint32_t> column_of(n, kNoId);
    std::vector<ListRange> columns;
    std::vector<std::uint32_t> column_uses;
    IdTable column_table;
    for (std::uint32_t p = 0; p < n; ++p) {
        const Node& node = node_at(p);
        if (node.kind != NodeKind::Dot) continue;
        std::uint32_t half = node.b / 2;
        if (half == 0) continue;
        ListRange col{node.a + half, half};
        Span content = list(col);
        std::uint64_t h = seq_hash(content, 0xc01);
        std::uint32_t id = column_table.find(h, [&](std::uint32_t c) { return seq_equal(list(columns[c]), content); });
        if (id == kNoId) {
            id = static_cast<std::uint32_t>(columns.size());
            columns.push_back(col);
            column_uses.push_back(0);
            column_table.insert(h, id);
        }
        column_of[p] = id;
        ++column_uses[id];
    }

    // Candidates and levels: two candidates on one dependency path always
    // get different levels.
    std::vector<std::uint8_t> candidate(n, 0);
    std::uint32_t first_candidate = kNoId;
    for (std::uint32_t p = 0; p < n; ++p) {
        NodeKind kind = node_at(p).kind;
        if ((kind == NodeKind::Dot && column_of[p] != kNoId && column_uses[column_of[p]] >= 2) ||
            kind == NodeKind::Solve) {
            candidate[p] = 1;
            first_candidate = std::min(first_candidate, p);
        }
    }
    if (first_candidate == kNoId) return;  // nothing to group
    group_of.assign(n, kNoId);
    member_offset.assign(n, 0);
    // Everything before the first candidate is on level 0.
    level.assign(n, 0);
    for (std::uint32_t p = first_candidate; p < n; ++p) {
        std::uint32_t l = 0;
        for (NodeId x : g.operands(an.order[p])) l = std::max(l, level[pos(x)]);
        level[p] = l + candidate[p];
    }

    // Initial groups, numbered by first appearance: rows by (level, column),
    // solve components by their system's list.
    Chains initial;
    std::vector<std::uint8_t> initial_is_solve;
    std::vector<std::uint32_t> initial_key;  // column id of a row group
    U64Map row_key, solve_key;
    std::vector<std::uint32_t> initial_of(n, kNoId);
    for (std::uint32_t p = 0; p < n; ++p) {
        if (!candidate[p]) continue;
        const Node& node = node_at(p);
        bool solve = node.kind == NodeKind::Solve;
        std::uint64_t key = solve ? (static_cast<std::uint64_t>(node.b) << 32 | node.c)
                                  : (static_cast<std::uint64_t>(level[p]) << 32 | column_of[p]);
        U64Map& table = solve ? solve_key : row_key;
        std::uint32_t gi = table.find(key);
        if (gi == kNoId) {
            gi = initial.add_chain();
            initial_is_solve.push_back(solve ? 1 : 0);
            initial_key.push_back(solve ? 0 : column_of[p]);
            table.insert(key, gi);
        }
        initial.append(gi, p);
        initial_of[p] = gi;
    }
    const auto n_initial = static_cast<std::uint32_t>(initial.head.size());
    auto first_member = [&](std::uint32_t gi) { return initial.head[gi]; };
    auto row_range = [&](std::uint32_t p) {
        const Node& node = node_at(p);
        return ListRange{node.a, node.b / 2};
    };

    auto add_member = [&](std::uint32_t p, std::uint32_t offset) {
        group_of[p] = static_cast<std::uint32_t>(groups.size());
        member_offset[p] = offset;
        members.push_back(p);
    };

    // -- Row groups: Gemm where at least two columns share one set of rows,
    // Gemv otherwise; a single row stays a plain Dot.
    //
    // Distinct row lists get a rank in sorted content order, so that a set
    // of rows is a sorted rank sequence and the Gemm row order is the rank
    // order.
    std::vector<std::uint32_t> row_id(n, kNoId);
    std::vector<ListRange> rows;
    {
        IdTable row_table;
        for (std::uint32_t gi = 0; gi < n_initial; ++gi) {
            if (initial_is_solve[gi] || initial.size[gi] < 2) continue;
            for (std::uint32_t p = initial.head[gi]; p != kNoId; p = initial.next[p]) {
                ListRange r = row_range(p);
                Span content = list(r);
                std::uint64_t h = seq_hash(content, 0x20f);
                std::uint32_t id =
                    row_table.find(h, [&](std::uint32_t q) { return seq_equal(list(rows[q]), content); });
                if (id == kNoId) {
                    id = static_cast<std::uint32_t>(rows.size());
                    rows.push_back(r);
                    row_table.insert(h, id);
                }
                row_id[p] = id;
            }
        }
    }
    std::vector<std::uint32_t> rank(rows.size());
    {
        std::vector<std::uint32_t> by_content(rows.size());
        for (std::uint32_t i = 0; i < by_content.size(); ++i) by_content[i] = i;
        std::sort(by_content.begin(), by_content.end(),
                  [&](std::uint32_t a, std::uint32_t b) { return seq_less(list(rows[a]), list(rows[b])); });
        for (std::uint32_t r = 0; r < by_content.size(); ++r) rank[by_content[r]] = r;
    }
    // The sorted rank sequence of each row group, and the classes of row
    // groups with equal level and equal row sets, in group-number order.
    std::vector<std::uint32_t> rank_start(n_initial, 0);
    std::vector<std::uint32_t> ranks;
    Chains classes;
    {
        IdTable class_table;
        std::vector<std::uint32_t> class_rep;
        auto class_hash = [&](std::uint32_t gi) {
            return seq_hash(std::span<const std::uint32_t>(ranks.data() + rank_start[gi], initial.size[gi]),
                            level[first_member(gi)]);
        };
        for (std::uint32_t gi = 0; gi < n_initial; ++gi) {
            if (initial_is_solve[gi] || initial.size[gi] < 2) continue;
            rank_start[gi] = static_cast<std::uint32_t>(ranks.size());
            for (std::uint32_t p = initial.head[gi]; p != kNoId; p = initial.next[p]) ranks.push_back(rank[row_id[p]]);
            std::sort(ranks.begin() + rank_start[gi], ranks.end());
            std::span<const std::uint32_t> mine(ranks.data() + rank_start[gi], initial.size[gi]);
            std::uint32_t lvl = level[first_member(gi)];
            std::uint64_t h = class_hash(gi);
            std::uint32_t c = class_table.find(h, [&](std::uint32_t q) {
                std::uint32_t rep = class_rep[q];
                return level[first_member(rep)] == lvl &&
                       seq_equal(std::span<const std::uint32_t>(ranks.data() + rank_start[rep], initial.size[rep]),
                                 mine);
            });
            if (c == kNoId) {
                c = classes.add_chain();
                class_rep.push_back(gi);
                class_table.insert(h, c);
            }
            classes.append(c, gi);
        }
    }
    for (std::uint32_t c = 0; c < classes.head.size(); ++c) {
        std::uint32_t g0 = classes.head[c];
        std::uint32_t m = initial.size[g0];
        std::uint32_t k = row_range(first_member(g0)).len;
        Group grp;
        grp.operand_start = static_cast<std::uint32_t>(operand_ranges.size());
        grp.dep_start = static_cast<std::uint32_t>(dep_ranges.size());
        grp.member_start = static_cast<std::uint32_t>(members.size());
        if (classes.size[c] >= 2) {
            // Gemm: rows in rank order, columns in group-number order; the
            // member at row r and column j has offset r*n + j.
            grp.kind = InstrKind::Gemm;
            grp.m = m;
            grp.k = k;
            grp.n = classes.size[c];
            std::span<const std::uint32_t> sorted(ranks.data() + rank_start[g0], m);
            std::vector<ListRange> row_by_rank(m);
            for (std::uint32_t p = initial.head[g0]; p != kNoId; p = initial.next[p]) {
                auto r = static_cast<std::uint32_t>(std::lower_bound(sorted.begin(), sorted.end(), rank[row_id[p]]) -
                                                    sorted.begin());
                row_by_rank[r] = row_range(p);
            }
            operand_ranges.insert(operand_ranges.end(), row_by_rank.begin(), row_by_rank.end());
            std::uint32_t j = 0;
            for (std::uint32_t gi = g0; gi != kNoId; gi = classes.next[gi], ++j) {
                ListRange col = columns[initial_key[gi]];
                operand_ranges.push_back(col);
                bool first_member_seen = false;
                for (std::uint32_t p = initial.head[gi]; p != kNoId; p = initial.next[p]) {
                    // The rows are one set for every column: only the first
                    // column's members add rows to the dependencies.
                    if (j == 0) dep_ranges.push_back(row_range(p));
                    if (!first_member_seen) dep_ranges.push_back(col);
                    first_member_seen = true;
                    auto r = static_cast<std::uint32_t>(
                        std::lower_bound(sorted.begin(), sorted.end(), rank[row_id[p]]) - sorted.begin());
                    add_member(p, r * grp.n + j);
                }
            }
        } else {
            // Gemv: the group's rows in position order against its column.
            grp.kind = InstrKind::Gemv;
            grp.m = m;
            grp.n = k;
            ListRange col = columns[initial_key[g0]];
            std::uint32_t i = 0;
            for (std::uint32_t p = initial.head[g0]; p != kNoId; p = initial.next[p], ++i) {
                operand_ranges.push_back(row_range(p));
                dep_ranges.push_back(row_range(p));
                if (i == 0) dep_ranges.push_back(col);
                add_member(p, i);
            }
            operand_ranges.push_back(col);
        }
        grp.operand_count = static_cast<std::uint32_t>(operand_ranges.size()) - grp.operand_start;
        grp.dep_count = static_cast<std::uint32_t>(dep_ranges.size()) - grp.dep_start;
        grp.member_count = static_cast<std::uint32_t>(members.size()) - grp.member_start;
        groups.push_back(grp);
    }

    // -- Solve groups: one system each; systems over equal matrices on one
    // level share one instruction (a unit of k right-hand sides); units of
    // up to 16 unknowns and 4 right-hand sides with equal shape and level
    // are batched.
    std::vector<std::uint32_t> system_n(n_initial, 0);
    std::vector<ListRange> system_list(n_initial);
    Chains units;  // chains of initial solve groups
    {
        IdTable unit_table;
        std::vector<std::uint32_t> unit_rep;
        auto unit_hash = [&](std::uint32_t gi) {
            std::uint32_t sn = system_n[gi];
            return seq_hash(graph.list(system_list[gi].start, sn * sn), level[first_member(gi)]);
        };
        for (std::uint32_t gi = 0; gi < n_initial; ++gi) {
            if (!initial_is_solve[gi]) continue;
            const Node& node = node_at(first_member(gi));
            system_list[gi] = ListRange{node.b, node.c};
            std::uint32_t sn = system_size(node.c);
            system_n[gi] = sn;
            Span matrix = graph.list(node.b, sn * sn);
            std::uint32_t lvl = level[first_member(gi)];
            std::uint64_t h = unit_hash(gi);
            std::uint32_t u = unit_table.find(h, [&](std::uint32_t q) {
                std::uint32_t rep = unit_rep[q];
                return level[first_member(rep)] == lvl && system_n[rep] == sn &&
                       seq_equal(graph.list(system_list[rep].start, sn * sn), matrix);
            });
            if (u == kNoId) {
                u = units.add_chain();
                unit_rep.push_back(gi);
                unit_table.insert(h, u);
            }
            units.append(u, gi);
        }
    }
    Chains batches;  // chains of units
    {
        U64Map batch_table;
        for (std::uint32_t u = 0; u < units.head.size(); ++u) {
            std::uint32_t g0 = units.head[u];
            std::uint32_t sn = system_n[g0];
            std::uint32_t k = units.size[u];
            std::uint32_t b = kNoId;
            if (sn * sn <= 256 && k <= 4) {
                std::uint64_t key = static_cast<std::uint64_t>(level[first_member(g0)]) << 32 | (sn * sn) << 8 | k;
                b = batch_table.find(key);
                if (b == kNoId) {
                    b = batches.add_chain();
                    batch_table.insert(key, b);
                }
            } else {
                b = batches.add_chain();
            }
            batches.append(b, u);
        }
    }
    for (std::uint32_t b = 0; b < batches.head.size(); ++b) {
        std::uint32_t u0 = batches.head[b];
        std::uint32_t sn = system_n[units.head[u0]];
        Group grp;
        grp.kind = InstrKind::Solve;
        grp.n = sn;
        grp.k = units.size[u0];
        grp.batch = batches.size[b];
        grp.operand_start = static_cast<std::uint32_t>(operand_ranges.size());
        grp.dep_start = static_cast<std::uint32_t>(dep_ranges.size());
        grp.member_start = static_cast<std::uint32_t>(members.size());
        for (std::uint32_t u = u0; u != kNoId; u = batches.next[u])
            operand_ranges.push_back(ListRange{system_list[units.head[u]].start, sn * sn});
        std::uint32_t q = 0;  // right-hand side number within the batch
        for (std::uint32_t u = u0; u != kNoId; u = batches.next[u]) {
            for (std::uint32_t gi = units.head[u]; gi != kNoId; gi = units.next[gi], ++q) {
                ListRange sys = system_list[gi];
                operand_ranges.push_back(ListRange{sys.start + sn * sn, sn});
                dep_ranges.push_back(sys);
                for (std::uint32_t p = initial.head[gi]; p != kNoId; p = initial.next[p]) {
                    std::uint32_t component = node_at(p).a;
                    check(component < sn, "a Solve component past its system");
                    add_member(p, q * sn + component);
                }
            }
        }
        grp.operand_count = static_cast<std::uint32_t>(operand_ranges.size()) - grp.operand_start;
        grp.dep_count = static_cast<std::uint32_t>(dep_ranges.size()) - grp.dep_start;
        grp.member_count = static_cast<std::uint32_t>(members.size()) - grp.member_start;
        groups.push_back(grp);
    }
}

// -- Lowering order ---------------------------------------------------------

// A depth-first walk from the outputs, last output first; a position comes
// after all its dependencies. A group is visited as a whole: the
// dependencies of all its members, first-seen order. Each position is
// lowered the moment the walk places it, which is the same as lowering them
// all in walk order afterwards: everything it reads is placed before it.
void Lowering::lower_in_order(std::span<const NodeId> outputs) {
    at.resize(n);
    for (std::uint32_t p = 0; p < n; ++p) at[p].fuse_into = an.fuse_into[p];
    std::vector<std::uint8_t> group_done(groups.size(), 0);
    // Dedup stamp of long dependency lists: the position whose deps are
    // being listed. Made on first use; most programs need none.
    std::vector<std::uint32_t> seen;
    struct Entry {
        std::uint32_t p;
        std::uint32_t expanded;
    };
    std::vector<Entry> stack;
    for (NodeId id : outputs) stack.push_back({pos(id), 0});

    auto push_dep = [&](std::uint32_t owner, std::uint32_t q) {
        if (seen.empty()) seen.assign(n, kNoId);
        if (seen[q] == owner) return;
        seen[q] = owner;
        if (!at[q].visited) stack.push_back({q, 0});
    };
    // A node of at most three operands (four with an absorbed Mul) is
    // de-duplicated by looking back at the few dependencies listed before.
    std::uint32_t few[4];
    std::uint32_t n_few = 0;
    auto push_few = [&](std::uint32_t q) {
        for (std::uint32_t i = 0; i < n_few; ++i)
            if (few[i] == q) return;
        few[n_few++] = q;
        if (!at[q].visited) stack.push_back({q, 0});
    };
    while (!stack.empty()) {
        Entry top = stack.back();
        stack.pop_back();
        std::uint32_t p = top.p;
        if (top.expanded) {
            lower_position(p, group_done);
            continue;
        }
        if (at[p].visited) continue;
        at[p].visited = 1;
        stack.push_back({p, 1});
        if (!groups.empty() && group_of[p] != kNoId) {
            const Group& grp = groups[group_of[p]];
            for (std::uint32_t i = 0; i < grp.member_count; ++i) at[members[grp.member_start + i]].visited = 1;
            for (std::uint32_t i = 0; i < grp.dep_count; ++i)
                for (NodeId x : list(dep_ranges[grp.dep_start + i])) push_dep(p, pos(x));
            continue;
        }
        const Operands ops = graph.operands(an.order[p]);
        if (ops.list) {
            for (NodeId x : ops) push_dep(p, pos(x));
            continue;
        }
        n_few = 0;
        for (NodeId x : ops) {
            std::uint32_t q = pos(x);
            if (at[q].fuse_into == p) {
                for (NodeId y : graph.operands(x)) push_few(pos(y));
            } else {
                push_few(q);
            }
        }
    }
}

// -- Main pass ---------------------------------------------------------------

void Lowering::lower_group(std::uint32_t gi) {
    const Group& grp = groups[gi];
    Elem e;
    e.kind = grp.kind;
    e.m = grp.m;
    e.k = grp.k;
    e.n = grp.n;
    e.batch = grp.batch;
    switch (grp.kind) {
        case InstrKind::Gemv: e.width = grp.m; break;
        case InstrKind::Gemm: e.width = grp.m * grp.n; break;
        case InstrKind::Solve: e.width = grp.batch * grp.k * grp.n; break;
        default: fail("a group of an unexpected kind");
    }
    e.ref_start = static_cast<std::uint32_t>(out.refs.size());
    for (std::uint32_t i = 0; i < grp.operand_count; ++i)
        for (NodeId x : list(operand_ranges[grp.operand_start + i])) out.refs.push_back(value_of(x));
    e.ref_count = static_cast<std::uint32_t>(out.refs.size()) - e.ref_start;
    std::uint32_t index = new_elem(e);
    for (std::uint32_t i = 0; i < grp.member_count; ++i) {
        std::uint32_t p = members[grp.member_start + i];
        NodeKind kind = node_at(p).kind;
        check(kind == (grp.kind == InstrKind::Solve ? NodeKind::Solve : NodeKind::Dot),
              "a group member of an unexpected kind");
        at[p].value = Ref::elem(index, member_offset[p]);
    }
}

void Lowering::lower_node(std::uint32_t p) {
    const Node& node = node_at(p);
    const NodeId id = an.order[p];
    Elem e;
    std::uint32_t index = kNoId;
    switch (node.kind) {
        case NodeKind::Const:
            e.kind = InstrKind::Const;
            e.value = graph.constant_value(id);
            index = new_elem(e);
            break;
        case NodeKind::Input: {
            std::uint32_t i = an.maps.input_position(node.a);
            if (i != kNoId) {
                at[p].value = Ref::input(i);
                return;
            }
            // An input the program was not given reads as NaN.
            e.kind = InstrKind::Const;
            e.value = f64_from_bits(kCanonicalNanBits);
            index = new_elem(e);
            break;
        }
        case NodeKind::Add: {
            NodeId absorbed = kNoId, other = kNoId;
            if (at[pos(node.a)].fuse_into == p) {
                absorbed = node.a;
                other = node.b;
            } else if (at[pos(node.b)].fuse_into == p) {
                absorbed = node.b;
                other = node.a;
            }
            if (absorbed == kNoId) {
                e.kind = InstrKind::Add;
                index = push_elem(e, {node.a, node.b});
                break;
            }
            const Node& x = graph.node(absorbed);
            if (x.kind == NodeKind::Mul) {
                e.kind = InstrKind::MulAdd;
                index = push_elem(e, {x.a, x.b, other});
            } else if (x.kind == NodeKind::Neg) {
                e.kind = InstrKind::Sub;
                index = push_elem(e, {other, x.a});
            } else {
                fail("only a Mul or a Neg fuses");
            }
            break;
        }
        case NodeKind::Mul:
            e.kind = InstrKind::Mul;
            index = push_elem(e, {node.a, node.b});
            break;
        case NodeKind::Neg:
            e.kind = InstrKind::Neg;
            index = push_elem(e, {node.a});
            break;
        case NodeKind::Powi: {
            std::int64_t exponent = powi_exponent(node);
            check(exponent >= INT32_MIN && exponent <= INT32_MAX, "a Powi exponent past 32 bits");
            e.kind = InstrKind::Powi;
            e.exponent = static_cast<std::int32_t>(exponent);
            index = push_elem(e, {node.a});
            break;
        }
        case NodeKind::Unary:
            e.kind = InstrKind::Unary;
            e.op = node.op;
            index = push_elem(e, {node.a});
            break;
        case NodeKind::Binary:
            e.kind = InstrKind::Binary;
            e.op = node.op;
            index = push_elem(e, {node.a, node.b});
            break;
        case NodeKind::Cmp:
            e.kind = InstrKind::Cmp;
            e.op = node.op;
            index = push_elem(e, {node.a, node.b});
            break;
        case NodeKind::Select:
            e.kind = InstrKind::Select;
            index = push_elem(e, {node.a, node.b, node.c});
            break;
        case NodeKind::Reduce:
            e.kind = InstrKind::Reduce;
            e.op = node.op;
            index = push_elem_list(e, graph.list(node.a, node.b));
            break;
        case NodeKind::Dot:
            check(node.b % 2 == 0, "a Dot node with an odd list");
            e.kind = InstrKind::Dot;
            e.n = node.b / 2;
            index = push_elem_list(e, graph.list(node.a, node.b));
            break;
        case NodeKind::Solve:
            fail("a Solve node met outside its group");
    }
    at[p].value = Ref::elem(index);
}

void Lowering::lower_position(std::uint32_t p, std::vector<std::uint8_t>& group_done) {
    if (at[p].fuse_into != kNoId || at[p].value.tag() != RefTag::Missing) return;
    std::uint32_t gi = groups.empty() ? kNoId : group_of[p];
    if (gi == kNoId) {
        lower_node(p);
    } else if (!group_done[gi]) {
        group_done[gi] = 1;
        lower_group(gi);
    }
}

}  // namespace

Lowered lower(const Analysis& analysis, const Graph& graph, std::span<const NodeId> outputs) {
    Lowering lw(analysis, graph);
    lw.form_groups();
    lw.lower_in_order(outputs);
    lw.out.outputs.reserve(outputs.size());
    for (NodeId id : outputs) lw.out.outputs.push_back(lw.value_of(id));
    return std::move(lw.out);
}

// -- Text for tests ----------------------------------------------------------

namespace {

void append_ref(std::string& s, const Ref& r) {
    switch (r.tag()) {
        case RefTag::Elem:
            s += 'e';
            s += std::to_string(r.index);
            if (r.offset() != 0) {
                s += '.';
                s += std::to_string(r.offset());
            }
            break;
        case RefTag::Input:
            s += 'i';
            s += std::to_string(r.index);
            break;
        case RefTag::Missing: s += '?'; break;
    }
}

void append_refs(std::string& s, std::span<const Ref> refs) {
    s += '[';
    for (std::size_t i = 0; i < refs.size(); ++i) {
        if (i) s += ", ";
        append_ref(s, refs[i]);
    }
    s += ']';
}

const char* kind_name(InstrKind kind) {
    static const char* const names[] = {"Const", "Add",    "Mul",    "MulAdd", "Sub", "Neg",  "Powi", "Unary",
                                        "Binary", "Cmp",   "Select", "Reduce", "Dot", "Gemv", "Gemm", "Solve"};
    return names[static_cast<int>(kind)];
}

const char* role_name(std::uint32_t code) {
    static const char* const names[] = {"=", "-", "+", "neg"};
    return names[code & 3];
}

}  // namespace

std::string lowered_text(const Lowered& program) {
    std::string s;
    for (std::size_t i = 0; i < program.elems.size(); ++i) {
        const Elem& e = program.elems[i];
        s += 'e';
        s += std::to_string(i);
        s += " = ";
        s += kind_name(e.kind);
        switch (e.kind) {
            case InstrKind::Const: {
                char buf[64];
                auto r = std::to_chars(buf, buf + sizeof buf, e.value);
                s += ' ';
                s.append(buf, r.ptr);
                break;
            }
            case InstrKind::Powi: s += ' ' + std::to_string(e.exponent); break;
            case InstrKind::Unary: s += ' ' + std::string(variant_name(static_cast<UnaryOp>(e.op))); break;
            case InstrKind::Binary: s += ' ' + std::string(variant_name(static_cast<BinaryOp>(e.op))); break;
            case InstrKind::Cmp: s += ' ' + std::string(variant_name(static_cast<CmpOp>(e.op))); break;
            case InstrKind::Reduce: s += ' ' + std::string(variant_name(static_cast<ReduceOp>(e.op))); break;
            case InstrKind::Gemv: s += ' ' + std::to_string(e.m) + 'x' + std::to_string(e.n); break;
            case InstrKind::Gemm:
                s += ' ' + std::to_string(e.m) + 'x' + std::to_string(e.k) + 'x' + std::to_string(e.n);
                break;
            case InstrKind::Solve:
                s += ' ' + std::to_string(e.n) + " k" + std::to_string(e.k) + " b" + std::to_string(e.batch);
                break;
            default: break;
        }
        if (e.kind != InstrKind::Const) {
            s += ' ';
            append_refs(s, program.operands(e));
        }
        if (e.has_acc()) {
            s += " acc [";
            for (std::uint32_t j = 0; j < e.width; ++j) {
                std::uint32_t code = program.roles[e.roles + j];
                if (j) s += ',';
                s += role_name(code);
                if (code & kRoleRefBit) s += '#' + std::to_string(code >> 3);
            }
            s += ']';
        }
        s += '\n';
    }
    s += "out ";
    append_refs(s, program.outputs);
    s += '\n';
    return s;
}

}  // namespace vantu
