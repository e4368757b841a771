// src/python/errors.hpp: the guard around every entry point and the shared error messages
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>

namespace korvane::python {

/// An internal failure detected in the binding layer itself; surfaces as PanicException.
class InternalFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Sets PanicException (created on first need) with `message`, replacing any pending error.
void set_panic(const char* message) noexcept;

/// Sets TypeError "'<qualname of obj's type>' object cannot be converted to '<target>'".
void set_type_mismatch(PyObject* obj, const char* target) noexcept;

/// The `__qualname__` of a type, or the stand-in text when it cannot be read.
std::string type_qualname(PyTypeObject* type);

/// "<ExceptionName>: <message>" for the pending error, which is cleared.
std::string describe_and_clear_error();

/// Replaces a pending exact TypeError by "argument '<name>': <message>", keeping its cause.
void remap_argument_error(const char* name) noexcept;

/// Runs an entry point body: a pending Python error passes through, std::bad_alloc becomes
/// MemoryError and any other C++ exception becomes PanicException, so nothing escapes to C.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("internal failure");
    }
    return nullptr;
}

}  // namespace korvane::python
