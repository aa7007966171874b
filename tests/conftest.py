"""Shared fixtures; the helpers beside this file (fe_inputs, reference, the fuzz and
MPI workers) are importable from the test folders below it."""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from fe_inputs import run_python


@pytest.fixture
def python_run():
    return run_python
