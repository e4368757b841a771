// src/python/buffer_input.cpp: list arguments read straight from the memory of an array
#include "python/buffer_input.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"
#include "python/runtime_packages.hpp"
#include "util/large_list.hpp"
#include "util/memory.hpp"

namespace korvane::python {

namespace {

/// The built-in or extension type whose C code provides a type's buffer, or nullptr when the
/// buffer comes from a `__buffer__` written in Python, which could run any code and hand out
/// any memory.
PyTypeObject* buffer_exporter(PyTypeObject* type) {
    const getbufferproc get = type->tp_as_buffer->bf_getbuffer;
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!(base->tp_flags & Py_TPFLAGS_HEAPTYPE) && base->tp_as_buffer != nullptr &&
            base->tp_as_buffer->bf_getbuffer == get) {
            return base;
        }
    }
    return nullptr;
}

/// A class's own attribute dictionary (built-in classes keep theirs with the interpreter from
/// CPython 3.12 on, where the type object holds none).
Ref dictionary_of(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyType_GetDict(type));
#else
    return Ref::borrow(type->tp_dict);
#endif
}

/// Whether the element-wise conversion of an object of this type meets the elements of the
/// buffer `exporter` provides. It iterates the object, and asks a row for its length and items;
/// a subclass written in Python may answer those differently (a masked array hides its masked
/// values, a matrix's rows are matrices). numpy.memmap is the exception that is known: its item
/// access changes only the class of what it returns.
bool items_are_buffer_elements(PyTypeObject* type, PyTypeObject* exporter) {
    // A built-in or extension type's order of classes is its own and fixed.
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || is_numpy_memmap(type)) {
        return true;
    }
    // The interpreter takes each method from the first class of the whole order whose
    // dictionary holds it, and a metaclass may put any class anywhere in that order. The buffer
    // is read directly only where that class is the exporter or a class it derives from, all
    // written in C. Read from the dictionaries, which runs no Python code.
    PyObject* mro = type->tp_mro;
    if (mro == nullptr) {
        return false;
    }
    for (const char* name : {"__getitem__", "__iter__", "__len__"}) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
            auto* cls = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
            const Ref dictionary = dictionary_of(cls);
            if (!dictionary) {
                return false;
            }
            if (PyDict_GetItemString(dictionary.get(), name) != nullptr) {
                if ((cls->tp_flags & Py_TPFLAGS_HEAPTYPE) || !PyType_IsSubtype(exporter, cls)) {
                    return false;
                }
                break;
            }
        }
    }
    return true;
}

/// The buffer of an argument, released with it.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    ~HeldBuffer() {
        if (m_held) {
            PyBuffer_Release(&m_view);
        }
    }

    /// Asks for a strided, formatted, read-only view. A refusal that is an ordinary exception
    /// (no buffer of that kind, an element type a buffer cannot describe) is cleared and gives
    /// false; anything else (an interrupt) stays pending and gives false with `failed` set.
    bool acquire(PyObject* obj, bool& failed) {
        failed = false;
        if (PyObject_GetBuffer(obj, &m_view, PyBUF_RECORDS_RO) == 0) {
            m_held = true;
            return true;
        }
        failed = !clear_if_ordinary();
        return false;
    }
    const Py_buffer& view() const noexcept { return m_view; }

private:
    Py_buffer m_view{};
    bool m_held = false;
};

enum class Kind { Float, Signed, Unsigned };

/// The element type of a buffer: one real number per element, read with memcpy (the memory
/// need not be aligned for it) and byte-swapped where its order is not the machine's.
struct Element {
    Kind kind;
    Py_ssize_t size;
    bool swapped;
};

/// The element type of a struct-module format of a single real number, or false for any other
/// format (bool, float16, long double, complex, objects, records, strings). Formats with an
/// explicit byte order are read only for NumPy arrays, whose elements are NumPy scalars of the
/// same value; a memoryview or array.array of such a format does not convert element by element.
bool parse_format(const Py_buffer& view, bool ndarray, Element& element) {
    const char* format = view.format != nullptr ? view.format : "B";
    char order = '@';
    if (std::strchr("@=<>!", *format) != nullptr && *format != '\0') {
        order = *format++;
    }
    if (format[0] == '\0' || format[1] != '\0') {
        return false;
    }
    if (order != '@' && !ndarray) {
        return false;
    }
    const char code = format[0];
    const Py_ssize_t size = view.itemsize;
    if (code == 'd' || code == 'f') {
        element.kind = Kind::Float;
        if (size != (code == 'd' ? 8 : 4)) {
            return false;
        }
    } else if (std::strchr("bhilqn", code) != nullptr) {
        element.kind = Kind::Signed;
    } else if (std::strchr("BHILQN", code) != nullptr) {
        element.kind = Kind::Unsigned;
    } else {
        return false;
    }
    if (size != 1 && size != 2 && size != 4 && size != 8) {
        return false;
    }
    element.size = size;
    constexpr bool little = std::endian::native == std::endian::little;
    element.swapped = little ? (order == '>' || order == '!') : order == '<';
    return true;
}

/// One element at `at` as a double: floats widen exactly, integers round to nearest as the
/// interpreter's int-to-float conversion does.
template <class T, bool Swapped>
double load(const char* at) noexcept {
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, at, sizeof(T));
    if constexpr (Swapped) {
        for (std::size_t k = 0; k < sizeof(T) / 2; ++k) {
            const unsigned char b = bytes[k];
            bytes[k] = bytes[sizeof(T) - 1 - k];
            bytes[sizeof(T) - 1 - k] = b;
        }
    }
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    return static_cast<double>(value);
}

template <class T, bool Swapped>
struct Loader {
    double operator()(const char* at) const noexcept { return load<T, Swapped>(at); }
};

/// Calls `read(load)` with the loader of T in the element's byte order.
template <class T, class Read>
void with_byte_order(bool swapped, Read& read) {
    if (swapped) {
        read(Loader<T, true>{});
    } else {
        read(Loader<T, false>{});
    }
}

/// Calls `read(load)` with the loader of the element type, one instance of `read` per type so
/// that the load is inlined into its loop.
template <class Read>
void with_loader(const Element& element, Read&& read) {
    const bool swapped = element.swapped;
    switch (element.kind) {
        case Kind::Float:
            if (element.size == 8) {
                return with_byte_order<double>(swapped, read);
            }
            return with_byte_order<float>(swapped, read);
        case Kind::Signed:
            switch (element.size) {
                case 1: return with_byte_order<std::int8_t>(swapped, read);
                case 2: return with_byte_order<std::int16_t>(swapped, read);
                case 4: return with_byte_order<std::int32_t>(swapped, read);
                default: return with_byte_order<std::int64_t>(swapped, read);
            }
        case Kind::Unsigned:
            switch (element.size) {
                case 1: return with_byte_order<std::uint8_t>(swapped, read);
                case 2: return with_byte_order<std::uint16_t>(swapped, read);
                case 4: return with_byte_order<std::uint32_t>(swapped, read);
                default: return with_byte_order<std::uint64_t>(swapped, read);
            }
    }
}

/// Whether the elements are native, aligned, contiguous doubles, which one block copy moves.
bool is_plain_doubles(const Element& element, const char* base, bool contiguous) noexcept {
    return contiguous && element.kind == Kind::Float && element.size == 8 && !element.swapped &&
           reinterpret_cast<std::uintptr_t>(base) % alignof(double) == 0;
}

/// Whether the buffer of `obj` is read directly instead of converting it element by element,
/// for a list of `ndim` dimensions: the conditions in the order they are checked, each with why.
bool reads_buffer_directly(PyObject* obj, int ndim) {
    PyTypeObject* type = Py_TYPE(obj);
    // A str, or an object that is no sequence, gets its refusal from the element-wise conversion.
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
        return false;
    }
    // Without a buffer there is nothing to read.
    if (!PyObject_CheckBuffer(obj)) {
        return false;
    }
    // A buffer that a `__buffer__` written in Python provides could be any memory.
    PyTypeObject* exporter = buffer_exporter(type);
    if (exporter == nullptr) {
        return false;
    }
    // Iteration and item access found elsewhere than in the exporter may answer otherwise.
    if (!items_are_buffer_elements(type, exporter)) {
        return false;
    }
    // Rows of other exporters (memoryview) do not convert as sequences.
    return ndim == 1 || is_ndarray(type);
}

/// Whether the view holds what the element-wise conversion would read: `ndim` dimensions of
/// plain strides, two columns for points, and one real number per element (then `element`
/// tells its type).
bool view_is_readable(const Py_buffer& view, int ndim, bool ndarray, Element& element) {
    return view.ndim == ndim && view.suboffsets == nullptr && view.strides != nullptr &&
           (ndim == 1 || view.shape[1] == 2) && parse_format(view, ndarray, element);
}

}  // namespace

/// One value per row into a list of doubles, or the two columns of each row into a list of
/// points.
template <class T>
BufferRead read_buffer(PyObject* obj, std::vector<T>& out) {
    constexpr bool points = std::is_same_v<T, Point>;
    static_assert(!points || sizeof(Point) == 2 * sizeof(double));
    constexpr int ndim = points ? 2 : 1;
    if (!reads_buffer_directly(obj, ndim)) {
        return BufferRead::NotApplicable;
    }
    HeldBuffer buffer;
    bool failed = false;
    if (!buffer.acquire(obj, failed)) {
        return failed ? BufferRead::Failed : BufferRead::NotApplicable;
    }
    const Py_buffer& view = buffer.view();
    Element element{};
    if (!view_is_readable(view, ndim, is_ndarray(Py_TYPE(obj)), element)) {
        return BufferRead::NotApplicable;
    }
    const auto n = static_cast<std::size_t>(view.shape[0]);
    // A broadcast view holds one element however many its shape claims: the copy, not the
    // argument, may be what the machine cannot hold.
    require_memory(n, sizeof(T));
    const char* base = static_cast<const char*>(view.buf);
    const Py_ssize_t row = view.strides[0];
    const Py_ssize_t column = points ? view.strides[1] : 0;
    if (is_plain_doubles(element, base, row == sizeof(T) && (!points || column == 8))) {
        out = copied_list(reinterpret_cast<const T*>(base), n);
        return BufferRead::Done;
    }
    with_loader(element, [&](auto load_one) {
        out = generated_list<T>(n, [&](std::size_t i) {
            const char* at = base + static_cast<Py_ssize_t>(i) * row;
            if constexpr (points) {
                return Point{load_one(at), load_one(at + column)};
            } else {
                return load_one(at);
            }
        });
    });
    return BufferRead::Done;
}

BufferRead read_in_place(PyObject* obj, PointsInPlace& out) {
    if (!reads_buffer_directly(obj, 2)) {
        return BufferRead::NotApplicable;
    }
    auto buffer = std::make_shared<HeldBuffer>();
    bool failed = false;
    if (!buffer->acquire(obj, failed)) {
        return failed ? BufferRead::Failed : BufferRead::NotApplicable;
    }
    const Py_buffer& view = buffer->view();
    Element element{};
    if (!view_is_readable(view, 2, is_ndarray(Py_TYPE(obj)), element) ||
        !is_plain_doubles(element, static_cast<const char*>(view.buf),
                          view.strides[0] == sizeof(Point) && view.strides[1] == 8)) {
        return BufferRead::NotApplicable;
    }
    out.m_points = {static_cast<const Point*>(view.buf), static_cast<std::size_t>(view.shape[0])};
    out.m_buffer = std::move(buffer);
    return BufferRead::Done;
}

template BufferRead read_buffer(PyObject* obj, std::vector<double>& out);
template BufferRead read_buffer(PyObject* obj, std::vector<Point>& out);

bool convert(PyObject* obj, PointColumn& out) {
    switch (read_in_place(obj, out.in_place)) {
        case BufferRead::Done: return true;
        case BufferRead::Failed: return false;
        case BufferRead::NotApplicable: break;
    }
    return convert(obj, out.list);
}

}  // namespace korvane::python
