// random.hpp: the planner's per-thread random source.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

#include "planning/entropy.hpp"

namespace tarn::planning {

// The ChaCha block function as a keystream generator. The key is the 256-bit
// seed, read as little-endian words; state words 12 and 13 hold a 64-bit block
// counter that starts at 0, and words 14 and 15 a 64-bit stream id of 0.
class ChaChaCore {
public:
    static constexpr std::size_t buffer_words = 64;  // four blocks per refill
    using Buffer = std::array<std::uint32_t, buffer_words>;

    // `rounds` must be even: the rounds run as column/diagonal pairs.
    ChaChaCore(const Seed& key, int rounds);
    // Next four blocks, counter advances by 4. The four are computed side by
    // side, one per lane of the vector registers.
    void generate(Buffer& out);
    // The same, one block after the other: the plain form that the one above
    // must match word for word.
    void generate_one_by_one(Buffer& out);

private:
    static constexpr std::size_t block_words = 16;
    using Block = std::array<std::uint32_t, block_words>;

    void write_block(std::uint32_t* out) const;
    void advance_counter();

    Block state_;
    int double_rounds_;
};

// ChaCha with 12 rounds, buffered 64 words at a time, reseeding from `reseed_source` after every
// 64 KiB of output and, on POSIX systems, after every fork (parent and child); a failed reseed is
// ignored. reseed_source may be null: then it never reseeds (fixed-key use in tests).
class Rng {
public:
    static constexpr int rounds = 12;
    static constexpr std::uint64_t reseed_interval_bytes = 64 * 1024;

    Rng(const Seed& seed, EntropySource* reseed_source);
    std::uint32_t next_u32();
    // Two consecutive words, the earlier one as the low half.
    std::uint64_t next_u64() {
        // The common case, inline: both words buffered and no fork to act on.
        if (next_index_ + 2 <= buffer_.size() && !fork_happened()) {
            const std::uint64_t low = buffer_[next_index_];
            const std::uint64_t high = buffer_[next_index_ + 1];
            next_index_ += 2;
            return high << 32 | low;
        }
        return next_u64_word_by_word();
    }

    // Bumped in parent and child by the fork handlers; every generator compares it with the value
    // it last saw, so both sides of a fork stop handing out the words they would otherwise share.
    static std::atomic<std::uint64_t> fork_generation;

private:
    std::uint64_t next_u64_word_by_word();
    void refill();
    void reseed();
    void reseed_after_fork();
    bool fork_happened() const {
        return reseed_source_ != nullptr &&
               fork_generation.load(std::memory_order_relaxed) != fork_generation_;
    }

    ChaChaCore core_;
    ChaChaCore::Buffer buffer_{};
    std::size_t next_index_ = ChaChaCore::buffer_words;  // buffer starts out used up
    std::uint64_t bytes_since_seed_ = 0;
    EntropySource* reseed_source_;  // borrowed, may be null; must outlive the generator
    std::uint64_t fork_generation_;
};

// A generator seeded from `source` and reseeding from it, as every thread's generator is made.
// If seeding fails: tarn::raise_fault("could not initialize thread_rng: " + error_text).
Rng make_thread_rng(EntropySource& source);

// The calling thread's generator (thread_local), created and seeded on first use.
// If the first seeding fails: tarn::raise_fault("could not initialize thread_rng: " + error_text).
Rng& thread_rng();

// A uniform draw from [0, upper), in exactly these steps:
// 1. If !(0 < upper), that is for zero, a negative number or NaN:
//    raise_fault("cannot sample empty range").
// 2. With scale = upper - 0, if !isfinite(scale):
//    raise_fault("UniformSampler::sample_single: range overflow").
// 3. Take next_u64(); its upper 52 bits become the mantissa of a double in
//    [1, 2); subtract 1, multiply by scale and add 0. A result below `upper`
//    is returned; any other is discarded, and step 3 begins again.
double sample_below(Rng& rng, double upper);

// Steps 1 and 2 alone: faults as sample_below would for this `upper`.
void check_sampling_range(double upper);

// Step 3 alone, for an `upper` that check_sampling_range accepted.
inline double sample_below_checked(Rng& rng, double upper) {
    constexpr double low = 0.0;
    constexpr std::uint64_t exponent_of_one = 0x3FF0000000000000;
    const double scale = upper - low;
    for (;;) {
        // The upper 52 bits as the mantissa of a double in [1, 2), less one:
        // an evenly spaced grid on [0, 1).
        const double unit = std::bit_cast<double>(rng.next_u64() >> 12 | exponent_of_one) - 1.0;
        // Rounded twice, product then sum: the build never fuses them (-ffp-contract=off).
        const double scaled = unit * scale;
        const double value = scaled + low;
        // Rounding can carry the product up to `upper` itself; such a draw is not in range.
        if (value < upper) return value;
    }
}

}  // namespace tarn::planning
