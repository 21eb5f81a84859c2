// Native compilation of a tape and native evaluation of one instance.
//
// compile_native_code lowers the tape to the native IR, cuts it into
// segments of at most 1024 nodes, emits the segments in parallel on the
// thread pool, lays them out at 16-byte boundaries in private memory that
// is written while read-write and then switched to read-execute (never both
// writable and executable), and makes the instruction cache coherent.
// A NativeCode is immutable and may be run by any number of threads at once,
// each with its own buffers; dropping it unmaps the code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "jit/host.hpp"
#include "tape/tape.hpp"

namespace vantu {

// Why native compilation did not happen. Codegen carries its message;
// Unsupported means this machine cannot run the generated code (it is not
// a 64-bit ARM Linux host).
struct NativeError {
    enum class Kind { Codegen, Unsupported } kind = Kind::Unsupported;
    std::string message;
};

// The error's debug form: Codegen("message") or Unsupported.
std::string debug_form(const NativeError& e);

// A generated segment: void segment(double* work, const double* inputs,
// const HostContext* ctx).
using SegmentEntry = void (*)(double*, const double*, const HostContext*);

// Executable memory, unmapped when dropped.
class CodeMapping {
public:
    CodeMapping() = default;
    CodeMapping(void* start, std::size_t len) : start_(start), len_(len) {}
    ~CodeMapping();
    CodeMapping(CodeMapping&& other) noexcept;
    CodeMapping& operator=(CodeMapping&& other) noexcept;
    CodeMapping(const CodeMapping&) = delete;
    CodeMapping& operator=(const CodeMapping&) = delete;

    void* start() const { return start_; }
    std::size_t len() const { return len_; }

private:
    void* start_ = nullptr;
    std::size_t len_ = 0;
};

struct NativeCode {
    CodeMapping mapping;
    std::vector<SegmentEntry> entries;  // in execution order
    HostContext host;                   // kernel descriptors passed to every segment
    std::uint32_t input_width = 0;      // input values the code may read
    std::size_t work_len = 1;           // work values the code needs (at least 1)
    std::vector<Operand> outputs;

    std::size_t n_outputs() const { return outputs.size(); }
};

struct NativeCompile {
    std::unique_ptr<NativeCode> code;  // set on success
    std::optional<NativeError> error;  // set on failure
};

// Compiles `tape`. A malformed tape stops with an internal error as in the
// interpreter; failures to place the code in memory are Codegen errors.
NativeCompile compile_native_code(const Tape& tape);

// Machine code of a tape, laid out but not mapped: what compile_native_code
// places in memory. Builds on every host (the encoder is portable).
struct NativeImage {
    std::vector<std::uint8_t> bytes;
    std::vector<std::size_t> entry_offsets;  // one per segment, multiples of 16
    HostContext host;
    std::uint32_t input_width = 0;
    std::size_t work_len = 1;
    std::vector<std::uint32_t> segment_words;  // words per segment, before padding
};
NativeImage build_native_image(const Tape& tape);

// One evaluation: `work` holds at least code.work_len values and `inputs` at
// least code.input_width ("buffers not prepared by this tape" otherwise);
// `out` exactly n_outputs ("output buffer of the wrong size"). A failure in
// a host function is raised here once its segment has returned.
void eval_native(const NativeCode& code, std::span<const double> inputs, std::span<double> work,
                 std::span<double> out);

}  // namespace vantu
