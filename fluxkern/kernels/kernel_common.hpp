// What the assembly kernels share: index type, compile-time counts, the
// inlining and instruction-set-variant attributes, the two physical
// constants, and small helpers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace fluxkern {

using idx = std::ptrdiff_t;

// A count known at compile time (functions, nodes, points), used where a
// plain idx would otherwise stand; idx(count) reads either.  The element
// loops of the common elements run 25 % faster with their counts fixed.
template <idx K>
using Count = std::integral_constant<idx, K>;
using One = Count<1>;

// Whether a count of points with their own data says that all points share
// them (One), and the entry of point m in a per-point array: its one entry
// where all points share it.
template <class N>
constexpr bool kShared = std::is_same_v<N, One>;
template <class N>
constexpr idx at(idx m) {
    return kShared<N> ? 0 : m;
}

// Inlined even into the instruction-set variants of an element loop, so
// that it is compiled for the variant's instruction set; the compiler would
// otherwise call it out of line.
#if defined(__GNUC__)
#define FLUXKERN_INLINE inline __attribute__((always_inline))
#else
#define FLUXKERN_INLINE inline
#endif

// Element loops are also compiled for AVX-512 and AVX2 where the platform
// picks a variant at load time; the operations, and so the values, are the
// same.  Measured against the baseline build: the curl-curl kernel 25 %
// faster, the scalar-potential kernel 5 to 9 % (AVX-512 adds 4 % there and
// costs the curl-curl kernel 1 to 2 % against AVX2 alone).
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__)
#define FLUXKERN_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define FLUXKERN_CLONES
#endif

// Below this field magnitude (or for NaN) a point adds nothing to a Newton term.
constexpr double kMinField = 1e-14;
// 1 / mu0, the reluctivity of vacuum.
constexpr double kNu0 = 795774.7154594767;

// The value at p: a double, or (specialised where vectors are used) a
// vector of consecutive doubles.
template <class T>
FLUXKERN_INLINE T load(const double* p) {
    return *p;
}

// (p . q) of 3-vectors whose components lie sp and sq apart, grouped as
// (p0 q0 + p1 q1) + p2 q2.  T: a double, or a vector of doubles (one
// vector per component) that holds the products of several points.
template <class T = double>
FLUXKERN_INLINE T dot3(const double* p, idx sp, const double* q, idx sq) {
    return (load<T>(p) * load<T>(q) + load<T>(p + sp) * load<T>(q + sq)) +
           load<T>(p + 2 * sp) * load<T>(q + 2 * sq);
}
FLUXKERN_INLINE double dot3(const double* p, const double* q) { return dot3(p, 1, q, 1); }

// True when the rows [m][0 .. len) of a [M][len] table are bitwise equal.
inline bool rows_equal(const double* a, idx M, idx len) {
    for (idx m = 1; m < M; ++m)
        if (std::memcmp(a, a + m * len, std::size_t(len) * sizeof(double)) != 0) return false;
    return true;
}

// Whether all M points of a rule carry the same reference derivatives of
// the N shape functions and the same weight.
inline bool points_agree(const double* d_phi, idx N, const double* w, idx M) {
    return M >= 1 && rows_equal(d_phi, M, 3 * N) && rows_equal(w, M, 1);
}

// Asks for the entries base[stride * ids[k]], k < count, ahead of their use
// (kWrite: to be written): coefficients and coordinates are scattered over
// arrays larger than the caches, and waiting for them otherwise dominates
// the element loops (both kernels lose 2 to 7 % without it).  Callers
// inline it (FLUXKERN_INLINE) all the way into the loop: a function that
// only prefetches has no effect the compiler must keep, and a call to it is
// dropped.
template <int kWrite = 0, class Count_>
FLUXKERN_INLINE void prefetch_entries(const double* base, idx stride, const int32_t* ids,
                                      Count_ count) {
#if defined(__GNUC__)
    for (idx k = 0; k < idx(count); ++k) __builtin_prefetch(base + stride * idx(ids[k]), kWrite);
#endif
}

}  // namespace fluxkern
