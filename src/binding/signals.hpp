// signals.hpp: pending signals (Ctrl-C among them) handled from inside long native loops.
#pragma once

#include <Python.h>

#include "binding/python_error.hpp"
#include "core/interrupt_countdown.hpp"

namespace tarn::binding {

// Runs the handlers of signals that arrived since the last check (Ctrl-C
// among them); an exception a handler raises travels on as a PythonError.
inline void check_signals() {
    if (PyErr_CheckSignals() != 0) throw PythonError::fetch();
}

// check_signals as the interrupt check of native loops.
inline const InterruptCheck signal_check = check_signals;

// The countdown of a loop that reads Python objects and runs no Python code
// of its own: it handles pending signals at the interval. A handler runs
// Python code, so what the loop reads in place must be read afresh after a
// step that returns true.
class SignalCheckpoint : public InterruptCountdown {
public:
    SignalCheckpoint() noexcept : InterruptCountdown(signal_check) {}
};

}  // namespace tarn::binding
