// simd.hpp: two doubles, or four 32-bit words, at a time, with the same results on every compiler.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>

// GCC and Clang (clang-cl included) get their generic vectors: SSE2 on x86-64, NEON on arm64.
// Other compilers get plain lane-by-lane loops, as does any build that defines
// TARN_PORTABLE_SIMD=1 so that its tests run them. Either form gives, lane by lane, exactly the
// scalar operation's result.
#if defined(TARN_PORTABLE_SIMD) && TARN_PORTABLE_SIMD
#define TARN_SIMD_VECTOR_EXTENSIONS 0
#elif defined(__GNUC__) || defined(__clang__)
#define TARN_SIMD_VECTOR_EXTENSIONS 1
#else
#define TARN_SIMD_VECTOR_EXTENSIONS 0
#endif

#if defined(_MSC_VER) && !defined(__clang__) && (defined(_M_X64) || defined(_M_ARM64))
#include <intrin.h>
#endif

namespace tarn::planning::simd {

#if TARN_SIMD_VECTOR_EXTENSIONS

inline constexpr bool vector_extensions = true;

using Pair = double __attribute__((vector_size(16)));
// Comparison results, all bits set for true and zero for false: 64-bit lanes whose element type
// (long or long long) is the compiler's choice.
using Mask = decltype(Pair{} < Pair{});
using Words = std::uint32_t __attribute__((vector_size(16)));

inline Pair min(Pair a, Pair b) { return a < b ? a : b; }

// Every lane's bits rotated left by `bits`, 0 < bits < 32.
inline Words rotate_left(Words words, int bits) { return words << bits | words >> (32 - bits); }

inline Pair load(const double* values) {
    Pair pair;
    std::memcpy(&pair, values, sizeof pair);  // one unaligned load
    return pair;
}

#else

inline constexpr bool vector_extensions = false;

// A fixed number of lanes with the vector types' operators, one lane after the other.
template <class Lane, std::size_t Count>
class Vector {
public:
    // Lanes left undefined, like a vector type's; Vector{} has every lane zero.
    Vector() = default;
    template <class... Values>
        requires(sizeof...(Values) == Count)
    constexpr Vector(Values... values) : lanes_{values...} {}

    constexpr Lane operator[](std::size_t i) const { return lanes_[i]; }
    constexpr Lane& operator[](std::size_t i) { return lanes_[i]; }

    friend Vector operator+(Vector a, Vector b) { return combine(a, b, std::plus<>{}); }
    friend Vector operator-(Vector a, Vector b) { return combine(a, b, std::minus<>{}); }
    friend Vector operator*(Vector a, Vector b) { return combine(a, b, std::multiplies<>{}); }
    friend Vector operator&(Vector a, Vector b) { return combine(a, b, std::bit_and<>{}); }
    friend Vector operator|(Vector a, Vector b) { return combine(a, b, std::bit_or<>{}); }
    friend Vector operator^(Vector a, Vector b) { return combine(a, b, std::bit_xor<>{}); }
    Vector& operator+=(Vector b) { return *this = *this + b; }
    Vector& operator-=(Vector b) { return *this = *this - b; }
    Vector& operator|=(Vector b) { return *this = *this | b; }

private:
    template <class Operation>
    static Vector combine(Vector a, Vector b, Operation operation) {
        for (std::size_t i = 0; i < Count; ++i) {
            a.lanes_[i] = static_cast<Lane>(operation(a.lanes_[i], b.lanes_[i]));
        }
        return a;
    }

    Lane lanes_[Count];
};

using Pair = Vector<double, 2>;
// Comparison results: all bits set for true, zero for false.
using Mask = Vector<std::int64_t, 2>;
using Words = Vector<std::uint32_t, 4>;

// Every lane's bits rotated left by `bits`: one instruction a lane, where shifts would take three.
inline Words rotate_left(Words words, int bits) {
    for (std::size_t i = 0; i < 4; ++i) words[i] = std::rotl(words[i], bits);
    return words;
}

inline std::int64_t mask_lane(bool value) { return value ? -1 : 0; }
inline Mask operator<(Pair a, Pair b) { return {mask_lane(a[0] < b[0]), mask_lane(a[1] < b[1])}; }
inline Mask operator<=(Pair a, Pair b) {
    return {mask_lane(a[0] <= b[0]), mask_lane(a[1] <= b[1])};
}

// As the vector form: the second lane wherever the first is not less, NaN included.
inline Pair min(Pair a, Pair b) { return {a[0] < b[0] ? a[0] : b[0], a[1] < b[1] ? a[1] : b[1]}; }

inline Pair load(const double* values) { return {values[0], values[1]}; }

#endif

inline Pair splat(double value) { return Pair{value, value}; }

// A hint to bring the cache line holding `address` in; no effect on any result.
inline void prefetch(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address);
#elif defined(_MSC_VER) && defined(_M_X64)
    _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0);
#elif defined(_MSC_VER) && defined(_M_ARM64)
    __prefetch(address);
#else
    (void)address;
#endif
}

}  // namespace tarn::planning::simd
