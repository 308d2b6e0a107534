#include "python/results.hpp"

#include "python/errors.hpp"

namespace tarnivox::py {
namespace {

// A result object could not be made.  Out of memory is an ordinary,
// recoverable Python error: MemoryError is left set and NULL returned.  Any
// other failure is an internal fault.
PyObject* result_failed() {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
    PyErr_Print();
    fault("Python API call failed");
}

}  // namespace

PyObject* to_python(double value) {
    PyObject* f = PyFloat_FromDouble(value);
    return f ? f : result_failed();
}

PyObject* to_python(const std::vector<double>& values) {
    // Making a float object takes some 20 ns: 8e6 results take a fifth of a
    // second, so signals are asked about here too, once per POLL_EVERY of
    // them (about a millisecond).  A handler that raises ends the call with
    // its exception; the partial list goes.  The handler is Python code that
    // may look through gc.get_objects(), where a list whose items are still
    // NULL must not be found: the list stays untracked by the collector
    // until it is whole.
    constexpr std::size_t POLL_EVERY = std::size_t{1} << 15;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return result_failed();
    PyObject_GC_UnTrack(list.get());
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i % POLL_EVERY == POLL_EVERY - 1 && signal_handler_raised()) return nullptr;
        PyObject* f = PyFloat_FromDouble(values[i]);
        if (!f) return result_failed();  // the partial list is released here
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), f);
    }
    PyObject_GC_Track(list.get());
    return list.release();
}

}  // namespace tarnivox::py
