// The entry guard: every call into the module, and the initialisation, runs
// inside it.  The body returns a new reference, or NULL with a Python error
// set; an internal fault thrown anywhere below becomes PanicException, an
// allocation failure MemoryError.  Nothing escapes into CPython's C frames.
#pragma once

#include <new>
#include <stdexcept>

#include "python/errors.hpp"

namespace tarnivox::py {

template <class Body>
PyObject* entry_guard(Body&& body) noexcept {
    try {
        return body();
    } catch (const InternalFault& f) {
        raise_panic(f.message);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (...) {
        raise_panic("unexpected C++ exception");
    }
    return nullptr;
}

}  // namespace tarnivox::py
