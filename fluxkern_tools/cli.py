"""Command line of fluxkern_tools: ``python -m fluxkern_tools <command>``.

Commands
--------
demo   the field on the axis of a circular current loop, from the compiled
       Biot-Savart kernel, beside the analytic value
bench  the benchmarks under ``benchmarks/`` (needs a source checkout)
"""

from __future__ import annotations

import argparse
import pathlib
import runpy
import sys
import time

import numpy as np

from . import coils


def loop_table(radius=0.1, current=1000.0, n_segments=1000, heights=None, out=sys.stdout):
    """Print B_z on the axis of a loop (radius in m, current in A) at `heights` (m).

    Returns the largest relative error against mu0 I R^2 / (2 (R^2 + z^2)^(3/2)).
    """
    import fluxkern_mod

    if heights is None:
        heights = radius * np.array([0.0, 0.25, 0.5, 1.0, 2.0, 4.0, 8.0])
    coil = coils.loop(radius, current, n_segments=n_segments, strand_radius=1e-4)
    targets = np.column_stack([np.zeros_like(heights), np.zeros_like(heights), heights])
    t0 = time.perf_counter()
    B = fluxkern_mod.compute_B_line_segs_cpp(coil.segments, targets, coil.current, coil.radius)
    elapsed = time.perf_counter() - t0
    exact = coils.loop_axial_field(radius, current, heights)
    rel = np.abs(B[:, 2] - exact) / np.abs(exact)
    print(f"Field on the axis of a circular loop: R = {radius} m, I = {current} A, "
          f"{n_segments} straight segments", file=out)
    print(f"{'z [m]':>10} {'B_z kernel [T]':>18} {'B_z analytic [T]':>18} {'rel. error':>11}",
          file=out)
    for z, b, e, r in zip(heights, B[:, 2], exact, rel):
        print(f"{z:10.4f} {b:18.10e} {e:18.10e} {r:11.2e}", file=out)
    print(f"largest relative error {rel.max():.2e}; off-axis components below "
          f"{np.abs(B[:, :2]).max():.1e} T; kernel time {elapsed * 1e3:.2f} ms", file=out)
    return float(rel.max())


def _bench(_args):
    root = pathlib.Path(__file__).resolve().parent.parent / "benchmarks"
    runner = root / "run_all.py"
    if not runner.exists():
        sys.exit("the benchmarks live in the source checkout (benchmarks/run_all.py); "
                 "run this command from there")
    sys.argv = [str(runner)]
    runpy.run_path(str(runner), run_name="__main__")


def _demo(args):
    loop_table(radius=args.radius, current=args.current, n_segments=args.segments)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m fluxkern_tools",
        description="Magnetostatics with the fluxkern kernels.")
    sub = parser.add_subparsers(dest="command", required=True)
    demo = sub.add_parser("demo", help="field on the axis of a circular loop, "
                                       "kernel against the analytic formula")
    demo.add_argument("--radius", type=float, default=0.1, help="loop radius in m (0.1)")
    demo.add_argument("--current", type=float, default=1000.0, help="loop current in A (1000)")
    demo.add_argument("--segments", type=int, default=1000,
                      help="number of straight segments (1000)")
    demo.set_defaults(run=_demo)
    bench = sub.add_parser("bench", help="run the benchmarks and print their ratios")
    bench.set_defaults(run=_bench)
    args = parser.parse_args(argv)
    args.run(args)


if __name__ == "__main__":
    main()
