// interrupt_countdown.hpp: how often long loops let an interrupt (Ctrl-C among them) in.
#pragma once

#include <cstddef>
#include <functional>

namespace tarn {

// Checks for an interrupt, and throws to end the loop that asked; the Python
// module's check handles pending signals. An empty one checks nothing.
using InterruptCheck = std::function<void()>;

// Long loops check every this many steps: often enough that Ctrl-C is seen
// within milliseconds, rarely enough that the check does not show in the
// loop's time.
inline constexpr std::size_t interrupt_check_interval = 1024;

// Counts the steps of one such loop and runs the check at the interval.
class InterruptCountdown {
public:
    // `check` is borrowed: it must outlive the countdown.
    explicit InterruptCountdown(const InterruptCheck& check) noexcept : check_(check) {}

    // Whether the check ran. Code it ran (a signal handler) may have changed
    // what the loop reads in place, which must then be read afresh.
    bool step() {
        if (++steps_ % interrupt_check_interval != 0 || !check_) return false;
        check_();
        return true;
    }

private:
    const InterruptCheck& check_;
    std::size_t steps_ = 0;
};

}  // namespace tarn
