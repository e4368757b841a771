// src/python/callable.hpp: a callable declared once (its name, parameters with defaults, stored
// documentation and body), and the binding and conversion of a call's arguments for its body
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/runtime_packages.hpp"

namespace korvane::python {

/// One parameter: its name and, for an optional one, the value it takes when omitted (used as
/// it is, without conversion).
template <class T>
struct Param {
    using Type = T;
    const char* name;
    bool required;
    bool keyword_only;
    T fallback;
};

/// A required parameter.
template <class T>
Param<T> arg(const char* name) {
    return {name, true, false, T{}};
}
/// An optional parameter with its default.
template <class T>
Param<T> arg(const char* name, T fallback) {
    return {name, false, false, std::move(fallback)};
}
/// An optional keyword-only parameter with its default; such parameters come last.
template <class T>
Param<T> keyword(const char* name, T fallback) {
    return {name, false, true, std::move(fallback)};
}

/// Whether a method needs NumPy's C interface; it is then looked up before the call borrows.
enum class Needs { Nothing, NumPy };

/// A callable's declaration. The body takes the converted arguments in parameter order, after
/// the `self` record or class that the calling convention gives it.
template <class Body, class... T>
struct Callable {
    static_assert(sizeof...(T) <= kMaxParameters);

    std::string function;  ///< as in messages, e.g. "Path2D.sub_path()"
    const char* name;
    const char* doc;
    Needs needs;
    Body body;
    std::tuple<Param<T>...> params;
    std::array<const char*, sizeof...(T)> names;
    std::size_t required;
    std::size_t keyword_only;

    Callable(const char* owner, const char* name, const char* doc, Needs needs, Body body,
             Param<T>... params)
        : function(std::string(owner) + "." + name + "()"),
          name(name),
          doc(doc),
          needs(needs),
          body(body),
          params(std::move(params)...),
          names{params.name...},
          required(0),
          keyword_only(0) {
        const bool leading[] = {params.required..., false};
        while (leading[required]) {
            ++required;
        }
        const bool trailing[] = {false, params.keyword_only...};
        while (trailing[sizeof...(T) - keyword_only]) {
            ++keyword_only;
        }
    }

    Parameters parameters() const noexcept {
        return {function.c_str(), names.data(), names.size(), required, keyword_only};
    }

    /// The body's result for `self` of type `Self`.
    template <class Self>
    using Result = std::invoke_result_t<const Body&, Self, T...>;

    /// Converts the bound arguments in parameter order (omitted ones take their defaults) and
    /// calls `call` with them; false, with the first conversion's error remapped to its
    /// parameter, when one fails (and `call` is not called).
    template <class Call>
    bool convert_and(const Slots& slots, Call&& call) const {
        return convert_and(slots, call, std::index_sequence_for<T...>{});
    }

private:
    template <class Call, std::size_t... I>
    bool convert_and(const Slots& slots, Call& call, std::index_sequence<I...>) const {
        std::tuple<T...> values{std::get<I>(params).fallback...};
        if (!(convert_slot(slots[I], std::get<I>(params).name, std::get<I>(values)) && ...)) {
            return false;
        }
        call(std::move(std::get<I>(values))...);
        return true;
    }

    template <class V>
    static bool convert_slot(PyObject* obj, const char* name, V& value) {
        if (obj == nullptr || convert(obj, value)) {
            return true;
        }
        remap_argument_error(name);
        return false;
    }
};

template <class Body, class... T>
Callable<Body, T...> declare(const char* owner, const char* name, const char* doc, Needs needs,
                             Body body, Param<T>... params) {
    return Callable<Body, T...>(owner, name, doc, needs, body, std::move(params)...);
}

/// The C function type of every method and static method (METH_FASTCALL | METH_KEYWORDS).
using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;

/// A method table row; the interpreter calls the function with the fast calling convention.
inline PyMethodDef method_row(const char* name, FastFunction function, int flags,
                              const char* doc) noexcept {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
            flags | METH_FASTCALL | METH_KEYWORDS, doc};
}

/// The static method of a declaration whose body takes the converted arguments only; what it
/// needs is looked up before they are converted.
template <const auto& C>
PyObject* static_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        Slots slots;
        if (!bind(C.parameters(), args, nargs, kwnames, slots)) {
            return nullptr;
        }
        if (C.needs == Needs::NumPy && numpy_api() == nullptr) {
            return nullptr;
        }
        PyObject* result = nullptr;
        C.convert_and(slots, [&](auto&&... values) { result = C.body(std::move(values)...); });
        return result;
    });
}

template <const auto& C>
PyMethodDef static_method_row() noexcept {
    return method_row(C.name, static_function<C>, METH_STATIC, C.doc);
}

/// The `tp_new` of a declaration whose body takes the class and the converted arguments.
template <const auto& C>
PyObject* constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        Slots slots;
        if (!bind(C.parameters(), args, kwargs, slots)) {
            return nullptr;
        }
        PyObject* result = nullptr;
        C.convert_and(slots,
                      [&](auto&&... values) { result = C.body(type, std::move(values)...); });
        return result;
    });
}

}  // namespace korvane::python
