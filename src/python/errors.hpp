// src/python/errors.hpp: the guard around every entry point, the one policy for Python errors
// met along the way, and the shared error messages
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include "python/ref.hpp"
#include "util/result.hpp"

namespace korvane::python {

/// The pending exception, taken out of the interpreter's error state as one normalised object
/// (its traceback attached), or empty when none is pending.
Ref fetch_error() noexcept;
/// Makes `error` the pending exception again; an empty `error` clears nothing.
void restore_error(Ref error) noexcept;

/// Whether the pending exception may be handled by the module (ignored, turned into None or
/// into an error of its own): an `Exception` that is neither `MemoryError` nor
/// `RecursionError` and did not come out of a signal handler of the caller. Everything else
/// (KeyboardInterrupt, SystemExit, a handler's TimeoutError, ...) must reach the caller
/// unchanged. False when nothing is pending.
bool pending_error_is_ordinary() noexcept;

/// Clears the pending exception when it is ordinary and returns true; otherwise leaves it
/// pending and returns false.
bool clear_if_ordinary() noexcept;

/// Raises `type(message)` with the pending exception as its `__cause__` (`raise ... from`).
/// With `name` given, the new exception's `name` attribute is set (ImportError's `.name`).
void raise_from_pending(PyObject* type, const std::string& message,
                        const char* name = nullptr) noexcept;

/// An internal failure detected in the binding layer itself; surfaces as PanicException.
class InternalFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Sets PanicException (created on first need) with `message`, replacing any pending error.
void set_panic(const char* message) noexcept;

/// Sets TypeError "'<qualname of obj's type>' object cannot be converted to '<target>'". If
/// reading the name raised an error that must propagate, that error is left pending instead.
void set_type_mismatch(PyObject* obj, const char* target);

/// The `__qualname__` of a type, or the stand-in text when it cannot be read. Returns false,
/// with the error pending, when reading it raised an error that must propagate.
bool type_qualname(PyTypeObject* type, std::string& out);

/// "<ExceptionName>: <message>" of the pending error, which is cleared.
std::string describe_and_clear_error();

/// Replaces a pending exact TypeError by "argument '<name>': <message>", keeping its cause.
void remap_argument_error(const char* name) noexcept;

/// Sets MemoryError with the failed allocation's message: how much a refused result would have
/// taken (korvane's own refusals say so in what()), or a plain "out of memory".
inline void set_memory_error(const std::bad_alloc& failure) noexcept {
    const char* what = failure.what();
    const bool plain =
        typeid(failure) == typeid(std::bad_alloc) || what == nullptr || *what == '\0';
    PyErr_SetString(PyExc_MemoryError, plain ? "out of memory" : what);
}

/// Raises the Python exception that matches a refused input.
PyObject* raise(const Error& error) noexcept;

/// Runs an entry point body: a pending Python error passes through, std::bad_alloc becomes
/// MemoryError and any other C++ exception becomes PanicException, so nothing escapes to C.
template <class F>
PyObject* guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc& failure) {
        set_memory_error(failure);
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("internal failure");
    }
    return nullptr;
}

}  // namespace korvane::python
