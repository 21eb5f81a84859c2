// The scheduling phase ("tape schedule"): a list scheduler over the lowered
// elements.
//
// Scheduling guarantees to emission:
//  - the result names every element exactly once, and every element comes
//    after all the elements it reads;
//  - every constant that some element reads sits right before its first
//    reader; constants nothing reads (outputs only, the unread fusion
//    placeholder) come last, in index order.
// Among ready elements it prefers the one that ends the life of the most
// values (so emission can reuse their slots at once) and, between equals,
// avoids placing an element right after the element it reads.
#include <algorithm>

#include "graph/error.hpp"
#include "tape/lowered.hpp"

namespace vantu {

namespace {

// Per-element scheduling state, kept together so that visiting an element
// touches one cache line.
struct State {
    std::uint32_t pending = 0;       // non-constant deps not yet scheduled
    std::uint32_t remaining = 0;     // users not yet scheduled
    std::uint32_t reads_prev = kNoId;  // == the previously scheduled element when this element reads it
    std::uint8_t constant = 0;
    std::uint8_t emitted = 0;
};

}  // namespace

std::vector<std::uint32_t> schedule(const Lowered& prog) {
    const auto n = static_cast<std::uint32_t>(prog.elems.size());
    std::vector<State> st(n);
    for (std::uint32_t e = 0; e < n; ++e) st[e].constant = prog.elems[e].kind == InstrKind::Const;

    // deps: the distinct elements an element reads, first occurrence order.
    // Short operand lists are de-duplicated by looking back, long ones with
    // a stamp per element.
    std::vector<std::uint32_t> dep_off(n + 1, 0), deps;
    deps.reserve(prog.refs.size());
    {
        std::vector<std::uint32_t> stamp;
        for (std::uint32_t e = 0; e < n; ++e) {
            const auto first = static_cast<std::uint32_t>(deps.size());
            auto ops = prog.operands(prog.elems[e]);
            const bool short_list = ops.size() <= 8;
            if (!short_list && stamp.empty()) stamp.assign(n, kNoId);
            for (const Ref& r : ops) {
                if (!r.is_elem()) continue;
                const std::uint32_t d = r.index;
                check_index("element reference", d, n);
                if (short_list) {
                    if (std::find(deps.begin() + first, deps.end(), d) != deps.end()) continue;
                } else {
                    if (stamp[d] == e) continue;
                    stamp[d] = e;
                }
                deps.push_back(d);
                State& sd = st[d];
                ++sd.remaining;
                if (!sd.constant) ++st[e].pending;
            }
            dep_off[e + 1] = static_cast<std::uint32_t>(deps.size());
        }
    }
    // users: the elements that read an element, ascending.
    std::vector<std::uint32_t> user_off(n + 1, 0), users(deps.size());
    for (std::uint32_t e = 0; e < n; ++e) user_off[e + 1] = user_off[e] + st[e].remaining;
    {
        std::vector<std::uint32_t> fill(user_off.begin(), user_off.end() - 1);
        for (std::uint32_t e = 0; e < n; ++e)
            for (std::uint32_t i = dep_off[e]; i < dep_off[e + 1]; ++i) users[fill[deps[i]]++] = e;
    }

    // The ready set: one stack per priority, and the highest bucket that
    // may be non-empty.
    std::vector<std::vector<std::uint32_t>> buckets(1);
    std::size_t top = 0, n_ready = 0;
    auto priority = [&](std::uint32_t t) {
        std::uint32_t p = 0;
        for (std::uint32_t i = dep_off[t]; i < dep_off[t + 1]; ++i) p += st[deps[i]].remaining == 1;
        return p;
    };
    auto make_ready = [&](std::uint32_t t) {
        std::uint32_t p = priority(t);
        if (buckets.size() <= p) buckets.resize(p + 1);
        buckets[p].push_back(t);
        top = std::max<std::size_t>(top, p);
        ++n_ready;
    };
    // Downwards, so that the lowest index of a bucket is popped first.
    for (std::uint32_t e = n; e-- > 0;)
        if (!st[e].constant && st[e].pending == 0) make_ready(e);

    std::vector<std::uint32_t> result;
    result.reserve(n);
    std::uint32_t prev = kNoId;
    while (n_ready > 0) {
        while (buckets[top].empty()) --top;
        std::vector<std::uint32_t>& bucket = buckets[top];
        std::uint32_t x = bucket.back();
        bucket.pop_back();
        --n_ready;
        // Between equals, prefer an element that does not read the one just
        // placed; the passed-over element keeps its place in the bucket.
        if (prev != kNoId && !bucket.empty() && st[x].reads_prev == prev) {
            std::uint32_t t = bucket.back();
            if (st[t].reads_prev != prev) {
                bucket.back() = x;
                x = t;
            }
        }
        for (std::uint32_t i = dep_off[x]; i < dep_off[x + 1]; ++i) {
            State& sd = st[deps[i]];
            if (sd.constant && !sd.emitted) {
                sd.emitted = 1;
                result.push_back(deps[i]);
            }
            --sd.remaining;
        }
        st[x].emitted = 1;
        result.push_back(x);
        prev = x;
        for (std::uint32_t i = user_off[x]; i < user_off[x + 1]; ++i) {
            State& su = st[users[i]];
            su.reads_prev = x;
            if (--su.pending == 0) make_ready(users[i]);
        }
    }
    for (std::uint32_t e = 0; e < n; ++e)
        if (!st[e].emitted) result.push_back(e);
    return result;
}

}  // namespace vantu
