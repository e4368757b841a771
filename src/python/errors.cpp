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
        const std::string message =
            "'" + type_qualname(Py_TYPE(obj)) + "' object cannot be converted to '" + target + "'";
        PyErr_SetString(PyExc_TypeError, message.c_str());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

std::string describe_and_clear_error() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type = Ref::steal(type);
    Ref owned_value = Ref::steal(value);
    Ref owned_traceback = Ref::steal(traceback);
    if (!owned_type) {
        return "unknown error";
    }
    std::string text = reinterpret_cast<PyTypeObject*>(owned_type.get())->tp_name;
    if (owned_value) {
        Ref message = Ref::steal(PyObject_Str(owned_value.get()));
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
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Ref owned_type = Ref::steal(type);
    Ref owned_value = Ref::steal(value);
    Ref owned_traceback = Ref::steal(traceback);
    // Only the exact TypeError is renamed; subclasses carry meaning of their own.
    if (owned_type.get() != PyExc_TypeError || !owned_value) {
        PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
        return;
    }
    Ref text = Ref::steal(PyObject_Str(owned_value.get()));
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
    PyException_SetCause(replacement.get(), PyException_GetCause(owned_value.get()));
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

}  // namespace korvane::python
