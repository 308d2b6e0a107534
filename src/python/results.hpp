// Conversion of a computation's outcome into a Python object: a value becomes
// a float or a list of floats, a numeric error RuntimeError with the kernel's
// text.  A result object that cannot be created is an internal fault.
#pragma once

#include <vector>

#include "numeric/stop_poll.hpp"
#include "numeric/numeric_result.hpp"
#include "python/ref.hpp"

namespace tarnivox::py {

PyObject* to_python(double value);
PyObject* to_python(const std::vector<double>& values);

template <class T>
PyObject* to_python(const Numeric<T>& outcome) {
    if (!outcome) {
        // A computation stopped by a signal handler's exception: it is set.
        if (is_stop(outcome.error())) return nullptr;
        PyErr_SetString(PyExc_RuntimeError, outcome.error().message());
        return nullptr;
    }
    return to_python(*outcome);
}

}  // namespace tarnivox::py
