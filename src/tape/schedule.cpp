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

std::vector<std::uint32_t> schedule(const Lowered& prog) {
    const auto n = static_cast<std::uint32_t>(prog.elems.size());
    auto is_const = [&](std::uint32_t e) { return prog.elems[e].kind == InstrKind::Const; };

    // deps: the distinct elements an element reads, first occurrence order.
    std::vector<std::uint32_t> dep_off(n + 1, 0), deps;
    {
        std::vector<std::uint32_t> stamp(n, kNoId);
        for (std::uint32_t e = 0; e < n; ++e) {
            for (const Ref& r : prog.operands(prog.elems[e])) {
                if (!r.is_elem()) continue;
                check_index("element reference", r.index, n);
                if (stamp[r.index] == e) continue;
                stamp[r.index] = e;
                deps.push_back(r.index);
            }
            dep_off[e + 1] = static_cast<std::uint32_t>(deps.size());
        }
    }
    // users: the elements that read an element, ascending.
    std::vector<std::uint32_t> user_off(n + 1, 0), users(deps.size());
    for (std::uint32_t d : deps) ++user_off[d + 1];
    for (std::uint32_t e = 0; e < n; ++e) user_off[e + 1] += user_off[e];
    {
        std::vector<std::uint32_t> fill(user_off.begin(), user_off.end() - 1);
        for (std::uint32_t e = 0; e < n; ++e)
            for (std::uint32_t i = dep_off[e]; i < dep_off[e + 1]; ++i) users[fill[deps[i]]++] = e;
    }

    std::vector<std::uint32_t> pending(n, 0), remaining(n, 0);
    for (std::uint32_t e = 0; e < n; ++e) {
        remaining[e] = user_off[e + 1] - user_off[e];
        for (std::uint32_t i = dep_off[e]; i < dep_off[e + 1]; ++i)
            if (!is_const(deps[i])) ++pending[e];
    }

    // The ready set: one stack per priority, and the highest bucket that
    // may be non-empty.
    std::vector<std::vector<std::uint32_t>> buckets(1);
    std::size_t top = 0, n_ready = 0;
    auto priority = [&](std::uint32_t t) {
        std::uint32_t p = 0;
        for (std::uint32_t i = dep_off[t]; i < dep_off[t + 1]; ++i) p += remaining[deps[i]] == 1;
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
        if (!is_const(e) && pending[e] == 0) make_ready(e);

    std::vector<std::uint32_t> result;
    result.reserve(n);
    std::vector<std::uint8_t> emitted(n, 0);
    // reads_prev[u] == prev exactly when u reads the previously scheduled element.
    std::vector<std::uint32_t> reads_prev(n, kNoId);
    std::uint32_t prev = kNoId;
    while (n_ready > 0) {
        while (buckets[top].empty()) --top;
        std::vector<std::uint32_t>& bucket = buckets[top];
        std::uint32_t x = bucket.back();
        bucket.pop_back();
        --n_ready;
        // Between equals, prefer an element that does not read the one just
        // placed; the passed-over element keeps its place in the bucket.
        if (prev != kNoId && !bucket.empty() && reads_prev[x] == prev) {
            std::uint32_t t = bucket.back();
            if (reads_prev[t] != prev) {
                bucket.back() = x;
                x = t;
            }
        }
        for (std::uint32_t i = dep_off[x]; i < dep_off[x + 1]; ++i) {
            std::uint32_t d = deps[i];
            if (is_const(d) && !emitted[d]) {
                emitted[d] = 1;
                result.push_back(d);
            }
        }
        emitted[x] = 1;
        result.push_back(x);
        prev = x;
        for (std::uint32_t i = dep_off[x]; i < dep_off[x + 1]; ++i) --remaining[deps[i]];
        for (std::uint32_t i = user_off[x]; i < user_off[x + 1]; ++i) reads_prev[users[i]] = x;
        for (std::uint32_t i = user_off[x]; i < user_off[x + 1]; ++i)
            if (--pending[users[i]] == 0) make_ready(users[i]);
    }
    for (std::uint32_t e = 0; e < n; ++e)
        if (!emitted[e]) result.push_back(e);
    return result;
}

}  // namespace vantu
