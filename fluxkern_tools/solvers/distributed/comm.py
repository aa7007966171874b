"""MPI plumbing of the distributed backend: loading mpi4py and petsc4py, and errors.

A collective call that fails on one process must not leave the others waiting in the
next collective call forever. Two rules keep every process in step:

* work that may fail on some processes only (a kernel call, a user callable) runs in
  :func:`collective`: afterwards all processes learn whether any failed, and every one
  raises (the failing ones their own exception, the others :class:`RankError` naming
  the failed rank);
* anything else that escapes to the top of a program run under ``mpiexec`` ends the
  whole job: :func:`abort_on_error` installs an exception hook that prints the
  traceback with the rank and calls ``MPI_Abort``.
"""

from __future__ import annotations

import os
import sys
import time
import traceback
from contextlib import contextmanager

__all__ = ["MPI_INSTALL_HINT", "available", "mpi", "petsc", "world", "RankError",
           "collective", "root_scatter", "root_bcast", "idle_barrier", "abort_on_error"]

MPI_INSTALL_HINT = ("the petsc backend needs mpi4py and petsc4py built against Debian's "
                    "PETSc 3.18: run `make mpi-env` (see the README, 'Running on many "
                    "cores and machines')")


def available() -> bool:
    """True when mpi4py and petsc4py can be imported."""
    import importlib.util

    return all(importlib.util.find_spec(m) is not None for m in ("mpi4py", "petsc4py"))


def mpi():
    """The ``mpi4py.MPI`` module (ImportError with the install hint when absent)."""
    try:
        from mpi4py import MPI
    except ImportError as exc:
        raise ImportError(MPI_INSTALL_HINT) from exc
    return MPI


def petsc():
    """The ``petsc4py.PETSc`` module, initialised without reading our command line
    (PETSc options come from the ``PETSC_OPTIONS`` environment variable)."""
    mpi()
    if "petsc4py.PETSc" not in sys.modules:
        try:
            import petsc4py
        except ImportError as exc:
            raise ImportError(MPI_INSTALL_HINT) from exc
        petsc4py.init([sys.argv[0] if sys.argv and sys.argv[0] else "python"])
    from petsc4py import PETSc
    return PETSc


def world():
    """``MPI.COMM_WORLD``."""
    return mpi().COMM_WORLD


class RankError(RuntimeError):
    """Raised on every process when another process failed in a collective section."""


@contextmanager
def collective(comm, what: str):
    """Run the block on every process of ``comm``; if it raised anywhere, raise
    everywhere (the exception itself where it happened, :class:`RankError` elsewhere).

    Costs one small allgather; use it around work that can fail on some processes only.
    """
    err = None
    try:
        yield
    except Exception as exc:               # re-raised below, after the others know
        err = exc
    msg = None if err is None else f"{type(err).__name__}: {err}"
    failed = [(r, m) for r, m in enumerate(comm.allgather(msg)) if m is not None]
    if err is not None:
        raise err
    if failed:
        r, m = failed[0]
        raise RankError(f"rank {r} failed during {what}: {m}")


def idle_barrier(comm, poll: float = 0.002) -> None:
    """A barrier that waits asleep, polled every ``poll`` s.

    MPI waits by spinning; while the root alone works (building the mesh, partitioning)
    the spinning processes take cores from it when there are no spare ones (more
    processes than cores, or a machine shared with other work).
    """
    req = comm.Ibarrier()
    while not req.Test():
        time.sleep(poll)


def _on_root(comm, make, root):
    value, msg, err = None, None, None
    if comm.rank == root:
        try:
            value = make()
        except Exception as exc:           # re-raised below, after the others know
            err, msg = exc, f"{type(exc).__name__}: {exc}"
    idle_barrier(comm)
    msg = comm.bcast(msg, root=root)
    if msg is not None:
        if comm.rank == root:
            raise err
        raise RankError(f"rank {root} failed while sharing out the problem: {msg}")
    return value


def root_scatter(comm, make, root: int = 0):
    """Each process's item of ``make()`` run on ``root`` (a list, one item per process).

    An exception in ``make`` is raised on every process (on the others as
    :class:`RankError` with its message).
    """
    def checked():
        items = make()
        if len(items) != comm.size:
            raise ValueError(f"{len(items)} pieces for {comm.size} processes")
        return items

    return comm.scatter(_on_root(comm, checked, root), root=root)


def root_bcast(comm, make, root: int = 0):
    """``make()`` run on ``root``, its result sent to every process; an exception is
    raised everywhere, as in :func:`root_scatter`."""
    return comm.bcast(_on_root(comm, make, root), root=root)


def abort_on_error(comm=None) -> None:
    """Make an uncaught exception on any process print its traceback (with the rank)
    and end every process of the job with ``MPI_Abort``, instead of leaving the others
    waiting in a collective call. Does nothing without MPI or on a single process."""
    try:
        comm = comm if comm is not None else world()
    except ImportError:
        return
    if comm.size == 1:
        return

    def hook(kind, value, tb):
        text = "".join(traceback.format_exception(kind, value, tb))
        sys.stderr.write("".join(f"[rank {comm.rank}] {line}\n"
                                 for line in text.rstrip().splitlines()))
        sys.stderr.flush()
        sys.stdout.flush()
        comm.Abort(1)
        os._exit(1)                        # not reached: Abort does not return

    sys.excepthook = hook
