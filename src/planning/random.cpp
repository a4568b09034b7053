// random.cpp: the planner's per-thread random source.
#include "planning/random.hpp"

#include <atomic>
#include <bit>
#include <cerrno>
#include <cmath>
#include <mutex>
#include <optional>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#if __has_include(<sys/random.h>)
#include <sys/random.h>
#define TARN_HAVE_SYS_RANDOM 1
#endif

#include "core/fault.hpp"

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

template <class Words>
void quarter_round(Words& x, std::size_t a, std::size_t b, std::size_t c, std::size_t d) {
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 16);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 12);
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 8);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 7);
}

}  // namespace

ChaChaCore::ChaChaCore(const Seed& key, int rounds) : state_{}, double_rounds_(rounds / 2) {
    for (std::size_t i = 0; i < chacha_constants.size(); ++i) state_[i] = chacha_constants[i];
    for (std::size_t i = 0; i < 8; ++i) state_[4 + i] = load_le32(key.data() + 4 * i);
    // Words 12-15 (block counter and stream id) start at zero.
}

void ChaChaCore::generate(Buffer& out) {
    for (std::size_t offset = 0; offset < buffer_words; offset += block_words) {
        write_block(out.data() + offset);
        advance_counter();
    }
}

void ChaChaCore::write_block(std::uint32_t* out) const {
    Block x = state_;
    for (int i = 0; i < double_rounds_; ++i) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < block_words; ++i) out[i] = x[i] + state_[i];
}

void ChaChaCore::advance_counter() {
    if (++state_[12] == 0) ++state_[13];
}

// ---------------------------------------------------------------------------
// Entropy sources

namespace {

std::string errno_text(int error_number) { return std::system_category().message(error_number); }

// Reads exactly seed.size() bytes from an open descriptor, riding out signals and short reads.
bool read_fully(int fd, Seed& seed, std::string& error) {
    std::size_t done = 0;
    while (done < seed.size()) {
        const ssize_t got = ::read(fd, seed.data() + done, seed.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            error = errno_text(got == 0 ? EIO : errno);
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

class FileDescriptor {
public:
    explicit FileDescriptor(const char* path) : fd_(::open(path, O_RDONLY | O_CLOEXEC)) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// /dev/urandom alone may hand out bytes before the kernel pool was ever seeded; /dev/random turning
// readable once proves it has been, so that wait is needed only once per process.
class DeviceEntropy final : public EntropySource {
public:
    bool fill(Seed& seed, std::string& error) override {
        if (!pool_ready_.load(std::memory_order_acquire)) {
            if (!wait_for_pool(error)) return false;
            pool_ready_.store(true, std::memory_order_release);
        }
        const FileDescriptor urandom("/dev/urandom");
        if (urandom.get() < 0) {
            error = errno_text(errno);
            return false;
        }
        return read_fully(urandom.get(), seed, error);
    }

private:
    static bool wait_for_pool(std::string& error) {
        const FileDescriptor random("/dev/random");
        if (random.get() < 0) {
            error = errno_text(errno);
            return false;
        }
        pollfd request{random.get(), POLLIN, 0};
        for (;;) {
            const int ready = ::poll(&request, 1, -1);
            if (ready > 0) return true;
            if (ready < 0 && errno != EINTR) {
                error = errno_text(errno);
                return false;
            }
        }
    }

    std::atomic<bool> pool_ready_{false};
};

class OsEntropy final : public EntropySource {
public:
    bool fill(Seed& seed, std::string& error) override {
#if defined(__linux__) && defined(TARN_HAVE_SYS_RANDOM)
        std::size_t done = 0;
        while (done < seed.size()) {
            const ssize_t got = ::getrandom(seed.data() + done, seed.size() - done, 0);
            if (got < 0 && errno == EINTR) continue;
            // Kernels older than the call answer ENOSYS: the devices are the way there.
            if (got < 0 && errno == ENOSYS) return device_entropy().fill(seed, error);
            if (got < 0) {
                error = errno_text(errno);
                return false;
            }
            done += static_cast<std::size_t>(got);
        }
        return true;
#elif defined(__linux__)
        return device_entropy().fill(seed, error);
#else
        // macOS and the BSDs: getentropy() serves up to 256 bytes in one call and never reads
        // short.
        if (::getentropy(seed.data(), seed.size()) != 0) {
            error = errno_text(errno);
            return false;
        }
        return true;
#endif
    }
};

}  // namespace

EntropySource& os_entropy() {
    static OsEntropy source;
    return source;
}

EntropySource& device_entropy() {
    static DeviceEntropy source;
    return source;
}

// ---------------------------------------------------------------------------
// Fork detection

namespace {

// Bumped in parent and child by the fork handlers; every generator compares it with the value it
// last saw, so both sides of a fork stop handing out the words they would otherwise share.
std::atomic<std::uint64_t> process_fork_generation{0};
std::once_flag fork_handlers_registered;

void count_fork() { process_fork_generation.fetch_add(1, std::memory_order_relaxed); }

void watch_forks() {
    // A failure here (only ENOMEM) leaves forks undetected; the generators still reseed on
    // schedule, which is the best left to do.
    std::call_once(fork_handlers_registered,
                   [] { (void)::pthread_atfork(nullptr, &count_fork, &count_fork); });
}

std::uint64_t current_fork_generation() {
    return process_fork_generation.load(std::memory_order_relaxed);
}

}  // namespace

// ---------------------------------------------------------------------------
// The buffered, reseeding generator

Rng::Rng(const Seed& seed, EntropySource* reseed_source)
    : core_(seed, rounds), reseed_source_(reseed_source), fork_generation_(0) {
    if (reseed_source_ != nullptr) watch_forks();
    fork_generation_ = current_fork_generation();
}

std::uint32_t Rng::next_u32() {
    if (fork_happened()) reseed_after_fork();
    if (next_index_ == buffer_.size()) refill();
    return buffer_[next_index_++];
}

std::uint64_t Rng::next_u64() {
    const std::uint64_t low = next_u32();
    const std::uint64_t high = next_u32();
    return high << 32 | low;
}

bool Rng::fork_happened() const {
    return reseed_source_ != nullptr && current_fork_generation() != fork_generation_;
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

namespace {

// The upper 52 bits as the mantissa of a double in [1, 2), less one: an evenly spaced grid on [0,
// 1).
double unit_interval_value(std::uint64_t bits) {
    constexpr std::uint64_t exponent_of_one = 0x3FF0000000000000;
    return std::bit_cast<double>(bits >> 12 | exponent_of_one) - 1.0;
}

}  // namespace

void check_sampling_range(double upper) {
    if (!(0.0 < upper)) raise_fault("cannot sample empty range");
    if (!std::isfinite(upper - 0.0)) raise_fault("UniformSampler::sample_single: range overflow");
}

double sample_below(Rng& rng, double upper) {
    constexpr double low = 0.0;
    check_sampling_range(upper);
    const double scale = upper - low;
    for (;;) {
        // Rounded twice, product then sum: the build never fuses them (-ffp-contract=off).
        const double scaled = unit_interval_value(rng.next_u64()) * scale;
        const double value = scaled + low;
        // Rounding can carry the product up to `upper` itself; such a draw is not in range.
        if (value < upper) return value;
    }
}

}  // namespace tarn::planning
