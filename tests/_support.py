"""Shared by the robustness tests: a call that raises PanicException, and its type
(which tarnivox does not expose as an attribute)."""
import tarnivox


def mismatched_tables():
    tarnivox.discrete_flux_map_heyrovsky_magnification([0.5], 1.0, 1.0, [0.1], [])


def _panic_type():
    try:
        mismatched_tables()
    except BaseException as e:  # noqa: BLE001
        return type(e)
    raise AssertionError("mismatched profile tables did not raise")


PANIC = _panic_type()
