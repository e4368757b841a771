// src/python/column_input.cpp: integer and boolean columns of arguments
#include "python/column_input.hpp"

#include <cstring>
#include <limits>
#include <optional>

#include "path2d/tracks.hpp"

#include "python/errors.hpp"
#include "python/ref.hpp"

namespace korvane::python {

namespace {

/// Holds a buffer for the length of a read.
struct HeldBuffer {
    Py_buffer view{};
    bool held = false;
    ~HeldBuffer() {
        if (held) {
            PyBuffer_Release(&view);
        }
    }
};

// Reads a native 1-D buffer of integers or booleans into `out` by `store(i, value)`; false,
// with nothing pending, when the buffer is of another kind (the element-wise reading then
// decides), or with an error pending when an element overflows.
// Only truth values are asked for unless `exact`.
template <bool exact, class Store>
bool read_integers(PyObject* obj, std::size_t& count, Store&& store, bool& failed) {
    failed = false;
    if (!PyObject_CheckBuffer(obj) || PyUnicode_Check(obj) || PyBytes_Check(obj)) {
        return false;
    }
    HeldBuffer buffer;
    if (PyObject_GetBuffer(obj, &buffer.view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return false;
    }
    buffer.held = true;
    const Py_buffer& v = buffer.view;
    const char* format = v.format == nullptr ? "B" : v.format;
    if (*format == '@' || *format == '=' || *format == '<') {
        ++format;  // native order on the little-endian machines the library is built for
    }
    if (v.ndim != 1 || format[0] == '\0' || format[1] != '\0' ||
        std::strchr("?bBhHiIlLqQnN", format[0]) == nullptr) {
        return false;
    }
    const char kind = format[0];
    const bool is_unsigned = kind == '?' || (kind >= 'A' && kind <= 'Z');
    const std::size_t size = static_cast<std::size_t>(v.itemsize);
    if (size != 1 && size != 2 && size != 4 && size != 8) {
        return false;
    }
    count = static_cast<std::size_t>(v.shape[0]);
    const char* at = static_cast<const char*>(v.buf);
    for (std::size_t i = 0; i < count; ++i, at += v.strides[0]) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, at, size);
        std::int64_t value;
        if (!exact) {
            value = bits != 0;
        } else if (is_unsigned) {
            if (bits > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                PyErr_SetString(PyExc_OverflowError, "an integer does not fit 64 signed bits");
                failed = true;
                return false;
            }
            value = static_cast<std::int64_t>(bits);
        } else {
            // Sign-extend from the element's width.
            const unsigned shift = static_cast<unsigned>(64 - 8 * size);
            value = static_cast<std::int64_t>(bits << shift) >> shift;
        }
        store(i, value);
    }
    return true;
}

// Calls `take(item)` for each element of an iterable (a str refused); false with an error set.
template <class Take>
bool each_element(PyObject* obj, Take&& take) {
    if (PyUnicode_Check(obj)) {
        set_type_mismatch(obj, "Sequence");
        return false;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(obj));
    if (!iterator) {
        return false;
    }
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!take(item.get())) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

}  // namespace

bool convert(PyObject* obj, Int64Column& out) {
    out.values.clear();
    std::size_t count = 0;
    bool failed = false;
    auto& values = out.values;
    const auto grow = [&](std::size_t i, std::int64_t v) {
        if (i == 0) {
            values.resize(count);
        }
        values[i] = v;
    };
    if (read_integers<true>(obj, count, grow, failed)) {
        values.resize(count);
        return true;
    }
    if (failed) {
        return false;
    }
    return each_element(obj, [&](PyObject* item) {
        Ref index = Ref::steal(PyNumber_Index(item));
        if (!index) {
            return false;
        }
        const long long v = PyLong_AsLongLong(index.get());
        if (v == -1 && PyErr_Occurred()) {
            return false;
        }
        values.push_back(v);
        return true;
    });
}

bool convert(PyObject* obj, BoolColumn& out) {
    out.values.clear();
    std::size_t count = 0;
    bool failed = false;
    auto& values = out.values;
    const auto grow = [&](std::size_t i, std::int64_t v) {
        if (i == 0) {
            values.resize(count);
        }
        values[i] = v != 0;
    };
    if (read_integers<false>(obj, count, grow, failed)) {
        values.resize(count);
        return true;
    }
    return each_element(obj, [&](PyObject* item) {
        const int truth = PyObject_IsTrue(item);
        if (truth < 0) {
            return false;
        }
        values.push_back(truth ? 1 : 0);
        return true;
    });
}

bool check_offsets(std::span<const std::int64_t> offsets, std::size_t rows, const char* name) {
    const std::optional<BadOffset> bad = first_bad_offset(offsets, rows);
    if (bad) {
        PyErr_SetString(PyExc_ValueError, bad_offset_message(*bad, offsets, rows, name).c_str());
    }
    return !bad;
}

}  // namespace korvane::python
