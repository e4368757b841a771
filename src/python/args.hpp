// src/python/args.hpp: binding call arguments to parameters and converting them
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "path2d/options.hpp"
#include "path2d/path2d.hpp"
#include "python/errors.hpp"

namespace korvane::python {

inline constexpr std::size_t kMaxParameters = 4;

/// The description of one callable: its name in messages, its parameters and how many lead
/// as required. Every parameter is positional-or-keyword.
struct Parameters {
    template <std::size_t N>
    constexpr Parameters(const char* function, const char* const (&names)[N], std::size_t required)
        : function(function), names(names), count(N), required(required) {
        static_assert(N <= kMaxParameters);
    }
    constexpr Parameters(const char* function) : function(function), names(nullptr), count(0), required(0) {}

    const char* function;  ///< as in messages, e.g. "Path2D.sub_path()"
    const char* const* names;
    std::size_t count;
    std::size_t required;
};

/// Borrowed argument per parameter after binding; nullptr where the caller gave none.
using Slots = PyObject* [kMaxParameters];

/// Binds a vectorcall (METH_FASTCALL | METH_KEYWORDS) argument list; false with TypeError set.
bool bind(const Parameters& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Slots& slots) noexcept;
/// Binds a classic (tuple, dict) argument list; false with TypeError set.
bool bind(const Parameters& params, PyObject* args, PyObject* kwargs, Slots& slots) noexcept;

// Conversions: each returns false with a Python error set (not yet remapped to a parameter).
bool convert(PyObject* obj, double& out) noexcept;
bool convert(PyObject* obj, std::uint64_t& out) noexcept;
bool convert(PyObject* obj, bool& out) noexcept;
bool convert(PyObject* obj, Point& out) noexcept;
bool convert(PyObject* obj, std::vector<double>& out);
bool convert(PyObject* obj, std::vector<Point>& out);
bool convert(PyObject* obj, ResamplingMethod& out) noexcept;
bool convert(PyObject* obj, InterpolationMethod& out) noexcept;
bool convert(PyObject* obj, ElasticBandMethod& out) noexcept;

template <class T>
bool convert(PyObject* obj, std::optional<T>& out) {
    if (obj == Py_None) {
        out.reset();
        return true;
    }
    T value{};
    if (!convert(obj, value)) {
        return false;
    }
    out = std::move(value);
    return true;
}

/// The bound arguments of one call, converted on demand in parameter order.
class Arguments {
public:
    Arguments(const Parameters& params, const Slots& slots) noexcept : m_params(params), m_slots(slots) {}

    /// Converts parameter `i` into `out` when it was given (else `out` keeps its default);
    /// a TypeError is reported for the parameter by name.
    template <class T>
    bool get(std::size_t i, T& out) const {
        PyObject* obj = m_slots[i];
        if (obj == nullptr) {
            return true;
        }
        if (convert(obj, out)) {
            return true;
        }
        remap_argument_error(m_params.names[i]);
        return false;
    }

    bool given(std::size_t i) const noexcept { return m_slots[i] != nullptr; }

private:
    const Parameters& m_params;
    const Slots& m_slots;
};

/// Runs an entry point under the guard: binds the call's arguments (a vectorcall list or a
/// tuple and dict) to `params`, then hands them to `body(arguments)`.
template <class Body, class... Call>
PyObject* bound_call(const Parameters& params, Body&& body, Call... call) noexcept {
    return guarded([&]() -> PyObject* {
        Slots slots;
        if (!bind(params, call..., slots)) {
            return nullptr;
        }
        return body(Arguments(params, slots));
    });
}

}  // namespace korvane::python
