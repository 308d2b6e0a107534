"""The examples run as a user runs them, and the type stub describes the module.

Each example is started as a subprocess (small sizes, a temporary output
folder, matplotlib's Agg backend) and its outputs are checked against the
module itself and against the physics of the event it models.  The stub
tarnivox.pyi is checked three ways: mypy accepts the examples with it,
stubtest finds it consistent with the compiled module, and a snippet of good
and bad calls yields exactly the expected errors.
"""

import csv
import importlib
import json
import math
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import mpmath
import pytest

import tarnivox
from _support import PANIC, mismatched_tables

ROOT = Path(__file__).resolve().parents[1]
EXAMPLES = ROOT / "examples"
STUB_DIR = ROOT / "src"

CSV_COLUMNS = ["t_days", "u", "l", "A_point_source", "A_uniform", "A_limb_darkened"]


def has(module):
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True


def environment(**extra):
    """The test's environment, with tarnivox importable and a headless matplotlib."""
    env = dict(os.environ)
    module_dir = str(Path(tarnivox.__file__).resolve().parent)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    env["MPLBACKEND"] = "Agg"
    env.update(extra)
    return env


def run_example(name, *args, env=None, timeout=300):
    proc = subprocess.run(
        [sys.executable, str(EXAMPLES / name), *map(str, args)],
        capture_output=True, text=True, env=env or environment(), timeout=timeout,
    )
    assert proc.returncode == 0, f"{name} exited {proc.returncode}\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


def read_csv(path):
    with path.open(newline="") as stream:
        rows = list(csv.reader(stream))
    return rows[0], [[float(x) for x in row] for row in rows[1:]]


# --- light_curve.py ------------------------------------------------------------

@pytest.fixture(scope="module")
def light_curve_run(tmp_path_factory):
    """1200 epochs: more than two chunks of the progress-bar loop."""
    outdir = tmp_path_factory.mktemp("light_curve")
    stdout = run_example("light_curve.py", "--points", 1200, "--outdir", outdir)
    return outdir, stdout


def test_light_curve_csv_matches_the_module(light_curve_run):
    outdir, stdout = light_curve_run
    header, rows = read_csv(outdir / "light_curve.csv")
    assert header == CSV_COLUMNS
    assert len(rows) == 1200
    t, u, l, a_point, a_uniform, a_dark = (list(col) for col in zip(*rows))
    assert t == sorted(t)
    rho = float(re.search(r"rho = rstar/re = (\S+)", stdout).group(1))
    assert all(math.isclose(ui / li, rho, rel_tol=1e-14) for ui, li in zip(u, l))
    # The written values are the module's, exactly and in order (the
    # limb-darkened column is computed in chunks).
    assert a_uniform == tarnivox.witt_mao_magnification(l, 1.0, rho)
    assert a_dark == tarnivox.integrated_heyrovsky_magnification(l, 1.0, rho)
    for ui, a in zip(u, a_point):
        assert a == pytest.approx((ui * ui + 2) / (ui * math.sqrt(ui * ui + 4)), rel=1e-14)


def test_light_curve_models_a_lens_crossing_the_star(light_curve_run):
    outdir, _ = light_curve_run
    _, rows = read_csv(outdir / "light_curve.csv")
    peak = min(rows, key=lambda row: row[1])
    wing = max(rows, key=lambda row: row[1])
    _, u, l, a_point, a_uniform, a_dark = peak
    assert l < 1.0, "the lens should pass over the stellar disk"
    # Over the disk the finite source matters at the 10 % level, and a star
    # brighter at its centre is magnified more when the lens is near the centre.
    assert a_uniform < 0.9 * a_point and a_dark < 0.9 * a_point
    assert a_dark > a_uniform
    # Far from the star (u >> rho) all three agree: A - A_point ~ A rho^2 / u^2.
    _, u, l, a_point, a_uniform, a_dark = wing
    assert l > 100
    assert a_uniform == pytest.approx(a_point, rel=1e-4)
    assert a_dark == pytest.approx(a_point, rel=1e-4)


def test_light_curve_prints_a_table_and_the_files(light_curve_run):
    outdir, stdout = light_curve_run
    assert "rho" in stdout and "A limb-dark" in stdout
    assert str(outdir / "light_curve.csv") in stdout
    png = outdir / "light_curve.png"
    if has("matplotlib"):
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
        assert png.stat().st_size > 10_000
        assert str(png) in stdout
    else:
        assert not png.exists()
        assert "pip install" in stdout


def test_light_curve_without_matplotlib_says_how_to_get_the_plot(tmp_path):
    blocker = tmp_path / "block" / "matplotlib"
    blocker.mkdir(parents=True)
    (blocker / "__init__.py").write_text("raise ImportError('matplotlib hidden by the test')\n")
    env = environment()
    env["PYTHONPATH"] = os.pathsep.join([str(tmp_path / "block"), env["PYTHONPATH"]])
    outdir = tmp_path / "out"
    stdout = run_example("light_curve.py", "--points", 40, "--outdir", outdir, env=env)
    header, rows = read_csv(outdir / "light_curve.csv")
    assert header == CSV_COLUMNS and len(rows) == 40
    assert not (outdir / "light_curve.png").exists()
    assert "matplotlib is not installed" in stdout and "pip install '.[examples]'" in stdout


# --- limb_darkening_laws.py ------------------------------------------------------

def test_limb_darkening_recipes_meet_their_accuracy():
    stdout = run_example("limb_darkening_laws.py", "--quick")
    assert "all recipe checks within 1e-06" in stdout
    assert "ABOVE" not in stdout
    if has("scipy"):
        laws = re.findall(r"^   ([a-z].*?)\s+worst (\S+) at l = \S+: ok$", stdout, flags=re.M)
        assert len(laws) == 9, stdout
        assert all(float(err) < 1e-6 for _, err in laws)


# --- limb_darkening.py -----------------------------------------------------------------

def test_linear_limb_darkening_meets_its_mpmath_references():
    """Five coefficients against tests/data/linear_law_reference.json, the rim included."""
    stdout = run_example("limb_darkening.py")
    errors = re.findall(r"^  u = (\S+)\s+worst relative error (\S+) at", stdout, flags=re.M)
    assert [u for u, _ in errors] == ["0", "0.3", "0.6", "0.85", "1"], stdout
    # Exit code 0: every value within 1e-13 plus what the built-in law, one of
    # its two parts, errs at the same point; the uniform part alone is exact.
    assert "every value within 1e-13 plus the built-in law's own error" in stdout
    assert float(errors[0][1]) <= 1e-13, stdout
    assert "u = 0.6 is the built-in law, bit for bit: True" in stdout


def test_linear_limb_darkening_at_any_input_gives_values_not_exceptions():
    """Separations the closed form of the uniform disk rejects (NaN, negative)
    give what the ring family gives; a light curve out of time order comes back
    in input order; degenerate stars give the law's limits; a star outside the
    sizes for which the closed form's rim window was measured takes the Carlson
    form at every l < 3 and the uniform star's series beyond, exact against
    mpmath there too."""
    sys.path.insert(0, str(EXAMPLES))
    try:
        import limb_darkening as ld
    finally:
        sys.path.remove(str(EXAMPLES))
    import numpy as np

    rho = 0.05
    ls = [0.2, 0.9, 1.0, 2.0, 10.0, 80.0, math.nan, -1.0, math.inf]
    got = ld.linear_limb_darkening(ls, 1.0, rho, 0.3)
    one_by_one = [ld.linear_limb_darkening([x], 1.0, rho, 0.3)[0] for x in ls]
    assert np.array_equal(got, one_by_one, equal_nan=True)
    assert np.isnan(got[6:8]).all() and got[8] == 1.0 and np.isfinite(got[:6]).all()
    shuffled = np.random.default_rng(1).permutation(np.linspace(0.0, 60.0, 400))  # windows and module interleaved
    assert np.array_equal(ld.linear_limb_darkening(shuffled, 1.0, rho, 0.3),
                          [ld.linear_limb_darkening([x], 1.0, rho, 0.3)[0] for x in shuffled])
    for u in (0.0, 0.3, 1.0):  # a star of no size; no lens; no star
        assert ld.linear_limb_darkening([0.5, 3.0], 1.0, 0.0, u).tolist() == [math.inf, math.inf]
        assert ld.linear_limb_darkening([0.5, 3.0], 0.0, rho, u).tolist() == [1.0, 1.0]
        assert np.isnan(ld.linear_limb_darkening([0.5, 3.0], -1.0, rho, u)).all()
    assert ld.linear_limb_darkening([], 1.0, rho, 0.3).size == 0
    sys.path.insert(0, str(ROOT / "tests" / "data"))
    try:
        import make_magnification_reference as R
    finally:
        sys.path.remove(str(ROOT / "tests" / "data"))
    with mpmath.workdps(R.DPS):
        for size in (1e-8, 30.0):
            assert not ld.CLOSED_FORM_RHO[0] <= size <= ld.CLOSED_FORM_RHO[1]
            near = [0.0, 0.5, 0.9, 1.0 - 1e-12, 1.0, 1.0 + 1e-9, 1.1, 2.5, 7.0, 45.0, 80.0]
            exact = [float(R.disk(R._exact_product(mpmath.mpf(x), mpmath.mpf(size)), mpmath.mpf(size))) for x in near]
            got = ld.linear_limb_darkening(near, 1.0, size, 0.0)
            assert max(abs(g / e - 1.0) for g, e in zip(got, exact)) <= 1e-13, (size, got, exact)
    law = tarnivox.integrated_heyrovsky_magnification(ls[:6], 1.0, rho)
    assert ld.linear_limb_darkening(ls[:6], 1.0, rho, 0.6).tolist() == law


# --- fit_event.py ------------------------------------------------------------------

def test_fit_recovers_the_event_within_three_sigma(tmp_path):
    pytest.importorskip("scipy")
    stdout = run_example("fit_event.py", "--points", 120, "--outdir", tmp_path)
    result = json.loads((tmp_path / "fit_event.json").read_text())
    for name in ("t0", "u0", "tE", "rho"):
        sigma = result["sigma"][name]
        assert 0 < sigma < 0.05 * abs(result["true"][name] or 1.0), (name, sigma)
        pull = (result["fit"][name] - result["true"][name]) / sigma
        assert abs(pull) < 3, f"{name}: fitted {result['fit'][name]}, true {result['true'][name]}, sigma {sigma}"
    dof = result["dof"]
    assert dof == 120 - 4
    assert abs(result["chi2"] - dof) < 5 * math.sqrt(2 * dof), result["chi2"]
    assert "recovered within 3 sigma" in stdout


# --- fit_real_event.py -------------------------------------------------------------

@pytest.fixture(scope="module")
def real_event_run(tmp_path_factory):
    """Every 10th epoch of each data set (371 of 3,482) and, with emcee, a few steps."""
    pytest.importorskip("scipy")
    if not has("MulensModel"):
        pytest.skip("MulensModel is not installed; it ships the MOA-2008-BLG-310 photometry")
    outdir = tmp_path_factory.mktemp("fit_real_event")
    args = ["--thin", 10, "--outdir", outdir]
    if has("emcee"):
        args += ["--mcmc", "--walkers", 12, "--steps", 4, "--burn", 1]
    stdout = run_example("fit_real_event.py", *args)
    return outdir, stdout, json.loads((outdir / "fit_real_event.json").read_text())


def test_real_event_fit_is_physical_with_errors_rescaled(real_event_run):
    outdir, stdout, result = real_event_run
    assert len(result["data_sets"]) == 7
    assert sum(s["epochs"] for s in result["data_sets"]) == result["epochs"]
    assert 300 < result["epochs"] < 500
    assert all(math.isfinite(s["error_scale"]) and s["error_scale"] > 0 for s in result["data_sets"])
    fitted = {name: result[name] for name in ("t0", "u0", "tE", "rho", "u_ld")}
    for name, entry in fitted.items():
        assert set(entry) == {"value", "sigma"}, name
        assert math.isfinite(entry["value"]) and 0 < entry["sigma"] < math.inf, (name, entry)
    # A lens crossing a star of a few thousandths of an Einstein radius, near
    # the published peak, on a physical limb-darkening law.
    assert abs(fitted["t0"]["value"] - result["published"]["t0"]) < 0.05
    assert 0 <= fitted["u0"]["value"] < fitted["rho"]["value"] < 0.02
    assert 3 < fitted["tE"]["value"] < 40
    assert 0 <= fitted["u_ld"]["value"] <= 1
    assert result["t_star"]["value"] == pytest.approx(fitted["rho"]["value"] * fitted["tE"]["value"])
    # Errors rescaled per data set to chi2/dof = 1 before the final fits.
    assert result["dof"] == result["epochs"] - 2 * 7 - 5
    assert abs(result["chi2"] / result["dof"] - 1) < 0.05, result["chi2"]
    assert result["model_evaluations"] > 0
    # The free coefficient contains both u = 0.6 and the uniform star (u = 0).
    fits = result["fits"]
    assert set(fits) == {"linear_free_u", "linear_u_0.6", "uniform"}
    assert fits["linear_free_u"]["chi2"] == result["chi2"]
    assert all(f["delta_chi2"] > -0.1 for f in fits.values()), fits
    assert "2454656.39975" in stdout and "includes the planet" in stdout
    if has("matplotlib"):
        assert (outdir / "fit_real_event.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_real_event_sampling_reports_its_cost(real_event_run):
    if not has("emcee"):
        pytest.skip("emcee is not installed")
    outdir, stdout, result = real_event_run
    mcmc = result["mcmc"]
    assert (mcmc["walkers"], mcmc["steps"]) == (12, 4)
    # emcee evaluates the start and every step of every walker; a proposal
    # outside the bounds costs no model.
    assert 0 < mcmc["evaluations"] <= 12 * 5
    assert 0 < mcmc["seconds_per_evaluation"] < 10
    assert 0 < mcmc["acceptance_fraction"] <= 1
    for name in ("t0", "u0", "tE", "rho", "u_ld"):
        p = mcmc["parameters"][name]
        assert math.isfinite(p["median"]) and p["minus"] >= 0 and p["plus"] >= 0, (name, p)
    assert abs(mcmc["parameters"]["t0"]["median"] - result["t0"]["value"]) < 0.01
    assert re.search(r"ms per evaluation .* acceptance fraction \d", stdout), stdout
    if has("matplotlib"):
        assert (outdir / "fit_real_event_corner.png").stat().st_size > 10_000


# --- many_events.py ------------------------------------------------------------------

def test_dask_light_curves_equal_the_serial_loop():
    pytest.importorskip("distributed")
    stdout = run_example("many_events.py", "--events", 6, "--points", 80)
    assert "(2 worker processes)" in stdout
    assert "bitwise identical to the serial loop: True" in stdout


# A task that meets a PanicException, wrapped as many_events.py wraps its
# tasks, in three kinds of process pool.  distributed is imported first, as in
# a program that uses Dask: it makes every exception pickle its chain (tblib),
# so a RuntimeError that kept the PanicException as its context would not
# pickle either.  Every wait is bounded: unwrapped, the exception breaks the
# executor, kills the Pool worker (map_async never returns) and stops Dask's
# client from ever delivering the result.
POOLS = """\
import concurrent.futures
import json
import multiprocessing

from dask.distributed import Client, LocalCluster
import tarnivox
from many_events import panic_as_runtime_error


@panic_as_runtime_error
def task(_):
    return tarnivox.discrete_flux_map_heyrovsky_magnification([0.5], 1.0, 1.0, [0.1], [])


def outcome(get):
    try:
        return ["returned", repr(get())]
    except BaseException as e:
        return [type(e).__module__ + "." + type(e).__qualname__, str(e)]


if __name__ == "__main__":
    seen = {}
    with concurrent.futures.ProcessPoolExecutor(1) as pool:
        seen["ProcessPoolExecutor"] = outcome(lambda: pool.submit(task, 0).result(timeout=10))
    with multiprocessing.Pool(1) as pool:
        seen["Pool.map_async"] = outcome(lambda: pool.map_async(task, [0]).get(timeout=10))
    with LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                      host="127.0.0.1", dashboard_address=None) as cluster, Client(cluster) as client:
        seen["dask"] = outcome(lambda: client.submit(task, 0).result(timeout=10))
    print(json.dumps(seen))
"""


def test_a_panic_in_a_pool_task_reaches_the_caller_as_runtime_error(tmp_path):
    pytest.importorskip("numpy")
    pytest.importorskip("distributed")
    with pytest.raises(PANIC) as panic:
        mismatched_tables()
    script = tmp_path / "pools.py"
    script.write_text(POOLS)
    env = environment()
    env["PYTHONPATH"] = os.pathsep.join([str(EXAMPLES), env["PYTHONPATH"]])
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                          env=env, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    expected = ["builtins.RuntimeError", str(panic.value)]
    assert json.loads(proc.stdout) == dict.fromkeys(["ProcessPoolExecutor", "Pool.map_async", "dask"], expected)


# --- the type stub -------------------------------------------------------------------

MYPY_CONFIG = """\
[mypy]
strict = True
untyped_calls_exclude = distributed
[mypy-matplotlib.*,tqdm.*,scipy.*,dask.*,distributed.*,emcee.*,MulensModel.*,corner.*]
ignore_missing_imports = True
"""


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """Runs mypy with the repository's stub first on the search path."""
    pytest.importorskip("mypy")
    work = tmp_path_factory.mktemp("mypy")
    config = work / "mypy.ini"
    config.write_text(MYPY_CONFIG)

    def run(*args, module="mypy"):
        option = "--mypy-config-file" if module == "mypy.stubtest" else "--config-file"
        return subprocess.run(
            [sys.executable, "-m", module, option, str(config), *map(str, args)],
            capture_output=True, text=True, timeout=300,
            env=environment(MYPYPATH=str(STUB_DIR)), cwd=work,
        )

    run.work = work
    return run


def test_mypy_accepts_the_examples(mypy):
    proc = mypy("--cache-dir", mypy.work / "cache", *sorted(EXAMPLES.glob("*.py")))
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_stub_agrees_with_the_compiled_module(mypy):
    proc = mypy("tarnivox", module="mypy.stubtest")
    assert proc.returncode == 0, proc.stdout + proc.stderr


SNIPPET = """\
import array
from fractions import Fraction
import numpy as np
import tarnivox

a = tarnivox.witt_mao_magnification(np.linspace(0.0, 2.0, 5), 1, np.float64(0.1))
b = tarnivox.integrated_heyrovsky_magnification(array.array("d", [0.5]), True, Fraction(1, 10))
c = tarnivox.integrated_flux_map_heyrovsky_magnification(range(3), 1.0, 0.1, (0.0, 1.0), [1, 1])
d = tarnivox.discrete_flux_map_heyrovsky_magnification(b"\\x01", 1.0, np.int64(2), [0.5], [1.0])
e = tarnivox.heyrovsky_magnification(l=0.5, r=0.3, re=1, rstar=np.float32(1))
reveal_type(a)
reveal_type(e)
tarnivox.witt_mao_magnification("0.5", 1.0, 0.1)  # E
tarnivox.witt_mao_magnification([None], 1.0, 0.1)  # E
tarnivox.witt_mao_magnification(0.5, 1.0, 0.1)  # E
tarnivox.witt_mao_magnification([0.5], 1.0)  # E
tarnivox.witt_mao_magnification([0.5], 1.0, rho=0.1)  # E
tarnivox.heyrovsky_magnification([0.5], 0.3, 1.0, 1.0)  # E
tarnivox.heyrovsky_magnification("0.5", 0.3, 1.0, 1.0)  # E
f: list[float] = tarnivox.heyrovsky_magnification(0.5, 0.3, 1.0, 1.0)  # E
g: float = tarnivox.witt_mao_magnification([0.5], 1.0, 0.1)  # E
"""


def test_stub_types_accept_numbers_and_sequences_and_reject_the_rest(mypy):
    snippet = mypy.work / "snippet.py"
    snippet.write_text(SNIPPET)
    proc = mypy("--cache-dir", mypy.work / "cache", snippet)
    output = proc.stdout
    expected = {i for i, line in enumerate(SNIPPET.splitlines(), 1) if line.endswith("# E")}
    errors = {int(n) for n in re.findall(r"^snippet\.py:(\d+): error:", output, flags=re.M)}
    assert errors == expected, output
    revealed = re.findall(r'Revealed type is "([^"]+)"', output)
    assert [t.replace("builtins.", "") for t in revealed] == ["list[float]", "float"], output
