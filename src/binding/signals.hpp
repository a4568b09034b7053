// signals.hpp: pending signals (Ctrl-C among them) handled from inside long native loops.
#pragma once

#include <Python.h>

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

}  // namespace tarn::binding
