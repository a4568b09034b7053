// random.cpp: the planner's per-thread random source.
#include "planning/random.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <optional>

#include "core/fault.hpp"
#include "planning/simd.hpp"

namespace tarn::planning {

// ---------------------------------------------------------------------------
// The cipher core

namespace {

// "expand 32-byte k"
constexpr std::array<std::uint32_t, 4> chacha_constants{0x61707865, 0x3320646e, 0x79622d32,
                                                        0x6b206574};

std::uint32_t load_le32(const std::uint8_t* bytes) {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

// Four 32-bit words, one per lane of a vector register.
using Lanes = simd::Words;

std::uint32_t rotate_left(std::uint32_t word, int bits) { return std::rotl(word, bits); }
using simd::rotate_left;

// For words and for lanes of words alike.
template <class Words>
void quarter_round(Words& x, std::size_t a, std::size_t b, std::size_t c, std::size_t d) {
    x[a] += x[b];
    x[d] = rotate_left(x[d] ^ x[a], 16);
    x[c] += x[d];
    x[b] = rotate_left(x[b] ^ x[c], 12);
    x[a] += x[b];
    x[d] = rotate_left(x[d] ^ x[a], 8);
    x[c] += x[d];
    x[b] = rotate_left(x[b] ^ x[c], 7);
}

// The double rounds of the block function.
template <class Words>
void run_rounds(Words& x, int double_rounds) {
    for (int i = 0; i < double_rounds; ++i) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
}

}  // namespace

ChaChaCore::ChaChaCore(const Seed& key, int rounds) : state_{}, double_rounds_(rounds / 2) {
    for (std::size_t i = 0; i < chacha_constants.size(); ++i) state_[i] = chacha_constants[i];
    for (std::size_t i = 0; i < 8; ++i) state_[4 + i] = load_le32(key.data() + 4 * i);
    // Words 12-15 (block counter and stream id) start at zero.
}

void ChaChaCore::generate_one_by_one(Buffer& out) {
    for (std::size_t offset = 0; offset < buffer_words; offset += block_words) {
        write_block(out.data() + offset);
        advance_counter();
    }
}

void ChaChaCore::generate(Buffer& out) {
    // Lane j of every vector works on block j: the same rounds as
    // write_block, four blocks per instruction.
    constexpr std::size_t lanes = 4;
    static_assert(buffer_words == lanes * block_words);
    Lanes initial[block_words];
    for (std::size_t i = 0; i < block_words; ++i) {
        initial[i] = Lanes{state_[i], state_[i], state_[i], state_[i]};
    }
    // Each block's own 64-bit counter, carried into word 13 as advance_counter does.
    const std::uint64_t counter = std::uint64_t{state_[13]} << 32 | state_[12];
    for (std::size_t j = 0; j < lanes; ++j) {
        initial[12][j] = static_cast<std::uint32_t>(counter + j);
        initial[13][j] = static_cast<std::uint32_t>((counter + j) >> 32);
    }
    Lanes x[block_words];
    std::copy(std::begin(initial), std::end(initial), std::begin(x));
    run_rounds(x, double_rounds_);
    for (std::size_t i = 0; i < block_words; ++i) {
        const Lanes sum = x[i] + initial[i];
        for (std::size_t j = 0; j < lanes; ++j) out[j * block_words + i] = sum[j];
    }
    for (std::size_t j = 0; j < lanes; ++j) advance_counter();
}

void ChaChaCore::write_block(std::uint32_t* out) const {
    Block x = state_;
    run_rounds(x, double_rounds_);
    for (std::size_t i = 0; i < block_words; ++i) out[i] = x[i] + state_[i];
}

void ChaChaCore::advance_counter() {
    if (++state_[12] == 0) ++state_[13];
}

// ---------------------------------------------------------------------------
// Fork detection (entropy.cpp says when, where the system has forks)

namespace {

void count_fork() { Rng::fork_generation.fetch_add(1, std::memory_order_relaxed); }

std::uint64_t current_fork_generation() {
    return Rng::fork_generation.load(std::memory_order_relaxed);
}

}  // namespace

// ---------------------------------------------------------------------------
// The buffered, reseeding generator

std::atomic<std::uint64_t> Rng::fork_generation{0};

Rng::Rng(const Seed& seed, EntropySource* reseed_source)
    : core_(seed, rounds), reseed_source_(reseed_source), fork_generation_(0) {
    if (reseed_source_ != nullptr) watch_forks(&count_fork);
    fork_generation_ = current_fork_generation();
}

std::uint32_t Rng::next_u32() {
    if (fork_happened()) reseed_after_fork();
    if (next_index_ == buffer_.size()) refill();
    return buffer_[next_index_++];
}

std::uint64_t Rng::next_u64_word_by_word() {
    const std::uint64_t low = next_u32();
    const std::uint64_t high = next_u32();
    return high << 32 | low;
}

void Rng::reseed_after_fork() {
    fork_generation_ = current_fork_generation();
    reseed();
    next_index_ = buffer_.size();
}

void Rng::refill() {
    if (bytes_since_seed_ >= reseed_interval_bytes) reseed();
    core_.generate(buffer_);
    bytes_since_seed_ += sizeof(buffer_);
    next_index_ = 0;
}

void Rng::reseed() {
    // Counting restarts even when the source fails, so a broken source is retried once per
    // interval rather than on every refill.
    bytes_since_seed_ = 0;
    if (reseed_source_ == nullptr) return;
    Seed seed;
    std::string ignored_error;
    if (reseed_source_->fill(seed, ignored_error)) core_ = ChaChaCore(seed, rounds);
}

Rng make_thread_rng(EntropySource& source) {
    Seed seed;
    std::string error;
    if (!source.fill(seed, error)) raise_fault("could not initialize thread_rng: " + error);
    return Rng(seed, &source);
}

Rng& thread_rng() {
    // Left empty when seeding faults, so the thread's next use tries again.
    thread_local std::optional<Rng> rng;
    if (!rng) rng.emplace(make_thread_rng(os_entropy()));
    return *rng;
}

// ---------------------------------------------------------------------------
// Uniform sampling

void check_sampling_range(double upper) {
    if (!(0.0 < upper)) raise_fault("cannot sample empty range");
    if (!std::isfinite(upper - 0.0)) raise_fault("UniformSampler::sample_single: range overflow");
}

double sample_below(Rng& rng, double upper) {
    check_sampling_range(upper);
    return sample_below_checked(rng, upper);
}

}  // namespace tarn::planning
