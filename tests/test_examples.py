"""The examples run as the README tells a new user to run them: headless,
from a fresh folder, writing their PNGs there."""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

needs_matplotlib = pytest.mark.skipif(
    importlib.util.find_spec("matplotlib") is None,
    reason="matplotlib is not installed (the examples extra; absent under PyPy)")


def run_example(name, tmp_path, *args):
    env = dict(os.environ, MPLBACKEND="Agg")
    done = subprocess.run([sys.executable, str(EXAMPLES / name), *args], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


def assert_png(path, min_bytes=20_000):
    data = path.read_bytes()
    assert data.startswith(PNG_SIGNATURE)
    assert len(data) > min_bytes  # a drawn figure, not an empty canvas


def test_quickstart(tmp_path):
    out = run_example("quickstart.py", tmp_path)
    assert len(out.splitlines()) == 7 and "inf" in out  # the ring through the lens at l = 1


def test_limb_darkening_table(tmp_path):
    rows = [line.split() for line in run_example("limb_darkening.py", tmp_path).splitlines()[1:]]
    assert [row[0] for row in rows] == ["0.000", "0.500", "0.999", "1.000", "1.001", "2.000", "20.000"]
    by_l = {row[0]: [float(v) for v in row[1:]] for row in rows}
    # Limb darkening brightens the centre of a crossing and dims the limb.
    assert by_l["0.000"][1] > by_l["0.000"][0] and by_l["1.000"][1] < by_l["1.000"][0]
    # The documented value of integrated_heyrovsky_magnification at l = 2.
    assert by_l["2.000"][2] == pytest.approx(1.09123, abs=5e-6)
    assert by_l["2.000"][1] == pytest.approx(1.07491, abs=5e-6)


@needs_matplotlib
def test_light_curve_default_writes_png(tmp_path):
    out = run_example("light_curve.py", tmp_path)
    assert "wrote light_curve.png" in out
    assert_png(tmp_path / "light_curve.png")
    # rho = 0.1, u0 = 0.05: the lens crosses the source; limb darkening
    # raises the peak by about 5 per cent.
    peak = out.splitlines()[1]
    uniform = float(peak.split("uniform A = ")[1].split(",")[0])
    limb = float(peak.split("limb-darkened A = ")[1].split(",")[0])
    assert uniform == pytest.approx(18.713891, abs=1e-6)
    assert 1.04 < limb / uniform < 1.06


@needs_matplotlib
def test_light_curve_options(tmp_path):
    out = run_example("light_curve.py", tmp_path, "--rho", "0.02", "--u0", "0.1",
                      "--ld", "0.3", "--points", "51", "-o", "other.png")
    assert "wrote other.png" in out
    assert_png(tmp_path / "other.png", min_bytes=10_000)


@needs_matplotlib
def test_flux_map_writes_png(tmp_path):
    out = run_example("flux_map.py", tmp_path)
    assert "wrote flux_map.png" in out
    assert_png(tmp_path / "flux_map.png")
    rows = [line.split() for line in out.splitlines()[1:-1]]
    for l, physical, rings, _integrated, disk in ([float(v) for v in row] for row in rows):
        if l > 1.5:  # far from the source the coarse ring sum and the disk agree to 1 %
            assert abs(rings / physical - 1) < 0.01 and abs(disk / physical - 1) < 0.01


@needs_matplotlib
def test_fit_light_curve_recovers_the_event(tmp_path, monkeypatch):
    pytest.importorskip(
        "scipy", reason="scipy is not installed (the examples extra; no wheels for PyPy 3.9)")
    monkeypatch.setenv("MPLBACKEND", "Agg")
    monkeypatch.syspath_prepend(str(EXAMPLES))
    from fit_light_curve import main

    output = tmp_path / "fit.png"
    # Fs = 3: a source flux of 1 would hide a missing Fs factor in a derivative.
    truth, fits = main(["--points", "300", "--noise", "0.02", "--seed", "3", "--fs", "3",
                        "--fit-ld", "-o", str(output)])
    analytic, numeric = fits.values()
    for f in (analytic, numeric):
        assert f["result"].success
        assert all(abs(p - t) < 3 * e for p, t, e in zip(f["params"], truth, f["errors"]))
    # Both reach the same minimum, and the errors from the analytic Jacobian
    # (the returned derivatives through the chain rule) match finite differences.
    for a, n, e in zip(analytic["params"], numeric["params"], analytic["errors"]):
        assert abs(a - n) < 1e-3 * e
    for a, n in zip(analytic["errors"], numeric["errors"]):
        assert a == pytest.approx(n, rel=1e-3)
    assert_png(output)


@pytest.mark.slow  # a fit of 1253 points, MulensModel's chi2 and short NUTS chains
@pytest.mark.skipif(bool(os.environ.get("TAVLOMER_SANITIZED")),
                    reason="sampling is minutes under the sanitizers, and adds no coverage")
@needs_matplotlib
def test_fit_real_event(tmp_path):
    for package, why in (("MulensModel", "it ships the event's photometry"),
                         ("scipy", "the fit"), ("numpyro", "the sampling"),
                         ("corner", "the corner plot")):
        if importlib.util.find_spec(package) is None:
            pytest.skip(f"{package} is not installed ({why}; pip install '.[pymc,examples]' "
                        f"MulensModel; no PyPy wheels)")
    out = run_example("fit_real_event.py", tmp_path, "--quick")
    assert_png(tmp_path / "fit_real_event.png")
    assert_png(tmp_path / "fit_real_event_corner.png")
    lines = out.splitlines()
    total = next(line.split() for line in lines if line.startswith("all "))
    # Our chi2 and MulensModel's finite-source model at the same parameters
    # on the same data agree to a few hundredths in 2143.
    ours, theirs = float(total[2]), float(total[3])
    assert ours == pytest.approx(2142.8, abs=0.5) and abs(ours - theirs) < 0.1
    # The source's crossing time t* = rho tE within 1 % of the published one.
    t_star = next(line.split() for line in lines if line.startswith("t* [d]"))
    assert float(t_star[2]) == pytest.approx(0.05487, rel=0.01)
    assert any(line.startswith("NUTS") for line in lines)


@needs_matplotlib
def test_centroid_writes_png(tmp_path):
    out = run_example("centroid.py", tmp_path)
    assert "wrote centroid.png" in out
    assert_png(tmp_path / "centroid.png")
    # rho = 0.1, u0 = 0.05: at closest approach the lens is inside the source,
    # whose centroid is pulled towards it, less for the limb-darkened one.
    shifts = out.splitlines()[1].split("shift uniform ")[1]
    uniform = float(shifts.split(",")[0])
    limb = float(shifts.split("limb-darkened ")[1].split(",")[0])
    assert uniform < limb < 0.0
