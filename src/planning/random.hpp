// random.hpp: the planner's per-thread random source.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tarn::planning {

using Seed = std::array<std::uint8_t, 32>;

// The ChaCha block function as a keystream generator: 256-bit key (the seed, little-endian words),
// 64-bit block counter in state words 12-13 starting at 0, 64-bit stream id in words 14-15 equal to
// 0.
class ChaChaCore {
public:
    static constexpr std::size_t buffer_words = 64;  // four blocks per refill
    using Buffer = std::array<std::uint32_t, buffer_words>;

    // `rounds` must be even: the rounds run as column/diagonal pairs.
    ChaChaCore(const Seed& key, int rounds);
    void generate(Buffer& out);  // next four blocks, counter advances by 4

private:
    static constexpr std::size_t block_words = 16;
    using Block = std::array<std::uint32_t, block_words>;

    void write_block(std::uint32_t* out) const;
    void advance_counter();

    Block state_;
    int double_rounds_;
};

// Where seeds come from. fill() returns false and sets `error` to the OS error text on failure.
class EntropySource {
public:
    virtual ~EntropySource() = default;
    virtual bool fill(Seed& seed, std::string& error) = 0;
};

EntropySource&
os_entropy();  // getrandom(); where missing, /dev/urandom once /dev/random is readable (poll)

// The device pair alone (/dev/urandom after /dev/random has become readable): os_entropy()'s
// fallback, public so it can be exercised on systems where getrandom() exists.
EntropySource& device_entropy();

// ChaCha with 12 rounds, buffered 64 words at a time, reseeding from `reseed_source` after every
// 64 KiB of output and after every fork (parent and child); a failed reseed is ignored.
// reseed_source may be null: then it never reseeds (fixed-key use in tests).
class Rng {
public:
    static constexpr int rounds = 12;
    static constexpr std::uint64_t reseed_interval_bytes = 64 * 1024;

    Rng(const Seed& seed, EntropySource* reseed_source);
    std::uint32_t next_u32();
    std::uint64_t next_u64();  // two consecutive words, the earlier one as the low half

private:
    void refill();
    void reseed();
    void reseed_after_fork();
    bool fork_happened() const;

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

// Uniform draw from [0, upper), exactly:
// 1. if !(0 < upper): raise_fault("cannot sample empty range")  (zero, negative, NaN)
// 2. scale = upper - 0; if !isfinite(scale): raise_fault("UniformSampler::sample_single: range
// overflow")
// 3. take next_u64(); its upper 52 bits become the mantissa of a double in [1,2); subtract 1;
// multiply by scale; add 0.
//    If the result < upper, return it; otherwise discard and repeat step 3.
double sample_below(Rng& rng, double upper);

// Steps 1 and 2 alone: faults as sample_below would for this `upper`.
void check_sampling_range(double upper);

}  // namespace tarn::planning
