// src/python/borrow.hpp: scoped shared and exclusive borrows of an object's counter, and the
// check that an object's record was constructed at all
#pragma once

#include <Python.h>

namespace korvane::python {

/// Whether `self` holds a record constructed for exactly the class it now has: `made_as` is
/// the class its constructor recorded (null in memory that no constructor filled, as when a
/// replaced `__new__` allocates the object, and another class after `__class__` was
/// reassigned). Otherwise sets TypeError and returns false.
bool constructed(PyObject* self, const PyTypeObject* made_as) noexcept;

/// A borrow of an object's counter for the length of one call. The counter is 0 when free,
/// n > 0 under n shared borrows and -1 under an exclusive one.
template <bool Exclusive>
class Borrow {
public:
    explicit Borrow(Py_ssize_t& counter) noexcept : m_counter(counter) {
        if (Exclusive ? counter != 0 : counter == -1) {
            PyErr_SetString(PyExc_RuntimeError,
                            Exclusive ? "Already borrowed" : "Already mutably borrowed");
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

}  // namespace korvane::python
