// Dense kernels against independent oracles: hand-derived values written as
// hex floats, the plain reference loops (every tiled element must equal
// dot_ref bit for bit), and a textbook elimination written here from the
// pivoting rule.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "eval/kernels.hpp"
#include "graph/error.hpp"
#include "graph/semantics.hpp"
#include "tape/tape.hpp"
#include "tape_fixture.hpp"

using namespace vantu;
using namespace vantu::fixture;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using Vec = std::vector<double>;

// Values spread over many binades, so that any change in the order of the
// additions changes the rounded result.
Vec random_values(std::size_t n, std::mt19937_64& rng) {
    std::uniform_real_distribution<double> mant(-1.0, 1.0);
    std::uniform_int_distribution<int> ex(-24, 24);
    Vec v(n);
    for (double& x : v) x = std::ldexp(mant(rng), ex(rng));
    return v;
}

}  // namespace

// -- dot_ref -----------------------------------------------------------------

TEST(DotRef, FoldOrder) {
    const double a1 = 1 + 0x1p-30, b1 = 1 - 0x1p-30;
    struct Row {
        const char* name;
        Vec a, b;
        double want;
    } rows[] = {
        {"empty is +0", {}, {}, 0.0},
        {"-0 product starts from +0", {-0.0}, {1.0}, 0.0},
        // The four lanes combine before the fifth product: a left-to-right
        // sum would give 2.
        {"leftover after combining", {1e16, 1, -1e16, 1, 1}, {1, 1, 1, 1, 1}, 1.0},
        // Lanes combine as (l0 + l1) + (l2 + l3): ((1e16 + 1) + (-1e16 + 1))
        // is 0 while ((1e16 - 1e16) + (1 + 1)) would be 2.
        {"pairwise combination", {1e16, 1, -1e16, 1}, {1, 1, 1, 1}, 0.0},
        // Each product is rounded before it is added: a fused multiply-add
        // would give -2^-60.
        {"no fused multiply-add", {-1, a1}, {1, b1}, 0.0},
        // Lane j takes products j, j + 4, ...: lane 0 sums 1 + 1, lane 1
        // cancels; left to right would give 0.
        {"lanes across groups", {1, 1e16, 0, 0, 1, -1e16, 0, 0}, {1, 1, 1, 1, 1, 1, 1, 1}, 2.0},
        {"inf times zero is NaN", {kInf, 1}, {0.0, 1}, kNaN},
    };
    for (const Row& r : rows) EXPECT_TRUE(same_bits(dot_ref(r.a.data(), r.b.data(), r.a.size()), r.want)) << r.name;
}

// -- gemv and gemm -----------------------------------------------------------

TEST(Gemv, EveryElementIsTheReferenceDot) {
    std::mt19937_64 rng(1);
    for (std::size_t m : {0, 1, 2, 3, 4, 5, 7, 8, 9, 13}) {
        for (std::size_t n : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 17, 33}) {
            const Vec a = random_values(m * n, rng), x = random_values(n, rng);
            Vec got(m + 1, -1.0), want(m + 1, -1.0);
            gemv(a, x, m, n, got);
            gemv_ref(a, x, m, n, want);
            ASSERT_TRUE(same_bits(got, want)) << m << "x" << n;
            ASSERT_EQ(got[m], -1.0) << "wrote past the output";
            for (std::size_t i = 0; i < m && n == 0; ++i) ASSERT_EQ(f64_bits(got[i]), 0u) << "n = 0 gives +0.0";
        }
    }
}

TEST(Gemm, EveryElementIsTheReferenceDot) {
    std::mt19937_64 rng(2);
    for (std::size_t m : {0, 1, 3, 4, 5, 8, 9}) {
        for (std::size_t k : {0, 1, 3, 4, 5, 8, 9, 17}) {
            for (std::size_t n : {0, 1, 2, 3, 4, 5, 7}) {
                const Vec a = random_values(m * k, rng), bt = random_values(n * k, rng);
                Vec got(m * n + 1, -1.0), want(m * n + 1, -1.0);
                gemm(a, bt, m, k, n, got);
                gemm_ref(a, bt, m, k, n, want);
                ASSERT_TRUE(same_bits(got, want)) << m << "x" << k << " by " << n;
                ASSERT_EQ(got[m * n], -1.0) << "wrote past the output";
            }
        }
    }
}

// Enough columns for several of gemm's column blocks, with odd edges.
TEST(Gemm, LargeBlockedProduct) {
    std::mt19937_64 rng(3);
    const std::size_t m = 37, k = 300, n = 229;
    const Vec a = random_values(m * k, rng), bt = random_values(n * k, rng);
    Vec got(m * n), want(m * n);
    gemm(a, bt, m, k, n, got);
    gemm_ref(a, bt, m, k, n, want);
    EXPECT_TRUE(same_bits(got, want));
}

TEST(Kernels, SpecialValuesPropagateLikeTheReference) {
    std::mt19937_64 rng(4);
    Vec a = random_values(6 * 7, rng), bt = random_values(5 * 7, rng);
    a[3] = kInf, a[10] = kNaN, a[20] = -0.0, bt[8] = 0.0, bt[3] = 0.0, bt[30] = -kInf;
    Vec got(30), want(30);
    gemm(a, bt, 6, 7, 5, got);
    gemm_ref(a, bt, 6, 7, 5, want);
    EXPECT_TRUE(same_bits(got, want));
    Vec gv(6), wv(6);
    gemv(a, Vec(bt.begin(), bt.begin() + 7), 6, 7, gv);
    gemv_ref(a, Vec(bt.begin(), bt.begin() + 7), 6, 7, wv);
    EXPECT_TRUE(same_bits(gv, wv));
    EXPECT_TRUE(std::isnan(gv[0])) << "inf times 0 must not be skipped";
}

TEST(Kernels, PreconditionMessages) {
    Vec v(12);
    std::span<double> s(v);
    EXPECT_EQ(message_of([&] { gemv(s.first(5), s.first(2), 3, 2, s); }),
              "assertion failed: a.len() >= m * n && x.len() >= n && out.len() >= m");
    EXPECT_EQ(message_of([&] { gemv(s.first(6), s.first(2), 3, 2, s.first(2)); }),
              "assertion failed: a.len() >= m * n && x.len() >= n && out.len() >= m");
    EXPECT_EQ(message_of([&] { gemm(s.first(6), s.first(3), 3, 2, 2, s); }),
              "assertion failed: a.len() >= m * k && b.len() >= n * k && out.len() >= m * n");
    EXPECT_EQ(message_of([&] { gemm(s, s, 3, 2, 5, s.first(14 - 2)); }),
              "assertion failed: a.len() >= m * k && b.len() >= n * k && out.len() >= m * n");
    EXPECT_EQ(message_of([&] { gemm_with_roles(s, s, 2, 2, 2, {}, {}, s); }).rfind("role codes", 0), 0u);
}

// -- roles -------------------------------------------------------------------

TEST(ApplyRoles, HandComputedCases) {
    auto ref = [](std::uint32_t target, std::uint32_t role) { return (target << 3) | kRoleRefBit | role; };
    struct Row {
        const char* name;
        std::vector<std::uint32_t> codes;
        Vec source;
        Vec want;
    } rows[] = {
        {"each role with a source", {0, 1, 2, 3}, {10, 20, 30, 40}, {1, 18, 34, -8}},
        {"without a source b is the element", {1, 2, 3, 0}, {}, {0, 4, -4, 8}},
        // Element 0 reads the raw element 3; element 1 reads element 0 after
        // its own role; element 3 reads element 2 after its role.
        {"references see earlier results", {ref(3, 2), ref(0, 1), 3, ref(2, 1)}, {}, {9, 7, -4, -12}},
        {"a reference ignores the source", {ref(1, 2), 0, 0, 0}, {100, 100, 100, 100}, {3, 2, 4, 8}},
        {"neg flips the sign of zero", {0, 0, 0, 3}, {}, {1, 2, 4, -8}},
    };
    for (const Row& r : rows) {
        Vec out = {1, 2, 4, 8};
        apply_roles(r.codes, r.source, out);
        EXPECT_TRUE(same_bits(out, r.want)) << r.name;
    }
    Vec zero = {0.0};
    const std::vector<std::uint32_t> neg = {kRoleNeg};
    apply_roles(neg, {}, zero);
    EXPECT_EQ(f64_bits(zero[0]), f64_bits(-0.0));
    Vec out = {1, 2};
    const std::vector<std::uint32_t> bad = {ref(2, 1), 0};
    EXPECT_THROW(apply_roles(bad, {}, out), InternalError);
}

// Every strategy of gemm_with_roles against gemm followed by apply_roles.
TEST(GemmWithRoles, EqualsProductThenRoles) {
    std::mt19937_64 rng(5);
    const std::size_t m = 5, k = 6, n = 3, len = m * n;
    const Vec a = random_values(m * k, rng), bt = random_values(n * k, rng), src = random_values(len, rng);
    std::vector<std::vector<std::uint32_t>> code_sets;
    for (std::uint32_t c = 0; c < 4; ++c) code_sets.push_back(std::vector<std::uint32_t>(len, c));
    std::vector<std::uint32_t> mixed(len), refs(len);
    for (std::size_t j = 0; j < len; ++j) {
        mixed[j] = static_cast<std::uint32_t>(j % 4);
        refs[j] = j % 3 == 0 ? static_cast<std::uint32_t>(((len - 1 - j) << 3) | kRoleRefBit | (j % 2 + 1))
                             : static_cast<std::uint32_t>(j % 4);
    }
    code_sets.push_back(mixed);
    code_sets.push_back(refs);
    for (const auto& codes : code_sets) {
        for (bool with_source : {true, false}) {
            const std::span<const double> s = with_source ? std::span<const double>(src) : std::span<const double>();
            Vec got(len), want(len);
            gemm_with_roles(a, bt, m, k, n, s, codes, got);
            gemm_ref(a, bt, m, k, n, want);
            apply_roles(codes, s, want);
            EXPECT_TRUE(same_bits(got, want)) << "code " << codes[0] << "," << codes[1] << " source " << with_source;
        }
    }
    // Uniform add with a source is the product plus the source.
    Vec got(len), prod(len);
    gemm_with_roles(a, bt, m, k, n, src, std::vector<std::uint32_t>(len, kRoleAdd), got);
    gemm_ref(a, bt, m, k, n, prod);
    for (std::size_t j = 0; j < len; ++j) EXPECT_EQ(got[j], src[j] + prod[j]);
}

// -- lu_solve ----------------------------------------------------------------

namespace {

// Textbook Gaussian elimination with partial pivoting on the augmented
// matrix, one system, written from the rule: strictly larger magnitude wins,
// whole rows swap, multiplier by division, back substitution in order.
Vec plain_solve(const double* a, const double* b, std::size_t n, std::size_t nrhs) {
    std::vector<Vec> w(n, Vec(n + nrhs));
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) w[i][j] = a[i * n + j];
        for (std::size_t r = 0; r < nrhs; ++r) w[i][n + r] = b[r * n + i];
    }
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t p = c;
        for (std::size_t r = c + 1; r < n; ++r)
            if (std::fabs(w[r][c]) > std::fabs(w[p][c])) p = r;
        std::swap(w[c], w[p]);
        for (std::size_t i = c + 1; i < n; ++i) {
            const double l = w[i][c] / w[c][c];
            for (std::size_t j = c + 1; j < n + nrhs; ++j) w[i][j] = w[i][j] - l * w[c][j];
        }
    }
    Vec x(n * nrhs);
    for (std::size_t r = 0; r < nrhs; ++r)
        for (std::size_t i = n; i-- > 0;) {
            double s = w[i][n + r];
            for (std::size_t j = i + 1; j < n; ++j) s = s - w[i][j] * x[r * n + j];
            x[r * n + i] = s / w[i][i];
        }
    return x;
}

Vec solve(const Vec& a, const Vec& b, std::size_t n, std::size_t nrhs, std::size_t batch) {
    Vec out(batch * n * nrhs, -7.0), ws(solve_workspace(n, nrhs));
    lu_solve(a, b, n, nrhs, batch, out, ws);
    return out;
}

}  // namespace

TEST(LuSolve, HandComputedSystems) {
    struct Row {
        const char* name;
        Vec a, b, want;
    } rows[] = {
        {"pivots to the second row", {0, 1, 1, 0}, {2, 3}, {3, 2}},
        // Column 0 pivots to row 1, leaving a zero pivot: 0.5 / 0 and
        // (1 - 4 * inf) / 2, no error.
        {"singular", {1, 2, 2, 4}, {1, 1}, {-kInf, kInf}},
        {"one unknown", {4}, {2}, {0.5}},
        {"zero matrix", {0, 0, 0, 0}, {1, 0}, {kNaN, kNaN}},
        // Rows 1 and 2 tie in magnitude (3 and -3): the earlier row is the
        // pivot. Row 2 as pivot would end in ...c9p-2, ...0ep-1, ...32p-1.
        {"tie keeps the earlier row",
         {1, 5, 6, 3, 1, 1.0 / 3.0, -3, 1.6, -2},
         {1, 2, 1},
         {0x1.ddff81d911fcbp-2, 0x1.9414b2630c90dp-1, -0x1.233bdf79f6a31p-1}},
    };
    for (const Row& r : rows) {
        const std::size_t n = r.b.size();
        EXPECT_TRUE(same_bits(solve(r.a, r.b, n, 1, 1), r.want)) << r.name;
        // The same system in every lane of a batch and as extra right-hand sides.
        Vec a4, b4, want4;
        for (int t = 0; t < 5; ++t) {
            a4.insert(a4.end(), r.a.begin(), r.a.end());
            b4.insert(b4.end(), r.b.begin(), r.b.end());
            want4.insert(want4.end(), r.want.begin(), r.want.end());
        }
        EXPECT_TRUE(same_bits(solve(a4, b4, n, 1, 5), want4)) << r.name << " in a batch";
        EXPECT_TRUE(same_bits(solve(r.a, b4, n, 5, 1), want4)) << r.name << " as five right-hand sides";
    }
}

TEST(LuSolve, NothingToSolveWritesNothing) {
    Vec out = {-7.0};
    Vec ws(30);
    lu_solve({}, {}, 0, 1, 3, std::span<double>(out).first(0), ws);
    lu_solve(Vec{1.0}, {}, 1, 0, 1, std::span<double>(out).first(0), ws);
    lu_solve({}, {}, 5, 1, 0, std::span<double>(out).first(0), ws);
    EXPECT_EQ(out[0], -7.0);
}

TEST(LuSolve, ShortArraysAreRangeErrors) {
    Vec a(4), b(2), out(2), ws(solve_workspace(2, 1));
    EXPECT_NO_THROW(lu_solve(a, b, 2, 1, 1, out, ws));
    EXPECT_THROW(lu_solve(a, b, 2, 1, 1, out, std::span<double>(ws).first(ws.size() - 1)), InternalError);
    EXPECT_THROW(lu_solve(a, b, 2, 1, 1, std::span<double>(out).first(1), ws), InternalError);
    EXPECT_THROW(lu_solve(std::span<double>(a).first(3), b, 2, 1, 1, out, ws), InternalError);
    EXPECT_THROW(lu_solve(a, b, 2, 1, 2, out, ws), InternalError);
}

// Up to 64 unknowns every path (straight-line, lanes, general) must agree
// with the textbook elimination bit for bit, one system at a time.
TEST(LuSolve, MatchesPlainEliminationBitForBit) {
    std::mt19937_64 rng(6);
    for (std::size_t n : {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 64}) {
        for (std::size_t nrhs : {1, 2, 4, 5}) {
            for (std::size_t batch : {1, 3, 4, 5, 8}) {
                Vec a = random_values(batch * n * n, rng), b = random_values(batch * n * nrhs, rng);
                const Vec got = solve(a, b, n, nrhs, batch);
                for (std::size_t t = 0; t < batch; ++t) {
                    const Vec want = plain_solve(a.data() + t * n * n, b.data() + t * n * nrhs, n, nrhs);
                    const Vec inst(got.begin() + t * n * nrhs, got.begin() + (t + 1) * n * nrhs);
                    ASSERT_TRUE(same_bits(inst, want)) << "n " << n << " nrhs " << nrhs << " batch " << batch
                                                       << " instance " << t;
                }
            }
        }
    }
}

// Lanes carry different systems side by side: pivots that differ per lane,
// singular and NaN systems next to regular ones. Each lane must equal
// solving its instance alone.
TEST(LuSolve, BatchLanesEqualOneByOne) {
    std::mt19937_64 rng(7);
    for (std::size_t n = 1; n <= 16; ++n) {
        for (std::size_t nrhs = 1; nrhs <= 4; ++nrhs) {
            const std::size_t batch = 7;
            Vec a = random_values(batch * n * n, rng), b = random_values(batch * n * nrhs, rng);
            for (std::size_t i = 0; i < n; ++i) a[2 * n * n + i * n] = 0.0;  // instance 2 singular
            a[3 * n * n + n * n / 2] = kNaN;                                  // instance 3 NaN
            if (n > 1) a[4 * n * n] = 0.0;                                    // instance 4 must pivot
            const Vec got = solve(a, b, n, nrhs, batch);
            for (std::size_t t = 0; t < batch; ++t) {
                const Vec one = solve(Vec(a.begin() + t * n * n, a.begin() + (t + 1) * n * n),
                                      Vec(b.begin() + t * n * nrhs, b.begin() + (t + 1) * n * nrhs), n, nrhs, 1);
                const Vec inst(got.begin() + t * n * nrhs, got.begin() + (t + 1) * n * nrhs);
                ASSERT_TRUE(same_bits(inst, one)) << "n " << n << " nrhs " << nrhs << " instance " << t;
            }
        }
    }
}

// Above 64 unknowns the panel path regroups the updates, so it agrees with
// the textbook elimination to rounding; both solve the system well.
TEST(LuSolve, PanelPathAgreesToRounding) {
    std::mt19937_64 rng(8);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (auto [n, nrhs] : {std::pair<std::size_t, std::size_t>{65, 1}, {70, 2}, {130, 3}, {520, 2}}) {
        Vec a(n * n), b(n * nrhs);
        for (double& v : a) v = u(rng);
        for (double& v : b) v = u(rng);
        const Vec got = solve(a, b, n, nrhs, 1);
        const Vec want = plain_solve(a.data(), b.data(), n, nrhs);
        double worst = 0.0, scale = 0.0;
        for (std::size_t i = 0; i < got.size(); ++i) {
            worst = std::max(worst, std::fabs(got[i] - want[i]));
            scale = std::max(scale, std::fabs(want[i]));
        }
        EXPECT_LE(worst, 1e-9 * scale) << "n " << n;
        // Residual of right-hand side 0.
        double res = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            double s = -b[i];
            for (std::size_t j = 0; j < n; ++j) s += a[i * n + j] * got[j];
            res = std::max(res, std::fabs(s));
        }
        EXPECT_LE(res, 1e-9 * scale * static_cast<double>(n)) << "n " << n;
    }
}
