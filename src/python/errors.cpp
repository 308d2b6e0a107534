#include "python/errors.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace tarnivox::py {
namespace {

constexpr const char* PANIC_DOC =
    "The exception raised when tarnivox's native code, called from Python, fails with an "
    "internal fault.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that it will typically "
    "propagate all the way through the stack and cause the Python interpreter to exit.";

std::atomic<PyObject*> panic_type{nullptr};

void append_utf8(std::string& out, Py_UCS4 c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

[[noreturn]] void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

void fault(std::string message) { throw InternalFault{std::move(message)}; }

PyObject* panic_exception_type() noexcept {
    PyObject* t = panic_type.load(std::memory_order_acquire);
    if (t) return t;
    // Creating the type may run the garbage collector and so other threads;
    // whoever publishes first wins and the loser's type is dropped.
    PyObject* made = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", PANIC_DOC,
                                                PyExc_BaseException, nullptr);
    if (!made) return nullptr;
    PyObject* expected = nullptr;
    if (panic_type.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) return made;
    Py_DECREF(made);
    return expected;
}

void FetchedError::restore() noexcept {
    PyErr_Restore(type.release(), value.release(), traceback.release());
}

bool signal_handler_raised() { return PyErr_CheckSignals() != 0; }

bool str_lossy(PyObject* obj, std::string& out) {
    Ref text = Ref::steal(PyObject_Str(obj));
    if (!text) return false;
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size)) {
        out.assign(utf8, static_cast<std::size_t>(size));
        return true;
    }
    PyErr_Clear();  // lone surrogates: replace each by U+FFFD
    out.clear();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    const int kind = PyUnicode_KIND(text.get());
    const void* data = PyUnicode_DATA(text.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        append_utf8(out, (c >= 0xD800 && c <= 0xDFFF) ? 0xFFFD : c);
    }
    return true;
}

FetchedError fetch_error() {
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (v && tb) PyException_SetTraceback(v, tb);
    FetchedError e{Ref::steal(t), Ref::steal(v), Ref::steal(tb)};
    PyObject* panic = panic_type.load(std::memory_order_acquire);
    if (panic && e.type.get() == panic) {
        std::string message;
        if (!e.value || !str_lossy(e.value.get(), message)) {
            PyErr_Clear();
            message = "Unwrapped panic from Python code";
        }
        PySys_WriteStderr(
            "--- tarnivox is resuming an internal fault after fetching a PanicException from "
            "Python. ---\n");
        PySys_WriteStderr("Python stack trace below:\n");
        e.restore();
        PyErr_PrintEx(0);
        fault(std::move(message));
    }
    return e;
}

void raise_message(PyObject* type, const char* message) noexcept {
    Ref text = Ref::steal(PyUnicode_FromString(message));
    if (text) PyErr_SetObject(type, text.get());
}

void raise_panic(const std::string& message) noexcept {
    PyObject* type = panic_exception_type();
    if (!type) abort_at_boundary();
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                               "replace"));
    if (!text) abort_at_boundary();
    PyErr_SetObject(type, text.get());
}

}  // namespace tarnivox::py
