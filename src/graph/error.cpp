#include "graph/error.hpp"

namespace vantu {

void fail(const std::string& message) { throw InternalError(message); }

void fail_index(const char* what, std::size_t index, std::size_t len) {
    throw InternalError(std::string(what) + ": index " + std::to_string(index) +
                        " out of range for length " + std::to_string(len));
}

void fail_range(const char* what, std::size_t start, std::size_t count, std::size_t len) {
    throw InternalError(std::string(what) + ": range " + std::to_string(start) + ".." +
                        std::to_string(start + count) + " out of range for length " +
                        std::to_string(len));
}

void fail_eq(const char* message, std::size_t left, std::size_t right) {
    throw InternalError(std::string(message) + " (" + std::to_string(left) +
                        " != " + std::to_string(right) + ")");
}

}  // namespace vantu
