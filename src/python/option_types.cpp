// src/python/option_types.cpp: ResamplingMethod and its variants, InterpolationMethod, ElasticBandMethod
#include "python/option_types.hpp"

#include <array>
#include <cstdint>
#include <string>

#include "path2d/options.hpp"
#include "python/args.hpp"
#include "python/borrow.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"
#include "python/results.hpp"

namespace korvane::python {

namespace {

PyCFunction fast(PyObject* (*method)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

/// The constructor of classes that have none.
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
    if (!name) {
        return nullptr;
    }
    PyErr_Format(PyExc_TypeError, "No constructor defined for %S", name.get());
    return nullptr;
}

void option_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// --- ResamplingMethod -----------------------------------------------------------------------

/// Immutable, so no borrow counter. Zeroed memory is a valid ByNumberPoints(0).
struct ResamplingMethodObject {
    PyObject_HEAD
    int tag;  ///< 0 by number of points, 1 by sampling distance
    std::uint64_t number_points;
    double sampling_distance;
    bool drop_last;
};

PyTypeObject* resampling_type = nullptr;
PyTypeObject* by_number_points_type = nullptr;
PyTypeObject* by_sampling_distance_type = nullptr;

ResamplingMethodObject* as_resampling(PyObject* self) noexcept {
    return reinterpret_cast<ResamplingMethodObject*>(self);
}

PyObject* new_by_number_points(PyTypeObject* type, std::uint64_t number_points) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        as_resampling(self)->tag = 0;
        as_resampling(self)->number_points = number_points;
    }
    return self;
}

PyObject* new_by_sampling_distance(PyTypeObject* type, double sampling_distance, bool drop_last) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        as_resampling(self)->tag = 1;
        as_resampling(self)->sampling_distance = sampling_distance;
        as_resampling(self)->drop_last = drop_last;
    }
    return self;
}

constexpr const char* number_points_names[] = {"number_points"};
constexpr const char* sampling_distance_names[] = {"sampling_distance", "drop_last"};
constexpr Parameters by_number_points_params{"ResamplingMethod.by_number_points()", number_points_names, 1};
constexpr Parameters by_sampling_distance_params{"ResamplingMethod.by_sampling_distance()",
                                                 sampling_distance_names, 1};
constexpr Parameters by_number_points_new_params{"ResamplingMethod_ByNumberPoints.__new__()",
                                                 number_points_names, 1};
constexpr Parameters by_sampling_distance_new_params{"ResamplingMethod_BySamplingDistance.__new__()",
                                                     sampling_distance_names, 2};

/// Converts a variant's arguments and makes an instance of `type`; the static method and the
/// constructor differ only in their parameter tables and calling conventions.
PyObject* by_number_points_from(const Arguments& a, PyTypeObject* type) {
    std::uint64_t number_points = 0;
    if (!a.get(0, number_points)) {
        return nullptr;
    }
    return new_by_number_points(type, number_points);
}

PyObject* by_sampling_distance_from(const Arguments& a, PyTypeObject* type) {
    double sampling_distance = 0.0;
    bool drop_last = true;  // the static method's default; the constructor requires it
    if (!a.get(0, sampling_distance) || !a.get(1, drop_last)) {
        return nullptr;
    }
    return new_by_sampling_distance(type, sampling_distance, drop_last);
}

PyObject* resampling_by_number_points(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    return bound_call(
        by_number_points_params,
        [](const Arguments& a) { return by_number_points_from(a, by_number_points_type); }, args, nargs,
        kwnames);
}

PyObject* resampling_by_sampling_distance(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) noexcept {
    return bound_call(
        by_sampling_distance_params,
        [](const Arguments& a) { return by_sampling_distance_from(a, by_sampling_distance_type); }, args,
        nargs, kwnames);
}

PyObject* by_number_points_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return bound_call(
        by_number_points_new_params, [type](const Arguments& a) { return by_number_points_from(a, type); },
        args, kwargs);
}

PyObject* by_sampling_distance_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return bound_call(
        by_sampling_distance_new_params,
        [type](const Arguments& a) { return by_sampling_distance_from(a, type); }, args, kwargs);
}

PyObject* resampling_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if (!PyObject_TypeCheck(other, resampling_type) || (op != Py_EQ && op != Py_NE)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    const ResamplingMethodObject* a = as_resampling(self);
    const ResamplingMethodObject* b = as_resampling(other);
    bool equal = a->tag == b->tag;
    if (equal && a->tag == 0) {
        equal = a->number_points == b->number_points;
    } else if (equal) {
        // Float comparison: NaN is never equal, 0.0 equals -0.0.
        equal = a->sampling_distance == b->sampling_distance && a->drop_last == b->drop_last;
    }
    return PyBool_FromLong((op == Py_EQ) == equal ? 1 : 0);
}

PyObject* get_number_points(PyObject* self, void*) noexcept {
    return to_python(static_cast<std::size_t>(as_resampling(self)->number_points));
}
PyObject* get_sampling_distance(PyObject* self, void*) noexcept {
    return to_python(as_resampling(self)->sampling_distance);
}
PyObject* get_drop_last(PyObject* self, void*) noexcept { return to_python(as_resampling(self)->drop_last); }

constexpr char by_number_points_doc[] =
    "by_number_points(number_points)\n--\n\nby_number_points(number_points)\n\nThe path will be "
    "equidistantly resampled using the given number of points.\n\n:param number_points: Number of "
    "points\n\n:type number_points: int\n\n:returns: The resampling method\n:rtype: ResamplingMethod";

constexpr char by_sampling_distance_doc[] =
    "by_sampling_distance(sampling_distance, drop_last=True)\n--\n\nby_sampling_distance(sampling_distance, "
    "drop_last=True)\n\nThe path will be resampled using the given sampling_distance.\nThe distance "
    "between the last and second last point will differ from sampling distance.\nSetting drop_last=True "
    "will omit the last point.\n\n:param sampling_distance: Sampling distance\n:param drop_last: Omits "
    "the last point when true.\n\n:type sampling_distance: float\n:type drop_last: bool\n\n:returns: The "
    "resampling method\n:rtype: ResamplingMethod";

constexpr int kStaticFastFlags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef resampling_methods[] = {
    {"by_number_points", fast(resampling_by_number_points), kStaticFastFlags, by_number_points_doc},
    {"by_sampling_distance", fast(resampling_by_sampling_distance), kStaticFastFlags, by_sampling_distance_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot resampling_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(option_dealloc)},
    {Py_tp_richcompare, reinterpret_cast<void*>(resampling_richcompare)},
    {Py_tp_methods, resampling_methods},
    {0, nullptr},
};

PyType_Spec resampling_spec = {
    .name = "builtins.ResamplingMethod",
    .basicsize = static_cast<int>(sizeof(ResamplingMethodObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .slots = resampling_slots,
};

PyGetSetDef by_number_points_getset[] = {
    {"number_points", get_number_points, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot by_number_points_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(by_number_points_new)},
    {Py_tp_getset, by_number_points_getset},
    {Py_tp_doc, const_cast<char*>("ResamplingMethod_ByNumberPoints(number_points)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec by_number_points_spec = {
    .name = "builtins.ResamplingMethod_ByNumberPoints",
    .basicsize = static_cast<int>(sizeof(ResamplingMethodObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = by_number_points_slots,
};

PyGetSetDef by_sampling_distance_getset[] = {
    {"sampling_distance", get_sampling_distance, nullptr, "", nullptr},
    {"drop_last", get_drop_last, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot by_sampling_distance_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(by_sampling_distance_new)},
    {Py_tp_getset, by_sampling_distance_getset},
    {Py_tp_doc, const_cast<char*>("ResamplingMethod_BySamplingDistance(sampling_distance, drop_last)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec by_sampling_distance_spec = {
    .name = "builtins.ResamplingMethod_BySamplingDistance",
    .basicsize = static_cast<int>(sizeof(ResamplingMethodObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = by_sampling_distance_slots,
};

/// Creates a variant class on top of ResamplingMethod and gives it `__match_args__`.
PyTypeObject* create_variant(PyType_Spec* spec, std::initializer_list<const char*> match_args) noexcept {
    Ref type = Ref::steal(PyType_FromSpecWithBases(spec, reinterpret_cast<PyObject*>(resampling_type)));
    if (!type) {
        return nullptr;
    }
    Ref names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(match_args.size())));
    if (!names) {
        return nullptr;
    }
    Py_ssize_t i = 0;
    for (const char* name : match_args) {
        PyObject* text = PyUnicode_InternFromString(name);
        if (text == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(names.get(), i++, text);
    }
    if (PyObject_SetAttrString(type.get(), "__match_args__", names.get()) < 0) {
        return nullptr;
    }
    return reinterpret_cast<PyTypeObject*>(type.release());
}

// --- enumerations ---------------------------------------------------------------------------

/// A member object; carries a borrow counter like every object holding a value.
struct EnumMemberObject {
    PyObject_HEAD
    int value;
    Py_ssize_t borrow;
};

EnumMemberObject* as_member(PyObject* self) noexcept { return reinterpret_cast<EnumMemberObject*>(self); }

struct EnumDescription {
    const char* class_name;
    std::array<const char*, 2> member_names;  ///< indexed by value
    PyTypeObject* type = nullptr;
};

EnumDescription interpolation{"InterpolationMethod", {"Cubic", "Linear"}};
EnumDescription elastic_band{"ElasticBandMethod", {"SquareBounds", "OrthogonalBounds"}};

const EnumDescription& description_of(PyObject* self) noexcept {
    return Py_TYPE(self) == interpolation.type ? interpolation : elastic_band;
}

PyObject* enum_repr(PyObject* self) noexcept {
    const EnumDescription& description = description_of(self);
    SharedBorrow borrow(as_member(self)->borrow);
    if (!borrow) {
        return nullptr;
    }
    return PyUnicode_FromFormat("%s.%s", description.class_name,
                                description.member_names[static_cast<std::size_t>(as_member(self)->value)]);
}

PyObject* enum_int(PyObject* self) noexcept {
    SharedBorrow borrow(as_member(self)->borrow);
    if (!borrow) {
        return nullptr;
    }
    return PyLong_FromLong(as_member(self)->value);
}

PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if (op != Py_EQ && op != Py_NE) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    long v = 0;
    {
        SharedBorrow borrow(as_member(self)->borrow);
        if (!borrow) {
            return nullptr;
        }
        v = as_member(self)->value;
    }
    long w = 0;
    if (Py_TYPE(other) == Py_TYPE(self)) {
        SharedBorrow borrow(as_member(other)->borrow);
        if (!borrow) {
            return nullptr;
        }
        w = as_member(other)->value;
    } else {
        w = PyLong_AsLong(other);
        if (w == -1 && PyErr_Occurred()) {
            PyErr_Clear();  // not an integer: let the other operand or identity decide
            Py_RETURN_NOTIMPLEMENTED;
        }
    }
    return PyBool_FromLong((op == Py_EQ) == (v == w) ? 1 : 0);
}

PyType_Slot enum_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(option_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(enum_repr)},
    {Py_nb_int, reinterpret_cast<void*>(enum_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(enum_richcompare)},
    {0, nullptr},
};

PyType_Spec interpolation_spec = {
    .name = "builtins.InterpolationMethod",
    .basicsize = static_cast<int>(sizeof(EnumMemberObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = enum_slots,
};

PyType_Spec elastic_band_spec = {
    .name = "builtins.ElasticBandMethod",
    .basicsize = static_cast<int>(sizeof(EnumMemberObject)),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = enum_slots,
};

PyObject* create_enum(EnumDescription& description, PyType_Spec* spec) noexcept {
    if (description.type != nullptr) {
        return reinterpret_cast<PyObject*>(description.type);
    }
    Ref type = Ref::steal(PyType_FromSpec(spec));
    if (!type) {
        return nullptr;
    }
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
    for (std::size_t value = 0; value < description.member_names.size(); ++value) {
        Ref member = Ref::steal(type_object->tp_alloc(type_object, 0));
        if (!member) {
            return nullptr;
        }
        as_member(member.get())->value = static_cast<int>(value);
        as_member(member.get())->borrow = 0;
        if (PyObject_SetAttrString(type.get(), description.member_names[value], member.get()) < 0) {
            return nullptr;
        }
    }
    description.type = type_object;
    return type.release();
}

template <class Enum>
bool convert_member(PyObject* obj, const EnumDescription& description, Enum& out) noexcept {
    if (description.type == nullptr || !PyObject_TypeCheck(obj, description.type)) {
        set_type_mismatch(obj, description.class_name);
        return false;
    }
    SharedBorrow borrow(as_member(obj)->borrow);
    if (!borrow) {
        return false;
    }
    out = static_cast<Enum>(as_member(obj)->value);
    return true;
}

}  // namespace

PyObject* create_resampling_method_type() noexcept {
    if (resampling_type != nullptr) {
        return reinterpret_cast<PyObject*>(resampling_type);
    }
    Ref base = Ref::steal(PyType_FromSpec(&resampling_spec));
    if (!base) {
        return nullptr;
    }
    resampling_type = reinterpret_cast<PyTypeObject*>(base.get());
    Ref by_number_points = Ref::steal(reinterpret_cast<PyObject*>(
        create_variant(&by_number_points_spec, {"number_points"})));
    Ref by_sampling_distance = Ref::steal(reinterpret_cast<PyObject*>(
        by_number_points ? create_variant(&by_sampling_distance_spec, {"sampling_distance", "drop_last"})
                         : nullptr));
    if (!by_number_points || !by_sampling_distance ||
        PyObject_SetAttrString(base.get(), "ByNumberPoints", by_number_points.get()) < 0 ||
        PyObject_SetAttrString(base.get(), "BySamplingDistance", by_sampling_distance.get()) < 0) {
        resampling_type = nullptr;
        return nullptr;
    }
    by_number_points_type = reinterpret_cast<PyTypeObject*>(by_number_points.release());
    by_sampling_distance_type = reinterpret_cast<PyTypeObject*>(by_sampling_distance.release());
    return base.release();
}

PyObject* create_interpolation_method_type() noexcept { return create_enum(interpolation, &interpolation_spec); }

PyObject* create_elastic_band_method_type() noexcept { return create_enum(elastic_band, &elastic_band_spec); }

bool convert(PyObject* obj, ResamplingMethod& out) noexcept {
    if (resampling_type == nullptr || !PyObject_TypeCheck(obj, resampling_type)) {
        set_type_mismatch(obj, "ResamplingMethod");
        return false;
    }
    const ResamplingMethodObject* option = as_resampling(obj);
    if (option->tag == 0) {
        out = ByNumberPoints{option->number_points};
    } else {
        out = BySamplingDistance{option->sampling_distance, option->drop_last};
    }
    return true;
}

bool convert(PyObject* obj, InterpolationMethod& out) noexcept { return convert_member(obj, interpolation, out); }

bool convert(PyObject* obj, ElasticBandMethod& out) noexcept { return convert_member(obj, elastic_band, out); }

}  // namespace korvane::python
