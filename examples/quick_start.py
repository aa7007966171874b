"""Quick start: a steel cube (8 cm) above a round coil, nonlinear reduced vector potential.

Shows the README's quick start as a script: a box mesh with a steel region, a coil made
from a winding cross-section, the Newton solve, the field at points, the force on the
cube and the coil's inductance. Writes ``quick_start.png`` (|B| on the plane y = 0) into
the folder given as the first argument (default ``fluxkern_out/``).

    python examples/quick_start.py [out_dir]
"""

import pathlib
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from fluxkern_tools import coils, materials, meshes, solvers, windings  # noqa: E402

out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "fluxkern_out")
out.mkdir(parents=True, exist_ok=True)

# A steel cube (8 cm) 6 cm above the coil's plane, in a 40 cm air box (m).
mesh = meshes.box((-0.2, -0.2, -0.2), (0.2, 0.2, 0.2), (15, 15, 15),
                  regions=[(1, lambda c: np.all(np.abs(c - [0, 0, 0.06]) < 0.04, axis=1))])
# 200 turns at 5 A, mean radius 10 cm, cross-section 2 x 3 cm filled with 3 x 3 filaments.
coil = coils.winding(windings.circle_path(0.1), current=5.0, turns=200,
                     width=0.02, height=0.03, grid=(3, 3))
solution = solvers.solve_reduced_vector_potential(
    mesh, {0: materials.vacuum(), 1: materials.steel("M270-35A")}, coil)

points = [[0.0, 0.0, 0.0], [0.0, 0.0, 0.06], [0.15, 0.0, 0.0]]
print("B_z with the cube [T]:", np.round(solution.B_at(points)[:, 2], 4))
print("B_z coil alone    [T]:", np.round(coil.field(points)[:, 2], 4))
print(f"force on the cube F_z = {solution.force(1).force[2]:.3f} N")
print(f"inductance (apparent) = {solution.inductance().apparent:.4f} H")

# |B| on the plane y = 0 (smooth: the nodally averaged field).
x, z = np.meshgrid(np.linspace(-0.19, 0.19, 80), np.linspace(-0.19, 0.19, 80))
grid = np.column_stack([x.ravel(), np.zeros(x.size), z.ravel()])
B = np.linalg.norm(solution.B_at(grid, smooth=True), axis=1).reshape(x.shape)
fig, ax = plt.subplots(figsize=(5, 4.2))
pcm = ax.pcolormesh(x * 100, z * 100, B * 1e3, shading="auto")
ax.add_patch(plt.Rectangle((-4, 2), 8, 8, fill=False, color="w"))
fig.colorbar(pcm, label="|B| [mT]")
ax.set(xlabel="x [cm]", ylabel="z [cm]", title="steel cube above a coil, y = 0",
       aspect="equal")
fig.savefig(out / "quick_start.png", dpi=100, bbox_inches="tight")
print("wrote", out / "quick_start.png")
