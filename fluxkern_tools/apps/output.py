"""Pictures and VTU files of the demo dipole (:mod:`fluxkern_tools.apps.dipole`).

The model is one octant; the outputs show the whole magnet, mirrored with the
field's symmetry: under x -> -x, y -> -y and z -> -z the flux density becomes
(-Bx, By, Bz), (Bx, -By, Bz) and (-Bx, -By, Bz) respectively.
"""

from __future__ import annotations

import pathlib

import numpy as np

from ..materials import MU0
from .dipole import IRON, DipoleModel, OperatingPoint, mirror_signs

__all__ = ["mirror_signs", "midplane_slice", "write_png", "write_vtu"]

_OCTANTS = [(sx, sy, sz) for sx in (1, -1) for sy in (1, -1) for sz in (1, -1)]


def midplane_slice(model: DipoleModel, op: OperatingPoint):
    """The total field on the transverse mid-plane x = 0, where the octant mesh has
    boundary faces.

    Returns ``(tri, B)``: ``tri`` (F, 3, 2) the (y, z) corners of the faces in m, over
    all four quadrants, and ``B`` (F, 3) the flux density in T at their centroids
    (the reaction field of the element behind each face plus the coils' field there).
    """
    m = model.mesh
    eps = 1e-9 * max(model.geom.air)
    on = np.abs(m.nodes[:, 0]) < eps
    cnt = on[m.cells].sum(axis=1)
    el = np.flatnonzero(cnt == 3)                   # one face of each lies on x = 0
    faces = m.cells[el][on[m.cells[el]]].reshape(-1, 3)
    pts = m.nodes[faces]                             # (F, 3, 3)
    cen = pts.mean(axis=1)
    _, Br = op.solution.reaction_B(None, el)
    B = Br + op.solution.source_B(cen)
    tris, Bs = [], []
    for sy in (1, -1):
        for sz in (1, -1):
            tris.append(np.stack([sy * pts[:, :, 1], sz * pts[:, :, 2]], axis=-1))
            Bs.append(B * mirror_signs(1, sy, sz))
    return np.concatenate(tris), np.concatenate(Bs)


def _outline(ax, g):
    """Iron outline and coil windows of the cross-section x = 0 (drawn in mm)."""
    from matplotlib.patches import Rectangle

    k = 1e3
    boxes = []
    for sz in (1, -1):
        z0, z1 = g.half_gap, g.pole_top
        boxes.append((-g.pole_half_width, sz * z0, 2 * g.pole_half_width, sz * (z1 - z0)))
        boxes.append((-g.leg_outer, sz * g.pole_top, 2 * g.leg_outer,
                      sz * (g.yoke_top - g.pole_top)))
    for sy in (1, -1):
        boxes.append((sy * g.leg_inner, -g.pole_top, sy * (g.leg_outer - g.leg_inner),
                      2 * g.pole_top))
    for (y, z, w, h) in boxes:
        ax.add_patch(Rectangle((k * y, k * z), k * w, k * h, fill=False, lw=0.6,
                               ec="white", alpha=0.8))
    y0, y1, z0, z1 = g.coil_window()
    for sy in (1, -1):
        for sz in (1, -1):
            ax.add_patch(Rectangle((k * sy * y0, k * sz * z0), k * sy * (y1 - y0),
                                   k * sz * (z1 - z0), fill=False, lw=0.8, ls="--",
                                   ec="orange"))


def write_png(path, model: DipoleModel, points) -> pathlib.Path:
    """Two panels: the gap field against the current (finite elements, the ideal-iron
    line mu0 2 N I / gap and the coils alone) and |B| on the mid-plane x = 0 at the
    highest current. Written with matplotlib's Agg canvas; returns the path."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    path = pathlib.Path(path)
    g = model.geom
    I = np.array([p.current for p in points])
    fig = Figure(figsize=(12.5, 5.2), dpi=110)
    FigureCanvasAgg(fig)
    ax1, ax2 = fig.subplots(1, 2, gridspec_kw={"width_ratios": [1.0, 1.25]})
    Il = np.linspace(0.0, I.max() * 1.05, 50)
    ax1.plot(Il, MU0 * 2 * g.turns * Il / (2 * g.half_gap), "k--", lw=1,
             label=r"ideal iron ($\mu_r\to\infty$): $\mu_0\,2NI/g$")
    per_amp = points[0].B_coil_only / points[0].current if points[0].current else 0.0
    ax1.plot(Il, per_amp * Il, ":", color="tab:gray", lw=1.2, label="coils alone (no iron)")
    ax1.plot(I, [p.B_gap for p in points], "o-", color="tab:blue",
             label=f"finite elements, {model.steel_name} yoke")
    ax1.set_xlabel(f"current per turn I [A]   (N = {g.turns} turns per coil)")
    ax1.set_ylabel(r"gap field $B_z$ [T] (mean over the central gap)")
    ax1.set_xlim(0, Il[-1])
    ax1.set_ylim(0, max(p.B_gap for p in points) * 1.6)
    ax1.grid(alpha=0.3)
    ax1.legend(loc="upper left", fontsize=8.5)
    ax1.set_title("Gap field against current: the yoke saturates")

    top = points[int(np.argmax(I))]
    tri, B = midplane_slice(model, top)
    from matplotlib.collections import PolyCollection

    k = 1e3
    absB = np.linalg.norm(B, axis=1)
    pc = PolyCollection(k * tri, array=absB, cmap="viridis", edgecolors="face",
                        linewidths=0.2)
    pc.set_clim(0.0, float(absB.max()))
    ax2.add_collection(pc)
    _outline(ax2, g)
    # The magnet and its near field; the air box reaches further out.
    ax2.set_xlim(-k * min(g.air[1], 1.5 * g.leg_outer), k * min(g.air[1], 1.5 * g.leg_outer))
    ax2.set_ylim(-k * min(g.air[2], 1.5 * g.yoke_top), k * min(g.air[2], 1.5 * g.yoke_top))
    ax2.set_aspect("equal")
    ax2.set_xlabel("y [mm]")
    ax2.set_ylabel("z [mm]")
    ax2.set_title(f"|B| on the mid-plane x = 0 at I = {top.current:g} A")
    fig.colorbar(pc, ax=ax2, label="|B| [T]", shrink=0.9)
    fig.tight_layout()
    fig.savefig(path)
    return path


def write_vtu(path, model: DipoleModel, points) -> pathlib.Path:
    """The whole magnet (the octant mirrored eight times) as a VTU file with cell data
    at the element centroids, in single precision: ``B`` [T] and ``B_norm`` [T] at the
    highest current, ``mu_r`` there, ``region`` (0 air, 1 iron) and ``B_<I>A`` [T] for
    every current. Returns the path."""
    import meshio

    path = pathlib.Path(path)
    m = model.mesh
    per_point = []
    for p in points:
        _, B = p.solution.B()                        # at the element centroids
        per_point.append((p, B))
    top_p, top_B = max(per_point, key=lambda t: t[0].current)
    iron = m.regions == IRON
    nu = np.asarray(model.problem.materials[IRON].evaluate_nu(
        np.linalg.norm(top_B[iron], axis=1)), dtype=np.float64)
    mu_r = np.ones(m.num_el)
    mu_r[iron] = 1.0 / (MU0 * nu)
    nodes, cells = [], []
    data = {"B": [], "B_norm": [], "mu_r": [], "region": []}
    data.update({f"B_{p.current:g}A": [] for p, _ in per_point})
    for s in _OCTANTS:
        sv = np.asarray(s, dtype=np.float64)
        c = m.cells + sum(len(n) for n in nodes)
        if np.prod(s) < 0:
            c = c[:, [0, 1, 3, 2]]                   # a reflection turns the element over
        nodes.append(m.nodes * sv)
        cells.append(c)
        f = mirror_signs(*s)
        data["B"].append(top_B * f)
        data["B_norm"].append(np.linalg.norm(top_B, axis=1))
        data["mu_r"].append(mu_r)
        data["region"].append(m.regions.astype(np.int32))
        for p, B in per_point:
            data[f"B_{p.current:g}A"].append(B * f)
    X = np.vstack(nodes)
    # Merge the copies of the nodes on the mirror planes.
    _, first, inv = np.unique(np.round(X / max(model.geom.air), 10), axis=0,
                              return_index=True, return_inverse=True)
    C = inv.reshape(-1)[np.vstack(cells)]
    # Single precision is plenty for viewing and halves the file.
    cd = {k: [np.concatenate(v).astype(np.float32 if k != "region" else np.int32)]
          for k, v in data.items()}
    meshio.Mesh(X[first], [("tetra", C)], cell_data=cd).write(str(path), file_format="vtu")
    return path
