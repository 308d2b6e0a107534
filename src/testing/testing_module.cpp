// _tarnivox_testing: a private module that exposes the numerical kernels to
// the test suite and the benchmarks.  tarnivox itself never imports it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <string>
#include <vector>

#include "magnification/disk.hpp"
#include "magnification/ring.hpp"
#include "numeric/carlson.hpp"
#include "numeric/interp.hpp"
#include "numeric/legendre.hpp"
#include "numeric/tanh_sinh.hpp"

namespace tarnivox {
namespace {

PyObject* value_or_raise(const Numeric<double>& r) {
    if (!r) {
        PyErr_SetString(PyExc_RuntimeError, r.error().message());
        return nullptr;
    }
    return PyFloat_FromDouble(*r);
}

Numeric<double> concentric_disk_numeric(double u, double a) { return concentric_disk_magnification(u, a); }

template <Numeric<double> (*Kernel)(double)>
PyObject* kernel1(PyObject*, PyObject* args) {
    double a;
    if (!PyArg_ParseTuple(args, "d", &a)) return nullptr;
    return value_or_raise(Kernel(a));
}
template <Numeric<double> (*Kernel)(double, double)>
PyObject* kernel2(PyObject*, PyObject* args) {
    double a, b;
    if (!PyArg_ParseTuple(args, "dd", &a, &b)) return nullptr;
    return value_or_raise(Kernel(a, b));
}
template <Numeric<double> (*Kernel)(double, double, double)>
PyObject* kernel3(PyObject*, PyObject* args) {
    double a, b, c;
    if (!PyArg_ParseTuple(args, "ddd", &a, &b, &c)) return nullptr;
    return value_or_raise(Kernel(a, b, c));
}
template <Numeric<double> (*Kernel)(double, double, double, double)>
PyObject* kernel4(PyObject*, PyObject* args) {
    double a, b, c, d;
    if (!PyArg_ParseTuple(args, "dddd", &a, &b, &c, &d)) return nullptr;
    return value_or_raise(Kernel(a, b, c, d));
}

// A contiguous float64 buffer (a NumPy array, array('d'), ...).
struct DoubleBuffer {
    Py_buffer view{};
    bool ok = false;
    DoubleBuffer(PyObject* obj, bool writable) {
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (PyObject_GetBuffer(obj, &view, flags) < 0) return;
        if (view.itemsize != sizeof(double) || !view.format || std::string(view.format) != "d") {
            PyErr_SetString(PyExc_TypeError, "expected a contiguous float64 buffer");
            PyBuffer_Release(&view);
            return;
        }
        ok = true;
    }
    ~DoubleBuffer() {
        if (ok) PyBuffer_Release(&view);
    }
    double* data() const { return static_cast<double*>(view.buf); }
    Py_ssize_t size() const { return view.len / static_cast<Py_ssize_t>(sizeof(double)); }
};

// ellippi_many(n, m, out): out[i] = Pi(n[i], m[i]) over float64 buffers,
// raising RuntimeError at the first failure.  Used by the benchmarks.
PyObject* ellippi_many(PyObject*, PyObject* args) {
    PyObject *n_obj, *m_obj, *out_obj;
    if (!PyArg_ParseTuple(args, "OOO", &n_obj, &m_obj, &out_obj)) return nullptr;
    DoubleBuffer n(n_obj, false);
    if (!n.ok) return nullptr;
    DoubleBuffer m(m_obj, false);
    if (!m.ok) return nullptr;
    DoubleBuffer out(out_obj, true);
    if (!out.ok) return nullptr;
    if (n.size() != m.size() || n.size() != out.size()) {
        PyErr_SetString(PyExc_ValueError, "n, m and out must have the same length");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < n.size(); ++i) {
        const auto r = ellippi(n.data()[i], m.data()[i]);
        if (!r) {
            PyErr_SetString(PyExc_RuntimeError, r.error().message());
            return nullptr;
        }
        out.data()[i] = *r;
    }
    Py_RETURN_NONE;
}

// integrate(f, a, b, tolerance) -> (value, abs_error, evaluations).  If f
// raises, the remaining samples are NaN and the exception is re-raised.
PyObject* integrate_py(PyObject*, PyObject* args) {
    PyObject* f;
    double a, b, tolerance;
    if (!PyArg_ParseTuple(args, "Oddd", &f, &a, &b, &tolerance)) return nullptr;
    bool failed = false;
    auto integrand = [&](double x) -> double {
        if (failed) return NAN;
        PyObject* arg = PyFloat_FromDouble(x);
        if (!arg) {
            failed = true;
            return NAN;
        }
        PyObject* r = PyObject_CallOneArg(f, arg);
        Py_DECREF(arg);
        if (!r) {
            failed = true;
            return NAN;
        }
        const double v = PyFloat_AsDouble(r);
        Py_DECREF(r);
        if (v == -1.0 && PyErr_Occurred()) {
            failed = true;
            return NAN;
        }
        return v;
    };
    const QuadratureEstimate q = integrate(integrand, a, b, tolerance);
    if (failed) return nullptr;
    return Py_BuildValue("(ddI)", q.value, q.abs_error, static_cast<unsigned>(q.evaluations));
}

bool to_doubles(PyObject* seq, std::vector<double>& out) {
    PyObject* fast = PySequence_Fast(seq, "expected a sequence of floats");
    if (!fast) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const double v = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(fast, i));
        if (v == -1.0 && PyErr_Occurred()) {
            Py_DECREF(fast);
            return false;
        }
        out.push_back(v);
    }
    Py_DECREF(fast);
    return true;
}

bool parse_mode(const char* name, double fill, BoundaryMode& mode) {
    const std::string s(name);
    if (s == "extend") mode = BoundaryMode::extend();
    else if (s == "hold") mode = BoundaryMode::hold_ends();
    else if (s == "fill") mode = BoundaryMode::filled(fill);
    else {
        PyErr_SetString(PyExc_ValueError, "mode must be 'extend', 'hold' or 'fill'");
        return false;
    }
    return true;
}

// interp(x, y, xp, mode, fill=0.0, prepared=False)
PyObject* interp_py(PyObject*, PyObject* args) {
    PyObject *xs, *ys;
    double xp, fill = 0.0;
    const char* mode_name;
    int prepared = 0;
    if (!PyArg_ParseTuple(args, "OOds|dp", &xs, &ys, &xp, &mode_name, &fill, &prepared))
        return nullptr;
    std::vector<double> x, y;
    BoundaryMode mode{};
    if (!to_doubles(xs, x) || !to_doubles(ys, y) || !parse_mode(mode_name, fill, mode))
        return nullptr;
    if (prepared) return PyFloat_FromDouble(PiecewiseLinear(x, y, mode)(xp));
    return PyFloat_FromDouble(interp(x, y, xp, mode));
}

// tanh_sinh_nodes() -> list of levels, each a list of (w, x).
PyObject* tanh_sinh_nodes(PyObject*, PyObject*) {
    PyObject* levels = PyList_New(0);
    if (!levels) return nullptr;
    const TanhSinhPair* pair = tanh_sinh::NODES;
    for (int level = 0; level < tanh_sinh::LEVELS; ++level) {
        PyObject* list = PyList_New(0);
        if (!list || PyList_Append(levels, list) < 0) {
            Py_XDECREF(list);
            Py_DECREF(levels);
            return nullptr;
        }
        Py_DECREF(list);
        for (int j = 0; j < tanh_sinh::LEVEL_PAIRS[level]; ++j, ++pair) {
            PyObject* t = Py_BuildValue("(dd)", pair->w, pair->x);
            if (!t || PyList_Append(list, t) < 0) {
                Py_XDECREF(t);
                Py_DECREF(levels);
                return nullptr;
            }
            Py_DECREF(t);
        }
    }
    return levels;
}

// The built-in profile, recording every radius at which it is evaluated: one
// call per quadrature node of the profile-integrated magnifications.
struct RecordingProfile {
    std::vector<double>* radii;
    double operator()(double r) const {
        radii->push_back(r);
        return LinearLimbDarkening{}(r);
    }
};

void add_jumps(const RecordingProfile&, SourceCuts&) {}

// The ring magnification, recording every radius at which it is evaluated.
struct RecordingRing {
    std::vector<double>* radii;
    RingMagnification ring;
    double operator()(double l, double r) const {
        radii->push_back(r);
        return ring(l, r);
    }
};

PyObject* list_of(const std::vector<double>& v) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(v.size()));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* f = PyFloat_FromDouble(v[i]);
        if (!f) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), f);
    }
    return list;
}

// integrated_nodes(family, l, re, rstar) -> the radii r (stellar radii) at
// which one separation evaluates its ring magnifications (family 'ring') or
// the built-in profile (family 'disk').
PyObject* integrated_nodes(PyObject*, PyObject* args) {
    const char* family;
    double l, re, rstar;
    if (!PyArg_ParseTuple(args, "sddd", &family, &l, &re, &rstar)) return nullptr;
    std::vector<double> radii;
    const RecordingProfile profile{&radii};
    const std::vector<double> ls{l};
    if (std::string(family) == "ring") {
        _integrated_heyrovsky_magnification(ls, re, rstar, LinearLawSource(),
                                            RecordingRing{&radii, RingMagnification(re, rstar)});
    } else if (std::string(family) == "disk") {
        const auto r = _integrated_witt_mao_magnification(ls, re, rstar, profile, LinearLimbDarkening::NORM);
        if (!r) return value_or_raise(r.error());
    } else {
        PyErr_SetString(PyExc_ValueError, "family must be 'ring' or 'disk'");
        return nullptr;
    }
    return list_of(radii);
}

// The sum of the finite values of `ring`(l, r, re, rstar) over the float64
// buffer of radii in args (l, radii, re, rstar).
template <class Ring>
PyObject* sum_over_radii(PyObject* args, Ring ring) {
    double l, re, rstar;
    PyObject* radii_obj;
    if (!PyArg_ParseTuple(args, "dOdd", &l, &radii_obj, &re, &rstar)) return nullptr;
    DoubleBuffer radii(radii_obj, false);
    if (!radii.ok) return nullptr;
    double sum = 0;
    for (Py_ssize_t i = 0; i < radii.size(); ++i) {
        const double A = ring(l, radii.data()[i], re, rstar);
        if (std::isfinite(A)) sum += A;
    }
    return PyFloat_FromDouble(sum);
}

// ring_at(l, radii, re, rstar) -> sum of the finite ring magnifications
// (heyrovsky_magnification) at the given radii: the ring evaluations of the
// closed form, in a C loop.
PyObject* ring_at(PyObject*, PyObject* args) {
    return sum_over_radii(args, [](double l, double r, double re, double rstar) {
        const auto A = heyrovsky_magnification(l, r, re, rstar);
        return A ? *A : NAN;
    });
}

// ring_integrand(l, r, re, rstar) -> the ring magnification as the ring
// family's integrand evaluates it (NaN where it has no value).
PyObject* ring_integrand(PyObject*, PyObject* args) {
    double l, r, re, rstar;
    if (!PyArg_ParseTuple(args, "dddd", &l, &r, &re, &rstar)) return nullptr;
    return PyFloat_FromDouble(RingMagnification(re, rstar)(l, r));
}

// ring_integrand_at(l, radii, re, rstar) -> sum of the finite ring
// magnifications at the given radii as the ring family's integrand evaluates
// them (ring_integrand): the ring evaluations of an integral of that family.
PyObject* ring_integrand_at(PyObject*, PyObject* args) {
    return sum_over_radii(args, [](double l, double r, double re, double rstar) {
        return RingMagnification(re, rstar)(l, r);
    });
}

// disk_at(l, radii, re, rstar) -> sum of the finite concentric-disk
// magnifications that the disk family's integrand evaluates at each radius
// (r, r + h and r - h; none at a negative radius): the disk evaluations of an
// integral, without the quadrature.
PyObject* disk_at(PyObject*, PyObject* args) {
    double l, re, rstar;
    PyObject* radii_obj;
    if (!PyArg_ParseTuple(args, "dOdd", &l, &radii_obj, &re, &rstar)) return nullptr;
    DoubleBuffer radii(radii_obj, false);
    if (!radii.ok) return nullptr;
    const double rho = rstar / re;
    const double u = l * rho;
    double sum = 0;
    auto f = [&](double x) {
        const double v = concentric_disk_at(u, rho, x);
        if (std::isfinite(v)) sum += v;
        return v;
    };
    for (Py_ssize_t i = 0; i < radii.size(); ++i) annulus_flux(f, radii.data()[i]);
    return PyFloat_FromDouble(sum);
}

PyMethodDef METHODS[] = {
    {"integrated_nodes", integrated_nodes, METH_VARARGS, "integrated_nodes(family, l, re, rstar) -> node radii"},
    {"ring_at", ring_at, METH_VARARGS, "ring_at(l, radii, re, rstar) -> sum of ring magnifications"},
    {"ring_integrand", ring_integrand, METH_VARARGS, "ring_integrand(l, r, re, rstar) -> the ring family's ring magnification"},
    {"ring_integrand_at", ring_integrand_at, METH_VARARGS, "ring_integrand_at(l, radii, re, rstar) -> sum of the ring family's ring magnifications"},
    {"disk_at", disk_at, METH_VARARGS, "disk_at(l, radii, re, rstar) -> sum of the disk magnifications of the integrand at each radius"},
    {"concentric_disk", kernel2<concentric_disk_numeric>, METH_VARARGS, "concentric_disk(u, a): uniform disk of radius a at distance u"},
    {"elliprf", kernel3<elliprf>, METH_VARARGS, "R_F(x, y, z)"},
    {"elliprd", kernel3<elliprd>, METH_VARARGS, "R_D(x, y, z)"},
    {"elliprj", kernel4<elliprj>, METH_VARARGS, "R_J(x, y, z, p)"},
    {"elliprc", kernel2<elliprc>, METH_VARARGS, "R_C(x, y)"},
    {"ellipk", kernel1<ellipk>, METH_VARARGS, "K(m)"},
    {"ellipe", kernel1<ellipe>, METH_VARARGS, "E(m)"},
    {"ellippi", kernel2<ellippi>, METH_VARARGS, "Pi(n, m)"},
    {"ellippi_many", ellippi_many, METH_VARARGS, "out[i] = Pi(n[i], m[i]) over float64 buffers"},
    {"integrate", integrate_py, METH_VARARGS, "integrate(f, a, b, tolerance) -> (value, abs_error, evaluations)"},
    {"interp", interp_py, METH_VARARGS, "interp(x, y, xp, mode, fill=0.0, prepared=False)"},
    {"tanh_sinh_nodes", tanh_sinh_nodes, METH_NOARGS, "the abscissa-weight table, by level"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT, "_tarnivox_testing", "Private test support for tarnivox's numerical kernels.",
    -1, METHODS, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tarnivox

// The constants that place the formulas' branches, as module attributes, so
// that the tests and tools/hash_outputs.py probe the switches where they are.
PyMODINIT_FUNC PyInit__tarnivox_testing(void) {
    PyObject* module = PyModule_Create(&tarnivox::MODULE_DEF);
    if (module == nullptr) return nullptr;
    const struct {
        const char* name;
        double value;
    } constants[] = {
        {"CBRT_EPS", tarnivox::CBRT_EPS},
        {"RIM_FRACTION", tarnivox::RIM_FRACTION},
        {"SMALL_DISK_DISTANCE", tarnivox::SMALL_DISK_DISTANCE},
        {"NEAR_RING_FRACTION", tarnivox::NEAR_RING_FRACTION},
        {"SERIES_START", tarnivox::SERIES_START},
        {"PRODUCT_START", tarnivox::PRODUCT_START},
        {"PRODUCT_24_START", tarnivox::PRODUCT_24_START},
        {"PRODUCT_16_START", tarnivox::PRODUCT_16_START},
    };
    for (const auto& c : constants) {
        PyObject* value = PyFloat_FromDouble(c.value);
        const int added = value == nullptr ? -1 : PyModule_AddObjectRef(module, c.name, value);
        Py_XDECREF(value);
        if (added < 0) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    return module;
}
