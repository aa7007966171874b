"""fluxkern_tools: the Python side of fluxkern.

Layers, each importing only those listed before it:

* :mod:`.fem`: quadrature, reference elements, spaces, discrete operators and the one
  wrapper of the compiled ``fluxkern_mod`` kernels;
* :mod:`.meshes`: topology, generators, files, point location;
* inputs: :mod:`.bh_curves`, :mod:`.materials`, :mod:`.windings`, :mod:`.coils`,
  :mod:`.circuits` (free-space coil quantities);
* :mod:`.solvers`: Newton drivers of both formulations over the linear-solver backends
  (and :mod:`.solvers.distributed` for MPI), and :mod:`.post`: fields at points and
  engineering results;
* :mod:`.apps`: the command line, the demo dipole, TEAM problem 20.

All quantities are SI (m, A, T, A/m, H/m).
"""

import sys as _sys

from . import bh_curves, circuits, coils, fem, materials, meshes, post, solvers, windings
from .fem import elements, nedelec2, quadrature
from .fem import spaces as hcurl
from .meshes import locate
from .post import fields, results

# The modules' former flat paths (fluxkern_tools.quadrature, .hcurl, .fields, ...)
# stay importable.
for _old, _mod in {"quadrature": quadrature, "elements": elements, "nedelec2": nedelec2,
                   "hcurl": hcurl, "locate": locate, "fields": fields,
                   "results": results}.items():
    _sys.modules.setdefault(f"{__name__}.{_old}", _mod)

__all__ = ["fem", "meshes", "bh_curves", "materials", "windings", "coils", "circuits",
           "solvers", "post"]
