"""Shared by the tests: the module's functions with their parameters, a call
that raises PanicException and its type (which tarnivox does not expose as an
attribute), and whether the process runs under AddressSanitizer."""
import tarnivox

# Registration order, with each function's parameters.
FUNCTIONS = {
    "witt_mao_magnification": ("l", "re", "rstar"),
    "integrated_witt_mao_magnification": ("l", "re", "rstar"),
    "integrated_flux_map_witt_mao_magnification": ("l", "re", "rstar", "bl", "bf"),
    "heyrovsky_magnification": ("l", "r", "re", "rstar"),
    "integrated_heyrovsky_magnification": ("l", "re", "rstar"),
    "integrated_flux_map_heyrovsky_magnification": ("l", "re", "rstar", "bl", "bf"),
    "discrete_flux_map_heyrovsky_magnification": ("l", "re", "rstar", "bl", "bf"),
}


def mismatched_tables():
    tarnivox.discrete_flux_map_heyrovsky_magnification([0.5], 1.0, 1.0, [0.1], [])


def _panic_type():
    try:
        mismatched_tables()
    except BaseException as e:  # noqa: BLE001
        return type(e)
    raise AssertionError("mismatched profile tables did not raise")


PANIC = _panic_type()


def under_asan():
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()
