"""Peak memory and time of one whole assembly, kernels called per region at once or in
chunks of fem.kernels.CHUNK elements (the default of both assembly paths).

Each variant runs in a fresh process (peak resident memory is per process), alternately,
``--repeat`` times; prints the minimum time, the peak memory above the problem's own
set-up and the ratio chunked / whole.

    python benchmarks/bench_chunks.py [--n 40] [--repeat 2]
"""

import argparse
import json
import subprocess
import sys

CHILD = r"""
import json, resource, sys, time
import numpy as np
from fluxkern_tools import materials, meshes, solvers
from fluxkern_tools.fem import kernels
n, whole = int(sys.argv[1]), sys.argv[2] == "whole"
if whole:
    kernels.CHUNK = 10**9
mesh = meshes.box((-1,) * 3, (1,) * 3, (n, n, n),
                  regions=[(1, lambda c: np.all(np.abs(c) < 0.3, axis=1))])
pb = solvers.ReducedVectorPotential(mesh, {0: materials.vacuum(), 1: materials.steel()},
                                    [0.0, 0.0, 1.0])
x = np.zeros(pb.num_dofs)
pb._source_parts()
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
t0 = time.perf_counter()
pb.matrices(x)
t = time.perf_counter() - t0
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"edges": int(pb.num_dofs), "elements": int(mesh.num_el), "time": t,
                  "extra_MiB": (peak - base) / 1024, "peak_MiB": peak / 1024}))
"""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=40)
    ap.add_argument("--repeat", type=int, default=2)
    a = ap.parse_args()
    res = {"whole": [], "chunked": []}
    for _ in range(a.repeat):
        for kind in res:
            out = subprocess.run([sys.executable, "-c", CHILD, str(a.n), kind],
                                 capture_output=True, text=True, check=True)
            res[kind].append(json.loads(out.stdout))
    for kind, runs in res.items():
        r = min(runs, key=lambda d: d["time"])
        print(f"{kind:8s} {r['edges']} edges, {r['elements']} elements: assembly "
              f"{r['time']:.2f} s, peak +{max(d['extra_MiB'] for d in runs):.0f} MiB "
              f"(process peak {max(d['peak_MiB'] for d in runs):.0f} MiB)")
    w = min(d["time"] for d in res["whole"])
    c = min(d["time"] for d in res["chunked"])
    mw = max(d["peak_MiB"] for d in res["whole"])
    mc = max(d["peak_MiB"] for d in res["chunked"])
    print(f"chunked / whole: time {c / w:.2f}, process peak {mc / mw:.2f}")


if __name__ == "__main__":
    main()
