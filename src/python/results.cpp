#include "python/results.hpp"

#include "python/errors.hpp"

namespace tarnivox::py {
namespace {

[[noreturn]] void api_call_failed() {
    PyErr_Print();
    fault("Python API call failed");
}

}  // namespace

PyObject* to_python(double value) {
    PyObject* f = PyFloat_FromDouble(value);
    if (!f) api_call_failed();
    return f;
}

PyObject* to_python(const std::vector<double>& values) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) api_call_failed();
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* f = PyFloat_FromDouble(values[i]);
        if (!f) api_call_failed();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), f);
    }
    return list.release();
}

}  // namespace tarnivox::py
