// The one exception type of the core: a broken invariant (of the graph, the
// compiler, a tape, or a caller's sizing duty). It carries a fixed message.
// The Python layer turns it into the module's internal-failure exception;
// nothing else in the core throws, apart from std::bad_alloc.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace vantu {

struct InternalError : std::runtime_error {
    explicit InternalError(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] void fail(const std::string& message);

// Stops with `message` unless `cond` holds.
inline void check(bool cond, const char* message) {
    if (!cond) fail(message);
}

// Index or range check: stops with "index {i} out of range for length {len}"
// naming `what`.
[[noreturn]] void fail_index(const char* what, std::size_t index, std::size_t len);

inline void check_index(const char* what, std::size_t index, std::size_t len) {
    if (index >= len) fail_index(what, index, len);
}

// A half-open range [start, start + count) must lie inside [0, len).
[[noreturn]] void fail_range(const char* what, std::size_t start, std::size_t count, std::size_t len);

inline void check_range(const char* what, std::size_t start, std::size_t count, std::size_t len) {
    if (start > len || count > len - start) fail_range(what, start, count, len);
}

// Equality assertion with both values in the message.
[[noreturn]] void fail_eq(const char* message, std::size_t left, std::size_t right);

inline void check_eq(const char* message, std::size_t left, std::size_t right) {
    if (left != right) fail_eq(message, left, right);
}

}  // namespace vantu
