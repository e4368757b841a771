// src/python/borrow.hpp: scoped shared and exclusive borrows of an object's counter, and the
// check that an object's record was constructed at all
#pragma once

#include <Python.h>

#include <cstring>

#include "python/surface_texts.hpp"

namespace korvane::python {

/// Whether `self` holds a record constructed for exactly the class it now has: `made_as` is
/// the class its constructor recorded (null in memory that no constructor filled, as when a
/// replaced `__new__` allocates the object, and another class after `__class__` was
/// reassigned). Otherwise sets TypeError and returns false.
inline bool constructed(PyObject* self, const PyTypeObject* made_as) noexcept {
    if (made_as == Py_TYPE(self)) {
        return true;
    }
    // The classes are mutable, so `__new__` and `__class__` can be replaced from Python; an
    // object made that way holds no record of its class.
    const char* name = Py_TYPE(self)->tp_name;
    if (const char* dot = std::strrchr(name, '.')) {
        name = dot + 1;
    }
    PyErr_Format(PyExc_TypeError,
                 "'%s' object was not constructed as one: its class's __new__ or its __class__ "
                 "was replaced",
                 name);
    return false;
}

/// A borrow of an object's counter for the length of one call. The counter is 0 when free,
/// n > 0 under n shared borrows and -1 under an exclusive one.
template <bool Exclusive>
class Borrow {
public:
    explicit Borrow(Py_ssize_t& counter) noexcept : m_counter(counter) {
        if (Exclusive ? counter != 0 : counter == -1) {
            PyErr_SetString(PyExc_RuntimeError, Exclusive
                                                    ? texts::already_borrowed_message
                                                    : texts::already_mutably_borrowed_message);
            return;
        }
        counter = Exclusive ? -1 : counter + 1;
        m_held = true;
    }
    ~Borrow() {
        if (m_held) {
            m_counter = Exclusive ? 0 : m_counter - 1;
        }
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    explicit operator bool() const noexcept { return m_held; }

private:
    Py_ssize_t& m_counter;
    bool m_held = false;
};

using SharedBorrow = Borrow<false>;
using ExclusiveBorrow = Borrow<true>;

/// Keeps the garbage collector from running while a call works on a borrowed record. A
/// collection that an allocation starts may run finalizers, Python code that lets other threads
/// in while the record is borrowed; they would then be refused it with no Python code of the
/// call's own to explain why. The collection the allocations would have started comes at the
/// next allocation after. No Python code runs in between, so no other thread sees the pause.
class CollectorPause {
public:
    CollectorPause() noexcept : m_was_enabled(PyGC_Disable() != 0) {}
    ~CollectorPause() {
        if (m_was_enabled) {
            PyGC_Enable();
        }
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    bool m_was_enabled;
};

}  // namespace korvane::python
