// src/python/option_types.cpp: ResamplingMethod and its variants, InterpolationMethod, ElasticBandMethod
#include "python/option_types.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "path2d/options.hpp"
#include "python/borrow.hpp"
#include "python/callable.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"
#include "python/results.hpp"
#include "python/type_slots.hpp"
#include "python/surface_texts.hpp"

namespace korvane::python {

namespace {

/// The constructor of classes that have none.
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
    if (!name) {
        return nullptr;
    }
    PyErr_Format(PyExc_TypeError, texts::no_constructor_format, name.get());
    return nullptr;
}

void option_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// --- ResamplingMethod -----------------------------------------------------------------------

/// Immutable, so no borrow counter. Which variant it holds is its class; `made_as` is the
/// variant class its constructor filled the fields for.
struct ResamplingMethodObject {
    PyObject_HEAD PyTypeObject* made_as;
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
        as_resampling(self)->number_points = number_points;
        as_resampling(self)->made_as = type;
    }
    return self;
}

PyObject* new_by_sampling_distance(PyTypeObject* type, double sampling_distance,
                                   bool drop_last) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self != nullptr) {
        as_resampling(self)->sampling_distance = sampling_distance;
        as_resampling(self)->drop_last = drop_last;
        as_resampling(self)->made_as = type;
    }
    return self;
}

/// The option an object holds, read by its class; nullopt with TypeError set for an object
/// that no constructor filled for that class.
std::optional<ResamplingMethod> resampling_value(PyObject* self) noexcept {
    const ResamplingMethodObject* option = as_resampling(self);
    if (!constructed(self, option->made_as)) {
        return std::nullopt;
    }
    if (option->made_as == by_number_points_type) {
        return ByNumberPoints{option->number_points};
    }
    return BySamplingDistance{option->sampling_distance, option->drop_last};
}

const auto by_number_points = declare(
    "ResamplingMethod", "by_number_points", texts::by_number_points_doc, Needs::Nothing,
    [](std::uint64_t number_points) {
        return new_by_number_points(by_number_points_type, number_points);
    },
    arg<std::uint64_t>("number_points"));

const auto by_sampling_distance = declare(
    "ResamplingMethod", "by_sampling_distance", texts::by_sampling_distance_doc, Needs::Nothing,
    [](double sampling_distance, bool drop_last) {
        return new_by_sampling_distance(by_sampling_distance_type, sampling_distance, drop_last);
    },
    arg<double>("sampling_distance"), arg("drop_last", true));

// The variant classes' constructors: the same parameters, except that `drop_last` is required.
const auto by_number_points_new =
    declare("ResamplingMethod_ByNumberPoints", "__new__", nullptr, Needs::Nothing,
            new_by_number_points, arg<std::uint64_t>("number_points"));

const auto by_sampling_distance_new =
    declare("ResamplingMethod_BySamplingDistance", "__new__", nullptr, Needs::Nothing,
            new_by_sampling_distance, arg<double>("sampling_distance"), arg<bool>("drop_last"));

PyObject* resampling_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if (!PyObject_TypeCheck(other, resampling_type) || (op != Py_EQ && op != Py_NE)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    const std::optional<ResamplingMethod> a = resampling_value(self);
    const std::optional<ResamplingMethod> b = a ? resampling_value(other) : std::nullopt;
    if (!b) {
        return nullptr;
    }
    bool equal = a->index() == b->index();
    if (equal && std::holds_alternative<ByNumberPoints>(*a)) {
        equal = std::get<ByNumberPoints>(*a).number_points ==
                std::get<ByNumberPoints>(*b).number_points;
    } else if (equal) {
        // Float comparison: NaN is never equal, 0.0 equals -0.0.
        const auto& x = std::get<BySamplingDistance>(*a);
        const auto& y = std::get<BySamplingDistance>(*b);
        equal = x.sampling_distance == y.sampling_distance && x.drop_last == y.drop_last;
    }
    return PyBool_FromLong((op == Py_EQ) == equal ? 1 : 0);
}

/// A getter of one variant's field; refuses an object that does not hold that variant.
template <class Variant, class Read>
PyObject* variant_field(PyObject* self, Read read) noexcept {
    return guarded([&]() -> PyObject* {
        const std::optional<ResamplingMethod> value = resampling_value(self);
        if (!value) {
            return nullptr;
        }
        const Variant* variant = std::get_if<Variant>(&*value);
        if (variant == nullptr) {
            set_type_mismatch(self, "ResamplingMethod");
            return nullptr;
        }
        return read(*variant);
    });
}

PyObject* get_number_points(PyObject* self, void*) noexcept {
    return variant_field<ByNumberPoints>(self, [](const ByNumberPoints& v) {
        return to_python(static_cast<std::size_t>(v.number_points));
    });
}
PyObject* get_sampling_distance(PyObject* self, void*) noexcept {
    return variant_field<BySamplingDistance>(
        self, [](const BySamplingDistance& v) { return to_python(v.sampling_distance); });
}
PyObject* get_drop_last(PyObject* self, void*) noexcept {
    return variant_field<BySamplingDistance>(
        self, [](const BySamplingDistance& v) { return to_python(v.drop_last); });
}

PyMethodDef resampling_methods[] = {
    static_method_row<by_number_points>(),
    static_method_row<by_sampling_distance>(),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot resampling_slots[] = {slot(Py_tp_new, no_constructor),
                                  slot(Py_tp_dealloc, option_dealloc),
                                  slot(Py_tp_richcompare, resampling_richcompare),
                                  slot(Py_tp_methods, resampling_methods), kLastSlot};
PyType_Spec resampling_spec = type_spec<ResamplingMethodObject>(
    "builtins.ResamplingMethod", Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, resampling_slots);

PyGetSetDef by_number_points_getset[] = {
    {"number_points", get_number_points, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef by_sampling_distance_getset[] = {
    {"sampling_distance", get_sampling_distance, nullptr, "", nullptr},
    {"drop_last", get_drop_last, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A variant class stores the signature of its constructor as its documentation.
PyType_Slot by_number_points_slots[] = {
    slot(Py_tp_new, constructor<by_number_points_new>), slot(Py_tp_getset, by_number_points_getset),
    slot(Py_tp_doc, const_cast<char*>(texts::by_number_points_class_doc)), kLastSlot};
PyType_Slot by_sampling_distance_slots[] = {
    slot(Py_tp_new, constructor<by_sampling_distance_new>),
    slot(Py_tp_getset, by_sampling_distance_getset),
    slot(Py_tp_doc, const_cast<char*>(texts::by_sampling_distance_class_doc)), kLastSlot};
PyType_Spec by_number_points_spec = type_spec<ResamplingMethodObject>(
    "builtins.ResamplingMethod_ByNumberPoints", Py_TPFLAGS_DEFAULT, by_number_points_slots);
PyType_Spec by_sampling_distance_spec = type_spec<ResamplingMethodObject>(
    "builtins.ResamplingMethod_BySamplingDistance", Py_TPFLAGS_DEFAULT, by_sampling_distance_slots);

/// Creates a variant class on top of ResamplingMethod and gives it `__match_args__`.
PyTypeObject* create_variant(PyType_Spec* spec,
                             std::initializer_list<const char*> match_args) noexcept {
    Ref type =
        Ref::steal(PyType_FromSpecWithBases(spec, reinterpret_cast<PyObject*>(resampling_type)));
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

/// A member object: immutable, created once with its class. `made_as` is the class its
/// value was set for.
struct EnumMemberObject {
    PyObject_HEAD int value;
    PyTypeObject* made_as;
};

EnumMemberObject* as_member(PyObject* self) noexcept {
    return reinterpret_cast<EnumMemberObject*>(self);
}

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

/// The member's value; -1 with TypeError set for an object that is not one of the members.
int member_value(PyObject* self) noexcept {
    return constructed(self, as_member(self)->made_as) ? as_member(self)->value : -1;
}

PyObject* enum_repr(PyObject* self) noexcept {
    const int value = member_value(self);
    if (value < 0) {
        return nullptr;
    }
    const EnumDescription& description = description_of(self);
    return PyUnicode_FromFormat(texts::enum_repr_format, description.class_name,
                                description.member_names[static_cast<std::size_t>(value)]);
}

PyObject* enum_int(PyObject* self) noexcept {
    const int value = member_value(self);
    return value < 0 ? nullptr : PyLong_FromLong(value);
}

PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if (op != Py_EQ && op != Py_NE) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    const long v = member_value(self);
    if (v < 0) {
        return nullptr;
    }
    long w = 0;
    if (Py_TYPE(other) == Py_TYPE(self)) {
        w = member_value(other);
        if (w < 0) {
            return nullptr;
        }
    } else {
        w = PyLong_AsLong(other);
        if (w == -1 && PyErr_Occurred()) {
            // Not an integer: the other operand or identity decides. An interrupt or another
            // error that must reach the caller stays pending.
            if (!clear_if_ordinary()) {
                return nullptr;
            }
            Py_RETURN_NOTIMPLEMENTED;
        }
    }
    return PyBool_FromLong((op == Py_EQ) == (v == w) ? 1 : 0);
}

PyType_Slot enum_slots[] = {slot(Py_tp_new, no_constructor),
                            slot(Py_tp_dealloc, option_dealloc),
                            slot(Py_tp_repr, enum_repr),
                            slot(Py_nb_int, enum_int),
                            slot(Py_tp_richcompare, enum_richcompare),
                            kLastSlot};
PyType_Spec interpolation_spec =
    type_spec<EnumMemberObject>("builtins.InterpolationMethod", Py_TPFLAGS_DEFAULT, enum_slots);
PyType_Spec elastic_band_spec =
    type_spec<EnumMemberObject>("builtins.ElasticBandMethod", Py_TPFLAGS_DEFAULT, enum_slots);

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
        as_member(member.get())->made_as = type_object;
        if (PyObject_SetAttrString(type.get(), description.member_names[value], member.get()) < 0) {
            return nullptr;
        }
    }
    description.type = reinterpret_cast<PyTypeObject*>(type.release());
    return reinterpret_cast<PyObject*>(description.type);
}

template <class Enum>
bool convert_member(PyObject* obj, const EnumDescription& description, Enum& out) {
    if (description.type == nullptr || !PyObject_TypeCheck(obj, description.type)) {
        set_type_mismatch(obj, description.class_name);
        return false;
    }
    const int value = member_value(obj);
    if (value < 0) {
        return false;
    }
    out = static_cast<Enum>(value);
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
    Ref by_number_points = Ref::steal(
        reinterpret_cast<PyObject*>(create_variant(&by_number_points_spec, {"number_points"})));
    Ref by_sampling_distance = Ref::steal(reinterpret_cast<PyObject*>(
        by_number_points
            ? create_variant(&by_sampling_distance_spec, {"sampling_distance", "drop_last"})
            : nullptr));
    if (!by_number_points || !by_sampling_distance ||
        PyObject_SetAttrString(base.get(), "ByNumberPoints", by_number_points.get()) < 0 ||
        PyObject_SetAttrString(base.get(), "BySamplingDistance", by_sampling_distance.get()) < 0) {
        resampling_type = nullptr;
        return nullptr;
    }
    by_number_points_type = reinterpret_cast<PyTypeObject*>(by_number_points.release());
    by_sampling_distance_type = reinterpret_cast<PyTypeObject*>(by_sampling_distance.release());
    (void)base.release();  // kept in resampling_type
    return reinterpret_cast<PyObject*>(resampling_type);
}

PyObject* create_interpolation_method_type() noexcept {
    return create_enum(interpolation, &interpolation_spec);
}

PyObject* create_elastic_band_method_type() noexcept {
    return create_enum(elastic_band, &elastic_band_spec);
}

bool convert(PyObject* obj, ResamplingMethod& out) {
    if (resampling_type == nullptr || !PyObject_TypeCheck(obj, resampling_type)) {
        set_type_mismatch(obj, "ResamplingMethod");
        return false;
    }
    const std::optional<ResamplingMethod> value = resampling_value(obj);
    if (!value) {
        return false;
    }
    out = *value;
    return true;
}

bool convert(PyObject* obj, InterpolationMethod& out) {
    return convert_member(obj, interpolation, out);
}

bool convert(PyObject* obj, ElasticBandMethod& out) {
    return convert_member(obj, elastic_band, out);
}

}  // namespace korvane::python
