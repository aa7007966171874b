"""Command line of fluxkern_tools: ``python -m fluxkern_tools <command>``.

Commands
--------
demo   a nonlinear 3-D magnet: an iron-yoke H dipole with two racetrack coils, solved
       with the reduced vector potential at several currents; prints the Newton
       iterations and the gap field, writes a PNG and a VTU file
loop   the field on the axis of a circular current loop, from the compiled
       Biot-Savart kernel, beside the analytic value
bench  the benchmarks under ``benchmarks/`` (needs a source checkout)
validate team20
       TEAM problem 20 meshed with gmsh and solved at the measured currents; the
       computed pole force against the measured one
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import pathlib
import runpy
import sys
import time

import numpy as np

from .. import bh_curves, coils
from ..fem.kernels import line_segment_field

DEFAULT_CURRENTS = "100,200,300,400,550,700"
# Mesh size of the demo in mm: the gap field changes by 0.3 % or less when it is
# halved (benchmarks in the README), and the six solves take about 20 s on two cores.
DEFAULT_MESH_MM = 10.0


def loop_table(radius=0.1, current=1000.0, n_segments=1000, heights=None, out=sys.stdout):
    """Print B_z on the axis of a loop (radius in m, current in A) at `heights` (m).

    Returns the largest relative error against mu0 I R^2 / (2 (R^2 + z^2)^(3/2)).
    Raises ValueError for a zero or non-finite current (the relative error of a
    zero field is 0/0), a radius that is not positive and finite, or fewer than 3
    segments.
    """
    if not (np.isfinite(current) and current != 0):
        raise ValueError(f"current must be a finite non-zero number of A, got {current!r}")

    if heights is None:
        heights = radius * np.array([0.0, 0.25, 0.5, 1.0, 2.0, 4.0, 8.0])
    coil = coils.loop(radius, n_segments, current=current, strand_radius=1e-4)
    targets = np.column_stack([np.zeros_like(heights), np.zeros_like(heights), heights])
    t0 = time.perf_counter()
    B = line_segment_field(coil.segments, targets, coil.current, coil.strand_radius)
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


def dipole_demo(out_dir="fluxkern_out", currents=(100, 200, 300, 400, 550, 700),
                mesh_size=DEFAULT_MESH_MM * 1e-3, steel="M270-35A", tables=True, files=True,
                out=sys.stdout, backend="serial"):
    """Solve the demo dipole at ``currents`` (A per turn) on a mesh of size
    ``mesh_size`` (m) with the yoke steel ``steel``; print the Newton tables (with
    ``tables``) and the gap fields, and (with ``files``) write ``dipole.png`` and
    ``dipole.vtu`` into ``out_dir``. Returns the list of operating points.
    ``backend="petsc"`` solves on all MPI processes (run under ``mpiexec``); only the
    first process prints and writes files."""
    from . import dipole

    t0 = time.perf_counter()
    lead = True
    if backend == "petsc":
        from ..solvers.distributed import comm as mpi_comm

        lead = mpi_comm.world().rank == 0
    say = (lambda *a: print(*a, file=out, flush=True)) if lead else (lambda *a: None)
    model = dipole.DipoleModel(h=mesh_size, steel=steel, backend=backend)
    g, m, pb = model.geom, model.mesh, model.problem
    say(f"fluxkern demo: H-type dipole, {steel} yoke, two racetrack coils of {g.turns} "
        f"turns, gap {2e3 * g.half_gap:g} mm, iron length {2e3 * g.half_length:g} mm")
    say(f"reduced vector potential on edge elements, one octant (three mirror planes): "
        f"{m.num_el} tetrahedra, {m.num_edges} edges, {len(pb.unfixed)} of them without "
        f"A x n = 0; mesh size {1e3 * mesh_size:g} mm; "
        f"{sum(len(c.segments) for c in model.coils)} coil segments")
    if backend == "petsc":
        say(f"petsc backend: {mpi_comm.world().size} MPI process(es), CG with hypre AMS")

    def report(op):
        r = op.solution.report
        state = "" if r.converged else "   NOT CONVERGED"
        if tables:
            say(f"{'converged' if r.converged else 'NOT converged'} after {r.iterations} "
                f"Newton step(s) (stop at rel. residual {r.rtol:.0e})")
            say(r.summary())
        say(f"gap field B_z = {op.B_gap:.4f} T   (ideal iron {op.B_ideal:.4f} T, coils "
            f"alone {op.B_coil_only:.4f} T; largest |B| in the iron {op.B_iron_max:.2f} T)"
            f"{state}")

    points = []
    x, prev = None, None
    for I in currents:
        say(f"\n== I = {I:g} A per turn ({g.turns * I / 1e3:g} kA-turns per coil) ==")
        x0 = None if x is None or not prev else x * (I / prev)
        op = model.solve(I, x0=x0, log=say if tables else None)
        report(op)
        points.append(op)
        x, prev = op.solution.x, I
    say("\nSummary (gap field = mean B_z over |x| < "
        f"{5e2 * g.half_length:g} mm, |y| < {5e2 * g.pole_half_width:g} mm of the gap)")
    say(f"harmonics on the mid-plane x = 0 at r_ref = {1e3 * model.r_ref:.1f} mm (2/3 of "
        f"the half-gap), b_n in units of 1e-4 of B_1")
    say(f"{'I [A]':>7} {'NI [kA]':>8} {'B_gap [T]':>10} {'ideal [T]':>10} {'coils [T]':>10} "
        f"{'B/ideal':>8} {'b3':>8} {'b5':>8} {'Newton':>7}")
    for p in points:
        ratio = p.B_gap / p.B_ideal if p.B_ideal else float("nan")
        b3, b5 = (p.harmonics.b[2], p.harmonics.b[4]) if p.harmonics else (np.nan,) * 2
        say(f"{p.current:7g} {g.turns * p.current / 1e3:8.1f} {p.B_gap:10.4f} "
            f"{p.B_ideal:10.4f} {p.B_coil_only:10.4f} {ratio:8.3f} {b3:8.1f} {b5:8.1f} "
            f"{p.solution.report.iterations:7d}")
    if files and points and lead:
        from . import output as dipole_output

        folder = pathlib.Path(out_dir)
        folder.mkdir(parents=True, exist_ok=True)
        png = dipole_output.write_png(folder / "dipole.png", model, points)
        say(f"\nwrote {png}  (gap field against current; |B| on the mid-plane x = 0)")
        vtu = dipole_output.write_vtu(folder / "dipole.vtu", model, points)
        say(f"wrote {vtu}  (whole magnet; cell data B, B_norm, mu_r, region, B_<I>A)")
    say(f"total time {time.perf_counter() - t0:.1f} s")
    return points


def _bench(_args):
    root = pathlib.Path(__file__).resolve().parent.parent / "benchmarks"
    runner = root / "run_all.py"
    if not runner.exists():
        sys.exit("the benchmarks live in the source checkout (benchmarks/run_all.py); "
                 "run this command from there")
    sys.argv = [str(runner)]
    runpy.run_path(str(runner), run_name="__main__")


def _loop(args):
    loop_table(radius=args.radius, current=args.current, n_segments=args.segments)


def _number(text):
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None


def _float_between(lo, hi, what, unit):
    """An argparse type: a number in [lo, hi] (in ``unit``)."""
    def parse(text):
        v = _number(text)
        if not (lo <= v <= hi):
            raise argparse.ArgumentTypeError(f"{what} must lie between {lo:g} and {hi:g} "
                                             f"{unit}, got {text!r}")
        return v
    return parse


def _loop_current(text):
    """An argparse type: a finite non-zero current in A. A zero current gives a zero
    field, against which the table's relative error is 0/0: nothing is checked."""
    v = _number(text)
    if not (np.isfinite(v) and v != 0 and abs(v) <= 1e12):
        raise argparse.ArgumentTypeError(f"the current must be a non-zero number of A "
                                         f"of magnitude at most 1e12, got {text!r}")
    return v


def _int_between(lo, hi, what):
    """An argparse type: a whole number in [lo, hi]."""
    def parse(text):
        try:
            v = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if not (lo <= v <= hi):
            raise argparse.ArgumentTypeError(f"{what} must lie between {lo} and {hi}, "
                                             f"got {v}")
        return v
    return parse


def _out_dir_problem(path):
    """Why ``path`` cannot take the demo's files (None if it can): checked before
    any solve, so that a bad folder is not found out after minutes of work. Creates
    the folder (the demo would) and tries a scratch file in it."""
    import tempfile

    folder = pathlib.Path(path)
    if folder.exists() and not folder.is_dir():
        return f"--out {path}: exists and is not a directory"
    for name in ("dipole.png", "dipole.vtu"):
        if (folder / name).is_dir():
            return f"--out {path}: {name} there is a directory"
    try:
        folder.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryFile(dir=folder):
            pass
    except OSError as e:
        return f"--out {path}: cannot write there ({e.strerror or e})"
    return None


def _currents(text):
    try:
        vals = [float(v) for v in text.split(",") if v.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a comma-separated list of numbers: {text!r}")
    if not vals or any(not np.isfinite(v) or v <= 0 for v in vals):
        raise argparse.ArgumentTypeError("currents must be positive numbers, e.g. 100,300,600")
    return vals


def _mm_between(lo, hi, what):
    """An argparse type: a length in mm within [lo, hi]."""
    def parse(text):
        try:
            v = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}")
        if not (lo <= v <= hi):
            raise argparse.ArgumentTypeError(f"{what} must lie between {lo:g} and {hi:g} mm")
        return v
    return parse


_mesh_mm = _mm_between(4.0, 60.0, "the mesh size")
_size_mm = _mm_between(0.3, 100.0, "element sizes")


def _demo(args):
    if args.backend == "petsc":
        from ..solvers.distributed import abort_on_error

        abort_on_error()
    dipole_demo(out_dir=args.out, currents=args.currents, mesh_size=args.mesh_size * 1e-3,
                steel=args.steel, tables=not args.quiet, files=not args.no_files,
                backend=args.backend)


class _QuietStdout:
    """Send what compiled libraries write to the C-level stdout (gmsh prints stray
    newlines) to /dev/null, so that ``--json`` prints nothing but the object."""

    def __enter__(self):
        sys.stdout.flush()
        self._saved = os.dup(1)
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 1)
        os.close(null)

    def __exit__(self, *exc):
        sys.stdout.flush()
        os.dup2(self._saved, 1)
        os.close(self._saved)


def _validate(args):
    from . import team20

    mm = 1e-3
    say = (lambda *a: None) if args.json else (lambda *a: print(*a, flush=True))
    with _QuietStdout() if args.json else contextlib.nullcontext():
        _, points = team20.validate(args.pole_mm * mm, args.steel_mm * mm, args.air_mm * mm,
                                    log=say if args.newton else None, say=say,
                                    degree=args.degree)
    if args.json:
        print(json.dumps({"current_A": [p.current for p in points],
                          "measured_N": [p.measured for p in points],
                          "computed_N": [p.computed for p in points]}))
        return
    say(f"{'I [A]':>7} {'measured [N]':>13} {'computed [N]':>13} {'rel. error':>11} "
        f"{'Newton':>7} {'time [s]':>9}")
    for p in points:
        say(f"{p.current:7.2f} {p.measured:13.2f} {p.computed:13.2f} {p.rel_error:+11.1%} "
            f"{p.newton_steps:7d} {p.seconds:9.1f}")


def main(argv=None):
    """Parse ``argv`` (default: the command line) and run the chosen command."""
    parser = argparse.ArgumentParser(
        prog="python -m fluxkern_tools",
        description="Magnetostatics with the fluxkern kernels.")
    sub = parser.add_subparsers(dest="command", required=True)
    demo = sub.add_parser(
        "demo", help="nonlinear iron-yoke dipole magnet (reduced vector potential)",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=(
            "Solve a 3-D magnet: an H-shaped yoke of nonlinear electrical steel with a\n"
            "50 mm gap and two racetrack coils of 100 turns (Biot-Savart source), by\n"
            "Newton's method on the reduced vector potential, at several coil currents.\n"
            "Prints each Newton iteration (residual, update, ratio of successive\n"
            "residuals) and the gap field, which falls below the ideal-iron line as the\n"
            "yoke saturates. Writes dipole.png (gap field against current, |B| on the\n"
            "mid-plane) and dipole.vtu (the field, for ParaView) into the output folder.\n"
            "Takes about half a minute with the defaults."),
        epilog="example: python -m fluxkern_tools demo --currents 50,150,400 --mesh-size 12")
    demo.add_argument("--out", default="fluxkern_out", metavar="DIR",
                      help="folder for dipole.png and dipole.vtu (default: ./fluxkern_out)")
    demo.add_argument("--currents", type=_currents, default=_currents(DEFAULT_CURRENTS),
                      metavar="I1,I2,...",
                      help=f"coil currents in A per turn (default: {DEFAULT_CURRENTS})")
    demo.add_argument("--mesh-size", type=_mesh_mm, default=DEFAULT_MESH_MM, metavar="MM",
                      help="element size in the iron and the gap in mm, 4 to 60; smaller "
                           f"is finer and slower (default: {DEFAULT_MESH_MM:g})")
    demo.add_argument("--steel", default="M270-35A", choices=bh_curves.names(),
                      help="BH curve of the yoke (default: M270-35A)")
    demo.add_argument("--quiet", action="store_true",
                      help="print only the gap fields, not the Newton tables")
    demo.add_argument("--no-files", action="store_true", help="write no PNG or VTU file")
    demo.add_argument("--backend", choices=["serial", "petsc"], default="serial",
                      help="serial: this process (default); petsc: all MPI processes, "
                           "e.g. mpiexec -n 2 python -m fluxkern_tools demo --backend "
                           "petsc (needs make mpi-env)")
    demo.set_defaults(run=_demo)
    loop = sub.add_parser("loop", help="field on the axis of a circular loop, "
                                       "kernel against the analytic formula")
    loop.add_argument("--radius", type=_float_between(1e-3, 1e3, "the radius", "m"),
                      default=0.1, help="loop radius in m, 0.001 to 1000 (0.1)")
    loop.add_argument("--current", type=_loop_current, default=1000.0,
                      help="loop current in A, non-zero (1000)")
    loop.add_argument("--segments", type=_int_between(3, 10**6, "the segment count"),
                      default=1000, help="number of straight segments, 3 to 1e6 (1000)")
    loop.set_defaults(run=_loop)
    val = sub.add_parser(
        "validate", help="benchmark problems against measured data (team20)",
        description="TEAM problem 20 (3-D static force): steel yoke and centre pole, "
                    "1000-turn coil; meshes a quarter model with gmsh, solves the nonlinear "
                    "reduced vector potential at the measured currents and prints the "
                    "computed force on the pole against the measured one.")
    val.add_argument("case", choices=["team20"], help="the benchmark")
    val.add_argument("--json", action="store_true",
                     help="print one JSON object: current_A, measured_N, computed_N")
    val.add_argument("--pole-mm", type=_size_mm, default=1.5,
                     help="element size on the pole and in its gaps in mm (1.5)")
    val.add_argument("--steel-mm", type=_size_mm, default=3.0,
                     help="element size on the yoke in mm (3)")
    val.add_argument("--air-mm", type=_size_mm, default=25.0,
                     help="largest element size in the air in mm (25)")
    val.add_argument("--newton", action="store_true", help="print the Newton tables")
    val.add_argument("--degree", type=int, choices=[1, 2], default=1,
                     help="edge-element degree (1; 2: second order, B linear per element)")
    val.set_defaults(run=_validate)
    bench = sub.add_parser("bench", help="run the benchmarks and print their ratios")
    bench.set_defaults(run=_bench)
    args = parser.parse_args(argv)
    if args.command == "demo" and not args.no_files:
        problem = _out_dir_problem(args.out)
        if problem:
            demo.error(problem)
    args.run(args)


if __name__ == "__main__":
    main()
