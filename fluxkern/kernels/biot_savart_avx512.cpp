// The segment pass in AVX-512F, eight targets per vector.  Compiled with
// -mavx512f; run only where the CPU reports AVX-512F (see biot_savart.cpp).
#include <immintrin.h>

#include <cstdint>

#include "biot_savart_pass.hpp"

namespace fluxkern {
namespace biot_savart {
namespace {

struct Vec {
    __m512d v;
};
struct Mask {
    __mmask8 m;
};

Vec operator+(Vec a, Vec b) { return {_mm512_add_pd(a.v, b.v)}; }
Vec operator-(Vec a, Vec b) { return {_mm512_sub_pd(a.v, b.v)}; }
Vec operator*(Vec a, Vec b) { return {_mm512_mul_pd(a.v, b.v)}; }
Vec operator/(Vec a, Vec b) { return {_mm512_div_pd(a.v, b.v)}; }
// The zero-masked form computes the same lanes; GCC 12 warns about the
// undefined pass-through operand of _mm512_sqrt_pd.
Vec sqrt(Vec a) { return {_mm512_maskz_sqrt_pd(0xFF, a.v)}; }
// Ordered and quiet: false on NaN, no invalid-operation signal.
Mask operator>(Vec a, Vec b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GT_OQ)}; }
Mask operator<=(Vec a, Vec b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LE_OQ)}; }
Mask operator>=(Vec a, Vec b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GE_OQ)}; }
Mask operator&(Mask a, Mask b) { return {static_cast<__mmask8>(a.m & b.m)}; }
Mask operator|(Mask a, Mask b) { return {static_cast<__mmask8>(a.m | b.m)}; }

struct Lanes {
    using Vec = biot_savart::Vec;
    static constexpr int64_t width = 8;
    static Vec broadcast(double x) { return {_mm512_set1_pd(x)}; }
    static Vec load(const double* p) { return {_mm512_load_pd(p)}; }
    static void store(double* p, Vec a) { _mm512_store_pd(p, a.v); }
    static bool any(Mask k) { return k.m != 0; }
    static Vec select(Mask k, Vec if_true, Vec if_false)
    {
        return {_mm512_mask_blend_pd(k.m, if_false.v, if_true.v)};
    }
};

}  // namespace
}  // namespace biot_savart
}  // namespace fluxkern

#include "biot_savart_simd.hpp"

namespace fluxkern {
namespace biot_savart {

static_assert(kPadding % Lanes::width == 0, "targets are padded to whole vectors");

void segment_pass_avx512(const Sums& sums, const Targets& tar, const Segment& seg)
{
    pass_over_targets<Lanes>(sums, tar, seg);
}

}  // namespace biot_savart
}  // namespace fluxkern
