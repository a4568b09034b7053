// signals.hpp: pending signals (Ctrl-C among them) handled from inside long native loops.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>

#include "binding/python_error.hpp"

namespace tarn::binding {

// Runs the handlers of signals that arrived since the last check (Ctrl-C
// among them); an exception a handler raises travels on as a PythonError.
inline void check_signals() {
    if (PyErr_CheckSignals() != 0) throw PythonError::fetch();
}

// Loops that run no Python code handle pending signals every this many steps:
// often enough that Ctrl-C is seen within milliseconds, rarely enough that
// the check does not show in the loop's time.
inline constexpr std::size_t signal_check_interval = 1024;

// Counts the steps of such a loop and checks for signals at the interval.
// A handler runs Python code, so what the loop reads in place must be read
// afresh after a step that returns true: handlers may have run.
class SignalCheckpoint {
public:
    bool step() {
        if (++steps_ % signal_check_interval != 0) return false;
        check_signals();
        return true;
    }

private:
    std::size_t steps_ = 0;
};

// Calls body(i) for every i below `count`, in order, handling pending signals
// after every signal_check_interval calls: the same checks as a checkpoint's,
// with no count kept per step, for loops that read nothing a handler could move.
template <class Body>
void for_each_index_checking_signals(std::size_t count, Body&& body) {
    for (std::size_t begin = 0; begin < count;) {
        const std::size_t end = begin + std::min(count - begin, signal_check_interval);
        for (std::size_t i = begin; i < end; ++i) body(i);
        begin = end;
        if (end % signal_check_interval == 0) check_signals();
    }
}

}  // namespace tarn::binding
