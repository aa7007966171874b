"""Newton's third law in TEAM problem 20: the force on the coil (Lorentz force in the
mirrored reaction field) against the force on all the steel (eggshell), at 5 A.

    python benchmarks/team20_coil_force.py [pole_mm steel_mm]
"""

import sys

from fluxkern_tools.apps import team20

MM = 1e-3


def main():
    pole, steel = (float(v) for v in (sys.argv[1:3] if len(sys.argv) > 2 else (2.0, 4.0)))
    model = team20.Team20(h_pole=pole * MM, h_steel=steel * MM)
    sol = model.solve(5.0)
    Fs = model.steel_force(sol)[2]
    Fc = model.coil_force(sol).force[2]
    print(f"TEAM 20 at 5 A, pole {pole:g} mm, yoke {steel:g} mm: {model.mesh.num_el} "
          f"tetrahedra, {sol.report.iterations} Newton steps")
    print(f"z-force on the steel {Fs:.2f} N (pole {model.pole_force(sol):.2f} N down), on "
          f"the coil {Fc:.2f} N; sum {Fs + Fc:.3f} N = {abs(Fs + Fc) / abs(Fs):.2%} of the "
          f"steel's")


if __name__ == "__main__":
    main()
