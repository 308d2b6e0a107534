"""Fit a real microlensing event, MOA-2008-BLG-310, with a limb-darkened star.

MOA-2008-BLG-310 (Janczak et al. 2010, ApJ 711, 731) is a high-magnification
event whose lens crosses the source star: u0 ~ 0.003 Einstein radii against a
source radius rho ~ 0.005.  Its photometry, 3,482 epochs in 7 data sets from
6 telescopes in 4 bands, ships with MulensModel (``MulensModel.DATA_PATH``,
folder ``photometry_files/MB08310``); ``--data DIR`` reads the same IPAC
tables from elsewhere.  The files are not part of this repository.

The model is a point lens and a finite source on a straight line,

    u(t) = sqrt(u0^2 + ((t - t0) / tE)^2),    l = u / rho,  re = 1,  rstar = rho,

and, for data set k,  F_k(t) = fs_k A(t) + fb_k.

* **Time from a reference epoch.**  t0 is fitted as dt0 = t0 - T_REF with
  T_REF = HJD 2454656: Julian dates are ~2.45e6 days, so steps relative to
  t0 itself would be days wide, against a source crossing time of 0.05 d.
  The fit is given its own derivatives, with steps of 1e-5 of each
  parameter's natural scale (rho tE for t0), instead of least_squares'
  steps relative to each value.
* **Fluxes are linear.**  For any (t0, u0, tE, rho, u) the source and blend
  flux of every data set follow from a weighted linear least-squares fit
  (a 2x2 system per data set), so the non-linear search has only 4 or 5
  parameters, whatever the number of data sets.
* **Errors rescaled.**  Magnitudes become fluxes with the zero point 22,
  F = 10^(-0.4 (m - 22)) and sigma_F = 0.4 ln(10) F sigma_m.  After a first
  fit, each data set's errors are scaled so that its chi^2 per degree of
  freedom (epochs minus its two fluxes) is 1; then everything is refitted.
* **Limb darkening.**  First the built-in linear law (coefficient 0.6,
  tarnivox.integrated_heyrovsky_magnification).  Then a free linear
  coefficient u, through linear_limb_darkening (limb_darkening.py beside this
  script), exact for any u, from the uniform star A[I = 1] and the built-in
  law A_0.6:

      A_u = ((1 - u) A[I = 1] + (2u/3) A[I = mu]) / (1 - u/3),  A[I = mu] = 2 A_0.6 - A[I = 1].

  The two curves do not depend on the band: one coefficient per band would
  mix the same two curves with that band's u (see ``mix``).  Here one
  coefficient is shared by all bands.
  Last, a uniform star (tarnivox.witt_mao_magnification), whose Delta chi^2
  measures how strongly the data see the limb darkening.

Writes ``output/fit_real_event.json`` (each parameter as {"value", "sigma"},
chi^2, the number of model evaluations) and, with matplotlib,
``output/fit_real_event.png``: the data and the models around the peak, and
the residuals.

``--mcmc`` then samples the posterior of (t0, u0, tE, rho, u) with emcee,
the fluxes solved at each step, and writes ``output/fit_real_event_corner.png``.

    pip install '.[examples,mcmc]'     # numpy, scipy, matplotlib, tqdm, emcee, MulensModel
    python examples/fit_real_event.py [--data DIR] [--thin K] [--outdir DIR]
    python examples/fit_real_event.py --mcmc [--walkers 16] [--steps 300] [--burn 100]
"""

from __future__ import annotations

import argparse
import json
import math
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray
from scipy.optimize import least_squares

import tarnivox
from limb_darkening import linear_law_parts, mix_linear_law

Floats = NDArray[np.float64]

EVENT = "MOA-2008-BLG-310"
T_REF = 2454656.0  # HJD; every time below is in days from this epoch
ZERO_POINT = 22.0  # F = 10^(-0.4 (m - ZERO_POINT))
FIXED_U = 0.6  # the coefficient of tarnivox's built-in linear law

# Janczak et al. (2010); their model includes the planet, ours does not.
PUBLISHED = {"t0": 2454656.39975, "u0": 0.00300, "tE": 11.14, "t_star": 0.05487}

UNIFORM = "uniform star"
BUILT_IN = "linear law, u = 0.6"
FREE_U = "linear law, free u"
JSON_KEYS = {FREE_U: "linear_free_u", BUILT_IN: "linear_u_0.6", UNIFORM: "uniform"}
NAMES = ("t0", "u0", "tE", "rho", "u_ld")
UNITS = ("HJD", "", "d", "", "")


# --- the two curves of the linear law ------------------------------------------------

def mix(a_flat: Floats, a_law: Floats, u: float | Floats) -> Floats:
    """Magnification of the linear law I = 1 - u (1 - mu) from I = 1 and the built-in law.

    ((1 - u) A_flat + (2u/3) A_mu) / (1 - u/3) with A_mu = 2 A_0.6 - A_flat (the
    fluxes of I = 1 and I = mu are pi and 2 pi / 3).  ``u`` may be an array with
    each epoch's band coefficient: the two curves serve every band.
    """
    return mix_linear_law(a_flat, a_law, u)


def separations(x: Floats, t: Floats) -> tuple[Floats, float]:
    """l = u / rho in stellar radii, and rho, for x = (dt0, u0, tE, rho, ...)."""
    dt0, u0, te, rho = (float(v) for v in x[:4])
    return np.hypot(u0, (t - dt0) / te) / rho, rho


def profile_curves(x: Floats, t: Floats) -> tuple[Floats, Floats]:
    """A[I = 1] and A_0.6 at epochs t, for all bands (linear_law_parts)."""
    l, rho = separations(x, t)
    return linear_law_parts(l, 1.0, rho)


def magnification(x: Floats, law: str, t: Floats) -> Floats:
    """A(t) for x = (dt0, u0, tE, rho[, u]); t in days from T_REF."""
    if law == FREE_U:
        return mix(*profile_curves(x, t), float(x[4]))
    l, rho = separations(x, t)
    if law == UNIFORM:
        return np.asarray(tarnivox.witt_mao_magnification(l, 1.0, rho))
    return np.asarray(tarnivox.integrated_heyrovsky_magnification(l, 1.0, rho))


# --- the data -------------------------------------------------------------------------

@dataclass
class DataSet:
    name: str
    telescope: str
    band: str
    t: Floats  # days from T_REF
    mag: Floats
    mag_err: Floats


def read_ipac(path: Path) -> DataSet:
    """An IPAC table of the NASA Exoplanet Archive: JD, magnitude, its error."""
    header: dict[str, str] = {}
    rows: list[list[float]] = []
    for line in path.read_text().splitlines():
        if line.startswith("\\"):
            key, _, value = line[1:].partition("=")
            header[key.strip()] = value.strip().strip('"')
        elif line.strip() and not line.startswith("|"):
            rows.append([float(v) for v in line.split()[:3]])
    data = np.array(rows)
    name = path.name.split("_0300089")[0]
    return DataSet(name, header.get("TELESCOPE", "?"), header.get("TIME_SERIES_DATA_FILTER", "?"),
                   data[:, 0] - T_REF, data[:, 1], data[:, 2])


def find_data(folder: Path | None) -> Path:
    if folder is not None:
        return folder
    try:
        import MulensModel
    except ImportError:
        raise SystemExit("MulensModel is not installed: pip install '.[mcmc]' (or pip install MulensModel), "
                         "or give --data DIR with the MB08310 photometry files") from None
    return Path(MulensModel.DATA_PATH) / "photometry_files" / "MB08310"


def thinned(data: DataSet, k: int) -> DataSet:
    """Every k-th epoch (evenly spaced in index), at least 10 per data set."""
    n = data.t.size
    keep = np.unique(np.round(np.linspace(0, n - 1, min(n, max(10, -(-n // k))))).astype(int))
    return DataSet(data.name, data.telescope, data.band,
                   data.t[keep], data.mag[keep], data.mag_err[keep])


class Event:
    """All data sets as one array, with the linear fluxes solved per data set."""

    def __init__(self, sets: list[DataSet]) -> None:
        self.sets = sets
        self.t = np.concatenate([s.t for s in sets])
        mag = np.concatenate([s.mag for s in sets])
        self.flux: Floats = 10.0 ** (-0.4 * (mag - ZERO_POINT))
        self.sigma: Floats = 0.4 * math.log(10.0) * self.flux * np.concatenate([s.mag_err for s in sets])
        self.counts = np.array([s.t.size for s in sets])
        self.starts = np.concatenate([[0], np.cumsum(self.counts)[:-1]])
        self.which = np.repeat(np.arange(len(sets)), self.counts)  # data set of each epoch
        self.error_scale = np.ones(len(sets))
        # Model evaluations: light curves over all epochs, each for one
        # (t0, u0, tE, rho); for a free u that is both profile curves.
        self.evaluations = 0
        self.curves: tuple[bytes, Floats, Floats] | None = None

    def model(self, x: Floats, law: str) -> Floats:
        """A at every epoch; the profile curves of the last geometry are kept,
        so a step in u alone (a column of the Jacobian) costs no new curve."""
        if law != FREE_U:
            self.evaluations += 1
            return magnification(x, law, self.t)
        key = x[:4].tobytes()
        if self.curves is None or self.curves[0] != key:
            self.evaluations += 1
            self.curves = (key, *profile_curves(x, self.t))
        return mix(self.curves[1], self.curves[2], float(x[4]))

    def fluxes(self, a: Floats) -> tuple[Floats, Floats]:
        """Weighted linear least squares of F = fs A + fb, per data set."""
        w = 1.0 / self.sigma ** 2

        def total(v: Floats) -> Floats:
            return np.add.reduceat(v, self.starts)

        s1, sa, saa = total(w), total(w * a), total(w * a * a)
        sf, saf = total(w * self.flux), total(w * a * self.flux)
        det = s1 * saa - sa * sa
        return (s1 * saf - sa * sf) / det, (saa * sf - sa * saf) / det

    def residuals(self, x: Floats, law: str) -> Floats:
        a = self.model(x, law)
        fs, fb = self.fluxes(a)
        return (self.flux - fs[self.which] * a - fb[self.which]) / self.sigma

    def chi2_per_set(self, x: Floats, law: str) -> Floats:
        return np.add.reduceat(self.residuals(x, law) ** 2, self.starts)

    def rescale_errors(self, x: Floats, law: str) -> None:
        """Scale each data set's errors to chi^2 / (epochs - 2) = 1 at x."""
        factor = np.sqrt(self.chi2_per_set(x, law) / (self.counts - 2))
        self.error_scale *= factor
        self.sigma = self.sigma * factor[self.which]


# --- fitting --------------------------------------------------------------------------

def steps(x: Floats) -> Floats:
    """Finite-difference steps: 1e-5 of each parameter's natural scale.

    t0 is measured against the crossing time rho tE; u0 against rho.  The
    magnification is accurate to ~1e-13, so these steps give derivatives good
    to ~1e-5, while a relative step on t0 in full HJD would be days wide.
    """
    _, _, te, rho = x[:4]
    scale = [rho * te, rho, te, rho, 1.0][: x.size]
    return 1e-5 * np.array(scale)


@dataclass
class Fit:
    law: str
    x: Floats
    sigma: Floats
    covariance: Floats
    chi2: float
    dof: int
    evaluations: int
    seconds: float


def fit(event: Event, law: str, start: Floats) -> Fit:
    """least_squares on the non-linear parameters, the fluxes solved inside."""
    cache: dict[bytes, Floats] = {}

    def residuals(x: Floats) -> Floats:
        key = x.tobytes()
        if key not in cache:
            cache.clear()
            cache[key] = event.residuals(x, law)
        return cache[key]

    def jacobian(x: Floats) -> Floats:
        r0, h = residuals(x), steps(x)
        columns = []
        for k in range(x.size):
            xk = x.copy()
            xk[k] += h[k]
            columns.append((event.residuals(xk, law) - r0) / h[k])
        return np.column_stack(columns)

    n = start.size
    lower = [-np.inf, 0.0, 0.0, 0.0, 0.0][:n]
    upper = [np.inf, np.inf, np.inf, np.inf, 1.0][:n]
    before, began = event.evaluations, time.perf_counter()
    result = least_squares(residuals, start, jac=jacobian, bounds=(lower, upper), x_scale="jac")
    seconds = time.perf_counter() - began
    x = result.x
    jac = result.jac  # forward differences at the optimum: enough for the errors
    covariance = np.linalg.inv(jac.T @ jac)
    chi2 = float(np.sum(residuals(x) ** 2))
    dof = event.t.size - 2 * len(event.sets) - n
    return Fit(law, x, np.sqrt(np.diag(covariance)), covariance, chi2, dof,
               event.evaluations - before, seconds)


def grid_start(event: Event) -> Floats:
    """A start for the fits: a coarse grid of uniform stars (well under 1 ms each).

    t0 within half a day of the brightest epoch of the largest data set, in
    steps of 0.02 d (less than the crossing time of a star with rho tE ~ 0.05 d);
    u0 and rho on logarithmic grids; tE = 10 d.
    """
    big = max(event.sets, key=lambda s: s.t.size)
    brightest = float(big.t[np.argmin(big.mag)])
    best, best_chi2 = np.zeros(4), np.inf
    for dt0 in brightest + np.linspace(-0.5, 0.5, 51):
        for u0 in np.geomspace(1e-4, 0.1, 10):
            for rho in np.geomspace(3e-4, 0.1, 10):
                x = np.array([dt0, u0, 10.0, rho])
                chi2 = float(np.sum(event.residuals(x, UNIFORM) ** 2))
                if chi2 < best_chi2:
                    best, best_chi2 = x, chi2
    return best


def t_star(f: Fit) -> tuple[float, float]:
    """The crossing time rho tE and its error, through the covariance."""
    te, rho = f.x[2], f.x[3]
    gradient = np.zeros(f.x.size)
    gradient[2], gradient[3] = rho, te
    return float(rho * te), float(np.sqrt(gradient @ f.covariance @ gradient))


# --- output ---------------------------------------------------------------------------

def report(event: Event, fits: dict[str, Fit]) -> None:
    print(f"\n{'data set':9} {'telescope':28} {'band':10} {'epochs':>6} {'error x':>8} "
          f"{'source F':>10} {'blend F':>10}")
    best = fits[FREE_U]
    fs, fb = event.fluxes(magnification(best.x, FREE_U, event.t))
    for s, scale, fsk, fbk in zip(event.sets, event.error_scale, fs, fb):
        print(f"{s.name:9} {s.telescope:28} {s.band:10} {s.t.size:6d} {scale:8.3f} "
              f"{fsk:10.4g} {fbk:10.4g}")
    print(f"(fluxes for the zero point {ZERO_POINT:g}: F = 10^(-0.4 (m - {ZERO_POINT:g})))")

    print(f"\n{'model':22} {'chi2':>10} {'dof':>6} {'Delta chi2':>11} {'evaluations':>12} {'time':>8}")
    for f in fits.values():
        print(f"{f.law:22} {f.chi2:10.1f} {f.dof:6d} {f.chi2 - best.chi2:11.1f} "
              f"{f.evaluations:12d} {f.seconds:7.1f}s")

    print(f"\n{'':6} {'fitted (free u)':>16} {'1 sigma':>10} {'u = 0.6':>15} {'uniform':>15} "
          f"{'published':>15}")
    others = (fits[BUILT_IN].x, fits[UNIFORM].x)
    for k, (name, unit) in enumerate(zip(NAMES, UNITS)):
        offset = T_REF if name == "t0" else 0.0
        form = "15.7f" if name == "t0" else "15.7g"
        cells = [f"{v[k] + offset:{form}}" if k < v.size else f"{'-':>15}" for v in others]
        published = {"t0": f"{PUBLISHED['t0']:15.7f}", "u0": f"{PUBLISHED['u0']:15.5f}",
                     "tE": f"{PUBLISHED['tE']:15.2f}",
                     "rho": f"{PUBLISHED['t_star'] / PUBLISHED['tE']:15.6f}"}.get(name, f"{'':15}")
        value = best.x[k] + offset
        text = f"{value:16.7f}" if name == "t0" else f"{value:16.6g}"
        print(f"{name:6} {text} {best.sigma[k]:10.2g} {cells[0]} {cells[1]} {published}  {unit}")
    ts, ts_sigma = t_star(best)
    print(f"{'t*':6} {ts:16.6g} {ts_sigma:10.2g} {'':15} {'':15} {PUBLISHED['t_star']:15.5f}  d")
    print("The published model includes the planet (a bump near the peak), so its t0 and "
          "the other parameters may differ from this single-lens fit by more than the errors.")


def plot(event: Event, fits: dict[str, Fit], path: Path) -> bool:
    """Data and models around the peak, and the residuals in magnitudes."""
    try:
        from matplotlib.figure import Figure
    except ImportError:
        return False
    best = fits[FREE_U]
    dt0, t_cross = float(best.x[0]), t_star(best)[0]
    half = 5.0 * t_cross
    t = np.linspace(dt0 - half, dt0 + half, 600)
    a_best = magnification(best.x, FREE_U, event.t)
    fs, fb = event.fluxes(a_best)
    near = np.abs(event.t - dt0) < half

    fig = Figure(figsize=(9.0, 7.0))
    top, bottom = fig.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [2, 1]})
    # Each model with its own fluxes, drawn on the best fit's magnification
    # scale through the fluxes of the largest data set.
    ref = int(np.argmax(event.counts))
    curves = {}
    for f in fits.values():
        fs_f, fb_f = event.fluxes(magnification(f.x, f.law, event.t))
        flux = fs_f[ref] * magnification(f.x, f.law, t) + fb_f[ref]
        curves[f.law] = (flux - fb[ref]) / fs[ref]
    for law, style in ((FREE_U, "-"), (BUILT_IN, "--"), (UNIFORM, ":")):
        top.plot(t, curves[law], "k" + style, lw=1.0, label=law)
    flux_ref = fs[ref] * curves[FREE_U] + fb[ref]
    for law, style in ((BUILT_IN, "--"), (UNIFORM, ":")):
        flux = fs[ref] * curves[law] + fb[ref]
        bottom.plot(t, -2.5 * np.log10(flux / flux_ref), "k" + style, lw=1.0)
    for k, s in enumerate(event.sets):
        mine = near & (event.which == k)
        if not mine.any():
            continue
        observed = (event.flux[mine] - fb[k]) / fs[k]  # data on the magnification scale
        top.errorbar(event.t[mine], observed, event.sigma[mine] / fs[k], fmt="o", ms=2.5,
                     lw=0.6, label=f"{s.name} ({s.band})")
        model_flux = fs[k] * a_best[mine] + fb[k]
        bottom.errorbar(event.t[mine], -2.5 * np.log10(event.flux[mine] / model_flux),
                        1.0857 * event.sigma[mine] / event.flux[mine], fmt="o", ms=2.5, lw=0.6)
    top.set_ylabel("magnification")
    top.set_title(f"{EVENT}: point lens, finite limb-darkened source (u = {best.x[4]:.2f})")
    top.legend(fontsize=7, ncol=2)
    bottom.axhline(0.0, color="grey", lw=0.5)
    bottom.set_ylim(0.15, -0.15)
    bottom.set_ylabel("minus free-u model [mag]")
    bottom.set_xlabel(f"HJD - {T_REF:.0f} [d]")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    return True


# --- posterior sampling ---------------------------------------------------------------

def sample(event: Event, best: Fit, args: argparse.Namespace) -> dict[str, Any]:
    """emcee over (dt0, u0, tE, rho, u), the fluxes solved for every model."""
    import emcee

    lower = np.array([-np.inf, 0.0, 0.0, 0.0, 0.0])
    upper = np.array([np.inf, np.inf, np.inf, np.inf, 1.0])

    def log_probability(x: Floats) -> float:
        if np.any(x < lower) or np.any(x > upper):
            return -np.inf
        return -0.5 * float(np.sum(event.residuals(x, FREE_U) ** 2))

    rng = np.random.default_rng(args.seed)
    start = rng.multivariate_normal(best.x, 0.01 * best.covariance, size=args.walkers)
    start = np.clip(start, lower + 1e-12, upper - 1e-12)
    sampler = emcee.EnsembleSampler(args.walkers, best.x.size, log_probability)
    before, began, cpu = event.evaluations, time.perf_counter(), time.process_time()
    sampler.run_mcmc(start, args.steps, progress=True)
    seconds, cpu = time.perf_counter() - began, time.process_time() - cpu
    evaluations = event.evaluations - before
    acceptance = float(np.mean(sampler.acceptance_fraction))
    burn = min(args.burn, args.steps - 1)
    chain = sampler.get_chain(discard=burn, flat=True)
    chain[:, 0] += T_REF
    with np.errstate(divide="ignore", invalid="ignore"):  # a chain of a few steps has no estimate
        tau = np.asarray(sampler.get_autocorr_time(discard=burn, tol=0, quiet=True))

    print(f"\nemcee: {args.walkers} walkers x {args.steps} steps, {evaluations} model evaluations "
          f"in {seconds:.1f} s: {1e3 * seconds / evaluations:.1f} ms per evaluation "
          f"({evaluations / seconds:.1f} per second; CPU {1e3 * cpu / evaluations:.1f} ms), "
          f"acceptance fraction {acceptance:.2f}")
    kept = args.steps - burn
    if kept >= 50 and np.all(np.isfinite(tau)):
        print(f"autocorrelation time ~{np.max(tau):.0f} steps; {kept} steps kept after {burn} of "
              "burn-in (a converged posterior and a reliable estimate need ~50 times as many)")
    else:
        print(f"{kept} steps kept after {burn} of burn-in: too few to estimate the autocorrelation "
              "time, and far too few for a converged posterior")
    summary = {}
    print(f"{'':6} {'median':>16} {'-1 sigma':>10} {'+1 sigma':>10}   (16th, 50th, 84th percentiles)")
    for k, name in enumerate(NAMES):
        lo, mid, hi = np.percentile(chain[:, k], [16, 50, 84])
        summary[name] = {"median": mid, "minus": mid - lo, "plus": hi - mid}
        text = f"{mid:16.7f}" if name == "t0" else f"{mid:16.6g}"
        print(f"{name:6} {text} {mid - lo:10.2g} {hi - mid:10.2g}")
    path = args.outdir / "fit_real_event_corner.png"
    if corner_plot(chain, path):
        print(f"wrote {path}")
    return {
        "walkers": args.walkers, "steps": args.steps, "burn": burn, "evaluations": evaluations,
        "seconds": seconds, "seconds_per_evaluation": seconds / evaluations,
        "cpu_seconds_per_evaluation": cpu / evaluations,
        "acceptance_fraction": acceptance,
        "autocorrelation_time": [float(v) if np.isfinite(v) else None for v in tau],
        "parameters": summary,
    }


def corner_plot(chain: Floats, path: Path) -> bool:
    """Histograms and pairwise scatter of the samples (corner's, if installed)."""
    labels = ["t0 - %.0f" % T_REF, "u0", "tE", "rho", "u"]
    shown = chain - np.array([T_REF, 0, 0, 0, 0])
    try:
        import corner
    except ImportError:
        pass
    else:
        corner.corner(shown, labels=labels, quantiles=[0.16, 0.5, 0.84]).savefig(path, dpi=100)
        return True
    try:
        from matplotlib.figure import Figure
    except ImportError:
        return False
    n = shown.shape[1]
    fig = Figure(figsize=(2.0 * n, 2.0 * n))
    axes = fig.subplots(n, n)
    for i in range(n):
        for j in range(n):
            ax = axes[i, j]
            if j > i:
                ax.set_axis_off()
                continue
            if i == j:
                ax.hist(shown[:, i], bins=30, histtype="step", color="k")
                ax.set_yticks([])
            else:
                ax.plot(shown[:, j], shown[:, i], "k.", ms=1, alpha=0.3)
            if i == n - 1:
                ax.set_xlabel(labels[j])
            else:
                ax.set_xticklabels([])
            if j == 0 and i > 0:
                ax.set_ylabel(labels[i])
            elif j > 0:
                ax.set_yticklabels([])
            ax.locator_params(nbins=3)
            ax.tick_params(labelsize=6)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    return True


# --- the run --------------------------------------------------------------------------

def main() -> None:
    parser = argparse.ArgumentParser(description=f"Fit {EVENT} with a limb-darkened finite source.")
    parser.add_argument("--data", type=Path, default=None,
                        help="folder with the MB08310 *.tbl files (default: MulensModel's)")
    parser.add_argument("--thin", type=int, default=1,
                        help="keep every THIN-th epoch of each data set, at least 10 (default 1: all)")
    parser.add_argument("--outdir", type=Path, default=Path(__file__).resolve().parent / "output",
                        help="folder for the JSON file and the plots")
    parser.add_argument("--mcmc", action="store_true", help="sample the posterior with emcee")
    parser.add_argument("--walkers", type=int, default=16, help="emcee walkers (default 16)")
    parser.add_argument("--steps", type=int, default=300, help="emcee steps (default 300)")
    parser.add_argument("--burn", type=int, default=100, help="steps discarded as burn-in (default 100)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the walkers' start (default 1)")
    args = parser.parse_args()
    if args.mcmc:
        try:
            import emcee  # noqa: F401
        except ImportError:
            raise SystemExit("--mcmc needs emcee: pip install '.[mcmc]' (or pip install emcee)") from None

    folder = find_data(args.data)
    sets = [read_ipac(p) for p in sorted(folder.glob("*.tbl"))]
    if not sets:
        raise SystemExit(f"no *.tbl files in {folder}")
    if args.thin > 1:
        sets = [thinned(s, args.thin) for s in sets]
    event = Event(sets)
    print(f"{EVENT}: {event.t.size} epochs in {len(sets)} data sets from {folder}")

    began = time.perf_counter()
    start = grid_start(event)
    grid = event.evaluations
    uniform = fit(event, UNIFORM, start)
    first = fit(event, BUILT_IN, uniform.x)  # with the published errors
    event.rescale_errors(first.x, BUILT_IN)
    fits = {BUILT_IN: fit(event, BUILT_IN, first.x)}
    fits[FREE_U] = fit(event, FREE_U, np.append(fits[BUILT_IN].x, FIXED_U))
    fits[UNIFORM] = fit(event, UNIFORM, uniform.x)
    seconds = time.perf_counter() - began
    fits = {law: fits[law] for law in (FREE_U, BUILT_IN, UNIFORM)}
    best = fits[FREE_U]
    print(f"first fit ({BUILT_IN}, published errors): chi2 = {first.chi2:.1f} for {first.dof} dof; "
          "errors rescaled per data set to chi2/dof = 1")
    print(f"start from {grid} uniform-star curves on a grid; all fits: "
          f"{event.evaluations - grid} model evaluations; {seconds:.1f} s in all")
    report(event, fits)

    args.outdir.mkdir(parents=True, exist_ok=True)
    result: dict[str, Any] = {
        "event": EVENT,
        "t_ref": T_REF,
        "epochs": int(event.t.size),
    }
    for k, name in enumerate(NAMES):
        result[name] = {"value": float(best.x[k] + (T_REF if name == "t0" else 0.0)),
                        "sigma": float(best.sigma[k])}
    ts, ts_sigma = t_star(best)
    result["t_star"] = {"value": ts, "sigma": ts_sigma}
    result.update({
        "chi2": best.chi2,
        "dof": best.dof,
        "chi2_published_errors": first.chi2,
        "model_evaluations": event.evaluations - grid,
        "grid_evaluations": grid,
        "seconds": seconds,
        "fits": {JSON_KEYS[f.law]: {
            "chi2": f.chi2, "dof": f.dof, "delta_chi2": f.chi2 - best.chi2,
            "parameters": {name: float(v + (T_REF if name == "t0" else 0.0))
                           for name, v in zip(NAMES, f.x)},
            "evaluations": f.evaluations, "seconds": f.seconds,
        } for f in fits.values()},
        "data_sets": [{"name": s.name, "telescope": s.telescope, "band": s.band,
                       "epochs": int(s.t.size), "error_scale": float(scale),
                       "source_flux": float(fsk), "blend_flux": float(fbk)}
                      for s, scale, fsk, fbk in zip(sets, event.error_scale,
                                                    *event.fluxes(magnification(best.x, FREE_U, event.t)))],
        "published": PUBLISHED,
    })
    png = args.outdir / "fit_real_event.png"
    if plot(event, fits, png):
        print(f"wrote {png}")
    else:
        print("matplotlib is not installed, so no plot was made; "
              "pip install '.[examples]' (or pip install matplotlib) to get fit_real_event.png")
    if args.mcmc:
        result["mcmc"] = sample(event, best, args)
    path = args.outdir / "fit_real_event.json"
    path.write_text(json.dumps(result, indent=2) + "\n")
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
