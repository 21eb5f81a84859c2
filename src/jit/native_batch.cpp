#include "jit/native_batch.hpp"

#include <algorithm>
#include <limits>

#include "eval/batch.hpp"
#include "eval/pool.hpp"

namespace vantu {

void eval_many_native(const NativeCode& code, std::span<const double> inputs, std::size_t n_inputs,
                      std::vector<double>& out) {
    const std::size_t width = std::max<std::size_t>(n_inputs, 1);
    const std::size_t n_out = code.n_outputs();
    const std::size_t instances = start_batch(inputs.size(), n_inputs, n_out, out);
    if (n_out == 0 || instances == 0) return;

    const std::size_t read_width = std::max<std::size_t>(code.input_width, width);
    const std::size_t chunk = chunk_len(instances);
    const std::size_t tasks = (instances + chunk - 1) / chunk;
    parallel_for(tasks, [&](std::size_t t) {
        const std::size_t first = t * chunk;
        const std::size_t count = std::min(chunk, instances - first);
        NativeBuffer work(code.work_len);
        std::span<const double> chunk_inputs = inputs.subspan(first * width, count * width);
        std::vector<double> padded;
        std::size_t stride = width;
        if (read_width != width) {
            padded.assign(count * read_width, std::numeric_limits<double>::quiet_NaN());
            for (std::size_t i = 0; i < count; ++i)
                std::copy_n(chunk_inputs.begin() + static_cast<std::ptrdiff_t>(i * width), width,
                            padded.begin() + static_cast<std::ptrdiff_t>(i * read_width));
            chunk_inputs = padded;
            stride = read_width;
        }
        for (std::size_t i = 0; i < count; ++i)
            eval_native(code, chunk_inputs.subspan(i * stride, stride), work.span(),
                        std::span<double>(out).subspan((first + i) * n_out, n_out));
    });
}

}  // namespace vantu
