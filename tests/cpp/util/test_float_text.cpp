// tests/cpp/util/test_float_text.cpp: the repr text form of doubles
#include <gtest/gtest.h>

#include <limits>

#include "util/float_text.hpp"

namespace {

std::string text(double v) {
    std::string out;
    korvane::append_float_text(out, v);
    return out;
}

}  // namespace

TEST(FloatText, SpecialValuesAndSigns) {
    EXPECT_EQ(text(std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(text(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(text(-std::numeric_limits<double>::infinity()), "-inf");
    EXPECT_EQ(text(0.0), "0.0");
    EXPECT_EQ(text(-0.0), "-0.0");
    EXPECT_EQ(text(-2.5), "-2.5");
}

TEST(FloatText, PlainBetweenTenThousandthAndTenQuadrillion) {
    EXPECT_EQ(text(3.0), "3.0");
    EXPECT_EQ(text(0.1), "0.1");
    EXPECT_EQ(text(0.0001), "0.0001");
    EXPECT_EQ(text(12.5), "12.5");
    EXPECT_EQ(text(1e15), "1000000000000000.0");
    EXPECT_EQ(text(9999999999999998.0), "9999999999999998.0");
    EXPECT_EQ(text(0.30000000000000004), "0.30000000000000004");
    EXPECT_EQ(text(123456.789), "123456.789");
}

TEST(FloatText, ScientificOutside) {
    EXPECT_EQ(text(1e-5), "1e-5");
    EXPECT_EQ(text(2.5e-7), "2.5e-7");
    EXPECT_EQ(text(4.2e-9), "4.2e-9");
    EXPECT_EQ(text(1e16), "1e16");
    EXPECT_EQ(text(1.5e300), "1.5e300");
    EXPECT_EQ(text(5e-324), "5e-324");
    EXPECT_EQ(text(0.00009999), "9.999e-5");
}
