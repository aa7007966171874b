"""The demo magnet: an H-type iron-yoke dipole with two racetrack coils.

Two poles face each other across a gap (field along z in the gap), joined by a
yoke of nonlinear electrical steel: a plate above and below and a leg on each side
(the H, or window-frame, layout). A racetrack coil of ``turns`` turns sits around
each pole; both carry the same current in the same sense, so each return leg and
plate carries half of the gap flux. The magnet is 2 * ``half_length`` long along x.

The model has three mirror planes, so one octant (x, y, z >= 0) is meshed:

* x = 0 and y = 0: the field runs along them (B_x = 0, B_y = 0 there), so A x n = 0,
  like the outer boundary of the air box;
* z = 0, the gap's mid-plane: the field crosses it, so the natural condition holds.

The coils enter through their Biot-Savart field (both coils, in full) and are not
meshed. All lengths in m, currents in A, fields in T.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from .. import coils, materials, meshes, windings
from ..solvers import ReducedVectorPotential, source_field
from ..solvers.backend import BACKENDS, solve

__all__ = ["DipoleGeometry", "OperatingPoint", "AIR", "IRON", "build_mesh", "build_coils",
           "DipoleModel", "mirror_signs"]

AIR, IRON = 0, 1


def mirror_signs(sx, sy, sz) -> np.ndarray:
    """Factors (3,) (or (P, 3) for arrays of signs) that map B of the octant to its
    image under the coordinate signs (sx, sy, sz) (each +1 or -1): under x -> -x,
    y -> -y and z -> -z the flux density becomes (-Bx, By, Bz), (Bx, -By, Bz) and
    (-Bx, -By, Bz)."""
    sx, sy, sz = np.broadcast_arrays(*(np.asarray(v, dtype=np.float64) for v in (sx, sy, sz)))
    return np.stack([sx * sz, sy * sz, np.ones_like(sx)], axis=-1)


@dataclass(frozen=True)
class DipoleGeometry:
    """Dimensions of the H dipole in m (half-widths measured from the mid-planes).

    ``half_gap``: half the pole gap; ``pole_half_width`` (along y) and ``pole_top`` (z
    of the pole root); ``leg_inner``/``leg_outer``: y range of the side legs;
    ``yoke_top``: z of the top of the upper plate; ``half_length``: half the iron length
    along x; ``air``: extent of the air box from the centre in x, y and z;
    ``turns``: turns per coil; ``strand_radius``: the regularisation radius of each
    filament of the coil model.
    """

    half_gap: float = 0.025
    pole_half_width: float = 0.05
    pole_top: float = 0.085
    leg_inner: float = 0.11
    leg_outer: float = 0.16
    yoke_top: float = 0.135
    half_length: float = 0.10
    air: tuple = (0.42, 0.38, 0.38)
    turns: int = 100
    strand_radius: float = 0.006

    def iron(self, c) -> np.ndarray:
        """Mask of the points ``c`` (P, 3; m) inside the iron (pole, plate or leg)."""
        x, y, z = np.abs(c[:, 0]), np.abs(c[:, 1]), np.abs(c[:, 2])
        inx = x < self.half_length
        pole = (y < self.pole_half_width) & (z > self.half_gap) & (z < self.pole_top)
        plate = (y < self.leg_outer) & (z > self.pole_top) & (z < self.yoke_top)
        leg = (y > self.leg_inner) & (y < self.leg_outer) & (z < self.yoke_top)
        return inx & (pole | plate | leg)

    def gap_region(self, c) -> np.ndarray:
        """Mask of points in the central gap region where the gap field is averaged:
        |x| < half_length / 2, |y| < pole_half_width / 2, |z| < half_gap."""
        return ((np.abs(c[:, 0]) < 0.5 * self.half_length)
                & (np.abs(c[:, 1]) < 0.5 * self.pole_half_width)
                & (np.abs(c[:, 2]) < self.half_gap))

    def coil_window(self):
        """(y_min, y_max, z_min, z_max) of the upper coil's conductor bundle in m."""
        dy = self.leg_inner - self.pole_half_width
        dz = self.pole_top - self.half_gap
        return (self.pole_half_width + 0.15 * dy, self.leg_inner - 0.15 * dy,
                self.half_gap + 0.15 * dz, self.pole_top - 0.15 * dz)


def build_mesh(geom: DipoleGeometry = DipoleGeometry(), h: float = 0.0125) -> meshes.Mesh:
    """Octant mesh of the magnet and its air box with cell size about ``h`` (m) in
    the iron and the gap, coarser outside; regions AIR (0) and IRON (1)."""
    if not (np.isfinite(h) and h > 0):
        raise ValueError("the mesh size h must be a positive number (m)")
    g = geom
    ax, ay, az = g.air
    x_end = g.half_length + (g.leg_inner - g.pole_half_width)  # end windings
    xs = meshes.axis_with_breaks([0.0, g.half_length, x_end + 0.02, ax], [h, 2 * h, 4 * h])
    ys = meshes.axis_with_breaks([0.0, g.pole_half_width, g.leg_inner, g.leg_outer, ay],
                                 [h, 1.5 * h, h, 4 * h])
    zs = meshes.axis_with_breaks([0.0, g.half_gap, g.pole_top, g.yoke_top, az],
                                 [0.7 * h, h, h, 4 * h])
    return meshes.box_mesh(xs, ys, zs, regions=[(IRON, g.iron)], default_region=AIR)


def build_coils(geom: DipoleGeometry = DipoleGeometry(), current: float = 1.0,
                layers: int = 3) -> list:
    """Both coils as windings of ``layers`` x ``layers`` racetrack filaments each.

    ``current`` is the current per turn (A); the filaments of a coil share its
    ``turns`` ampere-turns (:func:`fluxkern_tools.coils.winding`). The upper coil's
    cross-section fills :meth:`DipoleGeometry.coil_window`; the lower one is its
    mirror image with the same sense of circulation.
    """
    y0, y1, z0, z1 = geom.coil_window()
    k = int(layers)
    if k < 1:
        raise ValueError("layers must be >= 1")
    path = windings.racetrack_path(2 * geom.half_length, 0.5 * (y0 + y1),
                                   segments_per_arc=16, segments_per_straight=6)
    return [coils.winding(path, current=current, turns=geom.turns, width=y1 - y0,
                          height=z1 - z0, grid=(k, k), origin=(0.0, 0.0, zc),
                          strand_radius=geom.strand_radius)
            for zc in (0.5 * (z0 + z1), -0.5 * (z0 + z1))]


@dataclass
class OperatingPoint:
    """The solution at one coil current.

    ``current``: A per turn; ``ampere_turns``: per coil; ``B_gap``: mean B_z over the
    central gap region (T); ``B_coil_only``: the same mean of the coils' field alone,
    without iron (T); ``B_ideal``: mu0 * 2 N I / gap, the gap field with infinitely
    permeable iron (T); ``B_iron_max``: the largest |B| at an iron element centroid (T);
    ``solution``: the :class:`~fluxkern_tools.solvers.VectorPotentialSolution`;
    ``harmonics``: the :class:`~fluxkern_tools.multipoles.Multipoles` of the field on
    the mid-plane x = 0 (:meth:`DipoleModel.harmonics`).
    """

    current: float
    ampere_turns: float
    B_gap: float
    B_coil_only: float
    B_ideal: float
    B_iron_max: float
    solution: object = field(repr=False)
    harmonics: object = field(default=None, repr=False)


class DipoleModel:
    """The dipole problem set up once (mesh, coils, source field) and solved per current.

    ``steel``: a name of :mod:`fluxkern_tools.bh_curves`; ``h``: the mesh size (m);
    ``backend``: ``"serial"`` (this process) or ``"petsc"`` (every MPI process builds
    the model and takes part in each solve, which returns the solution everywhere).
    """

    def __init__(self, geom: DipoleGeometry = DipoleGeometry(), h: float = 0.0125,
                 steel: str = "M270-35A", backend: str = "serial"):
        self.geom, self.h, self.steel_name = geom, h, steel
        self.mesh = build_mesh(geom, h)
        self.coils = build_coils(geom, 1.0)           # 1 A per turn; solves scale it
        self.steel = materials.steel(steel)
        rel = {AIR: materials.vacuum(), IRON: self.steel}
        eps = 1e-9 * max(geom.air)
        # A x n = 0 everywhere but on the gap's mid-plane z = 0.
        self.problem = ReducedVectorPotential(self.mesh, rel, self.coils,
                                              dirichlet=lambda c: c[:, 2] > eps)
        if backend not in BACKENDS:
            raise ValueError(f"backend must be one of {BACKENDS}")
        self.backend = backend
        cen = self.mesh.centroids()
        self.gap_elements = np.flatnonzero(geom.gap_region(cen))
        self.iron_elements = np.flatnonzero(self.mesh.regions == IRON)
        vol = self.mesh.volumes()
        self._gap_weights = vol[self.gap_elements] / vol[self.gap_elements].sum()
        Bs = source_field(self.coils, cen[self.gap_elements])
        self._coil_gap_per_amp = float(Bs[:, 2] @ self._gap_weights)

    def solve(self, current: float, x0=None, log=None, rtol: float = 1e-8) -> OperatingPoint:
        """Solve at ``current`` A per turn (Newton from ``x0``, Wb per edge, or 0)."""
        g = self.geom
        sol = solve(self.problem, backend=self.backend, gather="all", source_scale=current,
                    x0=x0, rtol=rtol, log=log)
        _, Bg = sol.B(None, self.gap_elements)
        _, Bi = sol.B(None, self.iron_elements)
        return OperatingPoint(
            current=float(current), ampere_turns=g.turns * float(current),
            B_gap=float(Bg[:, 2] @ self._gap_weights),
            B_coil_only=self._coil_gap_per_amp * current,
            B_ideal=materials.MU0 * 2 * g.turns * current / (2 * g.half_gap),
            B_iron_max=float(np.linalg.norm(Bi, axis=1).max()), solution=sol,
            harmonics=self.harmonics(sol))

    @property
    def r_ref(self) -> float:
        """Reference radius of the harmonics in m: two thirds of the half-gap."""
        return 2.0 * self.geom.half_gap / 3.0

    def field_at(self, solution, points) -> np.ndarray:
        """Total B in T at ``points`` (P, 3; m) anywhere in the magnet's air box: the
        recovered field of the octant, mirrored (:func:`mirror_signs`)."""
        p = np.asarray(points, dtype=np.float64).reshape(-1, 3)
        s = np.where(p < 0, -1.0, 1.0)
        B = solution.B_at(np.abs(p), smooth=True, outside="raise")
        return B * mirror_signs(s[:, 0], s[:, 1], s[:, 2])

    def harmonics(self, solution, n: int = 15):
        """Field harmonics on the mid-plane x = 0 at :attr:`r_ref` around the x axis
        (local x, y = global y, z, so B_1 is the gap field B_z) up to order ``n``:
        a :class:`~fluxkern_tools.multipoles.Multipoles`."""
        from ..multipoles import harmonics

        return harmonics(lambda p: self.field_at(solution, p), self.r_ref, n,
                         axis=(1.0, 0.0, 0.0))

    def sweep(self, currents, log=None, on_point=None):
        """Solve at each current in turn, each Newton started from the previous
        solution scaled by the current ratio. ``on_point`` is called with every
        :class:`OperatingPoint` as it is found. Returns the list of points."""
        out, x, prev = [], None, None
        for I in currents:
            x0 = None if x is None or prev == 0 else x * (I / prev)
            op = self.solve(I, x0=x0, log=log)
            out.append(op)
            if on_point:
                on_point(op)
            x, prev = op.solution.x, I
        return out
