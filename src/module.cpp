// The module object of tarnivox and its function table.
//
// Single-phase initialisation: PyInit_tarnivox creates the module once and
// keeps it; a repeated initialisation in the same interpreter returns the same
// object, and an initialisation from a second interpreter is refused, since the
// module keeps process-wide state that is not per-interpreter.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "magnification/disk.hpp"
#include "magnification/ring.hpp"
#include "python/arguments.hpp"
#include "python/errors.hpp"
#include "python/guard.hpp"
#include "python/results.hpp"

namespace tarnivox {
namespace {

using py::FunctionDescription;
using py::Ref;

// ---------------------------------------------------------------- parameters

constexpr const char* L_RE_RSTAR[] = {"l", "re", "rstar"};
constexpr const char* L_R_RE_RSTAR[] = {"l", "r", "re", "rstar"};
constexpr const char* L_RE_RSTAR_BL_BF[] = {"l", "re", "rstar", "bl", "bf"};

constexpr FunctionDescription WITT_MAO{"witt_mao_magnification", L_RE_RSTAR, 3};
constexpr FunctionDescription INTEGRATED_WITT_MAO{"integrated_witt_mao_magnification", L_RE_RSTAR, 3};
constexpr FunctionDescription FLUX_MAP_WITT_MAO{"integrated_flux_map_witt_mao_magnification",
                                                L_RE_RSTAR_BL_BF, 5};
constexpr FunctionDescription HEYROVSKY{"heyrovsky_magnification", L_R_RE_RSTAR, 4};
constexpr FunctionDescription INTEGRATED_HEYROVSKY{"integrated_heyrovsky_magnification",
                                                   L_RE_RSTAR, 3};
constexpr FunctionDescription FLUX_MAP_HEYROVSKY{"integrated_flux_map_heyrovsky_magnification",
                                                 L_RE_RSTAR_BL_BF, 5};
constexpr FunctionDescription DISCRETE_HEYROVSKY{"discrete_flux_map_heyrovsky_magnification",
                                                 L_RE_RSTAR_BL_BF, 5};

// ------------------------------------------------------- entry points

// f(l, re, rstar): a sequence and two numbers.
template <const FunctionDescription& F, auto Compute>
PyObject* l_re_rstar_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry_guard([&]() -> PyObject* {
        PyObject* slot[3];
        if (!py::parse_arguments(F, args, nargs, kwnames, slot)) return nullptr;
        std::vector<double> l;
        double re, rstar;
        if (!py::extract_vector(slot[0], "l", l) || !py::extract_number(slot[1], "re", re) ||
            !py::extract_number(slot[2], "rstar", rstar))
            return nullptr;
        return py::to_python(Compute(l, re, rstar, StopPoll(py::signal_handler_raised)));
    });
}

// f(l, re, rstar, bl, bf): a sequence, two numbers and a tabulated profile,
// whose two columns must have equal lengths.
template <const FunctionDescription& F, auto Compute>
PyObject* l_re_rstar_bl_bf_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return py::entry_guard([&]() -> PyObject* {
        PyObject* slot[5];
        if (!py::parse_arguments(F, args, nargs, kwnames, slot)) return nullptr;
        std::vector<double> l, bl, bf;
        double re, rstar;
        if (!py::extract_vector(slot[0], "l", l) || !py::extract_number(slot[1], "re", re) ||
            !py::extract_number(slot[2], "rstar", rstar) || !py::extract_vector(slot[3], "bl", bl) ||
            !py::extract_vector(slot[4], "bf", bf))
            return nullptr;
        if (bl.size() != bf.size()) {
            py::fault("assertion `left == right` failed\n  left: " + std::to_string(bl.size()) +
                      "\n right: " + std::to_string(bf.size()));
        }
        return py::to_python(Compute(l, re, rstar, bl, bf, StopPoll(py::signal_handler_raised)));
    });
}

// heyrovsky_magnification(l, r, re, rstar): four numbers, one float.
PyObject* heyrovsky_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return py::entry_guard([&]() -> PyObject* {
        PyObject* slot[4];
        if (!py::parse_arguments(HEYROVSKY, args, nargs, kwnames, slot)) return nullptr;
        double l, r, re, rstar;
        if (!py::extract_number(slot[0], "l", l) || !py::extract_number(slot[1], "r", r) ||
            !py::extract_number(slot[2], "re", re) || !py::extract_number(slot[3], "rstar", rstar))
            return nullptr;
        return py::to_python(heyrovsky_magnification(l, r, re, rstar));
    });
}

// ------------------------------------------------------- the module

template <auto Entry>
constexpr PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(
        static_cast<PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>(Entry)));
}

// The docstring is only the text signature: __text_signature__ is the
// parenthesised list and __doc__ is None.
constexpr int FASTCALL = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef METHODS[] = {
    {"witt_mao_magnification",
     fastcall<l_re_rstar_entry<WITT_MAO, witt_mao_magnification>>(), FASTCALL,
     "witt_mao_magnification(l, re, rstar)\n--\n\n"},
    {"integrated_witt_mao_magnification",
     fastcall<l_re_rstar_entry<INTEGRATED_WITT_MAO, integrated_witt_mao_magnification>>(), FASTCALL,
     "integrated_witt_mao_magnification(l, re, rstar)\n--\n\n"},
    {"integrated_flux_map_witt_mao_magnification",
     fastcall<l_re_rstar_bl_bf_entry<FLUX_MAP_WITT_MAO, integrated_flux_map_witt_mao_magnification>>(),
     FASTCALL, "integrated_flux_map_witt_mao_magnification(l, re, rstar, bl, bf)\n--\n\n"},
    {"heyrovsky_magnification", fastcall<heyrovsky_entry>(), FASTCALL,
     "heyrovsky_magnification(l, r, re, rstar)\n--\n\n"},
    {"integrated_heyrovsky_magnification",
     fastcall<l_re_rstar_entry<INTEGRATED_HEYROVSKY, integrated_heyrovsky_magnification>>(), FASTCALL,
     "integrated_heyrovsky_magnification(l, re, rstar)\n--\n\n"},
    {"integrated_flux_map_heyrovsky_magnification",
     fastcall<l_re_rstar_bl_bf_entry<FLUX_MAP_HEYROVSKY, integrated_flux_map_heyrovsky_magnification>>(),
     FASTCALL, "integrated_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf)\n--\n\n"},
    {"discrete_flux_map_heyrovsky_magnification",
     fastcall<l_re_rstar_bl_bf_entry<DISCRETE_HEYROVSKY, discrete_ring_sum>>(), FASTCALL,
     "discrete_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf)\n--\n\n"},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "tarnivox",
    "A Python module implemented in C++.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> interpreter_id{-1};
std::atomic<PyObject*> module_slot{nullptr};

void raise_pending_or_system_error() {
    if (!PyErr_Occurred())
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
}

// Adds each function as an attribute and to __all__, in table order.
bool register_functions(PyObject* module) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return false;
    for (PyMethodDef& def : METHODS) {
        Ref function = Ref::steal(PyCMethod_New(&def, module, module_name.get(), nullptr));
        if (!function) return false;
        Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
        if (!name) return false;
        Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
        if (!all) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
            PyErr_Clear();
            all = Ref::steal(PyList_New(0));
            if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
        }
        if (PyList_Append(all.get(), name.get()) < 0) return false;
        if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return false;
    }
    return true;
}

PyObject* initialise() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        raise_pending_or_system_error();
        return nullptr;
    }
    std::int64_t expected = -1;
    if (!interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "C++ modules do not yet support subinterpreters, see "
                        "https://docs.python.org/3/c-api/init.html#sub-interpreter-support");
        return nullptr;
    }
    if (PyObject* existing = module_slot.load(std::memory_order_acquire)) return Py_NewRef(existing);
    Ref module = Ref::steal(PyModule_Create2(&MODULE_DEF, 1013));
    if (!module) {
        raise_pending_or_system_error();
        return nullptr;
    }
    if (!register_functions(module.get())) return nullptr;
    PyObject* stored = nullptr;
    if (module_slot.compare_exchange_strong(stored, module.get(), std::memory_order_acq_rel)) {
        stored = module.release();  // the slot keeps this reference
    }
    return Py_NewRef(stored);
}

}  // namespace
}  // namespace tarnivox

PyMODINIT_FUNC PyInit_tarnivox(void) { return tarnivox::py::entry_guard(tarnivox::initialise); }
