// src/python/args.cpp: the argument binder, its messages, and the value conversions
#include "python/args.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "python/buffer_input.hpp"
#include "python/errors.hpp"
#include "python/runtime_packages.hpp"
#include "python/ref.hpp"
#include "python/surface_texts.hpp"

namespace korvane::python {

namespace {

// A lying __len__ must not make us reserve absurd memory; real lists and tuples are exact.
constexpr Py_ssize_t kMaxReserveFromHint = Py_ssize_t{1} << 16;

}  // namespace

bool fail_too_many_positional(const Parameters& params, Py_ssize_t nargs) {
    const char* verb = nargs == 1 ? "was" : "were";
    const std::string count = std::to_string(params.positional());
    std::string range = params.required == params.positional()
                            ? count
                            : "from " + std::to_string(params.required) + " to " + count;
    PyErr_Format(PyExc_TypeError, texts::too_many_positional_format, params.function, range.c_str(),
                 nargs, verb);
    return false;
}

namespace {

/// The keyword as text for a message ("?" when it has none); nullptr with the error pending
/// when one that must propagate was met.
Ref keyword_text(PyObject* keyword) {
    Ref text = Ref::steal(PyObject_Str(keyword));
    if (text && PyUnicode_AsUTF8(text.get()) != nullptr) {
        return text;
    }
    return clear_if_ordinary() ? Ref::steal(PyUnicode_FromString("?")) : Ref();
}

/// Assigns one keyword argument; false with TypeError set when it names no free parameter.
bool assign_keyword(const Parameters& params, PyObject* keyword, PyObject* value, Slots& slots) {
    Py_ssize_t size = -1;
    const char* name = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &size) : nullptr;
    if (name == nullptr) {
        if (PyErr_Occurred() && !clear_if_ordinary()) {
            return false;
        }
    } else {
        for (std::size_t i = 0; i < params.count; ++i) {
            if (std::strlen(params.names[i]) == static_cast<std::size_t>(size) &&
                std::memcmp(params.names[i], name, static_cast<std::size_t>(size)) == 0) {
                if (slots[i] != nullptr) {
                    PyErr_Format(PyExc_TypeError, texts::multiple_values_format, params.function,
                                 params.names[i]);
                    return false;
                }
                slots[i] = value;
                return true;
            }
        }
    }
    if (Ref text = keyword_text(keyword)) {
        PyErr_Format(PyExc_TypeError, texts::unexpected_keyword_format, params.function,
                     text.get());
    }
    return false;
}

bool check_required(const Parameters& params, Py_ssize_t nargs, const Slots& slots) {
    if (static_cast<std::size_t>(nargs) >= params.required) {
        return true;
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < params.required; ++i) {
        if (slots[i] == nullptr) {
            missing.push_back(params.names[i]);
        }
    }
    if (missing.empty()) {
        return true;
    }
    std::string list;
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) {
            if (missing.size() == 2) {
                list += " and ";
            } else {
                list += i + 1 == missing.size() ? ", and " : ", ";
            }
        }
        list += "'";
        list += missing[i];
        list += "'";
    }
    PyErr_Format(PyExc_TypeError, texts::missing_arguments_format, params.function, missing.size(),
                 missing.size() == 1 ? "argument" : "arguments", list.c_str());
    return false;
}

/// Whether `obj` passes the sequence check; if not, the type-mismatch TypeError is set.
bool is_sequence(PyObject* obj) {
    if (PySequence_Check(obj)) {
        return true;
    }
    set_type_mismatch(obj, "Sequence");
    return false;
}

template <class Element>
bool convert_sequence(PyObject* obj, std::vector<Element>& out) {
    out.clear();
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, texts::str_as_list_message);
        return false;
    }
    if (PyList_CheckExact(obj)) {
        out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(obj)));
        // The size is read again each step, as list iteration does, since an element's
        // conversion may run Python code that changes the list.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(obj, i));
            Element value{};
            if (!convert(item.get(), value)) {
                return false;
            }
            out.push_back(value);
        }
        return true;
    }
    if (PyTuple_CheckExact(obj)) {
        const Py_ssize_t size = PyTuple_GET_SIZE(obj);
        out.reserve(static_cast<std::size_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            Element value{};
            if (!convert(PyTuple_GET_ITEM(obj, i), value)) {
                return false;
            }
            out.push_back(value);
        }
        return true;
    }
    if (!is_sequence(obj)) {
        return false;
    }
    const Py_ssize_t hint = PySequence_Size(obj);
    if (hint < 0) {
        // The length is only a capacity hint, but an interrupt met asking for it is not ignored.
        if (!clear_if_ordinary()) {
            return false;
        }
    } else {
        out.reserve(static_cast<std::size_t>(std::min(hint, kMaxReserveFromHint)));
    }
    Ref iterator = Ref::steal(PyObject_GetIter(obj));
    if (!iterator) {
        return false;
    }
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Element value{};
        if (!convert(item.get(), value)) {
            return false;
        }
        out.push_back(value);
    }
    return !PyErr_Occurred();
}

}  // namespace

bool bind(const Parameters& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Slots& slots) {
    if (static_cast<std::size_t>(nargs) > params.positional()) {
        return fail_too_many_positional(params, nargs);
    }
    for (std::size_t i = 0; i < kMaxParameters; ++i) {
        slots[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
    }
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (!assign_keyword(params, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], slots)) {
                return false;
            }
        }
    }
    return check_required(params, nargs, slots);
}

bool bind(const Parameters& params, PyObject* args, PyObject* kwargs, Slots& slots) {
    const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    if (static_cast<std::size_t>(nargs) > params.positional()) {
        return fail_too_many_positional(params, nargs);
    }
    for (std::size_t i = 0; i < kMaxParameters; ++i) {
        slots[i] = static_cast<Py_ssize_t>(i) < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!assign_keyword(params, key, value, slots)) {
                return false;
            }
        }
    }
    return check_required(params, nargs, slots);
}

bool convert(PyObject* obj, double& out) noexcept {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    const double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
        return false;
    }
    out = value;
    return true;
}

bool convert(PyObject* obj, std::uint64_t& out) noexcept {
    unsigned long long value = 0;
    if (PyLong_Check(obj)) {
        value = PyLong_AsUnsignedLongLong(obj);
    } else {
        Ref index = Ref::steal(PyNumber_Index(obj));
        if (!index) {
            return false;
        }
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return false;
    }
    out = value;
    return true;
}

bool convert(PyObject* obj, bool& out) {
    if (PyBool_Check(obj)) {
        out = obj == Py_True;
        return true;
    }
    PyTypeObject* type = Py_TYPE(obj);
    if (!is_numpy_bool(type)) {
        set_type_mismatch(obj, "PyBool");
        return false;
    }
    inquiry truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
    if (truth == nullptr) {
        PyErr_Format(PyExc_TypeError, texts::no_bool_conversion_format, type->tp_name);
        return false;
    }
    const int result = truth(obj);
    if (result < 0 || result > 1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "__bool__ conversion failed without an error");
        }
        return false;
    }
    out = result == 1;
    return true;
}

bool convert(PyObject* obj, Point& out) {
    // Exact lists and tuples of two floats need no Python code: the common case when a path
    // is given as nested lists.
    if ((PyList_CheckExact(obj) && PyList_GET_SIZE(obj) == 2) ||
        (PyTuple_CheckExact(obj) && PyTuple_GET_SIZE(obj) == 2)) {
        PyObject* first = PySequence_Fast_GET_ITEM(obj, 0);
        PyObject* second = PySequence_Fast_GET_ITEM(obj, 1);
        if (PyFloat_CheckExact(first) && PyFloat_CheckExact(second)) {
            out = Point{PyFloat_AS_DOUBLE(first), PyFloat_AS_DOUBLE(second)};
            return true;
        }
    }
    if (!is_sequence(obj)) {
        return false;
    }
    const Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) {
        return false;
    }
    if (size != 2) {
        PyErr_Format(PyExc_ValueError, texts::sequence_length_format, size);
        return false;
    }
    double coordinates[2] = {0.0, 0.0};
    for (Py_ssize_t i = 0; i < 2; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(obj, i));
        if (!item || !convert(item.get(), coordinates[i])) {
            return false;
        }
    }
    out = Point{coordinates[0], coordinates[1]};
    return true;
}

namespace {

/// A list read straight from an array's buffer where it has one that can be, else element by
/// element: the same values and the same errors either way.
template <class Element>
bool convert_list(PyObject* obj, std::vector<Element>& out) {
    switch (read_buffer(obj, out)) {
        case BufferRead::Done: return true;
        case BufferRead::Failed: return false;
        case BufferRead::NotApplicable: break;
    }
    return convert_sequence(obj, out);
}

}  // namespace

bool convert(PyObject* obj, std::vector<double>& out) {
    return convert_list(obj, out);
}

bool convert(PyObject* obj, std::vector<Point>& out) {
    return convert_list(obj, out);
}

}  // namespace korvane::python
