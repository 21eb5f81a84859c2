#include "eval/batch.hpp"

#include <utility>

namespace vantu {

namespace {

thread_local std::vector<std::vector<double>> free_buffers;

}  // namespace

NativeBuffer::NativeBuffer(std::size_t len) {
    if (!free_buffers.empty()) {
        data_ = std::move(free_buffers.back());
        free_buffers.pop_back();
    }
    if (data_.size() < len) data_.resize(len, 0.0);
}

NativeBuffer::~NativeBuffer() {
    // The push may need room in the list itself; if even that fails the
    // array is simply freed instead of pooled.
    try {
        free_buffers.push_back(std::move(data_));
    } catch (...) {
    }
}

std::size_t native_buffers_free() { return free_buffers.size(); }

}  // namespace vantu
