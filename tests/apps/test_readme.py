"""The examples of the README and of docs/reference.md run as they stand."""

import pathlib
import re

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.parametrize("page, min_blocks", [("README.md", 1), ("docs/reference.md", 5)])
def test_documented_examples_run(page, min_blocks):
    path = ROOT / page
    blocks = re.findall(r"```python\n(.*?)```", path.read_text(), flags=re.S)
    assert len(blocks) >= min_blocks
    namespace = {}
    for block in blocks:  # later blocks use names from earlier ones
        exec(compile(block, str(path), "exec"), namespace)
    B = namespace["B"]  # the field of the last example: well under 10 T, and finite
    assert np.isfinite(B).all() and abs(B).max() < 10
