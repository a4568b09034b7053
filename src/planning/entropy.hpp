// entropy.hpp: seeds from the operating system, and word of the process's forks.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace tarn::planning {

using Seed = std::array<std::uint8_t, 32>;

// Where seeds come from. fill() returns false and sets `error` to the OS error text on failure.
class EntropySource {
public:
    virtual ~EntropySource() = default;
    virtual bool fill(Seed& seed, std::string& error) = 0;
};

// The system's cryptographic source: getrandom() on Linux (where the kernel lacks it, the device
// pair below), getentropy() on macOS and the BSDs, BCryptGenRandom() on Windows.
EntropySource& os_entropy();

#ifndef _WIN32
// The device pair alone (/dev/urandom after /dev/random has become readable): os_entropy()'s
// fallback on Linux, public so it can be exercised on systems where getrandom() exists.
EntropySource& device_entropy();
#endif

// From the first call on, `on_fork` runs in parent and child after every fork(); later calls do
// nothing. Windows has no fork, and there it does nothing at all.
void watch_forks(void (*on_fork)());

}  // namespace tarn::planning
