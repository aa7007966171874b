"""TEAM problem 20 (steel C-yoke, centre pole, 1000-turn coil) on a coarse mesh.

Shows the validation against measured data with ``fluxkern_tools.apps.team20``: the
quarter model is meshed with gmsh (pole 4 mm, steel 8 mm, air 40 mm: coarse, so the
forces are a few per cent off; ``python -m fluxkern_tools validate team20`` uses the
default 1.5 mm mesh), solved with the nonlinear reduced vector potential at the four
measured currents, and the force on the pole is printed against the measurement.
Writes ``team20.png`` (force against current) into the folder given as the first
argument (default ``fluxkern_out/``).

    python examples/team20.py [out_dir]
"""

import pathlib
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from fluxkern_tools.apps import team20  # noqa: E402

out = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "fluxkern_out")
out.mkdir(parents=True, exist_ok=True)

MM = team20.MM
model, points = team20.validate(h_pole=4 * MM, h_steel=8 * MM, h_air=40 * MM)
print(f"{'I [A]':>6} {'measured [N]':>13} {'computed [N]':>13} {'error':>7}")
for p in points:
    print(f"{p.current:6.2f} {p.measured:13.1f} {p.computed:13.2f} {p.rel_error:+7.1%}")

fig, ax = plt.subplots(figsize=(5, 3.6))
current = [p.current for p in points]
ax.plot(current, [p.measured for p in points], "ko", label="measured")
ax.plot(current, [p.computed for p in points], "s-", label="computed (coarse mesh)")
ax.set(xlabel="coil current [A]", ylabel="force on the pole [N]", title="TEAM problem 20")
ax.legend()
ax.grid(alpha=0.3)
fig.savefig(out / "team20.png", dpi=100, bbox_inches="tight")
print("wrote", out / "team20.png")
