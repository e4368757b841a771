// src/util/float_text.hpp: the shortest round-trip text of a double, as shown in reprs
#pragma once

#include <string>

namespace korvane {

/// How a double is spelt: in a path's repr ("NaN", "1e-5", "1e16") or as Python's repr() spells
/// it in messages ("nan", "1e-05", "1e+16"). Both give the same digits.
enum class FloatStyle { Repr, Python };

/// Appends NaN / inf / -inf, or the shortest round-trip digits: scientific ("1e-5", "2.5e-7",
/// "1e16") below 1e-4 or from 1e16 on, else plain with at least one decimal ("3.0", "0.0001").
void append_float_text(std::string& out, double value, FloatStyle style = FloatStyle::Repr);

/// The text of `value` as Python's repr() gives it, for messages.
std::string python_float_text(double value);

}  // namespace korvane
