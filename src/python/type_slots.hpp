// src/python/type_slots.hpp: the slot tables and PyType_Spec records every class of the module
// is created from
#pragma once

#include <Python.h>

namespace korvane::python {

/// One entry of a class's slot table.
template <class Function>
PyType_Slot slot(int id, Function* function) noexcept {
    return {id, reinterpret_cast<void*>(function)};
}
/// The entry of a table the class keeps (methods, attributes) or of its documentation.
inline PyType_Slot slot(int id, void* table) noexcept {
    return {id, table};
}
/// The entry that ends a slot table.
inline constexpr PyType_Slot kLastSlot = {0, nullptr};

/// The PyType_Spec of a class with instances of type `Object`; `name` is "builtins." and the
/// class name.
template <class Object>
PyType_Spec type_spec(const char* name, unsigned flags, PyType_Slot* slots) noexcept {
    return {name, static_cast<int>(sizeof(Object)), 0, flags, slots};
}

}  // namespace korvane::python
