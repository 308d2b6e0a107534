// Parsing of fast-call arguments against a function's parameter list, and
// conversion of numbers and sequences to 64-bit floats.  The parser's messages
// are CPython's own for the same mistakes.  The sequence messages ("Can't
// extract `str` to `Vec`", "'...' object cannot be converted to 'Sequence'")
// keep their established wording, odd as it reads here, because callers match
// on these texts: change none of them.
#pragma once

#include <vector>

#include "python/ref.hpp"

namespace tarnivox::py {

// The Python name and ordered parameter names of one function.  Every
// parameter is required and may be given by position or by keyword.
struct FunctionDescription {
    const char* name;
    const char* const* parameters;
    Py_ssize_t count;
};

// Fills slots[0 .. count) with borrowed references, or raises TypeError and
// returns false.
bool parse_arguments(const FunctionDescription& f, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** slots);

// An exact float is read directly; anything else goes through
// PyFloat_AsDouble (int, bool, float subclasses, __float__, __index__).
// On failure the exception is left set (relabelled with the parameter's
// name when it is exactly TypeError) and false returned.
bool extract_number(PyObject* obj, const char* parameter, double& out);

// Any sequence but str, element by element in iteration order.
bool extract_vector(PyObject* obj, const char* parameter, std::vector<double>& out);

}  // namespace tarnivox::py
