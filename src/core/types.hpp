// types.hpp: the native value types that cross every layer.
#pragma once

#include <cstdint>
#include <vector>

namespace tarn {

// Python floats and lists of them arrive as these, converted on the way in.
using FloatVector = std::vector<double>;
// A node index or count; non-negative Python ints below 2**64.
using Index = std::uint64_t;
using IndexList = std::vector<Index>;

}  // namespace tarn
