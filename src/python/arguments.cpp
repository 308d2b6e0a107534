#include "python/arguments.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "numeric/stop_poll.hpp"
#include "python/errors.hpp"

namespace tarnivox::py {
namespace {

// A sequence's reported length only sizes the first allocation; a length
// that lies (or is absurd) must not reserve memory the data never needs.
constexpr Py_ssize_t MAX_RESERVE = Py_ssize_t{1} << 20;

// A long sequence takes a while to convert, so the conversions ask a StopPoll
// too, one unit of work per element: more often than they need, at a few
// nanoseconds a question every 1024 elements.
StopPoll signal_stop() { return StopPoll(signal_handler_raised); }

void raise_type_error(Ref message) {
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ",";
            out += " ";
            if (i + 1 == names.size()) out += "and ";
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

// A conversion of argument `parameter` failed with a pending exception.  An
// exception of exactly TypeError becomes TypeError("argument '<name>': <text>")
// keeping the original's __cause__; any other passes unchanged.
void relabel_conversion_failure(const char* parameter) {
    FetchedError e = fetch_error();
    if (e.type.get() != PyExc_TypeError || !e.value) {
        e.restore();
        return;
    }
    Ref text = Ref::steal(PyObject_Str(e.value.get()));
    if (!text) {
        PyErr_WriteUnraisable(e.value.get());
        Ref name = Ref::steal(PyType_GetName(Py_TYPE(e.value.get())));
        if (name) {
            text = Ref::steal(PyUnicode_FromFormat("<unprintable %U object>", name.get()));
        } else {
            PyErr_Clear();
            text = Ref::steal(PyUnicode_FromString("<unprintable object>"));
        }
        if (!text) return;
    }
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
    if (!message) return;
    Ref relabelled = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!relabelled) return;
    PyException_SetCause(relabelled.get(), PyException_GetCause(e.value.get()));
    PyErr_SetObject(PyExc_TypeError, relabelled.get());
}

inline bool number_or_relabel(PyObject* obj, const char* parameter, double& out) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        relabel_conversion_failure(parameter);
        return false;
    }
    out = v;
    return true;
}

// Every call that can run Python code (an element's __float__, a signal poll
// that runs a handler or, from CPython 3.12 on, the garbage collector and so
// any __del__) may change what the conversion is reading.  Nothing read before
// such a call is used after it: each loop reads its element, converts it,
// and only then asks the StopPoll, after which it reads everything afresh.

// Lists are read by index, re-reading the length at every step exactly as the
// list iterator does, so Python code that mutates the list (a handler that
// clears, shrinks or grows it, an element's __float__) sees the same outcome
// as with PyIter_Next: the conversion ends where the list now ends.  An item
// that is not an exact float is held by a strong reference while its
// __float__ runs, since that code may remove it from the list.
bool extract_list(PyObject* list, const char* parameter, std::vector<double>& out) {
    StopPoll stop = signal_stop();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);  // borrowed: not kept past this step
        double v;
        if (PyFloat_CheckExact(item)) {
            v = PyFloat_AS_DOUBLE(item);
        } else {
            Ref held = Ref::borrow(item);
            if (!number_or_relabel(held.get(), parameter, v)) return false;
        }
        out.push_back(v);
        if (stop.stop_after()) return false;
    }
    return true;
}

// A tuple cannot change: its length and items stay as they are for as long as
// it lives, and the caller's reference keeps it alive for the whole call, so
// the length is read once and an item needs no reference of its own.
bool extract_tuple(PyObject* tuple, const char* parameter, std::vector<double>& out) {
    const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    StopPoll stop = signal_stop();
    for (Py_ssize_t i = 0; i < n; ++i) {
        double v;
        if (!extract_number(PyTuple_GET_ITEM(tuple, i), parameter, v)) return false;
        out.push_back(v);
        if (stop.stop_after()) return false;
    }
    return true;
}

// An error of an optional step (a length, a buffer, a type lookup) that the
// conversion can do without: an ordinary Exception is cleared, and true
// returned.  A request to stop (KeyboardInterrupt, SystemExit: not an
// Exception) and a MemoryError are not failures of that step: they stay set,
// false returned, and end the call.  A PanicException is resumed as an
// internal fault by fetch_error.
bool clear_ordinary_error() {
    FetchedError e = fetch_error();
    if (!PyErr_GivenExceptionMatches(e.type.get(), PyExc_Exception) ||
        PyErr_GivenExceptionMatches(e.type.get(), PyExc_MemoryError)) {
        e.restore();
        return false;
    }
    return true;
}

// NumPy's own ndarray type, the one found as `ndarray` in the numpy module
// when someone has imported it (it is never imported here), or null.  A type
// merely named "numpy.ndarray" (any heap type can take that name) does not
// qualify.  The type is looked up once numpy is imported and kept with a
// strong reference for the rest of the process (this module refuses a second
// interpreter).  That reference keeps no more alive than NumPy itself does:
// its extension module, which holds the type, is never unloaded.  Looking it
// up may run Python code (a module's __getattr__, a key's __eq__, importlib
// finishing a module's initialisation); the interpreter lock is held, but
// that code can run other threads, which may look the type up too, so it is
// published with an atomic exchange.
//
// Null with `failed` set (and a Python error) when the lookup failed in a way
// that must end the call; a missing module, a missing or wrong attribute, or
// any other ordinary error just mean "not NumPy's ndarray".
PyTypeObject* numpy_ndarray_type(bool& failed) {
    static std::atomic<PyTypeObject*> ndarray{nullptr};
    failed = false;
    if (PyTypeObject* known = ndarray.load(std::memory_order_acquire)) return known;
    Ref name = Ref::steal(PyUnicode_FromString("numpy"));
    Ref numpy = name ? Ref::steal(PyImport_GetModule(name.get())) : Ref();
    Ref found = numpy && PyModule_Check(numpy.get())
                    ? Ref::steal(PyObject_GetAttrString(numpy.get(), "ndarray"))
                    : Ref();
    if (!found) {
        // PyImport_GetModule gives NULL without an error when numpy is not imported.
        if (PyErr_Occurred()) failed = !clear_ordinary_error();
        return nullptr;
    }
    if (!PyType_Check(found.get())) return nullptr;
    PyTypeObject* found_type = reinterpret_cast<PyTypeObject*>(found.get());
    if (std::strcmp(found_type->tp_name, "numpy.ndarray") != 0) return nullptr;
    PyTypeObject* expected = nullptr;
    if (ndarray.compare_exchange_strong(expected, found_type, std::memory_order_acq_rel)) {
        found.release();  // the process keeps this reference
        return found_type;
    }
    return expected;
}

// A one-dimensional NumPy array of native float64: iterating it yields
// numpy.float64 scalars (a float subclass) holding exactly these values, and
// cannot fail, so the buffer is read directly.  Only the exact ndarray type
// qualifies (a subclass may iterate differently).
//
// The buffer is held (exported) across the signal polls of the loop, and an
// exporter must keep an exported buffer's memory where it is until the export
// is released: NumPy refuses to resize an array while a buffer of it is out
// (the export holds a reference, which resize's reference check sees), and
// reshaping or restriding an array changes only its description, not its
// memory; the loop takes the length and stride from the view before it first
// polls.  So a handler that tries to shrink the array gets its own ValueError
// and the loop reads on safely; only resize(..., refcheck=False), which NumPy
// documents as unsafe for exactly this reason, could pull the memory away.  A
// handler may write into the array, which changes values read later, never
// their number.
enum class ArrayRead { NotQualified, Read, Failed };  // Failed: a Python error is set

ArrayRead extract_float64_array(PyObject* obj, std::vector<double>& out) {
    if (std::strcmp(Py_TYPE(obj)->tp_name, "numpy.ndarray") != 0) return ArrayRead::NotQualified;
    bool failed = false;
    PyTypeObject* ndarray = numpy_ndarray_type(failed);
    if (failed) return ArrayRead::Failed;
    // The lookup may have run Python code: the type is read again.
    if (!ndarray || Py_TYPE(obj) != ndarray) return ArrayRead::NotQualified;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) < 0)
        return clear_ordinary_error() ? ArrayRead::NotQualified : ArrayRead::Failed;
    // Released on every way out, a C++ exception from reserve included.
    struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&view};
    const bool qualifies = view.ndim == 1 && view.itemsize == sizeof(double) && view.format &&
                           std::strcmp(view.format, "d") == 0;
    if (!qualifies) return ArrayRead::NotQualified;
    const Py_ssize_t n = view.shape[0];
    const Py_ssize_t stride = view.strides ? view.strides[0] : Py_ssize_t{sizeof(double)};
    const char* p = static_cast<const char*>(view.buf);
    out.reserve(static_cast<std::size_t>(n));
    StopPoll stop = signal_stop();
    for (Py_ssize_t i = 0; i < n; ++i) {
        double v;
        std::memcpy(&v, p + i * stride, sizeof(double));
        out.push_back(v);
        if (stop.stop_after()) return ArrayRead::Failed;
    }
    return ArrayRead::Read;
}

// The iterator and each item it yields are held by strong references; the
// sequence itself is the caller's argument, alive for the whole call.
bool extract_iterable(PyObject* obj, const char* parameter, std::vector<double>& out) {
    Ref it = Ref::steal(PyObject_GetIter(obj));
    // An iterator returned with an error set is a failure: CPython 3.11's
    // iterator of a released memoryview comes back so, with the ValueError of
    // its length pending.  Nothing is called with that error still set.
    if (!it || PyErr_Occurred()) {
        relabel_conversion_failure(parameter);
        return false;
    }
    StopPoll stop = signal_stop();
    while (true) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) {
            if (PyErr_Occurred()) {
                relabel_conversion_failure(parameter);
                return false;
            }
            return true;
        }
        double v;
        if (!extract_number(item.get(), parameter, v)) return false;
        out.push_back(v);
        if (stop.stop_after()) return false;
    }
}

}  // namespace

bool parse_arguments(const FunctionDescription& f, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, PyObject** slots) {
    const Py_ssize_t n = f.count;
    if (nargs > n) {
        raise_type_error(Ref::steal(PyUnicode_FromFormat(
            "%s() takes %zd positional arguments but %zd %s given", f.name, n, nargs,
            nargs == 1 ? "was" : "were")));
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) slots[i] = i < nargs ? args[i] : nullptr;
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(key, &size);
            Py_ssize_t index = -1;
            if (!text) {
                PyErr_Clear();  // not encodable: cannot name a parameter
            } else {
                for (Py_ssize_t i = 0; i < n; ++i) {
                    const char* p = f.parameters[i];
                    if (std::strlen(p) == static_cast<std::size_t>(size) &&
                        std::memcmp(p, text, static_cast<std::size_t>(size)) == 0) {
                        index = i;
                        break;
                    }
                }
            }
            if (index < 0) {
                Ref shown = Ref::steal(PyObject_Str(key));
                if (!shown) return false;
                raise_type_error(Ref::steal(PyUnicode_FromFormat(
                    "%s() got an unexpected keyword argument '%U'", f.name, shown.get())));
                return false;
            }
            if (slots[index]) {
                raise_type_error(Ref::steal(PyUnicode_FromFormat(
                    "%s() got multiple values for argument '%s'", f.name, f.parameters[index])));
                return false;
            }
            slots[index] = args[nargs + j];
        }
    }
    if (nargs < n) {
        std::vector<const char*> missing;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!slots[i]) missing.push_back(f.parameters[i]);
        if (!missing.empty()) {
            const std::string list = quoted_list(missing);
            raise_type_error(Ref::steal(PyUnicode_FromFormat(
                "%s() missing %zd required positional %s: %s", f.name,
                static_cast<Py_ssize_t>(missing.size()),
                missing.size() == 1 ? "argument" : "arguments", list.c_str())));
            return false;
        }
    }
    return true;
}

bool extract_number(PyObject* obj, const char* parameter, double& out) {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    return number_or_relabel(obj, parameter, out);
}

bool extract_vector(PyObject* obj, const char* parameter, std::vector<double>& out) {
    if (PyUnicode_Check(obj)) {
        raise_type_error(Ref::steal(
            PyUnicode_FromFormat("argument '%s': Can't extract `str` to `Vec`", parameter)));
        return false;
    }
    if (!PySequence_Check(obj)) {
        Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
        if (!name) {
            PyErr_Clear();
            name = Ref::steal(PyUnicode_FromString("<failed to extract type name>"));
            if (!name) return false;
        }
        raise_type_error(Ref::steal(PyUnicode_FromFormat(
            "argument '%s': '%U' object cannot be converted to 'Sequence'", parameter, name.get())));
        return false;
    }
    switch (extract_float64_array(obj, out)) {
        case ArrayRead::Read: return true;
        case ArrayRead::Failed: return false;
        case ArrayRead::NotQualified: break;
    }
    const Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) {
        // The length only sizes the first allocation, so an ordinary failure
        // of __len__ is dropped and the elements are read anyway.
        if (!clear_ordinary_error()) return false;
    } else {
        // An exact list's or tuple's length is its own, and its elements are
        // already in memory (a pointer and a float object each, beside our 8
        // bytes): reserved whole, it is read without copying a growing
        // vector, a copy that no signal poll interrupts (tens of
        // milliseconds at 8e6 elements).
        const bool own_length = PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
        out.reserve(static_cast<std::size_t>(own_length ? size : std::min(size, MAX_RESERVE)));
    }
    if (PyList_CheckExact(obj)) return extract_list(obj, parameter, out);
    if (PyTuple_CheckExact(obj)) return extract_tuple(obj, parameter, out);
    return extract_iterable(obj, parameter, out);
}

}  // namespace tarnivox::py
