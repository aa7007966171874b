// The pass of one segment over all targets, written once over a "lanes"
// policy L and instantiated per ISA: L::Vec holds L::width doubles, L::Mask a
// per-lane truth value.  The including file defines L, its Vec and Mask and
// their operators (+ - * / sqrt, > <= >= & |) in its own anonymous
// namespace, then includes this header; everything here has internal
// linkage, so copies built for different ISAs never meet in the linker.
//
// Every lane evaluates the per-pair formula with the same IEEE operations,
// in the same order and grouping, as the scalar definition, so each target's
// sum is bit-identical whichever flavour runs.  Both formulas are evaluated
// where some lane is inside a strand and the right one is chosen per lane;
// the inner formula is skipped when no lane needs it.
#pragma once

#include <cstdint>

#include "biot_savart_pass.hpp"

namespace fluxkern {
namespace biot_savart {
namespace {

template <class L>
void pass_over_targets(const Sums& sums, const Targets& tar, const Segment& s)
{
    using V = typename L::Vec;
    const V ax = L::broadcast(s.ax), ay = L::broadcast(s.ay), az = L::broadcast(s.az);
    const V bx = L::broadcast(s.bx), by = L::broadcast(s.by), bz = L::broadcast(s.bz);
    const V Lx = L::broadcast(s.Lx), Ly = L::broadcast(s.Ly), Lz = L::broadcast(s.Lz);
    const V L2 = L::broadcast(s.L2);
    const V r = L::broadcast(s.r), rr = L::broadcast(s.rr);
    const V minus_one = L::broadcast(-1.0), one = L::broadcast(1.0), zero = L::broadcast(0.0);

    for (int64_t j = 0; j < tar.count; j += L::width) {
        const V tx = L::load(tar.x + j), ty = L::load(tar.y + j), tz = L::load(tar.z + j);

        const V R0x = ax - tx, R0y = ay - ty, R0z = az - tz;
        const V R1x = bx - tx, R1y = by - ty, R1z = bz - tz;
        const V d0 = sqrt((R0x * R0x + R0y * R0y) + R0z * R0z);
        const V d1 = sqrt((R1x * R1x + R1y * R1y) + R1z * R1z);

        // Foot of the perpendicular: 0 at the start, 1 at the end.
        const V lambda = (((Lx * R0x + Ly * R0y) + Lz * R0z) * minus_one) / L2;
        const V rhox = tx - (Lx * lambda + ax);
        const V rhoy = ty - (Ly * lambda + ay);
        const V rhoz = tz - (Lz * lambda + az);
        const V rho2 = (rhox * rhox + rhoy * rhoy) + rhoz * rhoz;

        // Ordered comparisons: a NaN operand makes the condition false.
        const auto inside =
            ((rr > rho2) & (lambda <= one) & (lambda >= zero)) | (r > d0) | (r > d1);

        // Finite filament from start to end.
        const V Wx = R0y * R1z - R0z * R1y;
        const V Wy = R0z * R1x - R0x * R1z;
        const V Wz = R0x * R1y - R0y * R1x;
        const V f = (((d0 + d1) / (((R0x * R1x + R0y * R1y) + R0z * R1z) + d0 * d1)) / d0) / d1;
        V cx = Wx * f, cy = Wy * f, cz = Wz * f;

        if (L::any(inside)) {
            // Round conductor of uniform current density.
            const V Vx = Ly * rhoz - Lz * rhoy;
            const V Vy = Lz * rhox - Lx * rhoz;
            const V Vz = Lx * rhoy - Ly * rhox;
            const V rho = sqrt(rho2);
            const V vn = sqrt((Vx * Vx + Vy * Vy) + Vz * Vz);
            const V g = (((rho + rho) / r) / r) / vn;
            // V vanishes on the axis (and is NaN for a segment of zero length): the
            // round conductor has no field there, so the lane adds zero, not 0/0.
            const auto live = vn > zero;
            cx = L::select(inside, L::select(live, Vx * g, zero), cx);
            cy = L::select(inside, L::select(live, Vy * g, zero), cy);
            cz = L::select(inside, L::select(live, Vz * g, zero), cz);
        }

        L::store(sums.x + j, cx + L::load(sums.x + j));
        L::store(sums.y + j, cy + L::load(sums.y + j));
        L::store(sums.z + j, cz + L::load(sums.z + j));
    }
}

}  // namespace
}  // namespace biot_savart
}  // namespace fluxkern
