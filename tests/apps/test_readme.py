"""The README's examples run as they stand and print what they say."""

import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_readme_examples_run():
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)
    assert len(blocks) >= 5
    namespace = {}
    for block in blocks:  # later blocks use names from earlier ones
        exec(compile(block, str(README), "exec"), namespace)
    assert abs(namespace["B"]).max() < 10  # the last example's field is about 1 T
