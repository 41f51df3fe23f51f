// The shared units' own rules that no module test reaches: a precision that is neither complex64
// nor complex128 is refused rather than run as one of them.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "common/parse.hpp"
#include "common/precision.hpp"

namespace {

using korvane::Precision;

std::string element_of(Precision precision) {
    return korvane::dispatch_precision(precision, []<class T>() { return std::string(korvane::precision_name<T>()); });
}

}  // namespace

TEST(Precision, DispatchRunsTheNamedPrecisionAndRefusesAnyOther) {
    EXPECT_EQ(element_of(korvane::parse_dtype("complex64")), "complex64");
    EXPECT_EQ(element_of(korvane::parse_dtype("complex128")), "complex128");
    try {
        element_of(static_cast<Precision>(2));
        FAIL() << "an unknown precision ran";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "unknown precision");
    }
}
