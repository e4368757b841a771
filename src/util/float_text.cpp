// src/util/float_text.cpp: the shortest round-trip text of a double, as shown in reprs
#include "util/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace korvane {

void append_float_text(std::string& out, double value, FloatStyle style) {
    const bool python = style == FloatStyle::Python;
    if (std::isnan(value)) {
        out += python ? "nan" : "NaN";
        return;
    }
    if (std::signbit(value)) {
        out += '-';
    }
    const double magnitude = std::fabs(value);
    if (std::isinf(magnitude)) {
        out += "inf";
        return;
    }
    if (magnitude == 0.0) {
        out += "0.0";
        return;
    }
    // Shortest digits that round-trip, nearest to the exact value on ties: "d.ddde±xx".
    char buffer[64];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
    const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const std::size_t e = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e)) {
        if (c != '.') {
            digits += c;
        }
    }
    const int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());

    if (magnitude < 1e-4 || magnitude >= 1e16) {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out.append(digits, 1, std::string::npos);
        }
        out += 'e';
        if (python) {
            // Python writes the exponent's sign and at least two digits: 1e-05, 1e+16.
            out += exponent < 0 ? '-' : '+';
            const int magnitude_of_exponent = exponent < 0 ? -exponent : exponent;
            if (magnitude_of_exponent < 10) {
                out += '0';
            }
            out += std::to_string(magnitude_of_exponent);
        } else {
            out += std::to_string(exponent);
        }
        return;
    }
    if (exponent < 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-exponent - 1), '0');
        out += digits;
        return;
    }
    const std::size_t integral = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= integral) {
        out += digits;
        out.append(integral - digits.size(), '0');
        out += ".0";
    } else {
        out.append(digits, 0, integral);
        out += '.';
        out.append(digits, integral, std::string::npos);
    }
}

}  // namespace korvane

namespace korvane {

std::string python_float_text(double value) {
    std::string out;
    append_float_text(out, value, FloatStyle::Python);
    return out;
}

}  // namespace korvane
