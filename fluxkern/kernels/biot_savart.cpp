// Flux density of straight strands by the Biot-Savart law: the driver.
//
// Segments are handed out one at a time to an OpenMP team (a `single`
// without barrier per segment); each worker sums its segments into a private
// buffer and merges it into B once, under the one critical section.  The work
// per segment is a pass over all targets (biot_savart_simd.hpp), chosen here
// at run time among a baseline and vector builds (the default build stays
// portable).  Targets and sums are kept as three padded coordinate arrays so
// the vector passes load whole vectors; the merge restores the interleaved
// layout of B.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "biot_savart_pass.hpp"
#include "kernels.hpp"

namespace fluxkern {
namespace biot_savart {
namespace {

// The baseline flavour: the same pass with one lane of plain doubles.
double sqrt(double x) { return std::sqrt(x); }

struct ScalarLanes {
    using Vec = double;
    static constexpr int64_t width = 1;
    static double broadcast(double x) { return x; }
    static double load(const double* p) { return *p; }
    static void store(double* p, double a) { *p = a; }
    static bool any(bool k) { return k; }
    static double select(bool k, double if_true, double if_false) { return k ? if_true : if_false; }
};

}  // namespace
}  // namespace biot_savart
}  // namespace fluxkern

#include "biot_savart_simd.hpp"

namespace fluxkern {
namespace biot_savart {

void segment_pass_baseline(const Sums& sums, const Targets& tar, const Segment& seg)
{
    pass_over_targets<ScalarLanes>(sums, tar, seg);
}

namespace {

constexpr std::size_t kAlignment = 64;
constexpr int64_t kBannerThreshold = 100000000;  // pairs; the banner needs more

struct AlignedRelease {
    void operator()(double* p) const { ::operator delete(p, std::align_val_t{kAlignment}); }
};
using AlignedArray = std::unique_ptr<double[], AlignedRelease>;

// Zero-filled, 64-byte aligned; nullptr when the memory cannot be had (the
// caller is inside the parallel region, where nothing may throw).
double* allocate_zeroed(int64_t count) noexcept
{
    const std::size_t bytes = static_cast<std::size_t>(count) * sizeof(double);
    void* p = ::operator new(bytes, std::align_val_t{kAlignment}, std::nothrow);
    if (p != nullptr) {
        std::memset(p, 0, bytes);
    }
    return static_cast<double*>(p);
}

int64_t padded_count(int64_t n) { return (n + kPadding - 1) / kPadding * kPadding; }

// The targets as three arrays.  The padding repeats the last target, so the
// padded lanes compute ordinary values that are never merged.
AlignedArray copy_targets(const double* tar, int64_t num_tar, int64_t padded)
{
    const std::size_t bytes = static_cast<std::size_t>(3 * padded) * sizeof(double);
    AlignedArray soa(static_cast<double*>(::operator new(bytes, std::align_val_t{kAlignment})));
    double* x = soa.get();
    double* y = x + padded;
    double* z = y + padded;
    for (int64_t j = 0; j < padded; ++j) {
        const int64_t src = j < num_tar ? j : num_tar - 1;
        x[j] = tar[3 * src];
        y[j] = tar[3 * src + 1];
        z[j] = tar[3 * src + 2];
    }
    return soa;
}

Segment make_segment(const double* seg, double radius)
{
    Segment s;
    s.ax = seg[0];
    s.ay = seg[1];
    s.az = seg[2];
    s.bx = seg[3];
    s.by = seg[4];
    s.bz = seg[5];
    s.Lx = s.bx - s.ax;
    s.Ly = s.by - s.ay;
    s.Lz = s.bz - s.az;
    s.L2 = (s.Lx * s.Lx + s.Ly * s.Ly) + s.Lz * s.Lz;
    s.r = radius;
    s.rr = radius * radius;
    return s;
}

SegmentPass select_pass()
{
#if defined(FLUXKERN_BIOT_SAVART_X86)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) {
        return segment_pass_avx512;
    }
    if (__builtin_cpu_supports("avx2")) {
        return segment_pass_avx2;
    }
#endif
    return segment_pass_baseline;
}

// B[3j + c] = ((sum_c[j] * current) * 1e-7) + B[3j + c], entries in order.
void merge(double* B, const Sums& sums, double current, int64_t num_tar)
{
    for (int64_t j = 0; j < num_tar; ++j) {
        B[3 * j] = ((sums.x[j] * current) * 1e-7) + B[3 * j];
        B[3 * j + 1] = ((sums.y[j] * current) * 1e-7) + B[3 * j + 1];
        B[3 * j + 2] = ((sums.z[j] * current) * 1e-7) + B[3 * j + 2];
    }
}

}  // namespace
}  // namespace biot_savart

void compute_B_line_segs_kernel(double* B, const double* src, const double* tar,
                                double current, double radius,
                                int32_t num_src, int32_t num_tar)
{
    using namespace biot_savart;

    const bool banner = static_cast<int64_t>(num_src) * num_tar > kBannerThreshold;
    if (banner) {
        std::printf("********************************\n");
        std::printf("  Evaluate Biot-Savarts law  \n");
        std::printf("********************************\n");
        std::printf("number of sources = %d\n", num_src);
        std::printf("number of field points = %d\n", num_tar);
        std::printf("start computation\n");
    }

    const int64_t M = num_tar;
    for (int64_t k = 0; k < 3 * M; ++k) {
        B[k] = 0.0;
    }

    const int64_t padded = padded_count(M);
    const AlignedArray soa = copy_targets(tar, M, padded);
    const Targets targets{soa.get(), soa.get() + padded, soa.get() + 2 * padded, padded};
    const SegmentPass pass = select_pass();

    bool out_of_memory = false;
#pragma omp parallel
    {
        // Nothing in the region may throw.  A worker without a buffer still
        // meets every `single` (the team must see the same sequence of
        // them) but computes nothing; the call then fails as a whole.
        double* priv = allocate_zeroed(3 * padded);
        const Sums sums = priv != nullptr ? Sums{priv, priv + padded, priv + 2 * padded} : Sums{};

        for (int32_t i = 0; i < num_src; ++i) {
#pragma omp single nowait
            {
                if (priv != nullptr) {
                    pass(sums, targets, make_segment(src + 6 * static_cast<int64_t>(i), radius));
                }
            }
        }

        if (priv == nullptr) {
#pragma omp atomic write
            out_of_memory = true;
        } else {
#pragma omp critical
            merge(B, sums, current, M);
            ::operator delete(priv, std::align_val_t{kAlignment});
        }
    }
    if (out_of_memory) {
        throw std::bad_alloc();  // no "done": the field was not computed
    }

    if (banner) {
        std::printf("done\n");
    }
}

}  // namespace fluxkern
