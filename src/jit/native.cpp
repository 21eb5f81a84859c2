#include "jit/native.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "eval/pool.hpp"
#include "graph/error.hpp"
#include "jit/aarch64.hpp"
#include "jit/ir.hpp"

namespace vantu {

namespace {

constexpr std::size_t kSegmentAlign = 16;

#if defined(__aarch64__) && defined(__linux__)
constexpr bool kCanRun = true;
#else
constexpr bool kCanRun = false;
#endif

}  // namespace

std::string debug_form(const NativeError& e) {
    if (e.kind == NativeError::Kind::Unsupported) return "Unsupported";
    return "Codegen(\"" + e.message + "\")";
}

CodeMapping::~CodeMapping() {
    if (start_ != nullptr) munmap(start_, len_);
}

CodeMapping::CodeMapping(CodeMapping&& other) noexcept
    : start_(std::exchange(other.start_, nullptr)), len_(std::exchange(other.len_, 0)) {}

CodeMapping& CodeMapping::operator=(CodeMapping&& other) noexcept {
    if (this != &other) {
        if (start_ != nullptr) munmap(start_, len_);
        start_ = std::exchange(other.start_, nullptr);
        len_ = std::exchange(other.len_, 0);
    }
    return *this;
}

NativeImage build_native_image(const Tape& tape) {
    IrProgram ir = lower_to_ir(tape);
    NativeImage image;
    image.host = build_host_context(ir);
    image.input_width = ir.input_width;
    image.work_len = ir.work_len();

    const std::size_t n_nodes = ir.nodes.size();
    const std::size_t n_segments = (n_nodes + kSegmentNodes - 1) / kSegmentNodes;
    std::vector<SegmentCode> segments(n_segments);
    parallel_for(n_segments, [&](std::size_t s) {
        const auto first = static_cast<std::uint32_t>(s * kSegmentNodes);
        const auto end = static_cast<std::uint32_t>(std::min(n_nodes, (s + 1) * kSegmentNodes));
        segments[s] = emit_segment(ir, image.host, first, end);
    });

    std::size_t total = 0;
    for (const SegmentCode& seg : segments) {
        total = (total + kSegmentAlign - 1) / kSegmentAlign * kSegmentAlign;
        image.entry_offsets.push_back(total);
        image.segment_words.push_back(static_cast<std::uint32_t>(seg.words.size()));
        total += seg.words.size() * 4;
    }
    // Padding stays zero, a permanently undefined instruction.
    image.bytes.assign(total, 0);
    for (std::size_t s = 0; s < n_segments; ++s) {
        // Instruction words are little-endian, as is every AArch64 Linux host.
        std::uint8_t* at = image.bytes.data() + image.entry_offsets[s];
        for (std::uint32_t w : segments[s].words) {
            at[0] = static_cast<std::uint8_t>(w);
            at[1] = static_cast<std::uint8_t>(w >> 8);
            at[2] = static_cast<std::uint8_t>(w >> 16);
            at[3] = static_cast<std::uint8_t>(w >> 24);
            at += 4;
        }
    }
    return image;
}

NativeCompile compile_native_code(const Tape& tape) {
    NativeCompile result;
    if (!kCanRun) {
        result.error = NativeError{NativeError::Kind::Unsupported, {}};
        return result;
    }
    NativeImage image = build_native_image(tape);

    const std::size_t len = std::max<std::size_t>(image.bytes.size(), 1);
    void* start = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (start == MAP_FAILED) {
        result.error = NativeError{NativeError::Kind::Codegen, "mmap of executable memory failed"};
        return result;
    }
    CodeMapping mapping(start, len);
    if (!image.bytes.empty()) std::memcpy(start, image.bytes.data(), image.bytes.size());
    if (mprotect(start, len, PROT_READ | PROT_EXEC) != 0) {
        result.error = NativeError{NativeError::Kind::Codegen, "mprotect of the code to read and execute failed"};
        return result;  // the mapping unmaps itself
    }
    char* base = static_cast<char*>(start);
    __builtin___clear_cache(base, base + len);

    auto code = std::make_unique<NativeCode>();
    for (std::size_t offset : image.entry_offsets) {
        SegmentEntry entry;
        void* at = base + offset;
        static_assert(sizeof entry == sizeof at);
        std::memcpy(&entry, &at, sizeof entry);
        code->entries.push_back(entry);
    }
    code->mapping = std::move(mapping);
    code->host = std::move(image.host);
    code->input_width = image.input_width;
    code->work_len = image.work_len;
    code->outputs = tape.outputs;
    result.code = std::move(code);
    return result;
}

void eval_native(const NativeCode& code, std::span<const double> inputs, std::span<double> work,
                 std::span<double> out) {
    if (work.size() < code.work_len || inputs.size() < code.input_width) fail("buffers not prepared by this tape");
    check_eq("output buffer of the wrong size", out.size(), code.outputs.size());
    host_clear_pending();
    for (SegmentEntry entry : code.entries) {
        entry(work.data(), inputs.data(), &code.host);
        host_raise_pending();
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < code.outputs.size(); ++i) {
        const Operand o = code.outputs[i];
        if (is_input(o)) {
            const std::uint32_t k = operand_index(o);
            out[i] = k < inputs.size() ? inputs[k] : nan;
        } else {
            out[i] = work[o];
        }
    }
}

}  // namespace vantu
