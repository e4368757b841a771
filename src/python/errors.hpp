// src/python/errors.hpp: the guard around every entry point and the shared error messages
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>
#include <typeinfo>

#include "python/ref.hpp"

namespace korvane::python {

/// The pending exception, taken out of the interpreter's error state and normalised.
struct FetchedError {
    Ref type;
    Ref value;
    Ref traceback;

    static FetchedError fetch() noexcept {
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        return FetchedError{Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
    }
    /// Puts the exception back as the pending one.
    void restore() noexcept { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};

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

/// Sets MemoryError with the failed allocation's message: how much a refused result would have
/// taken (korvane's own refusals say so in what()), or a plain "out of memory".
inline void set_memory_error(const std::bad_alloc& failure) noexcept {
    const char* what = failure.what();
    const bool plain = typeid(failure) == typeid(std::bad_alloc) || what == nullptr || *what == '\0';
    PyErr_SetString(PyExc_MemoryError, plain ? "out of memory" : what);
}

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
