"""Fuzzing of the five entry points: whatever the arguments, a call returns a
correctly shaped result or raises a Python exception; it never dies.

Every call runs in a worker process (fuzz_worker.py) that is restarted when
it dies (a signal, or a hang), so a crash is reported with the input that
caused it.  The inputs are mostly valid-looking calls (small random meshes,
tables and materials) with a few targeted corruptions each: dtypes, layouts,
lengths, shapes that lie, out-of-range indices, NaN and infinities, numbers
of every kind, material objects with missing, raising or lying methods.
Under `make test-asan` the same runs find reads and writes out of bounds
that do not crash.

FLUXKERN_FUZZ_EXAMPLES sets the number of calls per function (default 400).
"""

import os
import pickle
import subprocess
import sys
import tempfile
from multiprocessing.connection import Connection

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from fe_inputs import PARAMS
from fuzz_worker import make_call

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = int(os.environ.get("FLUXKERN_FUZZ_EXAMPLES", "400"))
UNDER_ASAN = os.environ.get("FLUXKERN_ASAN") == "1"
# A hang guard only (s): calls take well under a second, but a loaded machine may
# stall one for minutes, and a tight limit would report that as a hang.
CALL_TIMEOUT = 1200 if UNDER_ASAN else 600


# ------------------------------------------------------------------ the worker

class Worker:
    """One child interpreter that runs calls; restarted after it dies."""

    def __init__(self):
        self.proc = None
        self._start()

    def _start(self):
        to_child_r, to_child_w = os.pipe()
        to_parent_r, to_parent_w = os.pipe()
        self.log = tempfile.TemporaryFile()
        env = dict(os.environ, OMP_NUM_THREADS=os.environ.get("OMP_NUM_THREADS", "2"))
        if UNDER_ASAN:
            # In place of the worker's address-space limit: a runaway
            # allocation fails (a MemoryError) instead of exhausting memory.
            env["ASAN_OPTIONS"] = (env.get("ASAN_OPTIONS", "") +
                                   ":allocator_may_return_null=1:max_allocation_size_mb=3072")
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(os.path.dirname(HERE), "fuzz_worker.py"), str(to_child_r),
             str(to_parent_w)],
            pass_fds=(to_child_r, to_parent_w), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=self.log, env=env)
        os.close(to_child_r)
        os.close(to_parent_w)
        self.outbox = Connection(to_child_w, readable=False)
        self.inbox = Connection(to_parent_r, writable=False)
        if not self.inbox.poll(CALL_TIMEOUT) or self.inbox.recv() != "ready":   # hang guard
            raise RuntimeError("fuzz worker did not start: " + self._stderr())

    def _stderr(self):
        self.log.seek(0)
        return self.log.read().decode(errors="replace")[-6000:]

    def call(self, name, choices):
        """The worker's outcome, or ('died', how, stderr)."""
        self.outbox.send_bytes(pickle.dumps((name, choices)))
        how = "hung"
        if self.inbox.poll(CALL_TIMEOUT):
            try:
                return self.inbox.recv()
            except EOFError:
                how = "died"
        else:
            self.proc.kill()
        code = self.proc.wait()
        outcome = ("died", f"{how} (exit status {code})", self._stderr())
        self.close()
        self._start()
        return outcome

    def close(self):
        self.outbox.close()
        self.inbox.close()
        self.proc.wait()
        self.log.close()


@pytest.fixture(scope="module")
def worker():
    w = Worker()
    yield w
    w.close()


def check_call(worker, name, choices):
    outcome = worker.call(name, choices)
    if outcome[0] in ("ok", "raised"):
        return outcome
    detail = outcome[1] if outcome[0] == "wrong" else f"{outcome[1]}\n{outcome[2]}"
    kw, notes = make_call(name, choices)
    with np.printoptions(threshold=200, precision=17):
        args = "\n".join(f"    {k} = {v!r}" for k, v in kw.items())
    pytest.fail(f"{name} {outcome[0]}: {detail}\nchoices: {choices}\nspoilt: {notes}\n"
                f"reproducing input:\n{args}", pytrace=False)


# The shapes of the valid-looking call, and what to spoil: (argument, way)
# pairs, which make_call reads modulo the number of arguments and ways.
CHOICES = st.fixed_dictionaries({
    "seed": st.integers(0, 2**32 - 1),
    "E": st.sampled_from([1, 1, 2, 3, 5, 0]), "N": st.sampled_from([4, 4, 4, 10, 1, 2]),
    "M": st.sampled_from([1, 2, 4, 4, 5, 0]), "n": st.sampled_from([6, 6, 1, 3, 0]),
    "S": st.integers(1, 3), "extra_nodes": st.integers(0, 6), "extra_dofs": st.integers(0, 10),
    "uniform": st.booleans(), "scale": st.sampled_from([1.0, 0.0, 1e3]),
    "source": st.sampled_from([None, None, 1.0, 0.0, 2.0]),
    "segments": st.tuples(st.sampled_from([1, 2, 5, 0, 40]), st.sampled_from([1, 3, 7, 0, 33])),
    "corrupt": st.sampled_from([0, 1, 1, 1, 2, 3]).flatmap(lambda k: st.lists(
        st.tuples(st.integers(0, 12), st.integers(0, 999)), min_size=k, max_size=k)),
    "material": st.sampled_from([0, 0, 0, 1, 1, 2]).flatmap(lambda k: st.lists(
        st.integers(0, 99), min_size=k, max_size=k)),
})

FUZZ_SETTINGS = settings(
    max_examples=EXAMPLES, deadline=None, database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                           HealthCheck.function_scoped_fixture])


@pytest.mark.parametrize("name", PARAMS)
def test_calls_return_or_raise_but_never_crash(worker, name):
    outcomes = {"ok": 0, "raised": 0}

    @FUZZ_SETTINGS
    @given(choices=CHOICES)
    def run(choices):
        outcomes[check_call(worker, name, choices)[0]] += 1

    run()
    # The strategies are meant to reach the kernels: a fair share of calls
    # must get all the way through.
    assert outcomes["ok"] >= EXAMPLES // 20, outcomes
