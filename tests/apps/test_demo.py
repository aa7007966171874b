"""The demo magnet and the command line."""

import subprocess
import sys

import numpy as np
import pytest

from fluxkern_tools.apps import cli, dipole, output as dipole_output


@pytest.fixture(scope="module")
def coarse_sweep():
    model = dipole.DipoleModel(h=0.03)
    return model, model.sweep([40.0, 700.0])


def test_dipole_gap_field_follows_the_iron_line_then_saturates(coarse_sweep):
    model, (low, high) = coarse_sweep
    for p in (low, high):
        assert p.solution.report.converged
        assert p.B_gap > 2 * p.B_coil_only        # the iron concentrates the flux
    assert low.B_gap / low.B_ideal > 0.95          # unsaturated: nearly the ideal line
    assert high.B_gap / high.B_ideal < 0.6         # saturated yoke
    assert high.B_iron_max > 2.0
    assert high.B_gap / high.current < 0.7 * low.B_gap / low.current


def test_midplane_slice_and_vtu_are_mirror_images(coarse_sweep, tmp_path):
    meshio = pytest.importorskip("meshio")
    model, points = coarse_sweep
    tri, B = dipole_output.midplane_slice(model, points[1])
    q = len(tri) // 4
    # Quadrants (y, z), (y, -z): B_z even, B_y odd in z.
    np.testing.assert_allclose(tri[q:2 * q, :, 1], -tri[:q, :, 1])
    np.testing.assert_allclose(B[q:2 * q, 2], B[:q, 2])
    np.testing.assert_allclose(B[q:2 * q, 1], -B[:q, 1])
    path = dipole_output.write_vtu(tmp_path / "d.vtu", model, points)
    back = meshio.read(path)
    assert back.cells[0].data.shape[0] == 8 * model.mesh.num_el
    assert len(back.points) < 8 * model.mesh.num_nodes   # mirror-plane nodes merged
    Bv = back.cell_data["B"][0]
    assert np.all(back.cell_data["mu_r"][0] >= 1.0 - 1e-12)
    X = back.points[back.cells[0].data]
    vol = np.einsum("ij,ij->i", X[:, 1] - X[:, 0],
                    np.cross(X[:, 2] - X[:, 0], X[:, 3] - X[:, 0]))
    assert np.all(vol > 0)                              # mirrored cells turned over
    n = model.mesh.num_el
    np.testing.assert_allclose(Bv[n:2 * n], Bv[:n] * [-1, -1, 1])   # image under z -> -z
    assert f"B_{points[0].current:g}A" in back.cell_data


def _run(*args, timeout=1200):      # a hang guard (s), far above a run on a busy machine
    return subprocess.run([sys.executable, "-m", "fluxkern_tools", *args],
                          capture_output=True, text=True, timeout=timeout)


def test_demo_command_prints_tables_and_writes_files(tmp_path):
    out = tmp_path / "out"
    r = _run("demo", "--mesh-size", "30", "--currents", "100,500", "--out", str(out))
    assert r.returncode == 0, r.stderr
    assert r.stdout.count("|residual|") == 2 and "converged after" in r.stdout
    assert "Summary" in r.stdout and "NOT" not in r.stdout
    assert "Evaluate Biot-Savart" not in r.stdout          # no kernel banner
    png, vtu = out / "dipole.png", out / "dipole.vtu"
    assert str(png) in r.stdout and str(vtu) in r.stdout
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert vtu.stat().st_size > 10000


def test_validate_team20_coarse_smoke_run():
    import json
    r = _run("validate", "team20", "--json", "--pole-mm", "6", "--steel-mm", "8",
             "--air-mm", "60")
    assert r.returncode == 0, r.stderr
    res = json.loads(r.stdout)                 # nothing but the object on stdout
    assert set(res) == {"current_A", "measured_N", "computed_N"}
    assert res["current_A"] == [0.98, 3.01, 4.52, 5.02]
    assert res["measured_N"] == [8.0, 53.8, 74.7, 79.7]
    # Even this very coarse mesh lands within a quarter of the measurement.
    np.testing.assert_allclose(res["computed_N"], res["measured_N"], rtol=0.25)


@pytest.mark.parametrize("args, code, text", [
    (["demo", "--help"], 0, "--mesh-size"),
    (["demo", "--currents", "100,-5"], 2, "positive"),
    (["demo", "--mesh-size", "1"], 2, "between"),
    (["loop", "--segments", "200"], 0, "largest relative error"),
    (["validate", "team21"], 2, "invalid choice"),
    (["validate", "team20", "--pole-mm", "0.01"], 2, "between"),
])
def test_command_line_options(args, code, text):
    r = _run(*args)
    assert r.returncode == code
    assert text in r.stdout + r.stderr


@pytest.mark.parametrize("args, text", [
    (["loop", "--radius", "-1"], "--radius"),
    (["loop", "--segments", "2"], "--segments"),
    (["loop", "--current", "nan"], "--current"),
    (["loop", "--current", "0"], "--current"),            # a relative error of 0/0
    (["demo", "--out", "FILE"], "not a directory"),
    (["demo", "--out", "FILE/sub"], "cannot write"),
])
def test_command_line_refuses_bad_arguments_before_any_work(args, text, tmp_path, capsys):
    f = tmp_path / "file"
    f.write_text("")
    quick = ["--mesh-size", "60", "--currents", "100", "--quiet"] if args[0] == "demo" else []
    with pytest.raises(SystemExit) as e:
        cli.main([a.replace("FILE", str(f)) for a in args] + quick)
    err = capsys.readouterr()
    assert e.value.code == 2 and text in err.err and err.out == ""
