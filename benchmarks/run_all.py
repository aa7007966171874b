"""Runs every benchmark in this folder, one after the other, and prints their
tables (times, throughputs and ratios against references measured in the
same run).  `make bench` and `python -m fluxkern_tools bench` call this.

    python benchmarks/run_all.py
"""

import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent


def main():
    failed = []
    for script in sorted(HERE.glob("bench_*.py")):
        print(f"==> {script.name}", flush=True)
        if subprocess.run([sys.executable, str(script)], cwd=HERE).returncode != 0:
            failed.append(script.name)
        print(flush=True)
    if failed:
        sys.exit(f"failed: {', '.join(failed)}")


if __name__ == "__main__":
    main()
