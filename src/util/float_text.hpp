// src/util/float_text.hpp: the shortest round-trip text of a double, as shown in reprs
#pragma once

#include <string>

namespace korvane {

/// Appends NaN / inf / -inf, or the shortest round-trip digits: scientific ("1e-5", "2.5e-7",
/// "1e16") below 1e-4 or from 1e16 on, else plain with at least one decimal ("3.0", "0.0001").
void append_float_text(std::string& out, double value);

}  // namespace korvane
