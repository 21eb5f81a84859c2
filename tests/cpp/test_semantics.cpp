// Scalar meanings of the operation catalogue, checked against values
// computed independently of the code under test (hex floats, bit patterns).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "graph/semantics.hpp"

using namespace vantu;

TEST(Semantics, ExpContinuesLinearlyAbove80) {
    EXPECT_EQ(f64_bits(vantu_exp(81.0)), f64_bits(2.0 * f64_from_bits(0x47255779b984f3ebull)));
}
