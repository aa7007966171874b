"""Throughput of fluxkern_mod.compute_B_line_segs_cpp against NumPy.

Both evaluate the same strand formula (finite filament outside, round
conductor inside) for a circular coil of straight segments and random targets
in a box around it.  Prints pair evaluations per second, the ratio and the
machine's core count; asserts nothing about time.

    python benchmarks/bench_biot_savart.py [--segments N --targets M]
"""

import argparse
import os
import time

import numpy as np

import fluxkern_mod


def coil(num_segments, radius=0.1):
    phi = np.linspace(0.0, 2 * np.pi, num_segments + 1)
    ring = np.stack([radius * np.cos(phi), radius * np.sin(phi), np.zeros_like(phi)], axis=1)
    return np.hstack([ring[:-1], ring[1:]])


def targets(num_targets, seed=0):
    return np.random.default_rng(seed).uniform(-0.2, 0.2, size=(num_targets, 3))


def _dot(x0, y0, x1, y1, x2, y2, out, tmp):
    """out = (x0*y0 + x1*y1) + x2*y2, in place."""
    np.multiply(x0, y0, out=out)
    out += np.multiply(x1, y1, out=tmp)
    out += np.multiply(x2, y2, out=tmp)
    return out


def _cross_component(p, q, u, v, f, out, tmp):
    """out = (p*q - u*v) * f, in place."""
    np.multiply(p, q, out=out)
    out -= np.multiply(u, v, out=tmp)
    out *= f
    return out


def numpy_field(src, tar, current, radius):
    """Vectorised over targets, one segment at a time, in preallocated
    buffers; the inner formula only for the targets inside the strand."""
    tx, ty, tz = (np.ascontiguousarray(tar[:, c]) for c in range(3))
    n = len(tar)
    r = float(radius)
    sums = np.zeros((3, n))
    R0x, R0y, R0z, R1x, R1y, R1z, d0, d1, lam, rho2, f, cx, cy, cz, tmp, tmp2 = np.empty((16, n))
    with np.errstate(all="ignore"):
        for ax, ay, az, bx, by, bz in src:
            Lx, Ly, Lz = bx - ax, by - ay, bz - az
            L2 = (Lx * Lx + Ly * Ly) + Lz * Lz
            np.subtract(ax, tx, out=R0x), np.subtract(ay, ty, out=R0y), np.subtract(az, tz, out=R0z)
            np.subtract(bx, tx, out=R1x), np.subtract(by, ty, out=R1y), np.subtract(bz, tz, out=R1z)
            np.sqrt(_dot(R0x, R0x, R0y, R0y, R0z, R0z, d0, tmp), out=d0)
            np.sqrt(_dot(R1x, R1x, R1y, R1y, R1z, R1z, d1, tmp), out=d1)
            _dot(Lx, R0x, Ly, R0y, Lz, R0z, lam, tmp)
            lam *= -1.0
            lam /= L2
            rho2[:] = 0.0
            for L, a, t in ((Lx, ax, tx), (Ly, ay, ty), (Lz, az, tz)):
                np.multiply(L, lam, out=tmp)
                tmp += a
                np.subtract(t, tmp, out=tmp)
                rho2 += np.multiply(tmp, tmp, out=tmp)
            inside = ((r * r > rho2) & (lam <= 1.0) & (lam >= 0.0)) | (r > d0) | (r > d1)

            _dot(R0x, R1x, R0y, R1y, R0z, R1z, f, tmp)
            f += np.multiply(d0, d1, out=tmp)
            np.divide(np.add(d0, d1, out=tmp), f, out=f)
            f /= d0
            f /= d1
            _cross_component(R0y, R1z, R0z, R1y, f, cx, tmp)
            _cross_component(R0z, R1x, R0x, R1z, f, cy, tmp)
            _cross_component(R0x, R1y, R0y, R1x, f, cz, tmp)

            if inside.any():
                li = lam[inside]
                px, py, pz = (t[inside] - (L * li + a) for L, a, t in ((Lx, ax, tx), (Ly, ay, ty), (Lz, az, tz)))
                Vx, Vy, Vz = Ly * pz - Lz * py, Lz * px - Lx * pz, Lx * py - Ly * px
                rho = np.sqrt(rho2[inside])
                g = (((rho + rho) / r) / r) / np.sqrt((Vx * Vx + Vy * Vy) + Vz * Vz)
                cx[inside], cy[inside], cz[inside] = Vx * g, Vy * g, Vz * g
            sums[0] += cx
            sums[1] += cy
            sums[2] += cz
    return (((sums * current) * 1e-7) + 0.0).T


def best_time(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - t0)
    return best, result


def bench_case(num_segments, num_targets, repeat=3, current=10.0, radius=1e-3):
    src, tar = coil(num_segments), targets(num_targets)
    fluxkern_mod.compute_B_line_segs_cpp(src[:2], tar[:64], current, radius)  # start the team
    t_mod, B_mod = best_time(lambda: fluxkern_mod.compute_B_line_segs_cpp(src, tar, current, radius), repeat)
    t_np, B_np = best_time(lambda: numpy_field(src, tar, current, radius), 1 if num_segments * num_targets > 1e7 else repeat)
    pairs = num_segments * num_targets
    scale = np.abs(B_np).max()
    return {
        "segments": num_segments,
        "targets": num_targets,
        "module_pairs_per_s": pairs / t_mod,
        "numpy_pairs_per_s": pairs / t_np,
        "ratio": t_np / t_mod,
        "max_rel_difference": float(np.abs(B_mod - B_np).max() / scale),
    }


def machine():
    affinity = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return f"cores: {os.cpu_count()} (usable: {affinity}), OMP_NUM_THREADS={os.environ.get('OMP_NUM_THREADS', 'unset')}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--segments", type=int, nargs="*", default=[1000, 100])
    parser.add_argument("--targets", type=int, nargs="*", default=[100_000, 10_000])
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    print("Biot-Savart line segments,", machine())
    print(f"{'segments':>9} {'targets':>9} {'module pairs/s':>15} {'numpy pairs/s':>14} {'ratio':>7} {'max rel diff':>13}")
    for n, m in zip(args.segments, args.targets):
        row = bench_case(n, m, args.repeat)
        print(f"{n:>9} {m:>9} {row['module_pairs_per_s']:>15.3e} {row['numpy_pairs_per_s']:>14.3e}"
              f" {row['ratio']:>7.1f} {row['max_rel_difference']:>13.1e}")


if __name__ == "__main__":
    main()
