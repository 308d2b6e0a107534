"""Light curve of a microlensing event in which the lens passes over the star.

The lens-source separation follows u(t) = sqrt(u0^2 + ((t - t0)/tE)^2) in
Einstein radii; tarnivox takes separations in stellar radii, l = u / rho with
rho = rstar / re.  Printed: the point-source magnification and the
finite-source magnifications of a uniform star and of a star with linear limb
darkening (I(r) = 1 - 0.6 (1 - sqrt(1 - r^2))).

    python examples/light_curve.py
"""
import math

import tarnivox

T0, U0, TE = 0.0, 0.002, 20.0   # days, Einstein radii, days
RE, RSTAR = 1.0, 0.005          # rho = rstar / re = 0.005


def point_source(u):
    return (u * u + 2) / (u * math.sqrt(u * u + 4))


def main(n=41, half_width=0.3):
    rho = RSTAR / RE
    times = [T0 - half_width + 2 * half_width * i / (n - 1) for i in range(n)]
    u = [math.hypot(U0, (t - T0) / TE) for t in times]
    l = [ui / rho for ui in u]
    uniform = tarnivox.witt_mao_magnification(l, RE, RSTAR)
    darkened = tarnivox.integrated_heyrovsky_magnification(l, RE, RSTAR)
    print(f"# event: t0 = {T0} d, u0 = {U0}, tE = {TE} d, rho = {rho}")
    print(f"{'t [d]':>9} {'u':>10} {'l = u/rho':>10} {'A point':>12} {'A uniform':>12} {'A limb-dark':>12}")
    for t, ui, li, a, ld in zip(times, u, l, uniform, darkened):
        print(f"{t:9.4f} {ui:10.6f} {li:10.4f} {point_source(ui):12.4f} {a:12.4f} {ld:12.4f}")


if __name__ == "__main__":
    main()
