"""The permanent-magnet example runs and reports what it promises.

It runs in a subprocess, as a user would run it, so a crash in the compiled module or a
hang cannot take the test session with it; the timeout is only a hang guard (the
script takes seconds), generous so that a loaded machine does not fail it.
"""

import os
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def test_permanent_magnet_example(tmp_path):
    env = dict(os.environ, PYTHONPATH=str(ROOT) + os.pathsep + os.environ.get("PYTHONPATH", ""))
    run = subprocess.run([sys.executable, str(ROOT / "examples" / "permanent_magnet.py"),
                          str(tmp_path)], capture_output=True, text=True, env=env, timeout=600)
    assert run.returncode == 0, run.stderr
    assert "Newton converged: True" in run.stdout
    force = [line for line in run.stdout.splitlines() if line.startswith("force on the pole")]
    assert force and float(force[0].split("Fz =")[1].split()[0]) < 0     # pulled to the core
    assert (tmp_path / "permanent_magnet.png").stat().st_size > 0
