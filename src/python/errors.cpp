// src/python/errors.cpp: PanicException, the error policy, type-mismatch messages and argument
// error remapping
#include "python/errors.hpp"

#include <csignal>

#include "python/ref.hpp"
#include "python/surface_texts.hpp"

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

/// The code object a signal handler runs, when it is a Python function or bound method.
PyObject* handler_code(PyObject* handler) {
    if (PyFunction_Check(handler)) {
        return PyFunction_GET_CODE(handler);
    }
    if (PyMethod_Check(handler) && PyFunction_Check(PyMethod_GET_FUNCTION(handler))) {
        return PyFunction_GET_CODE(PyMethod_GET_FUNCTION(handler));
    }
    return nullptr;
}

/// Whether a frame of `traceback` runs the code of one of the Python signal handlers now
/// installed: the interpreter calls a handler between two instructions of whatever code was
/// running, so an exception it raises passes through the handler's frame on its way out.
bool passed_through_signal_handler(PyObject* traceback) {
    Ref module = Ref::steal(PyImport_ImportModule("_signal"));
    Ref getsignal = module ? Ref::steal(PyObject_GetAttrString(module.get(), "getsignal")) : Ref();
    if (!getsignal) {
        PyErr_Clear();
        return false;
    }
    Ref handlers[NSIG];
    bool any = false;
    for (int signal = 1; signal < NSIG; ++signal) {
        Ref number = Ref::steal(PyLong_FromLong(signal));
        handlers[signal] =
            number ? Ref::steal(PyObject_CallOneArg(getsignal.get(), number.get())) : Ref();
        if (!handlers[signal]) {
            PyErr_Clear();  // not a valid signal number on this system
        } else {
            any = any || handler_code(handlers[signal].get()) != nullptr;
        }
    }
    if (!any) {
        return false;
    }
    for (PyObject* tb = traceback; tb != nullptr && PyTraceBack_Check(tb);
         tb = reinterpret_cast<PyObject*>(reinterpret_cast<PyTracebackObject*>(tb)->tb_next)) {
        PyFrameObject* frame = reinterpret_cast<PyTracebackObject*>(tb)->tb_frame;
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
        for (int signal = 1; signal < NSIG; ++signal) {
            if (handlers[signal] && code.get() == handler_code(handlers[signal].get())) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace

Ref fetch_error() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

void restore_error(Ref error) noexcept {
    if (!error) {
        return;
    }
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(error.release());
#else
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(error.get())));
    PyObject* traceback = PyException_GetTraceback(error.get());
    PyErr_Restore(type, error.release(), traceback);
#endif
}

bool pending_error_is_ordinary() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError) ||
        PyErr_ExceptionMatches(PyExc_RecursionError)) {
        return false;
    }
    Ref error = fetch_error();
    Ref traceback = Ref::steal(PyException_GetTraceback(error.get()));
    // An error raised in C carries no frame, so the handlers need not be looked at.
    const bool from_handler = traceback && passed_through_signal_handler(traceback.get());
    restore_error(std::move(error));
    return !from_handler;
}

bool clear_if_ordinary() noexcept {
    if (!pending_error_is_ordinary()) {
        return false;
    }
    PyErr_Clear();
    return true;
}

void raise_from_pending(PyObject* type, const std::string& message, const char* name) noexcept {
    Ref cause = fetch_error();
    Ref text = Ref::steal(cause ? PyUnicode_FromFormat("%s: %S", message.c_str(), cause.get())
                                : PyUnicode_FromString(message.c_str()));
    Ref error = text ? Ref::steal(PyObject_CallOneArg(type, text.get())) : Ref();
    if (!error) {
        return;
    }
    if (name != nullptr) {
        Ref name_text = Ref::steal(PyUnicode_FromString(name));
        if (!name_text || PyObject_SetAttrString(error.get(), "name", name_text.get()) < 0) {
            return;
        }
    }
    if (cause) {
        PyException_SetCause(error.get(), cause.release());
    }
    restore_error(std::move(error));
}

void set_panic(const char* message) noexcept {
    PyErr_Clear();
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        return;  // creating the type failed and left its own error set
    }
    PyErr_SetString(type, message);
}

bool type_qualname(PyTypeObject* type, std::string& out) {
    Ref name =
        Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t size = 0;
        if (const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
            out.assign(text, static_cast<std::size_t>(size));
            return true;
        }
    }
    if (PyErr_Occurred() && !clear_if_ordinary()) {
        return false;
    }
    out = texts::unknown_type_name;
    return true;
}

void set_type_mismatch(PyObject* obj, const char* target) {
    std::string name;
    if (!type_qualname(Py_TYPE(obj), name)) {
        return;
    }
    PyErr_Format(PyExc_TypeError, texts::cannot_convert_format, name.c_str(), target);
}

std::string describe_and_clear_error() {
    const Ref error = fetch_error();
    if (!error) {
        return "unknown error";
    }
    std::string text = Py_TYPE(error.get())->tp_name;
    Ref message = Ref::steal(PyObject_Str(error.get()));
    const char* utf8 = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
    if (utf8 != nullptr && *utf8 != '\0') {
        text += ": ";
        text += utf8;
    }
    PyErr_Clear();
    return text;
}

void remap_argument_error(const char* name) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        return;
    }
    Ref error = fetch_error();
    // Only the exact TypeError is renamed; subclasses carry meaning of their own.
    if (Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        restore_error(std::move(error));
        return;
    }
    Ref text = Ref::steal(PyObject_Str(error.get()));
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
    PyException_SetCause(replacement.get(), PyException_GetCause(error.get()));
    PyErr_SetObject(PyExc_TypeError, replacement.get());
}

PyObject* raise(const Error& error) noexcept {
    PyObject* type = PyExc_TypeError;
    switch (error.kind) {
        case ErrorKind::Type: type = PyExc_TypeError; break;
        case ErrorKind::Value: type = PyExc_ValueError; break;
        case ErrorKind::Index: type = PyExc_IndexError; break;
    }
    PyErr_SetString(type, error.message.c_str());
    return nullptr;
}

}  // namespace korvane::python
