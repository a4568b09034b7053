// vector_arithmetic.hpp: element-wise addition of float vectors and broadcasting of a number.
#pragma once

#include <algorithm>
#include <cstddef>

#include "core/types.hpp"

namespace tarn {

// Both additions reuse the storage of the first operand, which the caller
// gives up: the result then costs no allocation of its own.

// The shorter length wins.
inline FloatVector add_elementwise(FloatVector a, const FloatVector& b) {
    a.resize(std::min(a.size(), b.size()));
    for (std::size_t i = 0; i < a.size(); ++i) a[i] += b[i];
    return a;
}

inline FloatVector add_scalar(FloatVector a, double scalar) {
    for (double& value : a) value += scalar;
    return a;
}

}  // namespace tarn
