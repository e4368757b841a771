// src/python/path2d_type.hpp: the Python object holding one path record, and how a method
// declared with `declare` borrows it
#pragma once

#include <Python.h>

#include <optional>
#include <type_traits>
#include <utility>

#include "path2d/path2d.hpp"
#include "python/borrow.hpp"
#include "python/callable.hpp"
#include "python/errors.hpp"
#include "python/runtime_packages.hpp"

namespace korvane::python {

/// Layout of a Path2D instance: the header, the record, the borrow counter, and the class
/// the record was constructed for (null until it is).
struct Path2DObject {
    PyObject_HEAD Path2D path;
    Py_ssize_t borrow;
    PyTypeObject* made_as;
};

inline Path2DObject* as_path2d(PyObject* self) noexcept {
    return reinterpret_cast<Path2DObject*>(self);
}

/// Creates the Path2D class once and keeps it for the process; returns it borrowed, or nullptr
/// with an error set.
PyObject* create_path2d_type() noexcept;
/// The Path2D class once created (korvane imported), else nullptr.
PyTypeObject* path2d_class() noexcept;

/// A Path2D method's declaration: the body takes the record (`const Path2D&` for a shared
/// borrow, `Path2D&` for the exclusive one) and the converted arguments.
template <class Body, class... T>
auto path2d_method(const char* name, const char* doc, Needs needs, Body body, Param<T>... params) {
    return declare("Path2D", name, doc, needs, body, std::move(params)...);
}

/// Runs a Path2D method: binds the arguments, looks up what it needs, borrows the record,
/// converts the arguments and runs the body. A body may return, instead of its result, a
/// callable that finishes the call once the borrow has ended: its work with Python packages
/// then runs while nothing of the path is borrowed.
template <const auto& C>
PyObject* path2d_function(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        Slots slots;
        if (!bind(C.parameters(), args, nargs, kwnames, slots)) {
            return nullptr;
        }
        if (C.needs == Needs::NumPy && numpy_api() == nullptr) {
            return nullptr;
        }
        Path2DObject* object = as_path2d(self);
        if (!constructed(self, object->made_as)) {
            return nullptr;
        }
        using C_type = std::remove_cvref_t<decltype(C)>;
        constexpr bool shared = requires { typename C_type::template Result<const Path2D&>; };
        using PathRef = std::conditional_t<shared, const Path2D&, Path2D&>;
        using Borrow = std::conditional_t<shared, SharedBorrow, ExclusiveBorrow>;
        using Result = typename C_type::template Result<PathRef>;

        std::optional<Borrow> borrow;
        borrow.emplace(object->borrow);
        if (!*borrow) {
            return nullptr;
        }
        std::optional<Result> result;
        PathRef path = object->path;
        // The arguments' conversion may run Python code; the body runs none.
        if (!C.convert_and(slots, [&](auto&&... values) {
                const CollectorPause pause;
                result.emplace(C.body(path, std::move(values)...));
            })) {
            return nullptr;
        }
        if constexpr (std::is_same_v<Result, PyObject*>) {
            return *result;
        } else {
            borrow.reset();
            return (*result)();
        }
    });
}

template <const auto& C>
PyMethodDef path2d_method_row() noexcept {
    return method_row(C.name, path2d_function<C>, 0, C.doc);
}

/// The method table, in member order: every method's declaration and row are in
/// path2d_methods.cpp.
extern PyMethodDef path2d_methods[];

}  // namespace korvane::python
