// Evaluates every unary and binary operation of the catalogue on a fixed,
// machine-independent set of operands and writes the result bits, so that
// two builds (x86-64 and AArch64) can be compared operand by operand.
// The operands come from integer arithmetic only (a 64-bit mixer building
// bit patterns), so both architectures see exactly the same inputs.
//
//   libm_survey N OUT   writes, per operation, N records of
//                       (code u8, kind u8 [0 unary, 1 binary], a, b, result)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "graph/semantics.hpp"

using namespace vantu;

namespace {

std::uint64_t mix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// A double with a random mantissa and sign whose binary exponent lies in
// [lo, hi] (unbiased).
double random_in_exponents(std::uint64_t& state, int lo, int hi) {
    std::uint64_t r = mix(state);
    int span = hi - lo + 1;
    int e = lo + static_cast<int>(r % static_cast<std::uint64_t>(span));
    std::uint64_t bits = (static_cast<std::uint64_t>(e + 1023) << 52) | (mix(state) >> 12);
    if (r & (1ull << 63)) bits |= 1ull << 63;
    return f64_from_bits(bits);
}

const std::uint64_t kSpecials[] = {
    0x0000000000000000ull, 0x8000000000000000ull, 0x7ff0000000000000ull, 0xfff0000000000000ull,
    0x7ff8000000000000ull, 0x3ff0000000000000ull, 0xbff0000000000000ull, 0x3fe0000000000000ull,
    0xbfe0000000000000ull, 0x0000000000000001ull, 0x000fffffffffffffull, 0x0010000000000000ull,
    0x7fefffffffffffffull, 0x4000000000000000ull, 0xc000000000000000ull, 0x400921fb54442d18ull,
};

// Operands: the specials, then a spread over all magnitudes, then a dense
// band around the region where most functions do their work.
double operand(std::uint64_t& state, std::size_t i) {
    constexpr std::size_t nspec = sizeof kSpecials / sizeof kSpecials[0];
    if (i < nspec) return f64_from_bits(kSpecials[i]);
    switch (i % 4) {
        case 0: return random_in_exponents(state, -1022, 1023);
        case 1: return random_in_exponents(state, -30, 10);
        case 2: return random_in_exponents(state, -4, 3);
        default: return random_in_exponents(state, 0, 9);
    }
}

struct Record {
    std::uint8_t code;
    std::uint8_t kind;
    std::uint8_t pad[6];
    std::uint64_t a, b, r;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: libm_survey N OUT\n");
        return 2;
    }
    const std::size_t n = std::strtoull(argv[1], nullptr, 10);
    std::vector<Record> out;
    out.reserve(n * (kUnaryOps + kBinaryOps));
    for (int op = 0; op < kUnaryOps; ++op) {
        std::uint64_t state = 1000 + static_cast<std::uint64_t>(op);
        for (std::size_t i = 0; i < n; ++i) {
            double x = operand(state, i);
            double r = eval_unary(static_cast<UnaryOp>(op), x);
            out.push_back({static_cast<std::uint8_t>(op), 0, {}, f64_bits(x), 0, f64_bits(r)});
        }
    }
    for (int op = 0; op < kBinaryOps; ++op) {
        std::uint64_t state = 2000 + static_cast<std::uint64_t>(op);
        for (std::size_t i = 0; i < n; ++i) {
            // Specials pair with every special; the rest pair random operands.
            constexpr std::size_t ns = sizeof kSpecials / sizeof kSpecials[0];
            double a, b;
            if (i < ns * ns) {
                a = f64_from_bits(kSpecials[i / ns]);
                b = f64_from_bits(kSpecials[i % ns]);
            } else {
                a = operand(state, ns + i);
                b = operand(state, ns + i + 1);
            }
            double r = eval_binary(static_cast<BinaryOp>(op), a, b);
            out.push_back({static_cast<std::uint8_t>(op), 1, {}, f64_bits(a), f64_bits(b), f64_bits(r)});
        }
    }
    std::FILE* f = std::fopen(argv[2], "wb");
    if (!f) {
        std::perror(argv[2]);
        return 1;
    }
    bool ok = std::fwrite(out.data(), sizeof(Record), out.size(), f) == out.size();
    ok = std::fclose(f) == 0 && ok;
    return ok ? 0 : 1;
}
