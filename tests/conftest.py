"""Shared fixtures."""

import pytest

from fe_inputs import run_python


@pytest.fixture
def python_run():
    return run_python
