"""Helpers shared by the two formulations: material tables and boundary selection."""

from __future__ import annotations

import numpy as np

from ..meshes import Mesh

__all__ = ["material_table", "dirichlet_part", "dof_vector", "curve_fault"]


def material_table(mesh: Mesh, materials, kind: str) -> dict:
    """``{region: curve object}`` for every region that has elements.

    ``materials`` maps region ids (or physical names) to module-facing curve objects or to
    :class:`~fluxkern_tools.materials.Material` objects, whose ``permeability()`` or
    ``reluctance()`` (``kind``) is taken. A region without an entry raises ValueError.
    """
    if not isinstance(materials, dict):
        raise TypeError("materials must be a dict {region id or name: material}")
    materials = {(mesh.region_id(k) if isinstance(k, str) else k): v
                 for k, v in materials.items()}
    present = np.unique(mesh.regions).tolist()
    missing = [r for r in present if r not in materials]
    if missing:
        raise ValueError(f"no material given for region(s) {missing}; the mesh has "
                         f"regions {present}")
    table = {}
    for r in present:
        m = materials[r]
        if hasattr(m, kind) and callable(getattr(m, kind)):
            m = getattr(m, kind)()
        if not hasattr(m, "get_type_spec"):
            raise TypeError(f"the material of region {r} is not a {kind} object")
        table[r] = m
    return table


def dirichlet_part(mesh: Mesh, faces) -> tuple:
    """Nodes and edges of the boundary part selected by ``faces``.

    ``faces`` is None (the whole boundary), a predicate on boundary-face centroids
    (F, 3) in m returning a boolean mask, or the name of a physical surface of the mesh
    (or a list of names) (see :meth:`Mesh.boundary_part`).
    """
    if faces is None:
        return mesh.boundary_nodes, mesh.boundary_edges
    named = isinstance(faces, str) or (isinstance(faces, (list, tuple)) and faces
                                       and all(isinstance(f, str) for f in faces))
    if not (callable(faces) or named):
        raise TypeError("the Dirichlet part must be None, a predicate on face centroids "
                        "or surface name(s)")
    return mesh.boundary_part(faces)


def dof_vector(x, n: int) -> np.ndarray:
    """``x`` as a contiguous float64 vector of the ``n`` degrees of freedom, or ValueError."""
    x = np.ascontiguousarray(x, dtype=np.float64)
    if x.shape != (n,):
        raise ValueError(f"x must have {n} entries, got shape {x.shape}")
    return x


# What each kind of curve object is checked by: its value, the derivative of B(H) (or
# H(B)) built from it, and the names and unit of the field it is evaluated at.
_CURVES = {
    "permeability": ("evaluate_mu", "evaluate_dmu_dH", "mu or dB/dH", "|H|", "A/m"),
    "reluctance": ("evaluate_nu", "evaluate_dnu_dB", "nu or dH/dB", "|B|", "T"),
}


def curve_fault(region, curve, magnitude, kind: str) -> str | None:
    """A message when the material ``curve`` (a ``kind`` object: "permeability" or
    "reluctance") of ``region`` is not finite and positive, or its B(H) is not
    increasing, at the field magnitudes ``magnitude`` (outside its fitted range);
    None when it is sound there."""
    value, slope, what, field, unit = _CURVES[kind]
    m = np.asarray(magnitude, dtype=np.float64)
    if len(m) == 0:
        return None
    with np.errstate(all="ignore"):
        v = np.asarray(getattr(curve, value)(m), dtype=np.float64)
        d = v + m * np.asarray(getattr(curve, slope)(m), dtype=np.float64)
    bad = ~(np.isfinite(v) & (v > 0) & np.isfinite(d) & (d > 0))
    if not np.any(bad):
        return None
    return (f"the {kind} curve of region {region} left its fitted range: {what} is not "
            f"positive at {field} up to {m[bad].max():.3g} {unit} ({int(bad.sum())} "
            "quadrature point(s)); extend the B-H data or lower the excitation")
