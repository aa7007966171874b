"""Shared helpers for the test suite."""

import os
import subprocess
import sys
import textwrap

import pytest


def run_python(code, env=None, timeout=300):
    """Run `code` in a fresh interpreter; returns the CompletedProcess.

    Used for everything that writes to the C-level stdout, depends on
    OMP_NUM_THREADS, changes process-wide state or might crash.
    """
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )


@pytest.fixture
def python_run():
    return run_python
