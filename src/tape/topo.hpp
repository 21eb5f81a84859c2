// An incremental topological order of a directed graph over nodes 0..n-1.
// `build` orders the nodes of an acyclic graph; `add_edge` then inserts one
// edge at a time and keeps the order valid, refusing (and leaving everything
// unchanged) an edge that would close a cycle. Only the nodes between the
// edge's two ends in the current order are searched and reordered, so a run
// of insertions costs far less than re-sorting after each one.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "graph/error.hpp"
#include "graph/intern.hpp"

namespace vantu {

class IncrementalOrder {
public:
    // `edges` lists (from, to) pairs: `from` must come before `to`. Stops
    // with an internal error when they contain a cycle.
    void build(std::uint32_t n, std::span<const std::pair<std::uint32_t, std::uint32_t>> edges) {
        n_ = n;
        succ_off_.assign(n + 1, 0);
        pred_off_.assign(n + 1, 0);
        for (auto [from, to] : edges) {
            check(from < n && to < n, "an order edge names no node");
            ++succ_off_[from + 1];
            ++pred_off_[to + 1];
        }
        for (std::uint32_t i = 0; i < n; ++i) {
            succ_off_[i + 1] += succ_off_[i];
            pred_off_[i + 1] += pred_off_[i];
        }
        succ_.resize(edges.size());
        pred_.resize(edges.size());
        {
            std::vector<std::uint32_t> sfill(succ_off_.begin(), succ_off_.end() - 1);
            std::vector<std::uint32_t> pfill(pred_off_.begin(), pred_off_.end() - 1);
            for (auto [from, to] : edges) {
                succ_[sfill[from]++] = to;
                pred_[pfill[to]++] = from;
            }
        }
        extra_succ_head_.assign(n, kNoId);
        extra_pred_head_.assign(n, kNoId);
        extra_.clear();
        mark_.assign(n, 0);
        counter_ = 0;

        // Kahn's algorithm, taking ready nodes in ascending index order.
        std::vector<std::uint32_t> indegree(n);
        for (std::uint32_t v = 0; v < n; ++v) indegree[v] = pred_off_[v + 1] - pred_off_[v];
        node_at_.clear();
        node_at_.reserve(n);
        for (std::uint32_t v = 0; v < n; ++v)
            if (indegree[v] == 0) node_at_.push_back(v);
        for (std::size_t head = 0; head < node_at_.size(); ++head) {
            std::uint32_t v = node_at_[head];
            for (std::uint32_t i = succ_off_[v]; i < succ_off_[v + 1]; ++i)
                if (--indegree[succ_[i]] == 0) node_at_.push_back(succ_[i]);
        }
        check(node_at_.size() == n, "the dependency graph has a cycle");
        ord_.assign(n, 0);
        for (std::uint32_t i = 0; i < n; ++i) ord_[node_at_[i]] = i;
    }

    std::uint32_t size() const { return n_; }
    // The place of node v in the current order.
    std::uint32_t place(std::uint32_t v) const { return ord_[v]; }

    // Inserts the edge from -> to; false when it would close a cycle (to
    // already reaches from), in which case nothing changes.
    bool add_edge(std::uint32_t from, std::uint32_t to) {
        check(from < n_ && to < n_, "an order edge names no node");
        if (from == to) return false;
        if (ord_[from] < ord_[to]) {
            link(from, to);
            return true;
        }
        const std::uint32_t lb = ord_[to], ub = ord_[from];
        next_marks();
        const std::uint32_t fwd = counter_, bwd = counter_ + 1;

        // Forward from `to` through nodes placed before `from`: reaching
        // `from` means the edge would close a cycle.
        forward_.clear();
        stack_.assign(1, to);
        mark_[to] = fwd;
        while (!stack_.empty()) {
            std::uint32_t v = stack_.back();
            stack_.pop_back();
            forward_.push_back(v);
            bool cycle = false;
            for_each_succ(v, [&](std::uint32_t w) {
                if (w == from) cycle = true;
                if (!cycle && mark_[w] != fwd && ord_[w] < ub) {
                    mark_[w] = fwd;
                    stack_.push_back(w);
                }
            });
            if (cycle) return false;
        }
        // Backward from `from` through nodes placed after `to`.
        backward_.clear();
        stack_.assign(1, from);
        mark_[from] = bwd;
        while (!stack_.empty()) {
            std::uint32_t v = stack_.back();
            stack_.pop_back();
            backward_.push_back(v);
            for_each_pred(v, [&](std::uint32_t w) {
                if (mark_[w] != bwd && ord_[w] > lb) {
                    mark_[w] = bwd;
                    stack_.push_back(w);
                }
            });
        }
        // The backward set (which must run before `from`) takes the first
        // of the places both sets held, the forward set the rest; each set
        // keeps its own relative order.
        auto by_place = [&](std::uint32_t a, std::uint32_t b) { return ord_[a] < ord_[b]; };
        std::sort(forward_.begin(), forward_.end(), by_place);
        std::sort(backward_.begin(), backward_.end(), by_place);
        places_.clear();
        for (std::uint32_t v : backward_) places_.push_back(ord_[v]);
        for (std::uint32_t v : forward_) places_.push_back(ord_[v]);
        std::sort(places_.begin(), places_.end());
        std::size_t i = 0;
        for (std::uint32_t v : backward_) assign(v, places_[i++]);
        for (std::uint32_t v : forward_) assign(v, places_[i++]);
        link(from, to);
        return true;
    }

    // Test hook: the visit-mark counter, to reach its wrap quickly.
    std::uint32_t mark_counter() const { return counter_; }
    void set_mark_counter(std::uint32_t c) { counter_ = c; }

private:
    struct Extra {
        std::uint32_t node;
        std::uint32_t next;
    };

    // Each search takes two fresh mark values; all marks are cleared before
    // the counter could wrap onto values still stored.
    void next_marks() {
        if (counter_ >= 0xfffffffcu) {
            std::fill(mark_.begin(), mark_.end(), 0u);
            counter_ = 0;
        }
        counter_ += 2;
    }
    void assign(std::uint32_t v, std::uint32_t place) {
        ord_[v] = place;
        node_at_[place] = v;
    }
    void link(std::uint32_t from, std::uint32_t to) {
        extra_.push_back({to, extra_succ_head_[from]});
        extra_succ_head_[from] = static_cast<std::uint32_t>(extra_.size() - 1);
        extra_.push_back({from, extra_pred_head_[to]});
        extra_pred_head_[to] = static_cast<std::uint32_t>(extra_.size() - 1);
    }
    template <class F>
    void for_each_succ(std::uint32_t v, F f) const {
        for (std::uint32_t i = succ_off_[v]; i < succ_off_[v + 1]; ++i) f(succ_[i]);
        for (std::uint32_t i = extra_succ_head_[v]; i != kNoId; i = extra_[i].next) f(extra_[i].node);
    }
    template <class F>
    void for_each_pred(std::uint32_t v, F f) const {
        for (std::uint32_t i = pred_off_[v]; i < pred_off_[v + 1]; ++i) f(pred_[i]);
        for (std::uint32_t i = extra_pred_head_[v]; i != kNoId; i = extra_[i].next) f(extra_[i].node);
    }

    std::uint32_t n_ = 0;
    std::vector<std::uint32_t> succ_off_, succ_, pred_off_, pred_;
    std::vector<std::uint32_t> extra_succ_head_, extra_pred_head_;
    std::vector<Extra> extra_;
    std::vector<std::uint32_t> ord_, node_at_;
    std::vector<std::uint32_t> mark_;
    std::uint32_t counter_ = 0;
    std::vector<std::uint32_t> stack_, forward_, backward_, places_;
};

}  // namespace vantu
