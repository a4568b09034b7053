// simd.hpp: two doubles at a time, in the vector registers every target processor has.
#pragma once

#include <cstring>

namespace tarn::planning::simd {

// The compiler's generic vectors: SSE2 on x86-64, NEON on arm64, with the
// same results as the scalar operations lane by lane.
using Pair = double __attribute__((vector_size(16)));
// Lane-wise comparison results: all bits set for true, zero for false.
using Mask = decltype(Pair{} < Pair{});

inline Pair splat(double value) { return Pair{value, value}; }

inline Pair load(const double* values) {
    Pair pair;
    std::memcpy(&pair, values, sizeof pair);
    return pair;
}

inline Pair min(Pair a, Pair b) { return a < b ? a : b; }

}  // namespace tarn::planning::simd
