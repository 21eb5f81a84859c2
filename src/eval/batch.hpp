// Batch evaluation support: the per-thread pool of native work buffers.
//
// Each thread keeps a free list (a stack) of float64 arrays. Taking a buffer
// pops the most recently returned array and grows it to the size asked for,
// zero-filling only the new tail (old contents stay); with an empty list a
// new zero-filled array of exactly that size is made. Giving it back pushes
// it whatever its length: the list never shrinks or discards arrays. The
// arrays live as long as their thread, so pool workers keep them between
// batches and a batch task allocates nothing after warm-up.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace vantu {

// A work buffer lent by the current thread's free list for the lifetime of
// this object. Take and return it on the same thread.
class NativeBuffer {
public:
    explicit NativeBuffer(std::size_t len);
    ~NativeBuffer();
    NativeBuffer(const NativeBuffer&) = delete;
    NativeBuffer& operator=(const NativeBuffer&) = delete;

    // The whole array: at least the length asked for, possibly longer.
    std::span<double> span() { return data_; }

private:
    std::vector<double> data_;
};

// How many arrays the current thread's free list holds right now.
std::size_t native_buffers_free();

}  // namespace vantu
