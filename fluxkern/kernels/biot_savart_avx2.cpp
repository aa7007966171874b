// The segment pass in AVX2, four targets per vector, for CPUs without
// AVX-512.  Compiled with -mavx2; run only where the CPU reports AVX2 (see
// biot_savart.cpp).
#include <immintrin.h>

#include <cstdint>

#include "biot_savart_pass.hpp"

namespace fluxkern {
namespace biot_savart {
namespace {

struct Vec {
    __m256d v;
};
// A lane is true when all its bits are set, as the comparisons leave it.
struct Mask {
    __m256d m;
};

Vec operator+(Vec a, Vec b) { return {_mm256_add_pd(a.v, b.v)}; }
Vec operator-(Vec a, Vec b) { return {_mm256_sub_pd(a.v, b.v)}; }
Vec operator*(Vec a, Vec b) { return {_mm256_mul_pd(a.v, b.v)}; }
Vec operator/(Vec a, Vec b) { return {_mm256_div_pd(a.v, b.v)}; }
Vec sqrt(Vec a) { return {_mm256_sqrt_pd(a.v)}; }
// Ordered and quiet: false on NaN, no invalid-operation signal.
Mask operator>(Vec a, Vec b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)}; }
Mask operator<=(Vec a, Vec b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LE_OQ)}; }
Mask operator>=(Vec a, Vec b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GE_OQ)}; }
Mask operator&(Mask a, Mask b) { return {_mm256_and_pd(a.m, b.m)}; }
Mask operator|(Mask a, Mask b) { return {_mm256_or_pd(a.m, b.m)}; }

struct Lanes {
    using Vec = biot_savart::Vec;
    static constexpr int64_t width = 4;
    static Vec broadcast(double x) { return {_mm256_set1_pd(x)}; }
    static Vec load(const double* p) { return {_mm256_load_pd(p)}; }
    static void store(double* p, Vec a) { _mm256_store_pd(p, a.v); }
    static bool any(Mask k) { return _mm256_movemask_pd(k.m) != 0; }
    static Vec select(Mask k, Vec if_true, Vec if_false)
    {
        return {_mm256_blendv_pd(if_false.v, if_true.v, k.m)};
    }
};

}  // namespace
}  // namespace biot_savart
}  // namespace fluxkern

#include "biot_savart_simd.hpp"

namespace fluxkern {
namespace biot_savart {

static_assert(kPadding % Lanes::width == 0, "targets are padded to whole vectors");

void segment_pass_avx2(const Sums& sums, const Targets& tar, const Segment& seg)
{
    pass_over_targets<Lanes>(sums, tar, seg);
}

}  // namespace biot_savart
}  // namespace fluxkern
