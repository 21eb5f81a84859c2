// The compile driver and the analysis phase ("tape analyze").
//
// Analysis guarantees to lowering:
//  - `order` holds every node reachable from the outputs exactly once, in
//    ascending id order (a topological order: operands have smaller ids);
//  - the node map gives each reachable node its position in `order`, and
//    the input map each graph input its positional number (the last
//    position where it is listed); both read as absent otherwise;
//  - `fuse_into` names, for a Mul or Neg that is used exactly once, by an
//    Add, and is no output, the position of that Add; each Add absorbs at
//    most one operand, its first qualifying one.
#include "tape/compile.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "graph/error.hpp"
#include "tape/lowered.hpp"

namespace vantu {

// -- Per-thread scratch maps -------------------------------------------------

namespace {

// At most one set per thread; a compilation takes it and gives it back.
thread_local std::optional<ScratchMaps> t_scratch;

}  // namespace

ScratchMaps take_scratch_maps() {
    if (!t_scratch) {
        ScratchMaps fresh;
        fresh.generation = 1;
        return fresh;
    }
    ScratchMaps maps = std::move(*t_scratch);
    t_scratch.reset();
    maps.generation += 1;
    if (maps.generation == 0) {
        // A wrapped generation would make entries of 2^32 compilations ago
        // look current: clear every stamp once and start over.
        maps.nodes.clear_stamps();
        maps.inputs.clear_stamps();
        maps.generation = 1;
    }
    return maps;
}

// Moving the vectors allocates nothing, so this is safe during unwinding.
void give_back_scratch_maps(ScratchMaps&& maps) { t_scratch.emplace(std::move(maps)); }

std::uint32_t scratch_generation_for_tests() { return t_scratch ? t_scratch->generation : 0; }

void set_scratch_generation_for_tests(std::uint32_t generation) {
    if (!t_scratch) t_scratch.emplace();
    t_scratch->generation = generation;
}

// -- Analysis ----------------------------------------------------------------

Analysis analyze(const Graph& graph, std::span<const NodeId> outputs, std::span<const std::uint32_t> inputs) {
    Analysis an;
    an.maps = take_scratch_maps();
    ScratchMaps& maps = an.maps;
    const std::uint32_t gen = maps.generation;
    const std::size_t n_nodes = graph.n_nodes();
    maps.nodes.grow(n_nodes);
    maps.inputs.grow(graph.n_inputs());

    // Input positions: a graph input listed twice keeps its later position.
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        check(i < kInputBit, "more positional inputs than an operand can name");
        if (inputs[i] < graph.n_inputs()) maps.inputs.set(inputs[i], static_cast<std::uint32_t>(i), gen);
    }

    // Reachability by an explicit stack, counting uses on the way: a
    // reached node's entry is stamped, its value counts the uses seen so far
    // and gets the top bit once the node itself is expanded. Every reached
    // node is expanded exactly once, so every use is counted once.
    constexpr std::uint32_t kExpanded = 0x80000000u;
    std::vector<StampedMap::Entry>& entries = maps.nodes.entries;
    std::vector<NodeId>& order = an.order;
    std::vector<NodeId> stack;
    stack.reserve(outputs.size());
    for (NodeId id : outputs) {
        check_index("node id", id, n_nodes);
        if (entries[id].stamp != gen) entries[id] = {gen, 0};
        stack.push_back(id);
    }
    NodeId lo = kNoId, hi = 0;
    while (!stack.empty()) {
        NodeId id = stack.back();
        stack.pop_back();
        StampedMap::Entry& entry = entries[id];
        if (entry.value & kExpanded) continue;
        entry.value |= kExpanded;
        order.push_back(id);
        lo = std::min(lo, id);
        hi = std::max(hi, id);
        for (NodeId op : graph.operands(id)) {
            check_index("node id", op, n_nodes);
            StampedMap::Entry& use = entries[op];
            if (use.stamp != gen) {
                use = {gen, 1};
            } else {
                check((use.value & ~kExpanded) + 1 < kExpanded, "more uses of one node than a count holds");
                ++use.value;
                if (use.value & kExpanded) continue;
            }
            stack.push_back(op);
        }
    }
    // Ascending ids: where the reached nodes fill a good part of their id
    // range, reading the stamps over that range is cheaper than sorting.
    if (!order.empty() && hi - lo < 8 * static_cast<std::uint64_t>(order.size())) {
        order.clear();
        for (std::uint64_t id = lo; id <= hi; ++id)
            if (entries[id].stamp == gen) order.push_back(static_cast<NodeId>(id));
    } else {
        std::sort(order.begin(), order.end());
    }
    const std::size_t n = order.size();
    std::vector<std::uint32_t> uses(n);
    for (std::size_t p = 0; p < n; ++p) {
        StampedMap::Entry& entry = entries[order[p]];
        uses[p] = entry.value & ~kExpanded;
        entry.value = static_cast<std::uint32_t>(p);
    }

    std::vector<std::uint8_t> is_output(n, 0);
    for (NodeId id : outputs) is_output[maps.position(id)] = 1;

    // Fusion candidates: the first operand of an Add is tried first (it has
    // the smaller id), the second only when the first does not qualify.
    an.fuse_into.assign(n, kNoId);
    for (std::size_t p = 0; p < n; ++p) {
        const Node& node = graph.node(order[p]);
        if (node.kind != NodeKind::Add) continue;
        for (NodeId x : {node.a, node.b}) {
            std::uint32_t q = entries[x].value;
            NodeKind kind = graph.kind(x);
            if (!is_output[q] && uses[q] == 1 && an.fuse_into[q] == kNoId &&
                (kind == NodeKind::Mul || kind == NodeKind::Neg)) {
                an.fuse_into[q] = static_cast<std::uint32_t>(p);
                break;
            }
        }
    }
    return an;
}

// -- Driver ------------------------------------------------------------------

namespace {

// Gives the analysis' scratch maps back to the thread's cache on every exit.
struct ScratchReturn {
    Analysis& an;
    ~ScratchReturn() { give_back_scratch_maps(std::move(an.maps)); }
};

}  // namespace

Tape compile_tape(const Graph& graph, std::span<const NodeId> outputs, std::span<const std::uint32_t> inputs,
                  std::size_t n_inputs) {
    Tape tape;
    {
        Analysis an = analyze(graph, outputs, inputs);
        ScratchReturn give_back{an};
        Lowered program = lower(an, graph, outputs);
        fuse(program);
        std::vector<std::uint32_t> order = schedule(program);
        tape = emit(program, order);
    }
    tape.n_inputs = n_inputs;
    return tape;
}

}  // namespace vantu
