"""A permanent magnet in a steel C-core: the field in the air gap and the pull on the pole piece.

An NdFeB block (Br 1.2 T, recoil mu_r 1.05, magnetised along x) sits in the base of a
U-shaped M270-35A core; a steel pole piece closes the core across a 2.5 mm air gap.
Solves the reduced vector potential (no coil: the magnet is the only source), prints
the mean gap field and the force on the pole piece, and draws |B| in the mid-plane.

    python examples/permanent_magnet.py [output directory, default fluxkern_out/]
"""

import os
import sys

import numpy as np

from fluxkern_tools import materials, meshes, solvers

mm = 1e-3
AIR, STEEL, MAGNET, POLE = 0, 1, 2, 3


def box(lo, hi):
    lo, hi = np.asarray(lo) * mm, np.asarray(hi) * mm
    return lambda c: np.all((c > lo) & (c < hi), axis=1)


# Core: base z 0-10 mm with the magnet in its middle, legs x = +/-(10..20) mm up to
# z = 30 mm, gap 30-32.5 mm, pole piece 32.5-40 mm; 20 mm deep (y).
h = 2.5
xs = meshes.axis_with_breaks(np.array([-60, -20, 20, 60]) * mm, np.array([8, h, 8]) * mm)
ys = meshes.axis_with_breaks(np.array([-50, -10, 10, 50]) * mm, np.array([10, h, 10]) * mm)
zs = meshes.axis_with_breaks(np.array([-40, 0, 42.5, 80]) * mm, np.array([10, h, 10]) * mm)
mesh = meshes.box_mesh(xs, ys, zs, regions=[
    (STEEL, box([-20, -10, 0], [20, 10, 10])),
    (STEEL, box([-20, -10, 10], [-10, 10, 30])),
    (STEEL, box([10, -10, 10], [20, 10, 30])),
    (MAGNET, box([-5, -10, 0], [5, 10, 10])),
    (POLE, box([-20, -10, 32.5], [20, 10, 40])),
])
steel = materials.steel("M270-35A")
mats = {AIR: materials.vacuum(), STEEL: steel, POLE: steel,
        MAGNET: materials.permanent_magnet(1.2, [1, 0, 0], mu_r=1.05)}

sol = solvers.solve_reduced_vector_potential(mesh, mats, None)
print(f"{mesh.num_el} elements, Newton converged: {sol.report.converged} "
      f"in {len(sol.report.steps) - 1} steps")

# Mean gap field under each leg (points in the middle of the gap).
g = np.linspace(-8, 8, 5) * mm
for name, x0 in (("left", -15 * mm), ("right", 15 * mm)):
    X, Y = np.meshgrid(x0 + g * 5 / 8, g)
    pts = np.column_stack([X.ravel(), Y.ravel(), np.full(X.size, 31.25 * mm)])
    print(f"gap field under the {name} leg: Bz = {np.mean(sol.B_at(pts)[:, 2]):+.3f} T")
F = sol.force(POLE).force
print(f"force on the pole piece: Fz = {F[2]:.2f} N  (|F| = {np.linalg.norm(F):.2f} N)")

out = sys.argv[1] if len(sys.argv) > 1 else "fluxkern_out"
os.makedirs(out, exist_ok=True)
import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt

X, Z = np.meshgrid(np.linspace(-40, 40, 161) * mm, np.linspace(-15, 55, 141) * mm)
B = sol.B_at(np.column_stack([X.ravel(), np.zeros(X.size), Z.ravel()]))
fig, ax = plt.subplots(figsize=(6, 5))
im = ax.pcolormesh(X / mm, Z / mm, np.linalg.norm(B, axis=1).reshape(X.shape), shading="auto")
fig.colorbar(im, label="|B| (T)")
ax.set(xlabel="x (mm)", ylabel="z (mm)", title="Magnet in a C-core: |B| at y = 0", aspect="equal")
path = os.path.join(out, "permanent_magnet.png")
fig.savefig(path, dpi=100)
print(f"wrote {path}")
