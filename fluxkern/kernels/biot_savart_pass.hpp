// Internal interface of the Biot-Savart kernel: the pass of one segment over
// all targets, built once for the baseline ISA and once per vector extension.
// The driver (biot_savart.cpp) picks one flavour at run time.
//
// This header is also compiled with per-file -m flags, so it holds only plain
// structs and declarations: no inline function or std:: template that the
// linker could merge with a copy compiled for another ISA.
#pragma once

#include <cstdint>

namespace fluxkern {
namespace biot_savart {

// Every target array and every accumulator is padded to a multiple of this
// many entries (the widest vector), so the passes need no tail loop.
constexpr int64_t kPadding = 8;

// One segment and the quantities that do not depend on the target.  They are
// computed with exactly the operations the per-pair formula uses, so hoisting
// them out of the target loop changes no bit.
struct Segment {
    double ax, ay, az;  // start point
    double bx, by, bz;  // end point
    double Lx, Ly, Lz;  // end - start
    double L2;          // (Lx*Lx + Ly*Ly) + Lz*Lz
    double r;           // strand radius
    double rr;          // r*r
};

// Coordinates as three arrays of `count` entries (a multiple of kPadding),
// each 64-byte aligned.  Used for the targets and for a worker's sums.
struct Targets {
    const double* x;
    const double* y;
    const double* z;
    int64_t count;
};

struct Sums {
    double* x;
    double* y;
    double* z;
};

// Adds the contribution of `seg` at every target to `sums`.
using SegmentPass = void (*)(const Sums& sums, const Targets& tar, const Segment& seg);

void segment_pass_baseline(const Sums& sums, const Targets& tar, const Segment& seg);
#if defined(FLUXKERN_BIOT_SAVART_X86)
void segment_pass_avx2(const Sums& sums, const Targets& tar, const Segment& seg);
void segment_pass_avx512(const Sums& sums, const Targets& tar, const Segment& seg);
#endif

}  // namespace biot_savart
}  // namespace fluxkern
