// src/python/option_types.hpp: the Python classes of the resampling, interpolation and band options
#pragma once

#include <Python.h>

namespace korvane::python {

// Each creates its class once and keeps it for the process; returns it borrowed, or nullptr
// with an error set.

/// Creates ResamplingMethod with its two variant classes as class attributes.
PyObject* create_resampling_method_type() noexcept;
/// Creates InterpolationMethod with its member objects.
PyObject* create_interpolation_method_type() noexcept;
/// Creates ElasticBandMethod with its member objects.
PyObject* create_elastic_band_method_type() noexcept;

}  // namespace korvane::python
