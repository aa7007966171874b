"""TEAM problem 20: the 3-D static force benchmark, against its measured force.

A steel C-yoke, a steel centre pole inside its window (1.5 mm air gap below, 1 mm
beside the top-plate slot) and a 1000-turn coil with rounded corners around the pole.
The measured quantity is the z-force on the pole at 0.98 to 5.02 A, where the steel
saturates. Data (measured force, B-H curve) ship in ``fluxkern_tools/data/team20``.

The model: one quarter (x >= 0, y >= 0) meshed with gmsh (OpenCASCADE boxes, sizes
graded from the pole outwards), the coil as a Biot-Savart source of filaments filling
its cross-section (the full coil, so its field obeys both mirror planes), the
nonlinear reduced vector potential with A x n = 0 on the mirror planes (the current
crosses them, so B . n = 0) and on the air box; the pole force by the eggshell method,
times 4. Lengths in m, currents in A, forces in N.
"""

from __future__ import annotations

import os
import tempfile
import time
from dataclasses import dataclass
from importlib import resources

import numpy as np

from .. import coils, materials, meshes, windings
from ..post.results import force
from ..solvers import ReducedVectorPotential

__all__ = ["DATA", "measured_force", "steel", "coil", "build_mesh", "Team20", "validate"]

MM = 1e-3
AIR, YOKE, POLE = 1, 2, 3


def _data(name):
    return resources.files("fluxkern_tools").joinpath("data", "team20", name)


DATA = _data("")


def _csv(name):
    with _data(name).open() as f:
        return np.loadtxt(f, delimiter=",", comments="#", ndmin=2)


def measured_force():
    """``(current A, force N)`` arrays of the measurement, without the origin row."""
    d = _csv("measured_force.csv")
    d = d[d[:, 0] > 0]
    return d[:, 0], d[:, 1]


def steel() -> materials.Material:
    """The yoke and pole steel from its measured B-H curve."""
    d = _csv("bh_steel.csv")
    return materials.Material("TEAM 20 steel", H=d[:, 1], B=d[:, 0])


def coil(current=1.0, grid=(3, 8)) -> coils.Coil:
    """The 1000-turn coil carrying ``current`` (A): mean line a 57 mm square with
    14 mm corners, cross-section 18 x 96.6 mm centred at z = 75 mm, ``grid``
    filaments (across x along the axis)."""
    path = windings.RoundedRectangle(57 * MM, 57 * MM, 14 * MM, segments_per_corner=6)
    return coils.winding(path, current=current, turns=1000, width=18 * MM,
                         height=96.6 * MM, grid=grid, origin=(0, 0, 75 * MM))


def build_mesh(h_pole=1.0 * MM, h_steel=2.5 * MM, h_air=25 * MM, verbose=False) -> meshes.Mesh:
    """Quarter-model mesh (x, y >= 0) with gmsh: regions "air", "yoke", "pole"; named
    surfaces "symmetry_x", "symmetry_y", "outer". Element size ``h_pole`` on the pole
    and in the gaps around it, ``h_steel`` on the yoke, growing to ``h_air`` (m)."""
    import gmsh

    gmsh.initialize(interruptible=False)
    try:
        gmsh.option.setNumber("General.Terminal", 1 if verbose else 0)
        gmsh.model.add("team20")
        occ = gmsh.model.occ
        s = 1e-3                                       # geometry in mm, mesh in m below
        air = occ.addBox(0, 0, -100 * s, 200 * s, 250 * s, 350 * s)
        yoke = occ.addBox(0, 0, 0, 63.5 * s, 12.5 * s, 150 * s)
        window = occ.addBox(0, 0, 25 * s, 38.5 * s, 12.5 * s, 100 * s)
        slot = occ.addBox(0, 0, 125 * s, 13.5 * s, 12.5 * s, 25 * s)
        occ.cut([(3, yoke)], [(3, window), (3, slot)], removeTool=True)
        pole = occ.addBox(0, 0, 26.5 * s, 12.5 * s, 5 * s, 98.5 * s)
        out, children = occ.fragment([(3, air)], [(3, yoke), (3, pole)])
        occ.synchronize()
        vols = [t for d, t in out if d == 3]
        yoke_v = [t for _, t in children[1]]
        pole_v = [t for _, t in children[2]]
        air_v = [t for t in vols if t not in yoke_v + pole_v]
        for name, tags, tag in (("air", air_v, AIR), ("yoke", yoke_v, YOKE),
                                ("pole", pole_v, POLE)):
            gmsh.model.addPhysicalGroup(3, tags, tag, name)
        faces = gmsh.model.getBoundary([(3, t) for t in vols], combined=True, oriented=False)
        groups = {"symmetry_x": [], "symmetry_y": [], "outer": []}
        for _, f in faces:
            c = occ.getCenterOfMass(2, f)
            key = ("symmetry_x" if abs(c[0]) < 1e-9 else
                   "symmetry_y" if abs(c[1]) < 1e-9 else "outer")
            groups[key].append(f)
        for name, tags in groups.items():
            gmsh.model.addPhysicalGroup(2, tags, -1, name)
        pole_faces = [f for _, f in gmsh.model.getBoundary([(3, t) for t in pole_v],
                                                           oriented=False)]
        yoke_faces = [f for _, f in gmsh.model.getBoundary([(3, t) for t in yoke_v],
                                                           oriented=False)]
        fld = gmsh.model.mesh.field

        def grow_from(surfaces, size, dist_min):
            # size on the surfaces, growing linearly to h_air 150 mm away
            d = fld.add("Distance")
            fld.setNumbers(d, "SurfacesList", surfaces)
            t = fld.add("Threshold")
            fld.setNumber(t, "InField", d)
            fld.setNumber(t, "SizeMin", size)
            fld.setNumber(t, "SizeMax", h_air)
            fld.setNumber(t, "DistMin", dist_min)
            fld.setNumber(t, "DistMax", 150 * MM)
            return t

        t1 = grow_from(pole_faces, h_pole, 2 * MM)
        t2 = grow_from(yoke_faces, h_steel, 1 * MM)
        mn = fld.add("Min")
        fld.setNumbers(mn, "FieldsList", [t1, t2])
        fld.setAsBackgroundMesh(mn)
        for opt in ("MeshSizeExtendFromBoundary", "MeshSizeFromPoints", "MeshSizeFromCurvature"):
            gmsh.option.setNumber(f"Mesh.{opt}", 0)
        gmsh.option.setNumber("Mesh.Algorithm3D", 10)          # HXT: fast, parallel
        gmsh.model.mesh.generate(3)
        fd, path = tempfile.mkstemp(suffix=".msh")
        os.close(fd)
        try:
            gmsh.write(path)
            return meshes.read(path)
        finally:
            os.unlink(path)
    finally:
        gmsh.finalize()


@dataclass
class Point:
    """One current: ``current`` A, ``measured`` and ``computed`` pole force in N
    (magnitude, pulling the pole down), Newton steps and solve time in s."""

    current: float
    measured: float
    computed: float
    newton_steps: int
    seconds: float

    @property
    def rel_error(self) -> float:
        """(computed - measured) / measured."""
        return (self.computed - self.measured) / self.measured


class Team20:
    """The quarter model set up once and solved per current."""

    def __init__(self, h_pole=1.0 * MM, h_steel=2.5 * MM, h_air=25 * MM, grid=(3, 8),
                 log=None, degree=1):
        t0 = time.perf_counter()
        self.mesh = build_mesh(h_pole, h_steel, h_air)
        self.mesh_seconds = time.perf_counter() - t0
        self.coil = coil(1.0, grid)
        st = steel()
        mats = {"air": materials.vacuum(), "yoke": st, "pole": st}
        t0 = time.perf_counter()
        self.problem = ReducedVectorPotential(self.mesh, mats, self.coil, degree=degree)
        self.setup_seconds = time.perf_counter() - t0
        self.log = log

    def solve(self, current, x0=None, **kw):
        """Solution at ``current`` A (the coil was built for 1 A)."""
        return self.problem.solve(source_scale=current, x0=x0, log=self.log, **kw)

    def pole_force(self, solution) -> float:
        """Downward z-force on the whole pole in N (4 x the quarter's)."""
        return -4.0 * float(force(solution, "pole").force[2])

    def steel_force(self, solution) -> np.ndarray:
        """Force (3,) in N on all the steel (yoke and pole) of the whole model: the
        quarter's eggshell z-force times 4; x and y cancel by symmetry."""
        return np.array([0.0, 0.0, 4.0 * float(force(solution, ["yoke", "pole"]).force[2])])

    def coil_reaction(self, solution):
        """The reaction field (P, 3) in T at any points of the full model (a callable):
        the quarter's field mirrored, B . n = 0 on both mirror planes."""
        def field(p):
            p = np.asarray(p, dtype=np.float64).reshape(-1, 3)
            s = np.where(p[:, :2] < 0, -1.0, 1.0)
            q = p.copy()
            q[:, :2] = np.abs(q[:, :2])
            B = solution.B_at(q, smooth=True, outside="raise", part="reaction")
            B[:, :2] *= s
            return B
        return field

    def coil_force(self, solution):
        """Force and torque on the whole coil (:func:`.post.coil_force.coil_force` with
        the mirrored reaction field): a :class:`~fluxkern_tools.results.Force`."""
        return solution.coil_force(reaction=self.coil_reaction(solution))

    def sweep(self, currents, measured=None, **kw):
        """Solve at each current (Newton started from the previous solution scaled)."""
        out, x, prev = [], None, None
        for k, I in enumerate(currents):
            t0 = time.perf_counter()
            x0 = None if x is None or prev == 0 else x * (I / prev)
            sol = self.solve(I, x0=x0, **kw)
            F = self.pole_force(sol)
            m = float("nan") if measured is None else float(measured[k])
            out.append(Point(float(I), m, F, sol.report.iterations, time.perf_counter() - t0))
            x, prev = sol.x, I
        return out


def validate(h_pole=1.0 * MM, h_steel=2.5 * MM, h_air=25 * MM, grid=(3, 8), log=None,
             say=print, degree=1):
    """Mesh, solve at the measured currents and compare (edge elements of ``degree``);
    returns (model, points)."""
    I, F = measured_force()
    model = Team20(h_pole, h_steel, h_air, grid, log=log, degree=degree)
    m = model.mesh
    say(f"TEAM 20 quarter model: {m.num_el} tetrahedra, {m.num_edges} edges, "
        f"{len(model.problem.unfixed)} unknowns (degree {degree}); pole {h_pole / MM:g} mm, yoke "
        f"{h_steel / MM:g} mm, air up to {h_air / MM:g} mm; coil {len(model.coil.segments)} "
        f"segments; meshing {model.mesh_seconds:.1f} s, set-up {model.setup_seconds:.1f} s")
    points = model.sweep(I, F)
    return model, points
