// python_error.hpp: Python exceptions travelling through native code as C++ exceptions.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "binding/ref.hpp"

namespace tarn::binding {

// A Python exception on its way to the call frame: either one created here
// (class plus an unnormalised argument, so the interpreter builds the
// instance) or a (type, value, traceback) triple fetched from the interpreter.
class PythonError {
public:
    PythonError(Ref type, Ref value, Ref traceback) noexcept
        : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)) {}

    // An exception of class `type` whose single argument is `message`.
    static PythonError from_message(PyObject* type, std::string_view message);

    // Takes the interpreter's pending exception. A pending PanicException is
    // resumed as a fault instead; no pending exception at all gives
    // SystemError "attempted to fetch exception but none was set".
    static PythonError fetch();
    // The same, for a caller that means to drop or report the error: one
    // that is not ordinary is thrown instead.
    static PythonError fetch_ordinary();

    PyObject* type() const noexcept { return type_.get(); }
    // Whether a documented fallback may drop this error: only an Exception
    // other than MemoryError. An interrupt, an exit (anything that is not an
    // Exception) or exhaustion always reaches the caller.
    bool is_ordinary() const noexcept;
    // Normalises in place and returns the exception instance (borrowed).
    PyObject* instance();
    // Hands the exception to the interpreter as the current one.
    void restore() && noexcept;
    // "PyErr { type: ..., value: ..., traceback: ... }", used in fault messages.
    std::string render();

private:
    Ref type_;
    Ref value_;
    Ref traceback_;
};

// Turns a failed interpreter call into a PythonError at once.
inline PyObject* raise_if_null(PyObject* result) {
    if (result == nullptr) throw PythonError::fetch();
    return result;
}
inline Ref steal_or_raise(PyObject* result) { return Ref::steal(raise_if_null(result)); }

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
// afresh after a step.
class SignalCheckpoint {
public:
    void step() {
        if (++steps_ % signal_check_interval == 0) check_signals();
    }

private:
    std::size_t steps_ = 0;
};

// Drops a pending exception that the caller decided to ignore, if it is
// ordinary (see PythonError::is_ordinary); any other one is thrown instead,
// and a pending PanicException is resumed.
void discard_pending_error();

// For interpreter calls that must not fail: prints the pending exception and
// raises the fault "Python API call failed". Exhaustion, an interrupt or an
// exit is not a fault: it is thrown as the PythonError it is.
[[noreturn]] void python_api_call_failed();
inline PyObject* expect_object(PyObject* result) {
    if (result == nullptr) python_api_call_failed();
    return result;
}

// UTF-8 text of str(obj), with the fallbacks for unencodable and unprintable objects.
std::string render_text(PyObject* obj);
// UTF-8 text of a str object known to be a str; lone surrogates become U+FFFD.
std::string str_to_utf8_lossy(PyObject* str);
// The __qualname__ of obj's type, or "<failed to extract type name>".
std::string type_name(PyObject* obj);

[[noreturn]] void raise_type_error(std::string_view message);
// TypeError "'{type}' object cannot be converted to '{target}'".
[[noreturn]] void raise_not_convertible(PyObject* obj, std::string_view target);

}  // namespace tarn::binding
