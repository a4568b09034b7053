// vector_arithmetic.hpp: vector_add's rules, element-wise addition and broadcasting a number.
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>

#include "core/types.hpp"

namespace tarn {

// The rules of vector_add, for every form its operands take (native vectors,
// Python lists read in place, buffers):
// - an empty first vector gives an empty sum, and the second operand is not
//   read at all, so nothing it holds can raise an error;
// - of two vectors the shorter length wins;
// - a number is broadcast over the whole first vector: it counts as a second
//   vector of `broadcast_length`.
inline constexpr std::size_t broadcast_length = std::numeric_limits<std::size_t>::max();

constexpr bool reads_second_operand(std::size_t first_length) { return first_length != 0; }

constexpr std::size_t sum_length(std::size_t first_length, std::size_t second_length) {
    return std::min(first_length, second_length);
}

// Both additions reuse the storage of the first operand, which the caller
// gives up: the result then costs no allocation of its own.

inline FloatVector add_elementwise(FloatVector a, const FloatVector& b) {
    a.resize(sum_length(a.size(), b.size()));
    for (std::size_t i = 0; i < a.size(); ++i) a[i] += b[i];
    return a;
}

inline FloatVector add_scalar(FloatVector a, double scalar) {
    for (double& value : a) value += scalar;
    return a;
}

}  // namespace tarn
