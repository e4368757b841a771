// src/python/args.hpp: binding call arguments to parameters and converting them
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "path2d/options.hpp"
#include "path2d/path2d.hpp"

namespace korvane::python {

inline constexpr std::size_t kMaxParameters = 8;

/// The parameters of one callable as the binder sees them: the callable's name in messages,
/// the parameter names, how many lead as required and how many trail as keyword-only (korvane's
/// own callables have none: all their parameters are positional-or-keyword).
struct Parameters {
    const char* function;  ///< as in messages, e.g. "Path2D.sub_path()"
    const char* const* names;
    std::size_t count;
    std::size_t required;
    std::size_t keyword_only = 0;
    /// How many parameters may be given by position.
    std::size_t positional() const noexcept { return count - keyword_only; }
};

/// Borrowed argument per parameter after binding; nullptr where the caller gave none.
using Slots = PyObject* [kMaxParameters];

/// Binds a vectorcall (METH_FASTCALL | METH_KEYWORDS) argument list; false with TypeError set.
bool bind(const Parameters& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Slots& slots);
/// Binds a classic (tuple, dict) argument list; false with TypeError set.
bool bind(const Parameters& params, PyObject* args, PyObject* kwargs, Slots& slots);
/// Sets the TypeError for `nargs` positional arguments given where at most params.positional()
/// are taken; returns false.
bool fail_too_many_positional(const Parameters& params, Py_ssize_t nargs);

// Conversions: each returns false with a Python error set (not yet remapped to a parameter).
bool convert(PyObject* obj, double& out) noexcept;
bool convert(PyObject* obj, std::uint64_t& out) noexcept;
bool convert(PyObject* obj, bool& out);
bool convert(PyObject* obj, Point& out);
bool convert(PyObject* obj, std::vector<double>& out);
bool convert(PyObject* obj, std::vector<Point>& out);
bool convert(PyObject* obj, ResamplingMethod& out);
bool convert(PyObject* obj, InterpolationMethod& out);
bool convert(PyObject* obj, ElasticBandMethod& out);

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

}  // namespace korvane::python
