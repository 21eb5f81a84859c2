// Dense kernels. The product kernels are register-tiled on two-lane vectors
// but compute every element with the reference dot product's exact sequence
// of roundings: the four accumulators of dot_ref live in two vectors
// {acc0, acc1} and {acc2, acc3}, are combined as (acc0 + acc1) +
// (acc2 + acc3), and the leftover products follow one by one. Tiling only
// decides how many elements share each loaded value.
#include "eval/kernels.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "eval/simd.hpp"
#include "graph/error.hpp"
#include "tape/tape.hpp"

namespace vantu {

using simd::f64x2;
using simd::i64x2;

namespace {

// The tail of a dot product after the whole groups of four: the combined
// accumulators plus the leftover products in index order.
inline double finish_dot(f64x2 lo, f64x2 hi, const double* a, const double* b, std::size_t from,
                         std::size_t n) {
    double s = simd::combine4(lo, hi);
    for (std::size_t t = from; t < n; ++t) s = s + a[t] * b[t];
    return s;
}

}  // namespace

double dot_ref(const double* a, const double* b, std::size_t n) {
    // With fewer than four values the accumulators stay +0.0 and combine to
    // +0.0, which is where the one-by-one sum starts.
    f64x2 lo = simd::zero2(), hi = simd::zero2();
    const std::size_t n4 = n & ~std::size_t{3};
    for (std::size_t t = 0; t < n4; t += 4) {
        lo = lo + simd::load2(a + t) * simd::load2(b + t);
        hi = hi + simd::load2(a + t + 2) * simd::load2(b + t + 2);
    }
    return finish_dot(lo, hi, a, b, n4, n);
}

// -- Reference loops ---------------------------------------------------------

void gemv_ref(std::span<const double> a, std::span<const double> x, std::size_t m, std::size_t n,
              std::span<double> out) {
    for (std::size_t i = 0; i < m; ++i) out[i] = dot_ref(a.data() + i * n, x.data(), n);
}

void gemm_ref(std::span<const double> a, std::span<const double> bt, std::size_t m, std::size_t k,
              std::size_t n, std::span<double> out) {
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j < n; ++j) out[i * n + j] = dot_ref(a.data() + i * k, bt.data() + j * k, k);
}

// -- gemv --------------------------------------------------------------------

void gemv(std::span<const double> a, std::span<const double> x, std::size_t m, std::size_t n,
          std::span<double> out) {
    if (!(a.size() >= size_mul(m, n) && x.size() >= n && out.size() >= m))
        fail("assertion failed: a.len() >= m * n && x.len() >= n && out.len() >= m");
    const double* A = a.data();
    const double* X = x.data();
    const std::size_t n4 = n & ~std::size_t{3};
    std::size_t i = 0;
    // Row bands of four: x is loaded once per group of four columns and feeds
    // the eight accumulator vectors of the band.
    for (; i + 4 <= m; i += 4) {
        const double* r0 = A + i * n;
        const double* r1 = r0 + n;
        const double* r2 = r1 + n;
        const double* r3 = r2 + n;
        f64x2 l0 = simd::zero2(), h0 = l0, l1 = l0, h1 = l0, l2 = l0, h2 = l0, l3 = l0, h3 = l0;
        for (std::size_t t = 0; t < n4; t += 4) {
            const f64x2 xl = simd::load2(X + t);
            const f64x2 xh = simd::load2(X + t + 2);
            l0 = l0 + simd::load2(r0 + t) * xl;
            h0 = h0 + simd::load2(r0 + t + 2) * xh;
            l1 = l1 + simd::load2(r1 + t) * xl;
            h1 = h1 + simd::load2(r1 + t + 2) * xh;
            l2 = l2 + simd::load2(r2 + t) * xl;
            h2 = h2 + simd::load2(r2 + t + 2) * xh;
            l3 = l3 + simd::load2(r3 + t) * xl;
            h3 = h3 + simd::load2(r3 + t + 2) * xh;
        }
        out[i] = finish_dot(l0, h0, r0, X, n4, n);
        out[i + 1] = finish_dot(l1, h1, r1, X, n4, n);
        out[i + 2] = finish_dot(l2, h2, r2, X, n4, n);
        out[i + 3] = finish_dot(l3, h3, r3, X, n4, n);
    }
    // Leftover rows, one at a time with the same arithmetic.
    for (; i < m; ++i) out[i] = dot_ref(A + i * n, X, n);
}

// -- gemm --------------------------------------------------------------------

namespace {

// Bt rows per column block: a block of Bt stays in the second-level cache
// while every row band of A walks it.
std::size_t column_block(std::size_t k) {
    constexpr std::size_t kBlockBytes = 256 * 1024;
    std::size_t cols = kBlockBytes / (std::max<std::size_t>(k, 1) * sizeof(double));
    return std::max<std::size_t>(cols & ~std::size_t{1}, 2);
}

// Tile of R rows by C columns (R <= 4, C <= 2) at (i, j). Each element
// keeps its own two accumulator vectors, so the per-element arithmetic is
// the same for every tile shape.
template <int R, int C, class Store>
inline void gemm_tile(const double* A, const double* B, std::size_t k, std::size_t i, std::size_t j,
                      Store& store) {
    const double* ar[R];
    const double* br[C];
    for (int r = 0; r < R; ++r) ar[r] = A + (i + r) * k;
    for (int c = 0; c < C; ++c) br[c] = B + (j + c) * k;
    f64x2 lo[R][C], hi[R][C];
    for (int r = 0; r < R; ++r)
        for (int c = 0; c < C; ++c) lo[r][c] = hi[r][c] = simd::zero2();
    const std::size_t k4 = k & ~std::size_t{3};
    for (std::size_t t = 0; t < k4; t += 4) {
        f64x2 bl[C], bh[C];
        for (int c = 0; c < C; ++c) {
            bl[c] = simd::load2(br[c] + t);
            bh[c] = simd::load2(br[c] + t + 2);
        }
        for (int r = 0; r < R; ++r) {
            const f64x2 al = simd::load2(ar[r] + t);
            const f64x2 ah = simd::load2(ar[r] + t + 2);
            for (int c = 0; c < C; ++c) {
                lo[r][c] = lo[r][c] + al * bl[c];
                hi[r][c] = hi[r][c] + ah * bh[c];
            }
        }
    }
    // Combine each element's lanes, then add the leftover products with the
    // shared dimension outermost so every loop bound is fixed.
    double sum[R][C];
    for (int r = 0; r < R; ++r)
        for (int c = 0; c < C; ++c) sum[r][c] = simd::combine4(lo[r][c], hi[r][c]);
    for (std::size_t t = k4; t < k; ++t)
        for (int r = 0; r < R; ++r)
            for (int c = 0; c < C; ++c) sum[r][c] = sum[r][c] + ar[r][t] * br[c][t];
    for (int r = 0; r < R; ++r)
        for (int c = 0; c < C; ++c) store(i + r, j + c, sum[r][c]);
}

// The whole product, element (i, j) handed to store(i, j, value) exactly
// once. Loop nest: column blocks of Bt, then row bands of four, then tiles
// of two columns across the block; the right edge (odd block width) takes
// four-by-one tiles and the bottom rows one-by-two and one-by-one tiles.
template <class Store>
void gemm_tiles(const double* A, const double* B, std::size_t m, std::size_t k, std::size_t n, Store& store) {
    const std::size_t nb = column_block(k);
    for (std::size_t jb = 0; jb < n; jb += nb) {
        const std::size_t je = std::min(n, jb + nb);
        std::size_t i = 0;
        for (; i + 4 <= m; i += 4) {
            std::size_t j = jb;
            for (; j + 2 <= je; j += 2) gemm_tile<4, 2>(A, B, k, i, j, store);
            if (j < je) gemm_tile<4, 1>(A, B, k, i, j, store);
        }
        for (; i < m; ++i) {
            std::size_t j = jb;
            for (; j + 2 <= je; j += 2) gemm_tile<1, 2>(A, B, k, i, j, store);
            if (j < je) gemm_tile<1, 1>(A, B, k, i, j, store);
        }
    }
}

void check_gemm(std::span<const double> a, std::span<const double> bt, std::size_t m, std::size_t k,
                std::size_t n, std::span<double> out) {
    if (!(a.size() >= size_mul(m, k) && bt.size() >= size_mul(n, k) && out.size() >= size_mul(m, n)))
        fail("assertion failed: a.len() >= m * k && b.len() >= n * k && out.len() >= m * n");
}

// One role applied to a freshly computed element y with b the source
// element (or y itself without a source).
inline double apply_role(std::uint32_t code, double b, double y) {
    switch (code & 3u) {
        case kRoleSub: return b - y;
        case kRoleAdd: return b + y;
        case kRoleNeg: return -y;
        default: return y;
    }
}

}  // namespace

void gemm(std::span<const double> a, std::span<const double> bt, std::size_t m, std::size_t k, std::size_t n,
          std::span<double> out) {
    check_gemm(a, bt, m, k, n, out);
    double* o = out.data();
    auto store = [o, n](std::size_t i, std::size_t j, double v) { o[i * n + j] = v; };
    gemm_tiles(a.data(), bt.data(), m, k, n, store);
}

void apply_roles(std::span<const std::uint32_t> codes, std::span<const double> source, std::span<double> out) {
    const std::size_t len = out.size();
    check_range("role codes", 0, len, codes.size());
    const bool has_source = !source.empty();
    if (has_source) check_range("accumulator source", 0, len, source.size());
    for (std::size_t j = 0; j < len; ++j) {
        const std::uint32_t c = codes[j];
        if ((c & 3u) == kRoleKeep) continue;
        double b;
        if (c & kRoleRefBit) {
            const std::size_t ref = c >> 3;
            check_index("role reference", ref, len);
            b = out[ref];
        } else {
            b = has_source ? source[j] : out[j];
        }
        out[j] = apply_role(c, b, out[j]);
    }
}

void gemm_with_roles(std::span<const double> a, std::span<const double> bt, std::size_t m, std::size_t k,
                     std::size_t n, std::span<const double> source, std::span<const std::uint32_t> codes,
                     std::span<double> out) {
    check_gemm(a, bt, m, k, n, out);
    const std::size_t len = m * n;
    check_range("role codes", 0, len, codes.size());
    const bool has_source = !source.empty();
    if (has_source) check_range("accumulator source", 0, len, source.size());
    if (len == 0) return;

    const std::uint32_t* cd = codes.data();
    const double* src = source.data();
    double* o = out.data();
    bool uniform = true;
    bool refs = false;
    for (std::size_t j = 0; j < len; ++j) {
        uniform = uniform && cd[j] == cd[0];
        refs = refs || (cd[j] & kRoleRefBit) != 0;
    }
    const std::uint32_t c0 = cd[0] & 3u;

    // 1. One code for every element, fixed at compile time in the store.
    if (uniform && !refs && (has_source || c0 == kRoleKeep || c0 == kRoleNeg)) {
        switch (c0) {
            case kRoleKeep: {
                auto st = [o, n](std::size_t i, std::size_t j, double v) { o[i * n + j] = v; };
                gemm_tiles(a.data(), bt.data(), m, k, n, st);
                return;
            }
            case kRoleSub: {
                auto st = [o, src, n](std::size_t i, std::size_t j, double v) {
                    o[i * n + j] = src[i * n + j] - v;
                };
                gemm_tiles(a.data(), bt.data(), m, k, n, st);
                return;
            }
            case kRoleAdd: {
                auto st = [o, src, n](std::size_t i, std::size_t j, double v) {
                    o[i * n + j] = src[i * n + j] + v;
                };
                gemm_tiles(a.data(), bt.data(), m, k, n, st);
                return;
            }
            default: {
                auto st = [o, n](std::size_t i, std::size_t j, double v) { o[i * n + j] = -v; };
                gemm_tiles(a.data(), bt.data(), m, k, n, st);
                return;
            }
        }
    }
    // 2. No code reads another element: each element's own code as it is stored.
    if (!refs) {
        auto st = [o, src, cd, n, has_source](std::size_t i, std::size_t j, double v) {
            const std::size_t e = i * n + j;
            o[e] = apply_role(cd[e], has_source ? src[e] : v, v);
        };
        gemm_tiles(a.data(), bt.data(), m, k, n, st);
        return;
    }
    // 3. Codes read other elements, so they must run in element order over
    // the finished product.
    auto st = [o, n](std::size_t i, std::size_t j, double v) { o[i * n + j] = v; };
    gemm_tiles(a.data(), bt.data(), m, k, n, st);
    apply_roles(codes.first(len), has_source ? source.first(len) : source, out.first(len));
}

// -- lu_solve ----------------------------------------------------------------
//
// Every path performs, per system, the same sequence of roundings as the
// plain elimination on the augmented matrix [A | B] of row width n + nrhs:
// strict-magnitude pivot search (earliest row on ties, NaN never wins), row
// swap, multiplier by division, row update for every column right of the
// pivot, then back substitution. Only the panel path above 64 unknowns
// regroups the updates (through gemm) and agrees to rounding. Columns left
// of the pivot hold spent multipliers, which the back substitution never
// reads, so the lane path swaps rows from the pivot column on.

namespace {

// y[j] = y[j] - l * x[j] for j in [0, len): elementwise, so the vector form
// rounds exactly as the scalar one.
inline void sub_scaled(double* y, const double* x, double l, std::size_t len) {
    const f64x2 lv = simd::splat2(l);
    std::size_t j = 0;
    for (; j + 2 <= len; j += 2) simd::store2(y + j, simd::load2(y + j) - lv * simd::load2(x + j));
    for (; j < len; ++j) y[j] = y[j] - l * x[j];
}

// Pivot row of column c among rows [c, rows): the first row of strictly
// largest magnitude. `best < v` is false when either side is NaN, so a NaN
// never wins; written as selects so the compiler needs no data-dependent
// branch. row_at(r) gives the start of augmented row r.
template <std::size_t N, class RowAt>
inline std::size_t find_pivot(const RowAt& row_at, std::size_t c, std::size_t rows) {
    std::size_t p = c;
    double best = std::fabs(row_at(c)[c]);
    for (std::size_t r = c + 1; r < (N ? N : rows); ++r) {
        const double v = std::fabs(row_at(r)[c]);
        const bool gt = best < v;
        p = gt ? r : p;
        best = gt ? v : best;
    }
    return p;
}

// Row r of the eliminated system minus l times the pivot row, over columns
// [from, to).
template <std::size_t N>
inline void update_row(double* row, const double* prow, double l, std::size_t from, std::size_t to) {
    if constexpr (N != 0) {
        for (std::size_t j = from; j < to; ++j) row[j] = row[j] - l * prow[j];
    } else {
        sub_scaled(row + from, prow + from, l, to - from);
    }
}

// The whole plain elimination through row pointers: the exchange of two
// augmented rows is the exchange of their pointers, with no branch and no
// copy. N > 0 fixes n at compile time (straight-line code for the smallest
// systems), as R > 0 fixes the right-hand sides.
template <std::size_t N, std::size_t R>
void eliminate_rows(double** row, std::size_t n_rt, std::size_t width_rt) {
    const std::size_t n = N ? N : n_rt;
    const std::size_t width = (N && R) ? N + R : width_rt;
    const auto row_at = [row](std::size_t r) { return row[r]; };
    for (std::size_t c = 0; c < n; ++c) {
        const std::size_t p = find_pivot<N>(row_at, c, n);
        std::swap(row[c], row[p]);
        const double* prow = row[c];
        const double d = prow[c];
        for (std::size_t i = c + 1; i < n; ++i) {
            double* ri = row[i];
            const double l = ri[c] / d;
            ri[c] = l;
            update_row<N>(ri, prow, l, c + 1, width);
        }
    }
}

// Back substitution of every right-hand side of the eliminated augmented
// rows; solution r goes to x[r * n + i].
template <std::size_t N, std::size_t R, class RowAt>
void back_substitute(const RowAt& row_at, std::size_t n_rt, std::size_t nrhs_rt, double* x) {
    const std::size_t n = N ? N : n_rt;
    const std::size_t nrhs = R ? R : nrhs_rt;
    for (std::size_t r = 0; r < nrhs; ++r) {
        double* xr = x + r * n;
        for (std::size_t i = n; i-- > 0;) {
            const double* ri = row_at(i);
            double s = ri[n + r];
            for (std::size_t j = i + 1; j < n; ++j) s = s - ri[j] * xr[j];
            xr[i] = s / ri[i];
        }
    }
}

// Copies one instance into the augmented layout: row i is A's row i, then
// element i of each right-hand side.
inline void load_augmented(const double* a, const double* b, std::size_t n, std::size_t nrhs, double* w) {
    const std::size_t width = n + nrhs;
    for (std::size_t i = 0; i < n; ++i) {
        std::memcpy(w + i * width, a + i * n, n * sizeof(double));
        for (std::size_t r = 0; r < nrhs; ++r) w[i * width + n + r] = b[r * n + i];
    }
}

// Up to 64 unknowns: the augmented matrix in the workspace (or, for the
// smallest systems with one right-hand side, in local storage) and its rows
// reached through a pointer table.
template <std::size_t N, std::size_t R>
void solve_rows(const double* a, const double* b, std::size_t n_rt, std::size_t nrhs_rt, double* x, double* ws) {
    constexpr std::size_t kMaxRows = 64;
    const std::size_t n = N ? N : n_rt;
    const std::size_t nrhs = R ? R : nrhs_rt;
    const std::size_t width = n + nrhs;
    double local[(N && R) ? N * (N + R) : 1];
    double* w = (N && R) ? local : ws;
    double* row[N ? N : kMaxRows];
    load_augmented(a, b, n, nrhs, w);
    for (std::size_t i = 0; i < n; ++i) row[i] = w + i * width;
    eliminate_rows<N, R>(row, n, width);
    back_substitute<N, R>([&row](std::size_t i) { return row[i]; }, n, nrhs, x);
}

// Right-looking blocked elimination for n > 64 on rows stored in place:
// each panel of nb columns is eliminated over all rows below it (pivot rows
// exchanged whole), the panel rows' trailing columns are brought up to date
// by the panel's unit lower triangle, and the remaining rows take the whole
// panel's update at once as one product through gemm. `extra` holds the
// packed trailing panel rows (transposed, as gemm's Bt), four packed rows of
// multipliers, and four rows of products: nb * (width + 4) + 4 * width values.
void eliminate_panels(double* w, std::size_t n, std::size_t width, double* extra) {
    const std::size_t nb = n < 512 ? 16 : 32;
    double* bt = extra;
    double* lp = bt + nb * width;
    double* prod = lp + 4 * nb;
    const auto row_at = [w, width](std::size_t r) { return w + r * width; };
    for (std::size_t c0 = 0; c0 < n; c0 += nb) {
        const std::size_t c1 = std::min(n, c0 + nb);
        const std::size_t pw = c1 - c0;
        // Panel: pivots and multipliers of columns [c0, c1), panel columns only.
        for (std::size_t c = c0; c < c1; ++c) {
            const std::size_t p = find_pivot<0>(row_at, c, n);
            if (p != c) std::swap_ranges(row_at(c), row_at(c) + width, row_at(p));
            const double* prow = row_at(c);
            const double d = prow[c];
            for (std::size_t i = c + 1; i < n; ++i) {
                double* ri = row_at(i);
                const double l = ri[c] / d;
                ri[c] = l;
                update_row<0>(ri, prow, l, c + 1, c1);
            }
        }
        const std::size_t ncols = width - c1;
        if (ncols == 0) continue;
        // Panel rows: forward substitution with the unit lower triangle.
        for (std::size_t r = c0; r < c1; ++r)
            for (std::size_t i = r + 1; i < c1; ++i) update_row<0>(row_at(i), row_at(r), row_at(i)[r], c1, width);
        // Remaining rows: w[i][c1..] -= L[i][c0..c1] * U[c0..c1][c1..].
        for (std::size_t j = 0; j < ncols; ++j)
            for (std::size_t r = 0; r < pw; ++r) bt[j * pw + r] = row_at(c0 + r)[c1 + j];
        for (std::size_t i = c1; i < n; i += 4) {
            const std::size_t rows = std::min<std::size_t>(4, n - i);
            for (std::size_t q = 0; q < rows; ++q) std::memcpy(lp + q * pw, row_at(i + q) + c0, pw * sizeof(double));
            gemm({lp, rows * pw}, {bt, ncols * pw}, rows, pw, ncols, {prod, rows * ncols});
            for (std::size_t q = 0; q < rows; ++q) {
                double* ri = row_at(i + q) + c1;
                const double* pr = prod + q * ncols;
                std::size_t j = 0;
                for (; j + 2 <= ncols; j += 2) simd::store2(ri + j, simd::load2(ri + j) - simd::load2(pr + j));
                for (; j < ncols; ++j) ri[j] = ri[j] - pr[j];
            }
        }
    }
}

void solve_one(const double* a, const double* b, std::size_t n, std::size_t nrhs, double* x, double* ws) {
    if (nrhs == 1) {
        switch (n) {
            case 1: return solve_rows<1, 1>(a, b, n, nrhs, x, ws);
            case 2: return solve_rows<2, 1>(a, b, n, nrhs, x, ws);
            case 3: return solve_rows<3, 1>(a, b, n, nrhs, x, ws);
            case 4: return solve_rows<4, 1>(a, b, n, nrhs, x, ws);
            default: break;
        }
    } else {
        switch (n) {
            case 1: return solve_rows<1, 0>(a, b, n, nrhs, x, ws);
            case 2: return solve_rows<2, 0>(a, b, n, nrhs, x, ws);
            case 3: return solve_rows<3, 0>(a, b, n, nrhs, x, ws);
            case 4: return solve_rows<4, 0>(a, b, n, nrhs, x, ws);
            default: break;
        }
    }
    if (n <= 64) return solve_rows<0, 0>(a, b, n, nrhs, x, ws);
    const std::size_t width = n + nrhs;
    load_augmented(a, b, n, nrhs, ws);
    eliminate_panels(ws, n, width, ws + n * width);
    back_substitute<0, 0>([ws, width](std::size_t i) { return ws + i * width; }, n, nrhs, x);
}

// Two instances side by side, one per vector lane, in local storage. Each
// lane runs the plain elimination's exact operations; only the row swap
// differs per lane. R > 0 fixes the number of right-hand sides at compile
// time (R = 0: up to four, known at run time).
template <std::size_t N, std::size_t R>
std::size_t solve_lane_pairs(const double* a, const double* b, std::size_t nrhs_rt, std::size_t batch,
                             double* x) {
    constexpr std::size_t kMaxRhs = R ? R : 4;
    const std::size_t nrhs = R ? R : nrhs_rt;
    const std::size_t width = N + nrhs;
    constexpr std::size_t nn = N * N;
    const std::size_t nk = N * nrhs;
    std::size_t inst = 0;
    for (; inst + 2 <= batch; inst += 2) {
        const double* a0 = a + inst * nn;
        const double* a1 = a0 + nn;
        const double* b0 = b + inst * nk;
        const double* b1 = b0 + nk;
        f64x2 w[N][N + kMaxRhs];
        for (std::size_t i = 0; i < N; ++i) {
            for (std::size_t j = 0; j < N; ++j) w[i][j] = f64x2{a0[i * N + j], a1[i * N + j]};
            for (std::size_t r = 0; r < nrhs; ++r) w[i][N + r] = f64x2{b0[r * N + i], b1[r * N + i]};
        }
        for (std::size_t c = 0; c < N; ++c) {
            // Pivot rows are kept as doubles: two-lane double compares and
            // selects exist on every target, 64-bit integer compares do not.
            f64x2 best = simd::abs2(w[c][c]);
            f64x2 piv = simd::splat2(static_cast<double>(c));
            for (std::size_t r = c + 1; r < N; ++r) {
                const f64x2 v = simd::abs2(w[r][c]);
                const i64x2 gt = simd::gt2(v, best);
                best = simd::select2(gt, v, best);
                piv = simd::select2(gt, simd::splat2(static_cast<double>(r)), piv);
            }
            if constexpr (N <= 6) {
                // Small systems: exchange by masks, row by row, without a
                // branch on the data (only the pivot row matches per lane).
                for (std::size_t r = c + 1; r < N; ++r) {
                    const i64x2 hit = piv == simd::splat2(static_cast<double>(r));
                    for (std::size_t j = c; j < width; ++j) {
                        const f64x2 top = w[c][j], other = w[r][j];
                        w[c][j] = simd::select2(hit, other, top);
                        w[r][j] = simd::select2(hit, top, other);
                    }
                }
            } else {
                for (int lane = 0; lane < 2; ++lane) {
                    const std::size_t p = static_cast<std::size_t>(piv[lane]);
                    if (p == c) continue;
                    for (std::size_t j = c; j < width; ++j) {
                        const double t = w[c][j][lane];
                        w[c][j][lane] = w[p][j][lane];
                        w[p][j][lane] = t;
                    }
                }
            }
            const f64x2 d = w[c][c];
            for (std::size_t i = c + 1; i < N; ++i) {
                const f64x2 l = w[i][c] / d;
                w[i][c] = l;
                for (std::size_t j = c + 1; j < width; ++j) w[i][j] = w[i][j] - l * w[c][j];
            }
        }
        double* x0 = x + inst * nk;
        double* x1 = x0 + nk;
        for (std::size_t r = 0; r < nrhs; ++r) {
            f64x2 xs[N];
            for (std::size_t i = N; i-- > 0;) {
                f64x2 s = w[i][N + r];
                for (std::size_t j = i + 1; j < N; ++j) s = s - w[i][j] * xs[j];
                xs[i] = s / w[i][i];
                x0[r * N + i] = xs[i][0];
                x1[r * N + i] = xs[i][1];
            }
        }
    }
    return inst;
}

template <std::size_t N>
std::size_t solve_lanes_n(const double* a, const double* b, std::size_t nrhs, std::size_t batch, double* x) {
    return nrhs == 1 ? solve_lane_pairs<N, 1>(a, b, 1, batch, x) : solve_lane_pairs<N, 0>(a, b, nrhs, batch, x);
}

std::size_t solve_lanes(const double* a, const double* b, std::size_t n, std::size_t nrhs, std::size_t batch,
                        double* x) {
    switch (n) {
#define VANTU_LANE_CASE(N) \
    case N: return solve_lanes_n<N>(a, b, nrhs, batch, x);
        VANTU_LANE_CASE(1)
        VANTU_LANE_CASE(2)
        VANTU_LANE_CASE(3)
        VANTU_LANE_CASE(4)
        VANTU_LANE_CASE(5)
        VANTU_LANE_CASE(6)
        VANTU_LANE_CASE(7)
        VANTU_LANE_CASE(8)
        VANTU_LANE_CASE(9)
        VANTU_LANE_CASE(10)
        VANTU_LANE_CASE(11)
        VANTU_LANE_CASE(12)
        VANTU_LANE_CASE(13)
        VANTU_LANE_CASE(14)
        VANTU_LANE_CASE(15)
        VANTU_LANE_CASE(16)
#undef VANTU_LANE_CASE
        default: return 0;
    }
}

}  // namespace

void lu_solve(std::span<const double> a, std::span<const double> b, std::size_t n, std::size_t nrhs,
              std::size_t batch, std::span<double> out, std::span<double> workspace) {
    const std::size_t nn = size_mul(n, n);
    const std::size_t nk = size_mul(n, nrhs);
    check_range("solve matrices", 0, size_mul(batch, nn), a.size());
    check_range("solve right-hand sides", 0, size_mul(batch, nk), b.size());
    check_range("solve solutions", 0, size_mul(batch, nk), out.size());
    check_range("solve workspace", 0, solve_workspace(n, nrhs), workspace.size());
    if (n == 0 || nrhs == 0 || batch == 0) return;

    std::size_t inst = 0;
    if (batch >= 4 && n <= 16 && nrhs <= 4) inst = solve_lanes(a.data(), b.data(), n, nrhs, batch, out.data());
    for (; inst < batch; ++inst)
        solve_one(a.data() + inst * nn, b.data() + inst * nk, n, nrhs, out.data() + inst * nk, workspace.data());
}

}  // namespace vantu
