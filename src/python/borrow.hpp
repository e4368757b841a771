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

/// The counter is 0 when free, n > 0 under n shared borrows and -1 under an exclusive one.
class SharedBorrow {
public:
    explicit SharedBorrow(Py_ssize_t& counter) noexcept : m_counter(counter) {
        if (counter == -1) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        } else {
            ++counter;
            m_held = true;
        }
    }
    ~SharedBorrow() {
        if (m_held) {
            --m_counter;
        }
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    explicit operator bool() const noexcept { return m_held; }

private:
    Py_ssize_t& m_counter;
    bool m_held = false;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(Py_ssize_t& counter) noexcept : m_counter(counter) {
        if (counter != 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        } else {
            counter = -1;
            m_held = true;
        }
    }
    ~ExclusiveBorrow() {
        if (m_held) {
            m_counter = 0;
        }
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    explicit operator bool() const noexcept { return m_held; }

private:
    Py_ssize_t& m_counter;
    bool m_held = false;
};

}  // namespace korvane::python
