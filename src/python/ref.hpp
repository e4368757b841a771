// src/python/ref.hpp: an owner of exactly one Python reference, or none
#pragma once

#include <Python.h>

#include <utility>

namespace korvane::python {

/// Owns one strong reference; the choice between stealing and borrowing is explicit.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(Ref&& o) noexcept : m_ptr(std::exchange(o.m_ptr, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        Ref(std::move(o)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(m_ptr); }

    PyObject* get() const noexcept { return m_ptr; }
    PyObject* release() noexcept { return std::exchange(m_ptr, nullptr); }
    explicit operator bool() const noexcept { return m_ptr != nullptr; }
    void swap(Ref& o) noexcept { std::swap(m_ptr, o.m_ptr); }

private:
    explicit Ref(PyObject* p) noexcept : m_ptr(p) {}
    PyObject* m_ptr = nullptr;
};

}  // namespace korvane::python
