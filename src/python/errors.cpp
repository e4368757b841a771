// src/python/errors.cpp: PanicException, type-mismatch messages and argument error remapping
#include "python/errors.hpp"

#include "python/ref.hpp"

namespace korvane::python {

namespace {

PyObject* panic_type = nullptr;

PyObject* panic_exception_type() noexcept {
    if (panic_type == nullptr) {
        // Derives from BaseException so that `except Exception` does not swallow a bug.
        panic_type = PyErr_NewExceptionWithDoc(
            "korvane.PanicException",
            "An internal failure of korvane; please report it with the input that caused it.",
            PyExc_BaseException, nullptr);
    }
    return panic_type;
}

}  // namespace

void set_panic(const char* message) noexcept {
    PyErr_Clear();
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        return;  // creating the type failed and left its own error set
    }
    PyErr_SetString(type, message);
}

std::string type_qualname(PyTypeObject* type) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
            return std::string(text, static_cast<std::size_t>(size));
        }
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

void set_type_mismatch(PyObject* obj, const char* target) noexcept {
    try {
        std::string message = "'";
        message += type_qualname(Py_TYPE(obj));
        message += "' object cannot be converted to '";
        message += target;
        message += "'";
        PyErr_SetString(PyExc_TypeError, message.c_str());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

std::string describe_and_clear_error() {
    const FetchedError error = FetchedError::fetch();
    if (!error.type) {
        return "unknown error";
    }
    std::string text = reinterpret_cast<PyTypeObject*>(error.type.get())->tp_name;
    if (error.value) {
        Ref message = Ref::steal(PyObject_Str(error.value.get()));
        const char* utf8 = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
        if (utf8 != nullptr && *utf8 != '\0') {
            text += ": ";
            text += utf8;
        }
    }
    PyErr_Clear();
    return text;
}

void remap_argument_error(const char* name) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        return;
    }
    FetchedError error = FetchedError::fetch();
    // Only the exact TypeError is renamed; subclasses carry meaning of their own.
    if (error.type.get() != PyExc_TypeError || !error.value) {
        error.restore();
        return;
    }
    Ref text = Ref::steal(PyObject_Str(error.value.get()));
    if (!text) {
        return;  // str() of the exception failed; its error is pending instead
    }
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) {
        return;
    }
    Ref replacement = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) {
        return;
    }
    PyException_SetCause(replacement.get(), PyException_GetCause(error.value.get()));
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

}  // namespace korvane::python
