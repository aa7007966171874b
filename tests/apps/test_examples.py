"""Every script in examples/ runs as a user would run it and writes its picture."""

import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = sorted(p for p in (ROOT / "examples").glob("*.py") if p.name != "distributed.py")


@pytest.mark.parametrize("script", EXAMPLES, ids=lambda p: p.stem)
def test_example_runs_and_writes_png(script, tmp_path):
    out = tmp_path / "out"
    env = dict(os.environ, MPLBACKEND="Agg",
               PYTHONPATH=os.pathsep.join(filter(None, [str(ROOT),
                                                        os.environ.get("PYTHONPATH")])))
    run = subprocess.run([sys.executable, str(script), str(out)], cwd=tmp_path, env=env,
                         capture_output=True, text=True,
                         timeout=1200)  # only a hang guard (s), not a time limit
    assert run.returncode == 0, run.stdout[-2000:] + run.stderr[-4000:]
    assert run.stdout.strip()
    assert list(out.glob("*.png")), run.stdout[-2000:]
