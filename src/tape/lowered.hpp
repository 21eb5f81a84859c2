// Internal types of the tape compiler, shared by its five phases
// (compile.cpp, lower.cpp, fuse.cpp, schedule.cpp, emit.cpp) and by the
// compiler's own tests. Nothing outside src/tape/ and those tests includes it.
//
// The phases hand on:
//   analyze  -> Analysis: reachable nodes in id order, node and input maps,
//               the Mul/Neg operands each Add absorbs;
//   lower    -> Lowered: elements with the tape's instruction kinds reading
//               value references, every operand created before its reader;
//   fuse     -> Lowered changed in place: Add/Sub/Neg readers of kernel
//               outputs folded into accumulators, elements renumbered;
//   schedule -> an execution order that respects every dependency and puts
//               each consumed constant right before its first consumer;
//   emit     -> the Tape.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "graph/graph.hpp"
#include "graph/intern.hpp"
#include "tape/tape.hpp"

namespace vantu {

// -- Scratch maps ------------------------------------------------------------

// A u32 -> u32 map over a dense key range whose entries are valid only when
// their stamp equals the current generation, so a new compilation
// invalidates every entry by bumping the generation instead of clearing.
// Stamp and value sit side by side: a lookup touches one cache line.
struct StampedMap {
    struct Entry {
        std::uint32_t stamp;
        std::uint32_t value;
    };
    std::vector<Entry> entries;

    // New keys start absent (stamp 0; generations start at 1) with value all ones.
    void grow(std::size_t n) {
        if (entries.size() < n) entries.resize(n, Entry{0, kNoId});
    }
    void clear_stamps() {
        for (Entry& e : entries) e.stamp = 0;
    }
    bool has(std::uint32_t key, std::uint32_t gen) const { return entries[key].stamp == gen; }
    std::uint32_t get(std::uint32_t key, std::uint32_t gen) const {
        const Entry& e = entries[key];
        return e.stamp == gen ? e.value : kNoId;
    }
    void set(std::uint32_t key, std::uint32_t v, std::uint32_t gen) { entries[key] = Entry{gen, v}; }
};

// Node id -> position in Analysis::order, and graph input number ->
// positional input number. Kept per thread and reused across compilations.
struct ScratchMaps {
    StampedMap nodes;
    StampedMap inputs;
    std::uint32_t generation = 0;

    std::uint32_t position(NodeId id) const { return nodes.get(id, generation); }
    std::uint32_t input_position(std::uint32_t g) const { return inputs.get(g, generation); }
};

// Takes the calling thread's cached maps (or a fresh set) and moves it to
// the next generation; when the generation wraps, every stamp is cleared.
ScratchMaps take_scratch_maps();
// Hands the maps back to the calling thread's cache.
void give_back_scratch_maps(ScratchMaps&& maps);

// Test hooks on the calling thread's cached maps: the current generation
// (0 with no cached set) and forcing it, creating an empty set if needed.
std::uint32_t scratch_generation_for_tests();
void set_scratch_generation_for_tests(std::uint32_t generation);

// -- Analysis ----------------------------------------------------------------

struct Analysis {
    std::vector<NodeId> order;            // reachable nodes, ascending id
    ScratchMaps maps;                     // node -> position, input -> positional number
    std::vector<std::uint32_t> fuse_into; // per position: the position of the Add that absorbs it, or kNoId
};

Analysis analyze(const Graph& graph, std::span<const NodeId> outputs, std::span<const std::uint32_t> inputs);

// -- Lowered program ---------------------------------------------------------

enum class RefTag : std::uint32_t { Elem = 0, Input = 1, Missing = 2 };

// A value during compilation: value `offset` of element `index`'s result
// block, or positional input `index`. Eight bytes: the second word is the
// offset, or one of two reserved words for an input and a missing value.
struct Ref {
    static constexpr std::uint32_t kInputWord = 0xfffffffeu;
    static constexpr std::uint32_t kMissingWord = 0xffffffffu;
    // Offsets of an element's result block stay below this.
    static constexpr std::uint32_t kMaxWidth = kInputWord;

    std::uint32_t index = 0;
    std::uint32_t word = kMissingWord;

    static Ref elem(std::uint32_t e, std::uint32_t offset = 0) { return {e, offset}; }
    static Ref input(std::uint32_t i) { return {i, kInputWord}; }
    RefTag tag() const {
        return word < kInputWord ? RefTag::Elem : word == kInputWord ? RefTag::Input : RefTag::Missing;
    }
    bool is_elem() const { return word < kInputWord; }
    std::uint32_t offset() const { return word; }
    friend bool operator==(const Ref&, const Ref&) = default;
};
static_assert(sizeof(Ref) == 8);

// One lowered instruction. Scalars by kind: Const value; Powi exponent;
// Unary/Binary/Cmp/Reduce op; Dot n = half the operand count; Gemv m, n;
// Gemm m, k, n; Solve n, k (right-hand sides per system), batch.
// Operands, in reading order:
//   Gemv   the m rows one after another, the column; then, with an
//          accumulator, the m sources
//   Gemm   the m rows, the n columns; then, with an accumulator, m*n sources
//   Solve  the batch matrices (row-major, system after system), then the
//          batch*k right-hand sides of n values each
struct Elem {
    InstrKind kind = InstrKind::Const;
    std::uint8_t op = 0;
    std::uint32_t ref_start = 0;
    std::uint32_t ref_count = 0;
    std::uint32_t width = 1;
    std::uint32_t roles = kNoId;  // start of the accumulator role codes in Lowered::roles, or none
    std::uint32_t m = 0, k = 0, n = 0, batch = 0;
    std::int32_t exponent = 0;
    double value = 0.0;

    bool has_acc() const { return roles != kNoId; }
};

struct Lowered {
    std::vector<Elem> elems;
    std::vector<Ref> refs;
    std::vector<Ref> outputs;
    std::vector<std::uint32_t> roles;  // accumulator role codes, w per accumulator

    std::span<const Ref> operands(const Elem& e) const { return {refs.data() + e.ref_start, e.ref_count}; }
    std::span<Ref> operands(const Elem& e) { return {refs.data() + e.ref_start, e.ref_count}; }
};

Lowered lower(const Analysis& analysis, const Graph& graph, std::span<const NodeId> outputs);
void fuse(Lowered& program);
std::vector<std::uint32_t> schedule(const Lowered& program);
Tape emit(const Lowered& program, std::span<const std::uint32_t> order);

// A compact text of a lowered program for tests, one element per line:
// "e3 = Gemv 2x3 [i0, e1, e2.1, ...] acc [+,=]" and a final "out [...]".
std::string lowered_text(const Lowered& program);

}  // namespace vantu
